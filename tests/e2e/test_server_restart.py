#!/usr/bin/env python3
"""The sound server crashes in the middle of a recording and comes back on
the same socket: the tool warns once, does not reconnect or hang, and the
stop signal still writes everything captured before the crash. A second
signal sent while the files are being written changes nothing.

Run: python3 test_server_restart.py --binary PATH
"""
import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

import sound_server
from checks import Checks, finish

PREFIX = "narup-capture: "
RATE = 48000


def frames(lines, label):
    for line in lines:
        m = re.match(re.escape(PREFIX) + label + r": (\d+) frames, peak", line)
        if m:
            return int(m.group(1))
    return -1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    args = parser.parse_args()
    binary = os.path.abspath(args.binary)
    checks = Checks()
    check = checks.check

    work = tempfile.mkdtemp(prefix="narup-restart-")
    out = os.path.join(work, "crash.wav")
    with sound_server.start_server("pulseaudio") as server:
        server.setup_room()
        first = [p for name, p in server._procs if name == "pulseaudio"][0]
        env = dict(server.env, HOME=work)
        proc = subprocess.Popen([binary, out], env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        try:
            started = time.time()
            time.sleep(3.0)
            # A crash: the server goes without a word to its clients.
            first.send_signal(signal.SIGKILL)
            first.wait()
            crashed = time.time() - started
            time.sleep(0.5)
            # The crashed server and its silence keepers are gone for good.
            server._procs = [(n, p) for n, p in server._procs if p.poll() is None]
            server._keepers.clear()
            server.spawn("pulseaudio-again", first.args)
            deadline = time.time() + 10
            while server.pactl("info", check=False, timeout=3) == "" and time.time() < deadline:
                time.sleep(0.1)
            time.sleep(1.5)
            proc.send_signal(signal.SIGINT)
            time.sleep(0.03)
            proc.send_signal(signal.SIGTERM)
            status, stdout, lines = finish(proc)
        finally:
            # Never leave the tool behind, whatever failed above.
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        summary = "\n  ".join(lines[-14:])

        check("status 0", status == 0, summary)
        check("nothing on stdout", stdout == b"")
        check("one warning that the system stream stopped",
              sum(1 for l in lines if l.startswith(PREFIX + "[WARN] system stream stopped: ")) == 1,
              summary)
        check("one finish for two signals",
              sum(1 for l in lines if l.startswith(PREFIX + "wrote ")) == 2, summary)
        sys_frames = frames(lines, "sys")
        check("the system audio before the crash is kept",
              sys_frames >= int((crashed - 1.0) * RATE), "%d frames, crash at %.1f s" % (sys_frames, crashed))
        check("the mixed file holds the longer track",
              os.path.exists(out) and os.path.getsize(out) == 44 + 2 * max(sys_frames, frames(lines, "mic")),
              summary)
        check("both channel files written",
              os.path.exists(os.path.join(work, "crash.mic.wav"))
              and os.path.exists(os.path.join(work, "crash.sys.wav")), summary)
    return checks.close()


if __name__ == "__main__":
    sys.exit(main())
