"""Live recordings in a room (room.py) on a private PulseAudio and PipeWire:
the far end plays through "speakers", the microphone hears it 40 ms later at
half level plus a near-end voice. The tests of a server share it and run in
this file's order: the last ones let its sinks idle and then take it away."""
import os
import signal
import time

import numpy as np
import pytest

import room
import sound_server
import tool

DELAY_MS, GAIN, RATE = 40.0, 0.5, room.RATE
LEAD = 2.5  # a fresh stream's first moments carry no data on PulseAudio


@pytest.fixture(scope="module", params=sound_server.KINDS)
def server(request):
    with sound_server.running(request.param) as s:
        yield s.setup_room()


@pytest.fixture(scope="module")
def voices():
    return (room.speech("The quarterly figures are ready for review."),
            room.speech("Then let us start with the north."),
            room.speech("Yes, I have the report here.", "en+f3"))


class Conversation:
    """Far end, near end, far end again, with the room's echo."""

    def __init__(self, far1, far2, near):
        self.far_at = [(0.0, far1)]
        self.near_at = (len(far1) / RATE + 0.4, near)
        self.far_at.append((self.near_at[0] + len(near) / RATE + 0.4, far2))
        self.length = self.far_at[1][0] + len(far2) / RATE + 0.3
        self.far = room.place(self.length, self.far_at)
        self.mic = room.echo_of(self.far, DELAY_MS, GAIN) + room.place(self.length, [self.near_at])
        self.far_spans = [(t, t + len(x) / RATE + DELAY_MS / 1000) for t, x in self.far_at]
        self.near_span = [(self.near_at[0], self.near_at[0] + len(near) / RATE)]


def record(binary, server, folder, name, args, until, during=None,
           signals=(signal.SIGINT,)):
    """Records into <folder>/<name>.wav; during(run) runs once it started and
    may return a player to wait for; the signals go `until` s after the start."""
    out = str(folder / (name + ".wav"))
    run = tool.Run(binary, [out, *args], server.env, str(folder), out)
    try:
        player = during(run) if during else None
        run.sleep_until(until)
        run.stop(*signals)
        if player:
            player.wait(timeout=30)
    finally:
        run.kill()
    return run


def play_at(server, run, at, tracks):
    """Plays the tracks `at` s after the start; returns the player and keeps
    the instant the sound began in run.played."""
    run.sleep_until(at)
    player, run.played = room.play(server, tracks, run.folder)
    return player


def assert_files(run, both=True, rate=RATE):
    assert run.status == 0 and len(run.wrote()) == 1, run
    for label in (None, "mic", "sys"):
        if not both and label:
            assert not os.path.exists(run.path(label))
            continue
        got, channels, frames = room.wave_info(run.path(label))
        assert rate in (None, got) and channels == 1, (label, got, channels)
        assert abs(frames / got - run.seconds) <= 0.05 * run.seconds, (label, frames / got)


def span_energy(x, start, spans, margin=0.05):
    """Mean square of x over the spans (seconds after sample `start`)."""
    parts = [x[start + int((a + margin) * RATE):start + int((b - margin) * RATE)]
             for a, b in spans]
    return float(np.mean(np.concatenate(parts).astype(np.float64) ** 2))


@pytest.fixture(scope="module")
def conversation(binary, server, voices, tmp_path_factory):
    """The same conversation recorded with the canceller and with --no-echo-cancel."""
    conv, folder = Conversation(*voices), tmp_path_factory.mktemp("conversation")
    tracks = [("speakers", conv.far), ("room", conv.mic)]
    runs = {name: record(binary, server, folder, name, args, LEAD + conv.length + 0.7,
                         lambda run: play_at(server, run, LEAD, tracks))
            for name, args in (("aec", []), ("plain", ["--no-echo-cancel"]))}
    # Where the far end starts in each system track, and the lag of the
    # microphone behind it when nothing is cancelled: the room's delay plus
    # whatever offset the tool and the remap source put between the tracks.
    starts = {k: int(room.lag_ms(conv.far, r.track("sys"), 20000) * RATE / 1000)
              for k, r in runs.items()}
    lag = room.lag_ms(runs["plain"].track("sys"), runs["plain"].track("mic"), 500)
    return conv, runs, starts, lag


def test_both_recordings_write_three_files(conversation):
    _, runs, _, _ = conversation
    for run in runs.values():
        assert_files(run)
    assert runs["aec"].starting("echo cancellation applied (")
    assert not runs["plain"].starting("echo cancellation applied (")
    assert runs["plain"].aec_delays() is None


def test_system_track_holds_the_far_end_where_it_was_played(conversation):
    conv, runs, starts, _ = conversation
    sys_track = runs["aec"].track("sys")
    assert abs(starts["aec"] / RATE - (runs["aec"].played - runs["aec"].started)) <= 0.2
    assert room.correlation(conv.far, sys_track[starts["aec"]:]) >= 0.9


def test_tracks_line_up_and_the_canceller_finds_the_delay(conversation):
    _, runs, _, lag = conversation
    assert abs(lag - DELAY_MS) <= 30, "microphone %.1f ms behind the system track" % lag
    delays = runs["aec"].aec_delays()
    assert delays and all(abs(d - lag) <= 20 for d in delays), (delays, lag)


def test_echo_drops_and_the_near_end_stays(conversation):
    conv, runs, starts, _ = conversation
    mic = {k: r.track("mic") for k, r in runs.items()}
    # Each file against itself: the normalisation scales a file as a whole.
    share = {k: span_energy(mic[k], starts[k], conv.far_spans)
             / span_energy(mic[k], starts[k], conv.near_span) for k in mic}
    assert 10 * np.log10(share["plain"] / share["aec"]) >= 10.0, share
    near = {k: span_energy(mic[k], starts[k], conv.near_span) / runs[k].mic_gain() ** 2
            for k in mic}
    assert 10 * np.log10(near["aec"] / near["plain"]) >= -3.0, near


@pytest.mark.parametrize("args, signals, started, absent", [
    (["--system"], (signal.SIGTERM,), "system capture started", "mic capture started"),
    (["--mic", "--mic-device", "no-such-mic"], (signal.SIGINT, signal.SIGINT),
     "mic capture started: Room microphone", "system capture started")])
def test_one_source(binary, server, voices, tmp_path, args, signals, started, absent):
    run = record(binary, server, tmp_path, "one", args, 4.0, lambda run: play_at(
        server, run, 1.0, [("speakers", voices[0]), ("room", voices[0])]), signals)
    # Alone, the microphone is written at its own rate; two signals, one finish.
    assert_files(run, both=False, rate=None if "--mic" in args else RATE)
    assert run.has(started) and not run.starting(absent), run
    assert len(run.starting("mic: ")) == 1, run
    warning = "[WARN] mic device 'no-such-mic' not found; using default"
    if "--mic" in args:
        assert run.lines.index(tool.PREFIX + warning) < run.lines.index(tool.PREFIX + started)


def test_a_removed_sink_stops_the_system_stream(binary, server, tmp_path):
    module = server.null_sink("spare", "Spare")
    server.set_default("sink", "spare")

    def remove(run):
        run.wait_line("system capture started")
        server.pactl("unload-module", module)
    try:
        run = record(binary, server, tmp_path, "removed", [], 3.0, remove)
    finally:
        server.set_default("sink", "speakers")
    assert run.status == 0 and len(run.starting("wrote ")) == 2, run
    assert len(run.starting("[WARN] system stream stopped: ")) == 1, run


def test_the_wall_clock_survives_idle_sinks(binary, server, voices, tmp_path, conversation):
    """Far end 5 s in, 4 s of silence with the sinks idle, far end again."""
    server.end("silence-speakers")
    server.end("silence-room")
    bursts = [room.place(len(x) / RATE + 0.1, [(0.0, x)]) for x in voices[:2]]
    marks = []

    def talk(run):
        for at, x in zip((5.0, 0.0), bursts):
            time.sleep(at)
            player, t = room.play(server, [("speakers", x), ("room", room.echo_of(
                x, DELAY_MS, GAIN))], run.folder)
            marks.append(t)
            player.wait(timeout=30)  # the streams close: the sinks idle from here
            time.sleep(4.0 if len(marks) == 1 else 0.8)
    run = record(binary, server, tmp_path, "idle", [], 0.0, talk)
    assert_files(run)
    sys_track = run.track("sys")
    at = [room.lag_ms(b, sys_track, 30000) / 1000 for b in bursts]
    assert abs((at[1] - at[0]) - (marks[1] - marks[0])) <= 0.1, (at, marks)
    # The start-up of the tool itself lies between run.started and its clock.
    assert abs(at[0] - (marks[0] - run.started)) <= 0.2, (at, marks, run.started)
    delays, lag = run.aec_delays(), conversation[3]
    assert delays and all(abs(d - lag) <= 20 for d in delays), (delays, lag)


def test_the_server_going_away_keeps_what_was_captured(binary, server, voices, tmp_path):
    """PulseAudio is killed outright and comes back on the same socket (the tool
    must not reconnect or hang); PipeWire simply stops. A second signal during
    the finish changes nothing."""
    def crash(run):
        player = play_at(server, run, 1.0, [("speakers", voices[0])])
        run.sleep_until(3.0)
        run.crashed = time.monotonic() - run.started
        if server.kind == "pulseaudio":
            args = server.procs["pulseaudio"].args
            server.end("pulseaudio", signal.SIGKILL)
            time.sleep(0.5)
            server.spawn("pulseaudio", args)
            server.wait_until(lambda: server.pactl("info"), "pulseaudio again")
        else:
            for name in list(server.procs):
                server.end(name)
        time.sleep(1.5)
        return player
    run = record(binary, server, tmp_path, "crash", [], 0.0, crash,
                 (signal.SIGINT, signal.SIGTERM))
    assert run.status == 0 and run.stdout == b"", run
    assert len(run.starting("[WARN] system stream stopped: ")) == 1, run
    assert len(run.starting("wrote ")) == 2, run
    sys_frames, sys_peak = run.frames("sys")
    assert sys_frames >= (run.crashed - 1.0) * RATE and sys_peak > 0, run
    assert os.path.getsize(run.out) == 44 + 2 * max(sys_frames, run.frames("mic")[0])
    assert os.path.exists(run.path("mic")) and os.path.exists(run.path("sys"))
