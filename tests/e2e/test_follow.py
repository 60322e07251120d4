"""A recording follows the desktop's devices: the system track moves to the
new default sink (a switch, or the recorded sink unloaded), stays on a sink
given with --system-device, and a microphone that goes away is replaced.
Two sinks play steady tones of different pitch, so each stretch of a track
says which device it came from."""
import signal
import time

import numpy as np
import pytest

import room
import sound_server

RATE = room.RATE
PITCH = {"a": 440.0, "b": 1000.0}  # Hz, one per sink
LEVEL = {"a": 0.3, "b": 0.3}
WINDOW = RATE // 50  # 20 ms: the stretch whose pitch is told
SWITCH_AT, STOP_AT = 1.5, 4.0  # s after the start


@pytest.fixture(params=sound_server.KINDS)
def server(request, tmp_path):
    """Sinks "sinka" (default) and "sinkb", each playing its tone (a stream
    that stays on its sink), and the microphones "mica" (default) and "micb"
    hearing them."""
    with sound_server.running(request.param) as s:
        for k in "ab":
            s.null_sink("sink" + k, "Sink " + k.upper())
        for k in "ab":
            s.remap_source("mic" + k, "sink%s.monitor" % k, "Mic " + k.upper())
        s.set_default("sink", "sinka")
        s.set_default("source", "mica")
        for k in "ab":
            s.keep_running("sink" + k)
        t = np.arange(int(6 * RATE)) / RATE
        tones = [("sink" + k, LEVEL[k] * np.sin(2 * np.pi * PITCH[k] * t)) for k in "ab"]
        player, _ = room.play(s, tones, str(tmp_path), fixed=True)
        time.sleep(0.3)  # the tones are running
        yield s
        player.kill()
        player.wait()


def pitches(x):
    """Per 20 ms window: "a", "b" or "" (silence), by the stronger tone."""
    out = []
    f = np.fft.rfftfreq(WINDOW, 1 / RATE)
    bins = {k: np.argmin(np.abs(f - p)) for k, p in PITCH.items()}
    for i in range(0, len(x) - WINDOW + 1, WINDOW):
        s = np.abs(np.fft.rfft(x[i:i + WINDOW] * np.hanning(WINDOW)))
        e = {k: s[b - 1:b + 2].sum() for k, b in bins.items()}
        out.append("" if max(e.values()) < 1.0 else max(e, key=e.get))
    return out


def record(start, server, tmp_path, args, event):
    """Records from the start to STOP_AT; event(run) runs at SWITCH_AT. The
    run's `event_at` is when the server had done it (the command returned),
    on the process's clock; the track's own starts a little later."""
    out = str(tmp_path / "take.wav")
    run = start([out, *args], server.env, out, tmp_path)
    run.wait_line("capture started")
    origin = time.monotonic()  # later than the track's start
    run.sleep_until(SWITCH_AT)
    event(run)
    t = time.monotonic()  # the server has acted; a busy one takes its time
    run.event_at, run.origin_slack = t - run.started, origin - run.started
    run.sleep_until(STOP_AT)
    run.stop(signal.SIGINT)
    assert run.status == 0, run
    return run


def onset(run, label, pitch):
    """The track's time (s) from which it holds `pitch`, and the share of the
    windows after that which do."""
    p = pitches(run.track(label))
    after = int(run.event_at * 50) - int(run.origin_slack * 50) - 1
    first = next(i for i in range(max(after, 0), len(p)) if p[i] == pitch)
    rest = p[first:]
    return first / 50, rest.count(pitch) / len(rest)


def assert_follows(run, label, pitch):
    at, share = onset(run, label, pitch)
    lag = at + run.origin_slack - run.event_at  # at most the true lag
    print("%s: %s sound %.3f s after the event" % (run.kind, label, lag))
    assert lag <= 0.5 and share >= 0.95, (lag, share, run)
    sys_n, mic_n = (len(run.track(k)) for k in ("sys", "mic"))
    assert abs(sys_n - mic_n) <= 0.001 * mic_n, (sys_n, mic_n, run)
    assert run.seconds - 0.5 <= mic_n / RATE <= run.seconds, (mic_n, run.seconds, run)


@pytest.mark.parametrize("how", ["switch", "unload"])
def test_the_system_track_moves_to_the_new_default(start, server, tmp_path, how):
    def event(run):
        if how == "switch":
            server.pactl("set-default-sink", "sinkb")
        else:
            server.pactl("unload-module", server.modules["sinka"])
    run = record(start, server, tmp_path, [], event)
    run.kind = server.kind + " " + how
    assert run.starting("system audio → ") == ["narup-capture: system audio → Sink B"], run
    assert not run.starting("[WARN]"), run
    assert_follows(run, "sys", "b")


def test_a_system_device_is_kept_through_a_default_switch(start, server, tmp_path):
    def event(run):
        server.pactl("set-default-sink", "sinkb")
        server.pactl("set-default-sink", "sinka")
    run = record(start, server, tmp_path, ["--system-device", "sinkb"], event)
    assert not run.starting("system audio → ") and not run.starting("[WARN]"), run
    p = pitches(run.track("sys"))[int(SWITCH_AT * 50):]  # through the switch
    assert p.count("b") >= 0.95 * len(p), ("".join(c or "." for c in p), run)


def test_an_unloaded_microphone_is_replaced(start, server, tmp_path):
    run = record(start, server, tmp_path, [],
                 lambda run: server.pactl("unload-module", server.modules["mica"]))
    run.kind = server.kind + " microphone"
    assert run.starting("microphone → ") == ["narup-capture: microphone → Mic B"], run
    assert not run.starting("[WARN]"), run
    assert_follows(run, "mic", "b")
