"""Fixtures of the end-to-end tests: the binary under test (--binary or the
NARUP_BINARY environment variable), runs of it that the test reads while they
go on and that never outlive it, an environment that reaches no sound server."""
import os
import pathlib
import re
import subprocess
import tempfile
import time

import pytest

import room
import sound_server

PREFIX = "narup-capture: "


class Run:
    """One run of narup-capture, its standard error in a file."""

    def __init__(self, binary, args, env, folder, out=None):
        self.out, self.folder, self.lines, self.status = out, folder, [], None
        err, self.log = tempfile.mkstemp(".log", "stderr-", folder)
        with open(err, "wb") as err:
            self.started = time.monotonic()
            self.proc = subprocess.Popen([binary, *args], env=env, cwd=folder,
                                         stdout=subprocess.PIPE, stderr=err)

    def text(self):
        return pathlib.Path(self.log).read_text("utf-8", "replace")

    def wait_line(self, text, timeout=15.0):
        deadline = time.monotonic() + timeout
        while text not in self.text():
            assert self.proc.poll() is None and time.monotonic() < deadline, self.text()
            time.sleep(0.05)

    def sleep_until(self, seconds):  # after the start
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

    def starting(self, text):  # the lines that start with it
        return [l for l in self.lines if l.startswith(PREFIX + text)]

    def wrote(self):  # "wrote N frames", not "wrote channels"
        return [l for l in self.starting("wrote ") if "wrote channels" not in l]

    def find(self, pattern):
        return re.findall(pattern, "\n".join(self.lines))

    def frames(self, label):  # (frames, peak) of a level line
        frames, peak = self.find(label + r": (\d+) frames, peak ([.\d]+)")[0]
        return int(frames), float(peak)

    def aec_delays(self):
        found = self.find(r"\[aec\] .*delayMs=\[([^\]]*)\]")
        return [int(v) for v in found[0].split(",") if v] if found else None

    def path(self, label=None):
        return self.out if label is None else self.out[:-4] + "." + label + ".wav"

    def track(self, label=None):
        return room.read_wav(self.path(label))

    def __repr__(self):
        return "status %s, lines:\n%s" % (self.status, "\n".join(self.lines))


def pytest_addoption(parser):
    parser.addoption("--binary", default=os.environ.get("NARUP_BINARY"),
                     help="the narup-capture binary (default: $NARUP_BINARY)")


@pytest.fixture(scope="session")
def binary(pytestconfig):
    path = pytestconfig.getoption("--binary")
    assert path and os.access(path, os.X_OK), "give the binary with --binary or NARUP_BINARY"
    return os.path.abspath(path)


@pytest.fixture(scope="module")
def start(binary, tmp_path_factory):
    """start(args, env, out=None, folder=None) -> a Run with its log in `folder`
    (else a fresh one); one still running at the module's end is killed."""
    runs = []

    def begin(args, env, out=None, folder=None):
        folder = folder or tmp_path_factory.mktemp("run")
        runs.append(Run(binary, args, env, str(folder), out))
        return runs[-1]
    yield begin
    for r in runs:
        r.kill()


@pytest.fixture
def no_server(tmp_path):
    """An environment whose server socket does not exist."""
    return dict(sound_server.clean_env(str(tmp_path)), PULSE_SERVER="unix:%s/none" % tmp_path)
