"""Live recordings in a room (room.py) on a private PulseAudio and PipeWire:
the far end plays through "speakers", the microphone hears it 40 ms later at
half level plus a near-end voice. The tests of a server share it and run in
this file's order: the last ones let its sinks idle and then take it away."""
import os
import signal
import subprocess
import time

import numpy as np
import pytest
from scipy.io import wavfile

import room
import sound_server

DELAY_MS, GAIN, RATE = 40.0, 0.5, room.RATE
LEAD = 2.5  # a fresh stream's first moments carry no data on PulseAudio


@pytest.fixture(scope="module", params=sound_server.KINDS)
def server(request):
    with sound_server.running(request.param) as s:
        yield s.setup_room()


@pytest.fixture(scope="module")
def voices():
    return [room.speech("The quarterly figures are ready for review."),
            room.speech("Then let us start with the north."),
            room.speech("Yes, I have the report here.", "en+f3")]


def record(start, server, folder, args, until, during=None, signals=(signal.SIGINT,)):
    """Records into <folder>/<n>.wav; during(run) runs once it started and may
    return a player to wait for; the signals go `until` s after the start."""
    out = str(folder / ("%d.wav" % len(os.listdir(folder))))
    run = start([out, *args], server.env, out, folder)
    player = during(run) if during else None
    run.sleep_until(until)
    run.stop(*signals)
    if player:
        player.wait(timeout=30)
    return run


def play_at(server, run, at, tracks):
    """Plays the tracks `at` s after the start; run.played is when they began."""
    run.sleep_until(at)
    player, run.played = room.play(server, tracks, run.folder)
    return player


def offset_ms(run, far, near, near_after):
    """How far the microphone track lags the system track, from where `near`
    and `far`, played `near_after` s apart by one player, sit in them."""
    sys_at, mic_at = (room.lag_ms(x, run.track(k), 30000) for x, k in ((far, "sys"), (near, "mic")))
    return mic_at - sys_at - 1000 * near_after


def assert_files(run, both=True, rate=RATE):
    assert run.status == 0 and len(run.wrote()) == 1, run
    for label in (None, "mic", "sys"):
        if not both and label:
            assert not os.path.exists(run.path(label))
            continue
        got, x = wavfile.read(run.path(label))
        assert rate in (None, got) and x.ndim == 1, (label, got, x.shape)
        assert abs(len(x) / got - run.seconds) <= 0.05 * run.seconds, (label, len(x) / got)


def dropouts(track, played, shortest_ms=2.0, from_s=0.05):
    """Where (s) the recorded `track`, placed at what was `played`, holds exact
    zeros for `shortest_ms` or longer while the played sound is not silent: the
    server's graph missed a cycle. A dropout in both tracks at once is a shared
    feature the delay search may lock onto at the tracks' own offset. The
    first `from_s` are left out: PulseAudio may lose a new stream's first
    milliseconds from a monitor."""
    n = min(len(track), len(played))
    zero = np.concatenate([[0], (track[:n] == 0).astype(np.int8), [0]])
    edges = np.flatnonzero(np.diff(zero))
    shortest, first = int(shortest_ms * RATE / 1000), int(from_s * RATE)
    return [a / RATE for a, b in zip(edges[::2], edges[1::2])
            if b - a >= shortest and a >= first and np.max(np.abs(played[a:b])) >= 0.01]


@pytest.fixture(scope="module")
def conversation(start, server, voices, tmp_path_factory):
    """Far end, near end, far end again, recorded with the canceller and with
    --no-echo-cancel: (runs, where the far end starts in each system track,
    the far end, its spans and the near end's, each run's microphone offset)."""
    far1, far2, near = voices
    t_near, t_far2 = len(far1) / RATE + 0.4, (len(far1) + len(near)) / RATE + 0.8
    length = t_far2 + len(far2) / RATE + 0.3
    far = room.place(length, [(0, far1), (t_far2, far2)])
    mic = room.echo_of(far, DELAY_MS, GAIN) + room.place(length, [(t_near, near)])
    folder = tmp_path_factory.mktemp("conversation")

    def take(args):  # a take the server played without a dropout, in four tries
        for _ in range(4):
            run = record(start, server, folder, args, LEAD + length + 0.7, lambda run: play_at(
                server, run, LEAD, [("speakers", far), ("room", mic)]))
            at = int(round(room.lag_ms(far, run.track("sys"), 20000) * RATE / 1000))
            if not dropouts(run.track("sys")[at:], far):
                return run, at
        pytest.fail("every take has a dropout in its system track: %r" % dropouts(run.track("sys")[at:], far))

    takes = {name: take(args) for name, args in (("aec", []), ("plain", ["--no-echo-cancel"]))}
    runs = {k: run for k, (run, _) in takes.items()}
    starts = {k: at for k, (_, at) in takes.items()}
    echo = DELAY_MS / 1000
    spans = {"far": [(0, len(far1) / RATE + echo), (t_far2, t_far2 + len(far2) / RATE + echo)],
             "near": [(t_near, t_near + len(near) / RATE)]}
    return runs, starts, far, spans, {k: offset_ms(r, far, near, t_near) for k, r in runs.items()}


def test_both_recordings_line_up_and_the_canceller_finds_the_delay(conversation):
    runs, starts, far, _, offsets = conversation
    for run in runs.values():
        assert_files(run)
    assert runs["aec"].starting("echo cancellation applied (")
    assert not runs["plain"].starting("echo cancellation applied (")
    assert not runs["plain"].starting("[aec]")
    run = runs["aec"]
    assert abs(starts["aec"] / RATE - (run.played - run.started)) <= 0.3
    assert room.correlation(far, run.track("sys")[starts["aec"]:]) >= 0.9
    # Stream start-up on a busy machine moves the tracks by a few tens of ms.
    assert all(abs(v) <= 50 for v in offsets.values()), offsets
    delays, room_delay = runs["aec"].aec_delays(), DELAY_MS + offsets["aec"]
    assert delays and all(abs(d - room_delay) <= 20 for d in delays), (delays, room_delay)


def test_echo_drops_and_the_near_end_stays(conversation):
    runs, starts, _, spans, _ = conversation

    def energy(k, what, margin=0.05):  # the microphone file's, with its gain undone
        x, i = runs[k].track("mic"), starts[k]
        gain = float(runs[k].find("\u00d7 gain ([.\\d]+)")[1])  # lines: mix, mic, sys
        return np.mean(np.concatenate([x[i + int((a + margin) * RATE):
                                         i + int((b - margin) * RATE)] for a, b in spans[what]])
                       .astype(np.float64) ** 2) / gain ** 2
    share = {k: energy(k, "far") / energy(k, "near") for k in runs}
    assert 10 * np.log10(share["plain"] / share["aec"]) >= 10.0, share
    assert 10 * np.log10(energy("aec", "near") / energy("plain", "near")) >= -3.0


def test_a_flac_take_levelled_by_loudness_gives_three_files_of_its_length(start, server, voices,
                                                                          tmp_path):
    out = str(tmp_path / "call.flac")
    run = start([out, "--loudness", "-16"], server.env, out, tmp_path)
    player = play_at(server, run, 1.0, [("speakers", voices[0]), ("room", voices[2])])
    run.sleep_until(4.0)
    run.stop(signal.SIGINT)
    player.wait(timeout=30)
    assert run.status == 0 and len(run.starting("loudness: ")) == 3, run
    assert not run.starting("normalize: ") and run.has("wrote channels → %s + %s" % (
        tmp_path / "call.mic.flac", tmp_path / "call.sys.flac")), run
    for name in ("call.flac", "call.mic.flac", "call.sys.flac"):
        wav = str(tmp_path / (name + ".wav"))
        subprocess.run(["flac", "-d", "-s", "-f", "-o", wav, str(tmp_path / name)], check=True)
        got, x = wavfile.read(wav)
        assert got == RATE and x.dtype == np.int16 and x.ndim == 1, (name, got, x.shape)
        assert abs(len(x) / got - run.seconds) <= 0.05 * run.seconds, (name, len(x) / got)


@pytest.mark.parametrize("args, signals, said, absent", [
    (["--system"], (signal.SIGTERM,), ["system capture started"], "mic capture started"),
    (["--mic", "--mic-device", "no-such-mic"], (signal.SIGINT, signal.SIGINT),
     ["[WARN] mic device 'no-such-mic' not found; using default",
      "mic capture started: Room microphone"], "system capture started")])
def test_one_source(start, server, voices, tmp_path, args, signals, said, absent):
    run = record(start, server, tmp_path, args, 4.0, lambda run: play_at(
        server, run, 1.0, [("speakers", voices[0]), ("room", voices[0])]), signals)
    # Alone, the microphone is written at its own rate; two signals, one finish.
    assert_files(run, both=False, rate=None if "--mic" in args else RATE)
    said = ["narup-capture: " + line for line in said]
    assert [line for line in run.lines if line in said] == said, run
    assert not run.starting(absent) and len(run.starting("mic: ")) == 1, run


def test_not_a_number_in_the_microphone(start, server, voices, tmp_path):
    """Counted in no level, the canceller's result reverted, the files written."""
    server.null_sink("nanroom", "NaN room", "format=float32le", "channels=1", "rate=48000")
    server.remap_source("nanmic", "nanroom.monitor", "NaN mic", "format=float32le")
    server.keep_running("nanroom")
    x = np.zeros(4 * RATE, np.float32)
    x[::100], x[1::100] = np.nan, 0.3
    x.tofile(tmp_path / "nan.raw")

    def play(run):
        run.wait_line("mic capture started")
        server.spawn("nan", ["pacat", "-p", "-d", "nanroom", "--format=float32le",
                             "--channels=1", "--rate=48000", str(tmp_path / "nan.raw")])
        return play_at(server, run, 0, [("speakers", voices[0])])
    run = record(start, server, tmp_path, ["--mic-device", "nanmic"], 3.5, play)
    assert run.status == 0 and len(run.starting("wrote ")) == 2, run
    assert run.starting("[aec] applied=no(reverted)") and run.frames("mic")[1] == 0.3, run


@pytest.mark.parametrize("fmt", ["s24le", "s32le"])
def test_a_microphone_in_a_wide_integer_format_records_speech(start, server, voices, tmp_path,
                                                               fmt):
    """The stream asks the server for float32, so any source format records."""
    if server.kind == "pipewire":
        pytest.skip("PipeWire's null sinks and remap sources are float32 whatever asked")
    server.null_sink("wide_" + fmt, "Wide", "format=" + fmt, "rate=48000", "channels=1")
    server.remap_source("mic_" + fmt, "wide_%s.monitor" % fmt, "Wide mic", "format=" + fmt)
    server.keep_running("wide_" + fmt)
    run = record(start, server, tmp_path, ["--mic", "--mic-device", "mic_" + fmt], 4.0,
                 lambda run: play_at(server, run, 1.0, [("wide_" + fmt, voices[2])]))
    formats = run.starting("format[mic]: ")
    assert len(formats) == 1 and " bits=32 float=true int=false " in formats[0], run
    assert run.status == 0 and not run.starting("[WARN] mic: unsupported"), run
    mic = run.track()
    at = int(room.lag_ms(voices[2], mic, 4000) * RATE / 1000)
    assert at >= 0 and room.correlation(voices[2], mic[at:]) >= 0.9, (at, run)


def test_the_wall_clock_survives_idle_sinks(start, server, voices, tmp_path):
    """Far end 5 s in, 4 s of silence with the sinks idle, far end again."""
    server.end("silence-speakers")
    server.end("silence-room")
    marks = []

    def talk(run):
        for pause, x in ((5.0, voices[0]), (4.0, voices[1])):
            time.sleep(pause)
            player, t = room.play(server, [("speakers", x),
                                           ("room", room.echo_of(x, DELAY_MS, GAIN))], run.folder)
            marks.append(t)
            player.wait(timeout=30)  # the streams close: the sinks idle from here
        time.sleep(0.8)
    run = record(start, server, tmp_path, [], 0.0, talk)
    assert_files(run)
    at = [room.lag_ms(x, run.track("sys"), 30000) / 1000 for x in voices[:2]]
    assert abs((at[1] - at[0]) - (marks[1] - marks[0])) <= 0.1, (at, marks)
    # The tool's own start-up lies between run.started and its clock.
    assert abs(at[0] - (marks[0] - run.started)) <= 0.3, (at, marks, run.started)
    # The tracks line up within 50 ms (see above); the delay is found within 20.
    delays = run.aec_delays()
    assert delays and all(abs(d - DELAY_MS) <= 70 for d in delays), delays


def test_the_server_going_away_keeps_what_was_captured(start, server, voices, tmp_path):
    """PulseAudio is killed outright and comes back on the same socket (the tool
    must not reconnect or hang); on PipeWire the default sink is removed. A
    second signal during the finish changes nothing."""
    def crash(run):
        player = play_at(server, run, 1.0, [("speakers", voices[0])])
        run.sleep_until(3.0)
        run.crashed = time.monotonic() - run.started
        if server.kind == "pipewire":
            server.pactl("unload-module", server.modules["speakers"])
        else:
            args = server.procs["pulseaudio"].args
            server.end("pulseaudio", signal.SIGKILL)
            server.spawn("pulseaudio", args)
            server.wait_until(lambda: server.pactl("info"), "pulseaudio again")
        time.sleep(1.5)
        return player
    run = record(start, server, tmp_path, [], 0.0, crash, (signal.SIGINT, signal.SIGTERM))
    assert run.status == 0 and run.stdout == b"" and len(run.starting("wrote ")) == 2, run
    # On PipeWire the server names "room" the default: the track follows it.
    moved = ["narup-capture: system audio → Room"] if server.kind == "pipewire" else []
    assert run.starting("system audio → ") == moved, run
    assert len(run.starting("[WARN] system stream stopped: ")) == (server.kind != "pipewire"), run
    sys_frames, sys_peak = run.frames("sys")
    assert sys_frames >= (run.crashed - 1.0) * RATE and sys_peak > 0, run
    assert os.path.getsize(run.out) == 44 + 2 * max(sys_frames, run.frames("mic")[0])
    assert os.path.exists(run.path("mic")) and os.path.exists(run.path("sys"))
