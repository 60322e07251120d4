"""Ctrl-Z in the middle of a recording: the process is stopped (SIGSTOP, or
SIGTSTP as a terminal sends it) while time-coded beeps play into the room,
then continued. What the server kept must sit where it was captured and what
it lost must be silence of its length: every beep stays at its time on both
tracks, and the tracks stay together. NARUP_PAUSE_SECONDS sets the pause
(5 s by default; a long one shows what a server drops when its queue fills)."""
import os
import signal
import time

import numpy as np
import pytest

import room
import sound_server

RATE, PERIOD, BEEP = room.RATE, 0.5, 0.04
LEAD = 2.5  # a fresh stream's first moments carry no data on PulseAudio
PAUSE = float(os.environ.get("NARUP_PAUSE_SECONDS", "5"))
BEEPS, STOP_AFTER = 24, 3.2  # beeps in all; the process stops this long after the first


@pytest.fixture(scope="module", params=sound_server.KINDS)
def server(request):
    with sound_server.running(request.param) as s:
        yield s.setup_room()


def frequency(k):
    return 400.0 + 100.0 * k


def beeps():
    """Beep k (40 ms at frequency(k)) at k * PERIOD."""
    x = np.zeros(int((BEEPS * PERIOD + 0.5) * RATE), np.float32)
    n = int(BEEP * RATE)
    t = np.arange(n) / RATE
    for k in range(BEEPS):
        i = int(round(k * PERIOD * RATE))
        x[i:i + n] = 0.5 * np.hanning(n) * np.sin(2 * np.pi * frequency(k) * t)
    return x


def found(track):
    """{k: where (s) beep k starts in the track}, by its frequency."""
    n = int(BEEP * RATE)
    loud = np.flatnonzero(np.abs(track) > 0.1 * np.abs(track).max())
    hits, j = {}, 0
    while j < len(loud):
        i = loud[j]
        segment = track[max(0, i - n):i + 2 * n].astype(np.float64)
        spectrum = np.abs(np.fft.rfft(segment * np.hanning(len(segment)), 16384))
        k = int(round((np.argmax(spectrum) * RATE / 16384 - frequency(0)) / 100.0))
        energy = segment ** 2
        centre = max(0, i - n) + (np.arange(len(segment)) @ energy) / energy.sum()
        if 0 <= k < BEEPS and k not in hits:
            hits[k] = (centre - n / 2) / RATE
        j = np.searchsorted(loud, i + int(0.25 * RATE))
    return hits


def test_a_stopped_recording_keeps_every_beep_at_its_time(start, server, tmp_path):
    x = beeps()
    out = str(tmp_path / "paused.wav")
    run = start([out, "--no-echo-cancel"], server.env, out, tmp_path)
    run.sleep_until(LEAD)
    player, played = room.play(server, [("speakers", x), ("room", x)], run.folder)
    time.sleep(max(0.0, played + STOP_AFTER - time.monotonic()))
    stopped = time.monotonic()
    run.proc.send_signal(signal.SIGSTOP if server.kind == "pulseaudio" else signal.SIGTSTP)
    time.sleep(PAUSE)
    run.proc.send_signal(signal.SIGCONT)
    resumed = time.monotonic()
    player.wait(timeout=60)
    time.sleep(max(0.0, played + BEEPS * PERIOD + 0.7 - time.monotonic()))
    run.stop(signal.SIGINT)
    assert run.status == 0 and len(run.wrote()) == 1, run

    # Where each beep sits against where the wall clock put it; the tool's
    # clock starts between run.started and its first lines.
    late = {}
    for label in ("sys", "mic"):
        track = run.track(label)
        assert abs(len(track) / RATE - run.seconds) <= 0.05 * run.seconds, (label, len(track))
        late[label] = {k: at - (played - run.started) - k * PERIOD
                       for k, at in found(track).items()}
    before = [k for k in range(BEEPS) if k * PERIOD < STOP_AFTER]
    after = [k for k in range(BEEPS) if k * PERIOD > resumed - played + 0.1]
    heard = {label: sorted(v) for label, v in late.items()}
    print("server %s, pause %.1f s: beeps heard %s" % (server.kind, resumed - stopped, heard))
    for label in late:
        print("%s: late by (ms) %s" % (label, {k: round(1000 * v) for k, v in late[label].items()}))
    for label, by in late.items():
        assert all(k in by for k in before + after), (label, heard[label])
        assert abs(by[before[0]]) <= 0.3, (label, by)  # the tool's own start-up
        # Every beep where the first one says: the pause added nothing and
        # moved nothing; the beeps lost in it (if any) leave the rest in place.
        assert all(abs(by[k] - by[before[0]]) <= 0.05 for k in by), (label, by)
    # The microphone keeps its offset against the system track.
    common = sorted(set(late["sys"]) & set(late["mic"]))
    offsets = [late["mic"][k] - late["sys"][k] for k in common]
    assert all(abs(o - offsets[0]) <= 0.01 for o in offsets), offsets
