"""Faults a user meets: unwritable or odd output paths, broken WAV files, stop
signals at awkward moments, no sound server."""
import io
import os
import signal
import struct
import time

import numpy as np
import pytest
from scipy.io import wavfile

import room


def wav_bytes(seconds, seed, declared=None):
    """A 16-bit mono WAV of noise at 48000 Hz; `declared` overrides its data size."""
    f, noise = io.BytesIO(), np.random.default_rng(seed).uniform(-0.3, 0.3, int(seconds * 48000))
    wavfile.write(f, 48000, room.pcm16(noise))
    data = f.getvalue()
    return data if declared is None else data[:40] + struct.pack("<I", declared) + data[44:]


@pytest.fixture
def inputs(tmp_path):
    for name, seed in (("mic", 1), ("sys", 2)):
        (tmp_path / (name + ".wav")).write_bytes(wav_bytes(1.0, seed))
    return str(tmp_path / "mic.wav"), str(tmp_path / "sys.wav")


def process(start, env, mic, sys_, out):
    return start(["--process-files", mic, sys_, out], env).wait()


@pytest.mark.parametrize("where, reason", [("missing/folder/out.wav", "No such file or directory"),
                                           (".", "Is a directory"),
                                           ("/dev/full", "No space left on device"),
                                           ("readonly/out.wav", "Permission denied")])
def test_an_unwritable_output_keeps_the_status_and_says_so(start, no_server, inputs, tmp_path,
                                                             where, reason):
    (tmp_path / "readonly").mkdir(mode=0o555)
    out = os.path.join(tmp_path, where) if where != "." else str(tmp_path)
    run = process(start, no_server, *inputs, out)
    assert (run.status, run.stdout) == (0, b"")
    warned = ["narup-capture: [WARN] %s not written: %s" % (out, reason)]
    if where.startswith("readonly") and os.geteuid() == 0:
        warned = []  # root writes anyway
    assert run.lines[-1 - len(warned):] == ["narup-capture: wrote cleaned mic → " + out] + warned
    assert not (tmp_path / "missing").exists()
    if os.geteuid() != 0:
        assert not (tmp_path / "readonly" / "out.wav").exists()


BROKEN = {
    "empty": b"",
    "no samples": wav_bytes(0, 3),
    "not RIFF": b"RIFX" + wav_bytes(0.01, 3)[4:],
    "24-bit": wav_bytes(0.01, 3).replace(b"\x10\x00data", b"\x18\x00data"),
    "zero channels": wav_bytes(0.01, 3).replace(b"\x01\x00\x01\x00", b"\x01\x00\x00\x00", 1),
    "cut fmt chunk": (b"RIFF\0\0\0\0WAVEdata\x14\0\0\0" + bytes(20) + b"fmt \x10\0\0\0\x01\0"),
    "random bytes": np.random.default_rng(5).integers(0, 256, 4096, dtype=np.uint8).tobytes(),
    "missing": None,
    "a folder": "folder",
}


@pytest.mark.parametrize("name", BROKEN)
def test_a_broken_input_fails_and_leaves_the_output(start, no_server, inputs, tmp_path, name):
    bad, out = tmp_path / "bad.wav", tmp_path / "out.wav"
    if BROKEN[name] == "folder":
        bad.mkdir()
    elif BROKEN[name] is not None:
        bad.write_bytes(BROKEN[name])
    out.write_bytes(b"keep me")
    # Both unreadable: only the microphone's line.
    run = process(start, no_server, str(bad), str(bad), str(out))
    assert run.status == 1 and run.lines == ["narup-capture [FAIL] cannot read mic wav: %s" % bad]
    run = process(start, no_server, inputs[0], str(bad), str(out))
    assert run.status == 1 and run.lines[-1:] == ["narup-capture [FAIL] cannot read sys wav: %s"
                                                  % bad]
    assert out.read_bytes() == b"keep me"


def test_a_wav_declaring_more_than_it_holds_is_read_to_its_end(start, no_server, inputs,
                                                                tmp_path):
    huge, out = tmp_path / "huge.wav", tmp_path / "out.wav"
    huge.write_bytes(wav_bytes(1.0, 4, declared=0xFFFFFFF0))
    run = process(start, no_server, str(huge), inputs[1], str(out))
    assert run.status == 0 and run.has("process-files: mic 48000@48000 + sys 48000@48000"), run
    assert out.stat().st_size == 44 + 2 * 48000


def test_no_server_records_an_empty_file_once_for_three_signals(start, no_server, tmp_path):
    out = str(tmp_path / "none.wav")
    os.mkdir(out + ".spool")  # an earlier empty take's spool never blocks the next
    run = start([out], no_server, out)
    run.wait_line("no microphone device available")
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGINT):
        run.proc.send_signal(sig)
    run.wait()
    assert run.status == 0, run
    warning = run.starting("[WARN] shareable content: ")
    assert len(warning) == 1 and warning[0].endswith(" — system audio disabled."), run
    assert run.has("[WARN] no microphone device available")
    assert run.wrote() == ["narup-capture: wrote 0 frames @ 48000Hz → " + out]
    assert os.path.getsize(out) == 44 and not os.path.exists(out + ".spool")
    assert not os.path.exists(run.path("mic")) and not os.path.exists(run.path("sys"))


def catches(pid, sig):
    with open("/proc/%d/status" % pid) as f:
        caught = [l for l in f if l.startswith("SigCgt:")][0].split()[1]
    return int(caught, 16) >> (sig - 1) & 1


@pytest.mark.parametrize("sig, where", [(signal.SIGINT, "early.wav"),
                                        (signal.SIGTERM, "early-term.wav"),
                                        (signal.SIGHUP, "hung-up.wav")])
def test_a_signal_at_start_up_is_not_lost(start, no_server, tmp_path, sig, where):
    """Sent the moment the handler exists, before the start-up can have finished. A
    closed terminal's SIGHUP finishes the recording as SIGTERM does."""
    out = str(tmp_path / where)
    run = start([out], no_server, out)
    while run.proc.poll() is None and not catches(run.proc.pid, sig):
        time.sleep(0.0005)
    run.proc.send_signal(sig)
    run.wait()
    assert run.status == 0, run
    assert run.wrote() == ["narup-capture: wrote 0 frames @ 48000Hz → " + out], run
