"""A recording is never lost: its tracks go to a spool beside the output as
they arrive (<out>.spool/sys.wav and mic.wav, float32 WAV), `--recover <out>`
finishes a recording that was killed, and a closed standard error changes
nothing but the missing lines."""
import os
import random
import signal
import subprocess
import time

import pytest

import room
import sound_server


@pytest.fixture(scope="module")
def server():
    with sound_server.running("pulseaudio") as s:
        yield s.setup_room()


def spool(out):
    return [open(os.path.join(out + ".spool", n), "rb").read() for n in ("sys.wav", "mic.wav")]


def test_kill_9_then_recover(start, server, tmp_path):
    far = room.speech("The first part of the call. Numbers follow now. And a third sentence.")
    near = room.speech("I hear you well. Go on, please. That is all from me.", "en+f3")
    out = str(tmp_path / "call.wav")
    run = start([out], server.env, out)
    run.wait_line("system capture started")
    time.sleep(1.0)  # a fresh stream's first moments carry no data on PulseAudio
    player, played = room.play(server, [("speakers", far), ("room", near)], str(tmp_path))
    # The spool opens in sox while the recording runs.
    time.sleep(2.0)
    for name in ("sys.wav", "mic.wav"):
        info = subprocess.run(["sox", "--i", os.path.join(out + ".spool", name)],
                              capture_output=True, text=True)
        assert info.returncode == 0 and "32-bit Floating Point PCM" in info.stdout, info
    time.sleep(random.uniform(1.0, 4.0))
    run.proc.kill()
    killed = time.monotonic()
    run.wait()
    player.wait(timeout=30)
    # A new recording does not touch the spool left behind.
    before = spool(out)
    again = start([out], server.env, out).wait(timeout=15)
    fail = [l for l in again.lines if l.startswith("narup-capture [FAIL] ")]
    assert again.status == 1 and len(fail) == 1 and "--recover" in fail[0], again
    assert not again.wrote()
    assert spool(out) == before
    # What was played up to a second before the kill is in the recovered tracks.
    recovered = start(["--recover", out], server.env, out).wait()
    assert recovered.status == 0 and recovered.starting("wrote channels"), recovered
    assert not os.path.exists(out + ".spool")
    kept = int((killed - played - 1.0) * room.RATE)
    for label, played_track, least in (("sys", far, 0.9), ("mic", near, 0.8)):
        track = recovered.track(label)
        at = int(room.lag_ms(played_track, track, 10000) * room.RATE / 1000)
        n = min(kept, len(played_track))
        assert 0 <= at and len(track) - at >= n, (label, at, len(track), n)
        assert room.correlation(played_track[:n], track[at:at + n]) >= least, label


def test_a_closed_standard_error_changes_nothing_else(binary, server, tmp_path):
    out = str(tmp_path / "piped.wav")
    proc = subprocess.Popen([binary, out], env=server.env, stderr=subprocess.PIPE)
    try:
        assert proc.stderr.readline().startswith(b"narup-capture: ")
        proc.stderr.close()
        time.sleep(2.0)
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=60) == 0
    finally:
        proc.kill()
    for path in (out, out[:-4] + ".mic.wav", out[:-4] + ".sys.wav"):
        assert len(room.read_wav(path)) > 0, path
