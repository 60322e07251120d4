"""One run of narup-capture: its standard error goes to a file that the test
reads while it runs; stopped with signals, its lines and files at hand."""
import itertools
import os
import re
import subprocess
import time

import room

PREFIX = "narup-capture: "
_numbers = itertools.count()


class Run:
    def __init__(self, binary, args, env, folder, out=None):
        self.out, self.folder, self.lines, self.status = out, folder, [], None
        self.log = os.path.join(folder, "stderr-%d.log" % next(_numbers))
        with open(self.log, "wb") as err:
            self.started = time.monotonic()
            self.proc = subprocess.Popen([binary, *args], env=env, stdout=subprocess.PIPE,
                                         stderr=err)

    def text(self):
        with open(self.log, encoding="utf-8", errors="replace") as f:
            return f.read()

    def wait_line(self, text, timeout=15.0):
        deadline = time.monotonic() + timeout
        while text not in self.text():
            assert self.proc.poll() is None and time.monotonic() < deadline, self.text()
            time.sleep(0.05)

    def sleep_until(self, seconds):
        """Sleeps until `seconds` after the start."""
        time.sleep(max(0.0, self.started + seconds - time.monotonic()))

    def stop(self, *signals, gap=0.2):
        """Sends the signals `gap` seconds apart and waits for the end."""
        self.seconds = time.monotonic() - self.started
        for i, sig in enumerate(signals):
            time.sleep(gap if i else 0)
            if self.proc.poll() is None:
                self.proc.send_signal(sig)
        return self.wait()

    def wait(self, timeout=60):
        try:
            self.stdout = self.proc.communicate(timeout=timeout)[0]
        finally:
            self.kill()
        self.status, self.lines = self.proc.returncode, self.text().splitlines()
        return self

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.communicate()

    def has(self, line):
        return PREFIX + line in self.lines

    def starting(self, text):
        return [l for l in self.lines if l.startswith(PREFIX + text)]

    def wrote(self):
        """The "wrote N frames" lines, not "wrote channels"."""
        return [l for l in self.starting("wrote ") if "wrote channels" not in l]

    def find(self, pattern):
        return re.findall(pattern, "\n".join(self.lines))

    def frames(self, label):
        """(frames, peak) of a level line."""
        return [(int(n), float(p)) for n, p in self.find(label + r": (\d+) frames, peak ([.\d]+)")
                ][0]

    def aec_delays(self):
        found = self.find(r"\[aec\] .*delayMs=\[([^\]]*)\]")
        return [int(v) for v in found[0].split(",") if v] if found else None

    def path(self, label=None):
        return self.out if label is None else self.out[:-4] + "." + label + ".wav"

    def track(self, label=None):
        return room.read_wav(self.path(label))[0]

    def __repr__(self):
        return "status %s, lines:\n%s" % (self.status, "\n".join(self.lines))
