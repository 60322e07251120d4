#!/usr/bin/env python3
"""Faults a user meets: unwritable or odd output paths, a full disk, broken and
truncated WAV files, stop signals at awkward moments, no sound server. Each
case runs the real binary and checks the lines, the status and the files.

Run: python3 test_faults.py --binary PATH
"""
import argparse
import os
import signal
import struct
import subprocess
import sys
import tempfile
import time

import numpy as np

from checks import Checks, finish

PREFIX = "narup-capture: "


def wav_bytes(samples, rate=48000, channels=1, declared_data=None):
    data = np.asarray(samples, dtype="<i2").tobytes()
    size = len(data) if declared_data is None else declared_data
    fmt = struct.pack("<HHIIHH", 1, channels, rate, rate * 2 * channels, 2 * channels, 16)
    body = b"WAVE" + b"fmt " + struct.pack("<I", 16) + fmt + b"data" + struct.pack("<I", size) + data
    return b"RIFF" + struct.pack("<I", min(len(body), 0xFFFFFFFF)) + body


def noise(n, amplitude, seed):
    rng = np.random.default_rng(seed)
    return (rng.uniform(-amplitude, amplitude, n) * 32767).astype(np.int16)


class Runner(Checks):
    def __init__(self, binary):
        super().__init__()
        self.binary = binary
        self.work = tempfile.mkdtemp(prefix="narup-faults-")
        self.home = os.path.join(self.work, "home")
        os.makedirs(self.home)
        runtime = os.path.join(self.work, "runtime")
        os.makedirs(runtime)
        # No sound server anywhere: an empty runtime folder and a socket that
        # does not exist.
        self.env = dict(os.environ, HOME=self.home, XDG_RUNTIME_DIR=runtime,
                        PULSE_SERVER="unix:" + os.path.join(runtime, "none"))

    def path(self, name):
        return os.path.join(self.work, name)

    def run(self, args, timeout=60):
        return subprocess.run([self.binary] + args, env=self.env, capture_output=True,
                              timeout=timeout)

    def start(self, args):
        return subprocess.Popen([self.binary] + args, env=self.env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)


def lines(stderr):
    return stderr.decode("utf-8", "replace").splitlines()


def process_files_faults(t):
    mic = t.path("mic.wav")
    sys_ = t.path("sys.wav")
    with open(mic, "wb") as f:
        f.write(wav_bytes(noise(48000, 0.3, 1)))
    with open(sys_, "wb") as f:
        f.write(wav_bytes(noise(48000, 0.3, 2)))

    # A missing folder, a folder as the output, a full disk: the write fails
    # silently, the report line still follows and the status is 0.
    for name, out in [("missing folder", t.path("no/such/dir/out.wav")),
                      ("output is a folder", t.work),
                      ("full disk", "/dev/full")]:
        r = t.run(["--process-files", mic, sys_, out])
        ls = lines(r.stderr)
        t.check("process-files, %s: status 0" % name, r.returncode == 0, str(r.returncode))
        t.check("process-files, %s: report line" % name,
                ls[-1:] == [PREFIX + "wrote cleaned mic \u2192 " + out], repr(ls[-1:]))
        t.check("process-files, %s: nothing on stdout" % name, r.stdout == b"")
    t.check("process-files, missing folder: not created",
            not os.path.exists(t.path("no/such/dir")))

    # A read-only folder, unless we are root (root writes anyway).
    ro = t.path("readonly")
    os.makedirs(ro)
    os.chmod(ro, 0o555)
    r = t.run(["--process-files", mic, sys_, os.path.join(ro, "out.wav")])
    t.check("process-files, read-only folder: status 0", r.returncode == 0)
    if os.geteuid() != 0:
        t.check("process-files, read-only folder: no file",
                not os.path.exists(os.path.join(ro, "out.wav")))
    os.chmod(ro, 0o755)

    # Broken inputs: the failure line names the file, the output is untouched.
    out = t.path("untouched.wav")
    with open(out, "wb") as f:
        f.write(b"keep me")
    broken = {
        "empty": b"",
        "44 bytes": wav_bytes([]),
        "not RIFF": b"RIFX" + wav_bytes(noise(100, 0.1, 3))[4:],
        "24-bit": wav_bytes(noise(99, 0.1, 3)).replace(b"\x10\x00data", b"\x18\x00data"),
        "zero channels": wav_bytes(noise(100, 0.1, 3)).replace(
            struct.pack("<HH", 1, 1), struct.pack("<HH", 1, 0), 1),
        "cut fmt chunk": (b"RIFF\x00\x00\x00\x00WAVE" + b"data\x14\x00\x00\x00" + bytes(20) +
                          b"fmt \x10\x00\x00\x00\x01\x00"),
        "random bytes": bytes(np.random.default_rng(5).integers(0, 256, 4096, dtype=np.uint8)),
    }
    for name, content in broken.items():
        bad = t.path("bad-%s.wav" % name.replace(" ", "-"))
        with open(bad, "wb") as f:
            f.write(content)
        r = t.run(["--process-files", bad, sys_, out])
        t.check("broken mic (%s): status 1" % name, r.returncode == 1, str(r.returncode))
        t.check("broken mic (%s): one failure line" % name,
                lines(r.stderr) == ["narup-capture [FAIL] cannot read mic wav: " + bad],
                repr(lines(r.stderr)))
        r = t.run(["--process-files", mic, bad, out])
        t.check("broken sys (%s): failure line" % name,
                lines(r.stderr)[-1:] == ["narup-capture [FAIL] cannot read sys wav: " + bad])
    with open(out, "rb") as f:
        t.check("broken inputs: output untouched", f.read() == b"keep me")
    r = t.run(["--process-files", t.path("nope.wav"), t.path("nope2.wav"), out])
    t.check("both unreadable: only the mic line",
            lines(r.stderr) == ["narup-capture [FAIL] cannot read mic wav: " + t.path("nope.wav")])
    r = t.run(["--process-files", t.work, sys_, out])
    t.check("a folder as input: failure line", r.returncode == 1)

    # A WAV that declares several GiB of data but holds one second: read up
    # to the end of the file, cleaned, written at the real length.
    huge = t.path("declared-huge.wav")
    with open(huge, "wb") as f:
        f.write(wav_bytes(noise(48000, 0.3, 4), declared_data=0xFFFFFFF0))
    cleaned = t.path("from-huge.wav")
    r = t.run(["--process-files", huge, sys_, cleaned])
    t.check("declared 4 GiB, holds 1 s: status 0", r.returncode == 0, repr(lines(r.stderr)))
    t.check("declared 4 GiB, holds 1 s: counted as read",
            PREFIX + "process-files: mic 48000@48000 + sys 48000@48000" in lines(r.stderr))
    t.check("declared 4 GiB, holds 1 s: output length",
            os.path.exists(cleaned) and os.path.getsize(cleaned) == 44 + 2 * 48000)


def wait_for_line(proc, text, timeout):
    """Reads standard error until a line containing text shows up."""
    seen = b""
    deadline = time.time() + timeout
    os.set_blocking(proc.stderr.fileno(), False)
    while time.time() < deadline:
        chunk = proc.stderr.read()
        if chunk:
            seen += chunk
            if text.encode() in seen:
                return seen
        time.sleep(0.05)
    return seen


def recording_faults(t):
    # No server: the warnings, then a stop signal writes an empty WAV.
    out = t.path("rec-none.wav")
    p = t.start([out])
    early = wait_for_line(p, "no microphone device available", 15)
    p.send_signal(signal.SIGINT)
    code, _, rest = finish(p)
    ls = lines(early + "\n".join(rest).encode())
    t.check("no server: status 0", code == 0, str(code))
    t.check("no server: system warning",
            any(l.startswith(PREFIX + "[WARN] shareable content: ") and
                l.endswith(" \u2014 system audio disabled.") for l in ls), repr(ls))
    t.check("no server: mic warning", PREFIX + "[WARN] no microphone device available" in ls)
    t.check("no server: empty WAV", os.path.exists(out) and os.path.getsize(out) == 44)
    t.check("no server: no channel files",
            not os.path.exists(t.path("rec-none.mic.wav")) and not os.path.exists(t.path("rec-none.sys.wav")))
    t.check("no server: wrote line",
            PREFIX + "wrote 0 frames @ 48000Hz \u2192 " + out in ls, repr(ls))

    # A stop signal the moment the process starts, before start() can have
    # returned: the signal is not lost and the finish still runs once.
    for sig in (signal.SIGINT, signal.SIGTERM):
        out = t.path("rec-early-%d.wav" % sig)
        p = t.start([out])
        time.sleep(0.02)
        p.send_signal(sig)
        code, _, ls = finish(p)
        name = signal.Signals(sig).name
        t.check("%s at once: status 0" % name, code == 0, "%s %r" % (code, ls))
        t.check("%s at once: one wrote line" % name,
                sum(1 for l in ls if l.startswith(PREFIX + "wrote ")) == 1, repr(ls))

    # Two signals at once: one finish, one set of lines.
    out = t.path("rec-twice.wav")
    p = t.start([out])
    wait_for_line(p, "no microphone device available", 15)
    p.send_signal(signal.SIGINT)
    p.send_signal(signal.SIGTERM)
    p.send_signal(signal.SIGINT)
    code, _, ls = finish(p)
    t.check("three signals at once: status 0", code == 0)
    t.check("three signals at once: one wrote line",
            sum(1 for l in ls if l.startswith(PREFIX + "wrote ")) == 1, repr(ls))

    # Output folder missing: the recording still ends with status 0.
    out = t.path("missing/dir/rec.wav")
    p = t.start([out])
    wait_for_line(p, "no microphone device available", 15)
    p.send_signal(signal.SIGINT)
    code, _, ls = finish(p)
    t.check("recording into a missing folder: status 0", code == 0)
    t.check("recording into a missing folder: wrote line",
            PREFIX + "wrote 0 frames @ 48000Hz \u2192 " + out in ls, repr(ls))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    args = parser.parse_args()
    t = Runner(os.path.abspath(args.binary))
    process_files_faults(t)
    recording_faults(t)
    return t.close()


if __name__ == "__main__":
    sys.exit(main())
