"""What a person at a terminal sees: the live status line (and none in a
file), the warning for a muted microphone, the completion's device ids from
a running server."""
import os
import pathlib
import pty
import select
import signal
import subprocess
import time

import numpy as np
import pytest
from scipy.io import wavfile

import room
import sound_server

ERASE = "\r\x1b[K"
COMPLETION = pathlib.Path(__file__).resolve().parents[2] / "completion" / "narup-capture"


@pytest.fixture(scope="module")
def server():
    with sound_server.running("pulseaudio") as s:
        yield s.setup_room()


def read_all(fd, proc, seconds):
    out, deadline = b"", time.monotonic() + seconds
    while time.monotonic() < deadline:
        if select.select([fd], [], [], 0.1)[0]:
            try:
                out += os.read(fd, 65536)
            except OSError:  # the child closed its end
                break
        elif proc.poll() is not None:
            break
    return out


def test_a_terminal_gets_a_status_line_between_whole_lines(binary, server, tmp_path):
    master, slave = pty.openpty()
    out = str(tmp_path / "tty.wav")
    proc = subprocess.Popen([binary, out], env=server.env, stderr=slave)
    os.close(slave)
    try:
        shown = read_all(master, proc, 2.5)
        proc.send_signal(signal.SIGINT)
        shown += read_all(master, proc, 30)
        assert proc.wait(timeout=30) == 0
    finally:
        proc.kill()
        os.close(master)
    text = shown.decode("utf-8").replace("\r\n", "\n")
    assert ERASE + "\u25cf REC 0:00:0" in text and " dBFS" in text and " free" in text, text
    # Every line, once the status line before it is erased, is a whole line of ours.
    lines = [piece.split(ERASE)[-1] for piece in text.split("\n")[:-1]]
    assert all(l.startswith("narup-capture: ") for l in lines), lines
    assert lines[-1].startswith("narup-capture: wrote channels"), lines
    assert text.split("\n")[-1] in ("", ERASE), "the status line stays after the finish"


def test_a_muted_microphone_warns_once_and_a_file_gets_no_status_line(start, server, tmp_path):
    server.pactl("set-source-mute", "roommic", "1")
    try:
        out = str(tmp_path / "muted.wav")
        run = start([out], server.env, out)
        run.wait_line("[WARN] microphone: only digital silence for 10 s — muted?", timeout=20)
        run = run.stop(signal.SIGINT)
    finally:
        server.pactl("set-source-mute", "roommic", "0")
    assert run.status == 0, run
    assert run.starting("[WARN] ") == [
        "narup-capture: [WARN] microphone: only digital silence for 10 s — muted?"], run
    assert "\x1b" not in run.text() and "REC" not in run.text()


@pytest.mark.parametrize("flag, listing", [("--mic-device", "sources"),
                                           ("--set-output-device", "sinks")])
def test_completion_offers_the_running_servers_ids(binary, server, flag, listing):
    script = ('source "$1"; COMP_WORDS=(narup-capture "$2" ""); COMP_CWORD=2; '
              '_narup_capture narup-capture "" "$2"; printf "%s\\n" "${COMPREPLY[@]}"')
    env = dict(server.env, PATH=os.path.dirname(binary) + ":" + os.environ["PATH"])
    answer = subprocess.run(["bash", "-c", script, "bash", str(COMPLETION), flag], env=env,
                            capture_output=True, text=True, timeout=30)
    want = {n for n in server.names(listing) if not n.endswith(".monitor")}
    assert set(answer.stdout.split()) == want, answer


def test_cleaning_a_long_file_on_a_terminal_shows_its_progress(binary, tmp_path):
    rate, n = 8000, 8000 * 660  # eleven minutes: long enough to show progress
    noise = np.random.default_rng(7).uniform(-0.2, 0.2, n)
    for name, x in (("mic", 0.5 * noise), ("sys", noise)):
        wavfile.write(str(tmp_path / (name + ".wav")), rate, room.pcm16(x))
    master, slave = pty.openpty()
    args = ["--process-files", str(tmp_path / "mic.wav"), str(tmp_path / "sys.wav"),
            str(tmp_path / "out.wav")]
    proc = subprocess.Popen([binary, *args], stderr=slave, env=sound_server.clean_env(str(tmp_path)))
    os.close(slave)
    try:
        text = read_all(master, proc, 120).decode("utf-8").replace("\r\n", "\n")
        assert proc.wait(timeout=10) == 0
    finally:
        proc.kill()
        os.close(master)
    # The line is erased for good before the canceller's report.
    assert ERASE + "cleaning: " in text and text.split(ERASE)[-1].startswith(
        "narup-capture: [aec] applied=yes"), text
    assert text.endswith("narup-capture: wrote cleaned mic → %s/out.wav\n" % tmp_path), text
