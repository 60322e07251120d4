"""The device lists and the default-output selection against a private
PulseAudio and PipeWire (compared with what pactl reports), and against no
server, an empty runtime folder and a socket that never answers."""
import json
import os
import socket

import pytest

import sound_server

NOT_FOUND = "narup-capture [FAIL] output device '%s' not found\n"
SINKS = [("desk", "Desk speakers"), ("kitchen", "K\u00fcche \u2192 Lautsprecher")]


def run(start, env, *args):
    """(status, stdout, stderr) of a run that must end within 5 s."""
    r = start(list(args), env).wait(timeout=5)
    return r.status, r.stdout.decode(), r.text()


def document(start, env, mode):
    """The list's (id, name) pairs and its default."""
    status, out, err = run(start, env, mode)
    assert (status, err) == (0, "")
    doc = json.loads(out)
    # Compact, UTF-8 unescaped, no line end after it.
    assert out == json.dumps(doc, separators=(",", ":"), ensure_ascii=False)
    assert set(doc) == {"devices", "default"}
    return [(d["id"], d["name"]) for d in doc["devices"]], doc["default"]


@pytest.fixture(scope="module", params=sound_server.KINDS)
def server(request):
    with sound_server.running(request.param) as s:
        for name, description in SINKS:
            s.null_sink(name, description)
        s.remap_source("headset_mic", "desk.monitor", "Headset microphone")
        s.set_default("sink", "desk")
        s.set_default("source", "headset_mic")
        yield s


def test_the_lists_are_the_sinks_and_the_sources_that_are_not_monitors(start, server):
    assert server.names("sinks") == ["desk", "kitchen"]
    assert document(start, server.env, "--list-output-devices") == (SINKS, "desk")
    mics = [("headset_mic", "Headset microphone")]
    assert document(start, server.env, "--list-input-devices") == (mics, "headset_mic")
    # A monitor as the server's default source is no microphone: no default.
    server.set_default("source", "desk.monitor")
    assert document(start, server.env, "--list-input-devices") == (mics, "")


def test_set_output_device(start, server):
    assert run(start, server.env, "--set-output-device", "kitchen") == (0, "", "")
    server.wait_until(lambda: server.pactl("get-default-sink") == "kitchen", "kitchen", 3)
    assert document(start, server.env, "--list-output-devices") == (SINKS, "kitchen")
    # Not found: another case, a source, a monitor, a trailing space, nothing.
    for uid in ("KITCHEN", "headset_mic", "desk.monitor", "kitchen ", "nosuchsink"):
        assert run(start, server.env, "--set-output-device", uid) == (1, "", NOT_FOUND % uid)
    assert server.pactl("get-default-sink") == "kitchen"


@pytest.mark.parametrize("where", ["no socket", "empty runtime folder", "silent socket"])
def test_without_a_server_the_lists_are_empty(start, no_server, tmp_path, where):
    env, folder = dict(no_server), os.path.dirname(no_server["PULSE_SERVER"][5:])
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    if where == "empty runtime folder":
        del env["PULSE_SERVER"]  # libpulse looks in the runtime folder
    elif where == "silent socket":  # accepts and never answers
        listener.bind(os.path.join(folder, "silent"))
        listener.listen(8)
        env["PULSE_SERVER"] = "unix:" + os.path.join(folder, "silent")
    with listener:
        for mode in ("--list-output-devices", "--list-input-devices"):
            assert document(start, env, mode) == ([], "")
        assert run(start, env, "--set-output-device", "desk") == (1, "", NOT_FOUND % "desk")
    assert not os.path.exists(os.path.join(folder, "pulse", "native")), "a server was spawned"
