#!/usr/bin/env python3
"""The device lists and the default-output selection against real sound servers.

Runs the binary against a private PulseAudio and a private PipeWire (through
pipewire-pulse), each with two null sinks and a null source, and compares
what it prints with what pactl reports. Then runs it with no server at all,
and with a server socket that never answers.

    python3 test_devices.py --binary build/narup-capture [--server pulseaudio|pipewire]
"""

import argparse
import json
import os
import socket
import subprocess
import sys
import tempfile
import time

from sound_server import SERVER_KINDS, available, start_server

EMPTY_DOCUMENT = {"devices": [], "default": ""}
# The lists must give up on a missing or silent server well within this.
NO_SERVER_LIMIT_S = 5.0


class Results:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def check(self, condition, what, detail=""):
        if condition:
            self.passed += 1
            print("ok   - " + what)
        else:
            self.failed += 1
            print("FAIL - " + what + (("\n       " + detail) if detail else ""))
        sys.stdout.flush()
        return condition


def run(binary, args, env, timeout=20):
    start = time.monotonic()
    r = subprocess.run([binary, *args], env=env, capture_output=True, timeout=timeout)
    return r.returncode, r.stdout.decode("utf-8", "replace"), r.stderr.decode("utf-8", "replace"), \
        time.monotonic() - start


def parse(text):
    try:
        return json.loads(text)
    except ValueError:
        return None


def check_document(res, label, rc, out, err):
    """The common shape of a list run; returns the parsed document or None."""
    res.check(rc == 0, label + ": exit status 0", "status %d" % rc)
    res.check(err == "", label + ": nothing on standard error", repr(err))
    res.check(out.endswith("}"), label + ": no line end after the document", repr(out[-20:]))
    document = parse(out)
    if not res.check(isinstance(document, dict) and set(document) == {"devices", "default"},
                     label + ": a JSON document with devices and default", repr(out)):
        return None
    compact = json.dumps(document, separators=(",", ":"), ensure_ascii=False)
    res.check(len(out) == len(compact), label + ": compact, UTF-8 unescaped", repr(out))
    return document


def pairs(document):
    return [(d.get("id"), d.get("name")) for d in document.get("devices", [])]


def wait_for(condition, timeout=3.0):
    deadline = time.monotonic() + timeout
    while True:
        if condition():
            return True
        if time.monotonic() > deadline:
            return False
        time.sleep(0.1)


def check_server(res, kind, binary):
    print("# %s" % kind)
    if not res.check(available(kind), kind + ": installed"):
        return
    with start_server(kind) as server:
        server.load_null_sink("desk", "Desk speakers")
        server.load_null_sink("kitchen", "Küche → Lautsprecher")
        server.load_null_source("headset_mic", "Headset microphone")
        server.set_default_sink("desk")
        server.set_default_source("headset_mic")
        env = server.env
        tag = kind + ": "

        # Output list: every sink, in the server's order, and the default sink.
        rc, out, err, _ = run(binary, ["--list-output-devices"], env)
        doc = check_document(res, tag + "output list", rc, out, err)
        expected = [(s["name"], s["description"]) for s in server.sinks()]
        if doc is not None:
            res.check(pairs(doc) == expected, tag + "output devices are the sinks as pactl lists them",
                      "%r != %r" % (pairs(doc), expected))
            res.check(doc["default"] == server.default_sink() == "desk",
                      tag + "output default is the default sink", repr(doc["default"]))
            res.check("Küche → Lautsprecher" in out, tag + "non-ASCII names written as UTF-8",
                      repr(out))

        # Input list: every source that is not a monitor, and the default source.
        rc, out, err, _ = run(binary, ["--list-input-devices"], env)
        doc = check_document(res, tag + "input list", rc, out, err)
        expected = [(s["name"], s["description"]) for s in server.sources()
                    if s.get("monitor of sink", "n/a") == "n/a"]
        if doc is not None:
            res.check(pairs(doc) == expected and ("headset_mic", "Headset microphone") in expected,
                      tag + "input devices are the sources that are not monitors",
                      "%r != %r" % (pairs(doc), expected))
            res.check(doc["default"] == server.default_source() == "headset_mic",
                      tag + "input default is the default source", repr(doc["default"]))

        # A monitor as the server's default source is no microphone: no default.
        server.set_default_source("desk.monitor")
        rc, out, err, _ = run(binary, ["--list-input-devices"], env)
        doc = check_document(res, tag + "input list, monitor default", rc, out, err)
        if doc is not None:
            res.check(doc["default"] == "" and ("headset_mic", "Headset microphone") in pairs(doc),
                      tag + "a monitor as default source gives an empty default", out)

        # Choosing the default output.
        rc, out, err, _ = run(binary, ["--set-output-device", "kitchen"], env)
        res.check(rc == 0 and out == "" and err == "",
                  tag + "--set-output-device exits 0 and prints nothing",
                  "status %d, out %r, err %r" % (rc, out, err))
        res.check(wait_for(lambda: server.default_sink() == "kitchen"),
                  tag + "the server's default sink is now the chosen one",
                  server.default_sink())
        rc, out, err, _ = run(binary, ["--list-output-devices"], env)
        doc = parse(out)
        res.check(doc is not None and doc["default"] == "kitchen",
                  tag + "the output list shows the new default", out)

        for uid in ("KITCHEN", "headset_mic", "desk.monitor", "kitchen ", "nosuchsink"):
            rc, out, err, _ = run(binary, ["--set-output-device", uid], env)
            res.check(rc == 1 and out == ""
                      and err == "narup-capture [FAIL] output device '%s' not found\n" % uid,
                      tag + "--set-output-device %r is not found" % uid,
                      "status %d, out %r, err %r" % (rc, out, err))
        res.check(server.default_sink() == "kitchen",
                  tag + "failed selections leave the default alone", server.default_sink())
        pids = server.pids()
    res.check(all(not _alive(p) for p in pids), kind + ": server stopped, nothing left running",
              repr([p for p in pids if _alive(p)]))


def _alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(")")[-1].split()[0] != "Z"
    except OSError:
        return False


def check_without_server(res, binary, env, label):
    for mode in ("--list-output-devices", "--list-input-devices"):
        rc, out, err, seconds = run(binary, [mode], env)
        doc = check_document(res, "%s: %s" % (label, mode), rc, out, err)
        res.check(doc == EMPTY_DOCUMENT, "%s: %s lists nothing" % (label, mode), out)
        res.check(seconds < NO_SERVER_LIMIT_S,
                  "%s: %s gives up within %.0f s" % (label, mode, NO_SERVER_LIMIT_S),
                  "%.2f s" % seconds)
    rc, out, err, _ = run(binary, ["--set-output-device", "desk"], env)
    res.check(rc == 1 and out == "" and err == "narup-capture [FAIL] output device 'desk' not found\n",
              label + ": --set-output-device reports not found",
              "status %d, out %r, err %r" % (rc, out, err))


def check_no_server(res, binary):
    print("# no server")
    with tempfile.TemporaryDirectory(prefix="narup-noserver-") as empty:
        base = {k: v for k, v in os.environ.items()
                if not k.startswith(("PULSE_", "PIPEWIRE_")) and k != "DBUS_SESSION_BUS_ADDRESS"}
        env = dict(base, XDG_RUNTIME_DIR=empty, HOME=empty,
                   PULSE_SERVER="unix:" + os.path.join(empty, "nonexistent", "native"))
        check_without_server(res, binary, env, "no server")

        # Without PULSE_SERVER libpulse looks in the runtime folder; it must not
        # start a server of its own there.
        env = dict(base, XDG_RUNTIME_DIR=empty, HOME=empty)
        check_without_server(res, binary, env, "empty runtime folder")
        res.check(not os.path.exists(os.path.join(empty, "pulse", "native")),
                  "empty runtime folder: no server was spawned", repr(os.listdir(empty)))

        # A socket that accepts and never answers: the waits are bounded.
        path = os.path.join(empty, "silent")
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            listener.bind(path)
            listener.listen(8)
            env = dict(base, XDG_RUNTIME_DIR=empty, HOME=empty, PULSE_SERVER="unix:" + path)
            check_without_server(res, binary, env, "silent server")
        finally:
            listener.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--server", choices=SERVER_KINDS, action="append",
                        help="run against this server only (repeatable)")
    args = parser.parse_args()
    res = Results()
    try:
        check_no_server(res, args.binary)
        for kind in args.server or SERVER_KINDS:
            check_server(res, kind, args.binary)
    except Exception as e:  # a broken fixture or a hung binary is a failure too
        res.check(False, "ran to the end", "%s: %s" % (type(e).__name__, e))
    print("%d passed, %d failed" % (res.passed, res.failed))
    return 1 if res.failed else 0


if __name__ == "__main__":
    sys.exit(main())
