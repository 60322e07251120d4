"""One run of narup-capture: started with its standard error in a file, read
while it runs, stopped with signals, its lines and files at hand."""
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
        self.out, self.folder = out, folder
        self.log = os.path.join(folder, "stderr-%d.log" % next(_numbers))
        with open(self.log, "wb") as err:
            self.started = time.monotonic()
            self.proc = subprocess.Popen([binary, *args], env=env, stdout=subprocess.PIPE,
                                         stderr=err)
        self.lines, self.status, self.stdout = [], None, b""

    def text(self):
        with open(self.log, encoding="utf-8", errors="replace") as f:
            return f.read()

    def wait_line(self, text, timeout=15.0):
        deadline = time.monotonic() + timeout
        while text not in self.text():
            assert self.proc.poll() is None and time.monotonic() < deadline, \
                "no %r in:\n%s" % (text, self.text())
            time.sleep(0.05)

    def sleep_until(self, seconds):
        """Sleeps until `seconds` after the start."""
        time.sleep(max(0.0, self.started + seconds - time.monotonic()))

    def stop(self, *signals, gap=0.2, timeout=60):
        """Sends the signals `gap` seconds apart and waits for the end."""
        self.stopped = time.monotonic()
        self.seconds = self.stopped - self.started
        for i, sig in enumerate(signals):
            if i:
                time.sleep(gap)
            if self.proc.poll() is None:
                self.proc.send_signal(sig)
        return self.wait(timeout)

    def wait(self, timeout=60):
        try:
            self.stdout = self.proc.communicate(timeout=timeout)[0]
        finally:
            self.kill()
        self.status = self.proc.returncode
        self.lines = self.text().splitlines()
        return self

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.communicate()

    # ---- what it said --------------------------------------------------------

    def has(self, line):
        return PREFIX + line in self.lines

    def starting(self, text):
        return [l for l in self.lines if l.startswith(PREFIX + text)]

    def wrote(self):
        """The "wrote N frames" lines, not "wrote channels"."""
        return [l for l in self.starting("wrote ") if "wrote channels" not in l]

    def frames(self, label):
        """(frames, peak) of a level line."""
        m = re.search(r"%s: (\d+) frames, peak ([0-9.]+)" % label, "\n".join(self.lines))
        return (int(m.group(1)), float(m.group(2))) if m else (-1, -1.0)

    def aec_delays(self):
        m = re.search(r"\[aec\] .*delayMs=\[([^\]]*)\]", "\n".join(self.lines))
        return [int(v) for v in m.group(1).split(",") if v.strip()] if m else None

    def mic_gain(self):
        """The microphone file's normalisation gain (lines: mix, mic, sys)."""
        gains = re.findall(r"normalize: peak [0-9.]+ \u00d7 gain ([0-9.]+)", "\n".join(self.lines))
        return float(gains[1]) if len(gains) == 3 else None

    def path(self, label=None):
        return self.out if label is None else self.out[:-4] + "." + label + ".wav"

    def track(self, label=None):
        return room.read_wav(self.path(label))[0]

    def __repr__(self):
        return "status %s, lines:\n%s" % (self.status, "\n".join(self.lines))
