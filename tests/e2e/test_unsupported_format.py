#!/usr/bin/env python3
"""A microphone whose samples the tool cannot convert (24- and 32-bit
integers): every buffer is reported and skipped, nothing is recorded from it,
and the recording still ends normally with an empty file.

Run: python3 test_unsupported_format.py --binary PATH
"""
import argparse
import os
import signal
import subprocess
import sys
import tempfile
import time

import sound_server
from checks import Checks, finish

PREFIX = "narup-capture: "


def record_mic(binary, server, out, seconds):
    env = dict(server.env, HOME=os.path.dirname(out))
    proc = subprocess.Popen([binary, out, "--mic"], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    time.sleep(seconds)
    proc.send_signal(signal.SIGINT)
    return finish(proc)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    args = parser.parse_args()
    binary = os.path.abspath(args.binary)
    checks = Checks()
    check = checks.check

    work = tempfile.mkdtemp(prefix="narup-format-")
    with sound_server.start_server("pulseaudio") as server:
        for fmt, bits in (("s24le", 24), ("s32le", 32)):
            name = "mic" + fmt
            server.load_module("module-null-source", "source_name=" + name, "format=" + fmt,
                               "rate=48000", "channels=1")
            server.wait_until(lambda: name in [s["name"] for s in server.sources()], name)
            server.set_default_source(name)
            out = os.path.join(work, fmt + ".wav")
            status, stdout, lines = record_mic(binary, server, out, 2.0)
            warning = PREFIX + "[WARN] mic: unsupported PCM (float=false int=true bits=%d) \u2014 skipping" % bits
            check("%s: status 0" % fmt, status == 0, "%r %r" % (status, lines[-5:]))
            check("%s: nothing on stdout" % fmt, stdout == b"")
            formats = [l for l in lines if l.startswith(PREFIX + "format[mic]: ")]
            check("%s: one format line naming the width" % fmt,
                  len(formats) == 1 and " bits=%d float=false int=true planar=false" % bits in formats[0],
                  repr(formats))
            check("%s: a warning for every buffer" % fmt, lines.count(warning) >= 5,
                  "%d warnings" % lines.count(warning))
            check("%s: the microphone recorded nothing" % fmt,
                  PREFIX + "mic: 0 frames, peak 0.000, clip 0.0%" in lines, repr(lines[-6:]))
            check("%s: an empty file at the default rate" % fmt,
                  PREFIX + "wrote 0 frames @ 48000Hz \u2192 " + out in lines
                  and os.path.getsize(out) == 44)
    return checks.close()


if __name__ == "__main__":
    sys.exit(main())
