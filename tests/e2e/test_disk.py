"""Nothing lost to the disk: outputs that can never be written are refused at
once, a disk that fills up sends the take to the user's state folder, a finish
that cannot put its files in place says so and keeps the spool, a live take's
spool belongs to it, and a stopped --recover leaves nothing behind."""
import contextlib
import os
import signal
import struct
import subprocess
import time

import numpy as np
import pytest

import room
import sound_server

RATE = room.RATE


@pytest.fixture(scope="module")
def server():
    with sound_server.running("pulseaudio") as s:
        yield s.setup_room()


@contextlib.contextmanager
def tmpfs(path, size, *options):
    """A tmpfs of `size` at `path` for the block (root only)."""
    os.makedirs(path, exist_ok=True)
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", ",".join(["size=" + size, *options]),
                        "tmpfs", path], capture_output=True)
    if r.returncode:
        pytest.skip("cannot mount a tmpfs here: " + r.stderr.decode().strip())
    try:
        yield path
    finally:
        subprocess.run(["umount", "-l", path])


def fill(disk, leave_bytes):
    """A filler file that leaves about `leave_bytes` free on `disk`."""
    st = os.statvfs(disk)
    free = st.f_bavail * st.f_frsize
    with open(os.path.join(disk, "filler"), "wb") as f:
        f.write(b"\0" * max(0, free - leave_bytes))


def entries(folder):
    return sorted(os.listdir(folder))


def seconds_of(run, label, played=None):
    """The track's seconds, printed beside the seconds played (pytest -s)."""
    kept = run.frames(label)[0] / RATE
    if played is not None:
        print("%s: %s kept %.2f s of %.2f s played" % (os.environ.get("PYTEST_CURRENT_TEST", "").split(" ")[0], label, kept, played))
    return kept


@pytest.mark.parametrize("case", ["missing folder", "folder as output", "device", "read-only disk"])
def test_what_can_never_be_written_is_refused_at_once(start, no_server, tmp_path, case):
    out = {"missing folder": str(tmp_path / "nodir" / "out.wav"),
           "folder as output": str(tmp_path / "recs"),
           "device": "/dev/full",
           "read-only disk": str(tmp_path / "ro" / "out.wav")}[case]
    reason = {"missing folder": "No such file or directory", "folder as output": "Is a directory",
              "device": "not a regular file", "read-only disk": "Read-only file system"}[case]
    os.makedirs(tmp_path / "recs")
    with contextlib.ExitStack() as stack:
        if case == "read-only disk":
            stack.enter_context(tmpfs(str(tmp_path / "ro"), "1m", "ro"))
        before = entries(tmp_path), entries("/dev")
        run = start([out], no_server, out).wait(timeout=10)
        assert run.status == 1 and time.monotonic() - run.started < 1.0, run
        assert run.lines == ["narup-capture [FAIL] cannot record to %s: %s" % (out, reason)], run
        assert (entries(tmp_path), entries("/dev")) == before  # the stderr log is not here


def record_until_full(start, server, disk, state, name, leave_bytes):
    """A recording to `name` on `disk`, left `leave_bytes` free, once its
    first track has gone on in the state folder; with the environment."""
    fill(disk, leave_bytes)
    out = os.path.join(disk, name)
    env = dict(server.env, XDG_STATE_HOME=state)
    run = start([out], env, out)
    run.wait_line("system capture started")
    run.wait_line("recording goes on in " + state, timeout=10)
    return run, out, env


def test_a_disk_that_fills_sends_the_take_to_the_state_folder_and_back(start, server, tmp_path):
    disk, state = str(tmp_path / "disk"), str(tmp_path / "state")
    with tmpfs(disk, "24m"):
        # 0.6 MB: about 1.6 s of the two tracks
        run, out, _ = record_until_full(start, server, disk, state, "take.wav", 600_000)
        time.sleep(1.0)
        os.remove(os.path.join(disk, "filler"))
        home = ": recording goes on in " + out + ".spool"
        run.wait_line("spool sys" + home, timeout=15)
        run.stop(signal.SIGINT)
        assert run.status == 0, run
        # Each track that went away came back (the first to fill may leave the
        # other room enough).
        moved = run.starting("[WARN] spool ")
        assert len(run.find("spool (?:sys|mic)" + home)) == len(moved), run
        assert 1 <= len(moved) <= 2 and all(
            "No space left on device — recording goes on in %s/narup-capture/" % state in l
            for l in moved), run
        for label in ("sys", "mic"):  # the whole take, on the recording's clock
            assert abs(seconds_of(run, label, run.seconds) - run.seconds) < 0.15, (label, run)
        assert not os.path.exists(out + ".spool")
        assert os.listdir(os.path.join(state, "narup-capture")) == []


def test_a_finish_on_a_full_disk_says_so_and_recover_completes_it(start, server, tmp_path):
    disk, state = str(tmp_path / "disk"), str(tmp_path / "state")
    with tmpfs(disk, "24m"):
        run, out, env = record_until_full(start, server, disk, state, "full.wav", 400_000)
        time.sleep(2.0)
        run.stop(signal.SIGINT)
        assert run.status == 1, run
        spool = out + ".spool"
        paths = [out, out[:-4] + ".mic.wav", out[:-4] + ".sys.wav"]
        warned = ["narup-capture: [WARN] %s not written: No space left on device — the take is kept"
                  " in %s; run narup-capture --recover %s" % (p, spool, out) for p in paths]
        assert run.lines[-3:] == warned, run
        assert run.has("wrote channels → %s + %s" % (paths[1], paths[2])), run
        assert not any(os.path.exists(p) for p in paths)
        # The spool is whole: with room again, --recover writes the whole take.
        os.remove(os.path.join(disk, "filler"))
        again = start(["--recover", out], env, out).wait()
        assert again.status == 0 and again.starting("wrote channels"), again
        for label in ("sys", "mic"):
            assert abs(seconds_of(again, label, run.seconds) - run.seconds) < 0.15, (label, again)
        assert len(room.read_wav(out)) == again.frames("sys")[0]
        assert not os.path.exists(spool)
        assert os.listdir(os.path.join(state, "narup-capture")) == []


def test_a_live_take_keeps_its_spool_and_a_hang_up_writes_it(start, server, tmp_path):
    out = str(tmp_path / "live.wav")
    run = start([out], server.env, out)
    run.wait_line("system capture started")
    time.sleep(1.5)
    refusal = "narup-capture [FAIL] %s is still being recorded (process %d)" % (out, run.proc.pid)
    for args in (["--recover", out], [out]):
        other = start(args, server.env, out).wait(timeout=10)
        assert other.status == 1 and other.lines == [refusal], other
    time.sleep(1.0)
    run.stop(signal.SIGHUP)  # a closed terminal writes the take as SIGTERM does
    assert run.status == 0 and run.starting("wrote channels"), run
    for label in ("sys", "mic"):
        assert abs(seconds_of(run, label, run.seconds) - run.seconds) < 0.15, (label, run)
    assert not os.path.exists(out + ".spool")


def float_wav(path, seconds, hz):
    """A spool track as the recording writes it: mono float32 at 48 kHz."""
    n = int(seconds * RATE)
    x = (0.3 * np.sin(2 * np.pi * hz * np.arange(n) / RATE)).astype("<f4").tobytes()
    header = (b"RIFF" + struct.pack("<I", 38 + len(x)) + b"WAVEfmt " +
              struct.pack("<IHHIIHHH", 18, 3, 1, RATE, 4 * RATE, 4, 32, 0) +
              b"data" + struct.pack("<I", len(x)))
    with open(path, "wb") as f:
        f.write(header + x)


def test_a_stopped_recover_leaves_the_spool_and_nothing_else(start, no_server, tmp_path):
    out = str(tmp_path / "long.wav")
    os.mkdir(out + ".spool")
    float_wav(out + ".spool/sys.wav", 600, 440)
    float_wav(out + ".spool/mic.wav", 600, 300)
    spool = entries(out + ".spool"), [os.path.getsize(out + ".spool/" + n) for n in ("sys.wav", "mic.wav")]
    run = start(["--recover", out], no_server, out)
    deadline = time.monotonic() + 20
    while not any(n.startswith(".long.") for n in os.listdir(tmp_path)):
        assert run.proc.poll() is None and time.monotonic() < deadline, run.wait()
        time.sleep(0.002)
    run.proc.send_signal(signal.SIGINT)
    run.wait()
    assert run.status == 1 and run.lines[-1] == (
        "narup-capture [FAIL] recovery of %s interrupted — the spool is kept; run narup-capture"
        " --recover %s" % (out, out)), run
    assert not any(n.startswith(".") for n in os.listdir(tmp_path)), os.listdir(tmp_path)
    assert (entries(out + ".spool"), [os.path.getsize(out + ".spool/" + n)
                                      for n in ("sys.wav", "mic.wav")]) == spool
    again = start(["--recover", out], no_server, out).wait()
    assert again.status == 0 and again.frames("sys") [0] == 600 * RATE, again
    assert not os.path.exists(out + ".spool")
