#!/usr/bin/env python3
"""Live recording end to end, on a private PulseAudio and a private PipeWire.

A room (room.py) plays a far-end voice through the default sink "speakers"
and, into the microphone's sink "room", the same voice 40 ms later and
attenuated plus a near-end voice at other moments. The tool records it and
is stopped by a signal; the checks read its lines and its WAV files:

- the files, their rate and their length against the time recorded;
- the system track carries the far end; the microphone track lines up with
  it (the offset between the tracks is measured on a calibration room whose
  microphone hears the speakers with no delay at all);
- the canceller finds the room's delay, and the far end's share in the
  microphone file drops by at least 10 dB against a recording made with
  --no-echo-cancel while the near end keeps its level;
- one source alone, an unknown --mic-device, SIGTERM, a second signal, the
  server dying mid-recording, no server at all;
- the wall clock: far end starting 5 s in, 4 s of silence with the sinks left
  idle in between, then again: the bursts sit as far apart as they were
  played and both tracks are as long as the recording.

Run: python3 test_capture.py --binary PATH [--only pulseaudio|pipewire]
"""
import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import traceback

import numpy as np

import room
import sound_server

PREFIX = "narup-capture: "
ROOM_DELAY_MS = 40.0
ECHO_GAIN = 0.5
RATE = room.RATE


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = 0
        self.figures = []

    def check(self, name, condition, detail=""):
        if condition:
            self.passed += 1
            print("ok   " + name + (" (" + detail + ")" if detail else ""), flush=True)
        else:
            self.failed += 1
            print("FAIL " + name + (": " + detail if detail else ""), flush=True)
        return condition

    def figure(self, text):
        self.figures.append(text)
        print("     " + text, flush=True)


class Recording:
    """One run of the tool: its lines, status, files and timing."""

    def __init__(self, out, lines, status, seconds, started, stopped):
        self.out = out
        self.lines = lines
        self.status = status
        self.seconds = seconds    # from the tool's start to the stop signal
        self.started = started    # monotonic time of the start
        self.stopped = stopped    # monotonic time of the stop signal

    def has(self, line):
        return PREFIX + line in self.lines

    def starting(self, text):
        return [l for l in self.lines if l.startswith(PREFIX + text)]

    def wrote(self):
        """The "wrote N frames" lines (not "wrote channels")."""
        return [l for l in self.starting("wrote ") if not l.startswith(PREFIX + "wrote channels")]

    def track(self, label=None):
        path = self.out if label is None else self.out[:-4] + "." + label + ".wav"
        return room.read_wav(path)[0]

    def aec_delays(self):
        for l in self.lines:
            m = re.search(r"\[aec\] .*delayMs=\[([^\]]*)\]", l)
            if m:
                return [int(v) for v in m.group(1).split(",") if v.strip()]
        return None

    def mic_gain(self):
        # The normalisation lines come in the order mix, mic, sys.
        gains = [float(m.group(1)) for l in self.lines
                 for m in [re.search(r"normalize: peak [0-9.]+ × gain ([0-9.]+)", l)] if m]
        return gains[1] if len(gains) >= 3 else None

    def summary(self):
        return "status %s, lines:\n      %s" % (self.status, "\n      ".join(self.lines))


class Session:
    def __init__(self, binary, server, work, checks):
        self.binary = binary
        self.server = server
        self.work = work
        self.checks = checks
        self.kind = server.kind
        self.players = []

    def path(self, name):
        return os.path.join(self.work, "%s-%s" % (self.kind, name))

    def record(self, name, args, until, signals=(signal.SIGINT,), during=None, env=None):
        """Runs the tool into <name>.wav; calls during(started) once it runs, waits
        until `until` seconds after its start, then sends `signals` (0.2 s
        apart) and waits for it to end."""
        out = self.path(name + ".wav")
        log = self.path(name + ".log")
        with open(log, "wb") as err:
            started = time.monotonic()
            proc = subprocess.Popen([self.binary, out] + args, env=env or self.server.env,
                                    stdout=subprocess.DEVNULL, stderr=err)
            try:
                if during is not None:
                    during(started)
                left = started + until - time.monotonic()
                if left > 0:
                    time.sleep(left)
                stopped = time.monotonic()
                for i, s in enumerate(signals):
                    if i > 0:
                        time.sleep(0.2)
                    if proc.poll() is None:
                        proc.send_signal(s)
                status = proc.wait(timeout=60)
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
        with open(log, encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
        return Recording(out, lines, status, stopped - started, started, stopped)

    def play_at(self, started, offset, tracks):
        """Waits until `offset` s after `started`, then plays the tracks; returns
        the player's start time."""
        left = started + offset - time.monotonic()
        if left > 0:
            time.sleep(left)
        player = room.play_together(self.server, tracks, self.work)
        t = room.started_at(player)
        self.players.append(player)
        return t

    def wait_players(self):
        for p in self.players:
            p.wait(timeout=60)
        self.players = []


def voices():
    """The conversation's pieces: two far-end sentences and one near-end one."""
    far1 = room.speech("The quarterly figures are ready for review.", "en")
    far2 = room.speech("Then let us start with the north.", "en")
    near = room.speech("Yes, I have the report here.", "en+f3")
    return far1, far2, near


class Conversation:
    """Far end, then near end, then far end again, with the room's echo."""

    def __init__(self, far1, far2, near):
        self.far_at = [(0.0, far1)]
        t = len(far1) / RATE + 0.4
        self.near_at = (t, near)
        t += len(near) / RATE + 0.4
        self.far_at.append((t, far2))
        self.length = t + len(far2) / RATE + 0.3
        self.far = room.place(self.length, self.far_at)
        self.near = room.place(self.length, [self.near_at])
        self.mic = room.echo_of(self.far, ROOM_DELAY_MS, ECHO_GAIN) + self.near

    def tracks(self):
        return [("speakers", self.far), ("room", self.mic)]

    def far_spans(self):
        return [(t, t + len(x) / RATE + ROOM_DELAY_MS / 1000.0) for t, x in self.far_at]

    def near_span(self):
        t, x = self.near_at
        return (t, t + len(x) / RATE)


def span_energy(x, start, spans, margin=0.05):
    """Mean square of x over the spans (seconds, shifted by `start` samples),
    each trimmed by `margin` at both ends."""
    parts = []
    for a, b in spans:
        i = start + int((a + margin) * RATE)
        j = start + int((b - margin) * RATE)
        if 0 <= i < j <= len(x):
            parts.append(x[i:j].astype(np.float64))
    if not parts:
        return None
    seg = np.concatenate(parts)
    return float((seg * seg).mean())


def check_files(c, name, rec, both=True, rate=RATE):
    c.check(name + ": status 0", rec.status == 0, rec.summary())
    c.check(name + ": one wrote line for the mix", len(rec.wrote()) == 1, rec.summary())
    for label in ([None, "mic", "sys"] if both else [None]):
        path = rec.out if label is None else rec.out[:-4] + "." + label + ".wav"
        if not c.check(name + ": %s exists" % os.path.basename(path), os.path.exists(path)):
            continue
        got, channels, frames = room.wav_info(path)
        c.check(name + ": %s is mono at %s Hz" % (os.path.basename(path), rate or "the mic's"),
                (rate is None or got == rate) and channels == 1, "%d Hz, %d ch" % (got, channels))
        seconds = frames / got
        c.check(name + ": %s lasts the recording (within 5 %%)" % os.path.basename(path),
                abs(seconds - rec.seconds) <= 0.05 * rec.seconds,
                "%.3f s recorded for %.3f s" % (seconds, rec.seconds))
    if not both:
        for label in ("mic", "sys"):
            c.check(name + ": no %s file" % label,
                    not os.path.exists(rec.out[:-4] + "." + label + ".wav"))


def calibrate(s, far1):
    """A room whose microphone is the speakers' own monitor remapped: the far
    end reaches both tracks at the same instant, so the lag between them is
    the offset the tool (and the server's remap source) puts between them."""
    c = s.checks
    if "spkmic" not in [x["name"] for x in s.server.sources()]:
        s.server.load_remap_source("spkmic", "speakers.monitor", "Speaker microphone")
    signal_ = room.place(len(far1) / RATE + 0.2, [(0.0, far1)])
    rec = s.record("calibration", ["--no-echo-cancel", "--mic-device", "spkmic"], 6.5,
                   during=lambda t0: s.play_at(t0, 3.0, [("speakers", signal_)]))
    s.wait_players()
    c.check("calibration: status 0", rec.status == 0, rec.summary())
    try:
        sys_t, mic_t = rec.track("sys"), rec.track("mic")
    except (OSError, EOFError, ValueError) as e:
        c.check("calibration: channel files", False, str(e))
        return 0.0
    offset = room.lag_ms(sys_t, mic_t, RATE, max_ms=500)
    c.check("calibration: microphone and system tracks line up (within 30 ms)",
            abs(offset) <= 30.0, "%.1f ms" % offset)
    c.figure("%s: offset of the microphone track behind the system track: %.1f ms"
             % (s.kind, offset))
    return offset


def conversation_cases(s, conv, offset):
    c = s.checks
    lead = 2.5  # a fresh stream's first moments carry no data on PulseAudio
    until = lead + conv.length + 0.7

    aec = s.record("room", [], until,
                   during=lambda t0: s.play_at(t0, lead, conv.tracks()))
    s.wait_players()
    plain = s.record("room-plain", ["--no-echo-cancel"], until,
                     during=lambda t0: s.play_at(t0, lead, conv.tracks()))
    s.wait_players()

    check_files(c, "room", aec)
    check_files(c, "room --no-echo-cancel", plain)
    c.check("room: echo cancellation applied", bool(aec.starting("echo cancellation applied (")),
            aec.summary())
    c.check("room --no-echo-cancel: no echo cancellation",
            not plain.starting("echo cancellation applied (") and plain.aec_delays() is None,
            plain.summary())
    try:
        sys_t, mic_t = aec.track("sys"), aec.track("mic")
        plain_mic = plain.track("mic")
        plain_sys = plain.track("sys")
    except (OSError, EOFError, ValueError) as e:
        c.check("room: channel files readable", False, str(e))
        return

    # Where the far end sits in the system track, and how well it matches.
    at_ms = room.lag_ms(conv.far, sys_t, RATE, max_ms=until * 1000)
    start = int(round(at_ms * RATE / 1000.0))
    c.check("room: the far end starts in the system track where it was played",
            abs(at_ms / 1000.0 - lead) < 0.6, "at %.3f s, played %.1f s in" % (at_ms / 1000, lead))
    c.check("room: the system track carries the far end (correlation >= 0.9)",
            start >= 0 and room.correlation(conv.far, sys_t[start:]) >= 0.9,
            "%.3f" % (room.correlation(conv.far, sys_t[max(start, 0):]),))

    delays = aec.aec_delays()
    expected = ROOM_DELAY_MS + offset
    c.check("room: the canceller finds the room's delay (within 20 ms)",
            bool(delays) and all(abs(d - expected) <= 20 for d in delays),
            "delayMs=%s, room %.0f ms" % (delays, expected))
    c.figure("%s: delay found %s ms, room's delay %.0f ms (%.0f built in + %.1f offset)"
             % (s.kind, delays, expected, ROOM_DELAY_MS, offset))

    # The far end's share: echo-only stretches against the near-end stretch,
    # each file against itself (normalisation scales a file as a whole).
    plain_start = int(round(room.lag_ms(conv.far, plain_sys, RATE, max_ms=until * 1000)
                            * RATE / 1000.0))
    share = []
    for mic, st in ((mic_t, start), (plain_mic, plain_start)):
        echo = span_energy(mic, st, conv.far_spans())
        near = span_energy(mic, st, [conv.near_span()])
        share.append(None if not echo or not near else echo / near)
    if None in share:
        c.check("room: echo and near-end stretches found", False, str(share))
        return
    reduction = 10.0 * np.log10(share[1] / share[0])
    c.check("room: the far end's share drops by at least 10 dB", reduction >= 10.0,
            "%.1f dB" % reduction)
    c.figure("%s: echo reduction %.1f dB" % (s.kind, reduction))

    # The near end's own level, with each file's normalisation undone.
    ga, gp = aec.mic_gain(), plain.mic_gain()
    near_a = span_energy(mic_t, start, [conv.near_span()])
    near_p = span_energy(plain_mic, plain_start, [conv.near_span()])
    if ga and gp and near_a and near_p:
        kept = 10.0 * np.log10((near_a / ga ** 2) / (near_p / gp ** 2))
        c.check("room: the near end keeps its level (within 3 dB)", kept >= -3.0,
                "%.1f dB" % kept)
    else:
        c.check("room: normalisation lines found", False, aec.summary())


def source_cases(s, conv):
    c = s.checks
    far_only = [("speakers", conv.far), ("room", conv.mic)]

    rec = s.record("system-only", ["--system"], 4.0, signals=(signal.SIGTERM,),
                   during=lambda t0: s.play_at(t0, 1.0, far_only))
    s.wait_players()
    check_files(c, "--system, SIGTERM", rec, both=False)
    c.check("--system: system capture started, no microphone",
            rec.has("system capture started") and not rec.starting("mic capture started"),
            rec.summary())

    rec = s.record("mic-only", ["--mic"], 4.0, signals=(signal.SIGINT, signal.SIGINT),
                   during=lambda t0: s.play_at(t0, 1.0, far_only))
    s.wait_players()
    # Alone, the microphone is written at its own rate.
    check_files(c, "--mic, two SIGINTs", rec, both=False, rate=None)
    c.check("--mic: microphone started, no system capture",
            bool(rec.starting("mic capture started: ")) and not rec.has("system capture started"),
            rec.summary())
    c.check("--mic: one finish for two signals",
            len(rec.starting("mic: ")) == 1 and len(rec.wrote()) == 1, rec.summary())

    rec = s.record("unknown-mic", ["--mic-device", "no-such-mic"], 3.0)
    check_files(c, "--mic-device unknown", rec)
    warn = PREFIX + "[WARN] mic device 'no-such-mic' not found; using default"
    started = PREFIX + "mic capture started: Room microphone"
    c.check("--mic-device unknown: warning, then the default microphone",
            warn in rec.lines and started in rec.lines
            and rec.lines.index(warn) < rec.lines.index(started), rec.summary())


def server_dies_case(s, conv):
    """Last on a server: it is stopped half-way through a recording."""
    c = s.checks

    def kill_server(t0):
        s.play_at(t0, 1.0, [("speakers", conv.far), ("room", conv.mic)])
        time.sleep(1.5)
        s.server.stop()
        time.sleep(1.0)

    rec = s.record("server-dies", [], 0.0, during=kill_server)
    s.players = []
    c.check("server dies: system stream stopped warning",
            bool(rec.starting("[WARN] system stream stopped: ")), rec.summary())
    c.check("server dies: status 0 after SIGINT", rec.status == 0, rec.summary())
    c.check("server dies: the mix is written", len(rec.wrote()) == 1
            and os.path.exists(rec.out), rec.summary())
    levels = [l for l in rec.lines if l.startswith(PREFIX + "sys: ")]
    m = re.search(r"sys: (\d+) frames, peak ([0-9.]+)", levels[0]) if levels else None
    c.check("server dies: what was captured is kept",
            m is not None and int(m.group(1)) > 0 and float(m.group(2)) > 0.0, rec.summary())


def wall_clock_case(binary, kind, conv_parts, offset, work, c):
    """Far end 5 s in, 4 s of silence with idle sinks, far end again."""
    far1, far2, _ = conv_parts
    burst1 = room.place(len(far1) / RATE + 0.1, [(0.0, far1)])
    burst2 = room.place(len(far2) / RATE + 0.1, [(0.0, far2)])
    with sound_server.start_server(kind) as server:
        room.setup_room(server, keep_running=False)
        s = Session(binary, server, work, c)
        s.kind = kind + "-idle"
        marks = {}

        def conversation(t0):
            def both(x):
                return [("speakers", x), ("room", room.echo_of(x, ROOM_DELAY_MS, ECHO_GAIN))]
            marks["first"] = s.play_at(t0, 5.0, both(burst1))
            s.wait_players()  # the streams close: the sinks idle from here
            time.sleep(4.0)
            marks["second"] = s.play_at(time.monotonic(), 0.0, both(burst2))
            s.wait_players()
            time.sleep(0.8)

        rec = s.record("wall-clock", [], 0.0, during=conversation)
        check_files(c, "wall clock", rec)
        try:
            sys_t = rec.track("sys")
        except (OSError, EOFError, ValueError) as e:
            c.check("wall clock: system track readable", False, str(e))
            return
        p1 = room.lag_ms(burst1, sys_t, RATE, max_ms=len(sys_t) * 1000 / RATE) / 1000.0
        p2 = room.lag_ms(burst2, sys_t, RATE, max_ms=len(sys_t) * 1000 / RATE) / 1000.0
        played = marks["second"] - marks["first"]
        c.check("wall clock: the bursts sit as far apart as played (within 100 ms)",
                abs((p2 - p1) - played) <= 0.1,
                "%.3f s in the track, %.3f s played" % (p2 - p1, played))
        c.check("wall clock: the first burst sits where it was played (within 100 ms)",
                abs(p1 - (marks["first"] - rec.started)) <= 0.1,
                "%.3f s in the track, played at %.3f s" % (p1, marks["first"] - rec.started))
        delays = rec.aec_delays()
        expected = ROOM_DELAY_MS + offset
        c.check("wall clock: the canceller finds the room's delay in every segment",
                bool(delays) and all(abs(d - expected) <= 20 for d in delays),
                "delayMs=%s, room %.0f ms" % (delays, expected))
        c.figure("%s idle sinks: bursts %.3f s apart in the track, %.3f s played; delays %s"
                 % (kind, p2 - p1, played, delays))


def no_server_case(binary, work, c):
    runtime = os.path.join(work, "no-server")
    os.makedirs(runtime, exist_ok=True)
    env = dict(os.environ, XDG_RUNTIME_DIR=runtime, HOME=runtime,
               PULSE_SERVER="unix:" + os.path.join(runtime, "none"))
    for k in ("PIPEWIRE_REMOTE", "DBUS_SESSION_BUS_ADDRESS"):
        env.pop(k, None)
    fake = type("NoServer", (), {"env": env, "kind": "none"})()
    s = Session(binary, fake, work, c)
    rec = s.record("no-server", [], 1.5, env=env)
    c.check("no server: status 0", rec.status == 0, rec.summary())
    warn = [l for l in rec.lines if l.startswith(PREFIX + "[WARN] shareable content: ")
            and l.endswith(" — system audio disabled.")]
    c.check("no server: system audio warning", len(warn) == 1, rec.summary())
    c.check("no server: microphone warning", rec.has("[WARN] no microphone device available"),
            rec.summary())
    c.check("no server: an empty WAV", os.path.exists(rec.out) and os.path.getsize(rec.out) == 44)


def flavour(binary, kind, parts, work, c):
    if not sound_server.available(kind):
        print("skip %s: not installed" % kind)
        return
    conv = Conversation(*parts)
    offset = 0.0
    server = sound_server.start_server(kind)
    try:
        room.setup_room(server, keep_running=True)
        s = Session(binary, server, work, c)
        for case in (lambda: calibrate(s, parts[0]),):
            offset = case()
        for case in (lambda: conversation_cases(s, conv, offset), lambda: source_cases(s, conv),
                     lambda: server_dies_case(s, conv)):
            try:
                case()
            except Exception:
                c.check("%s: case ran" % kind, False, traceback.format_exc())
                s.wait_players()
    finally:
        server.stop()
    try:
        wall_clock_case(binary, kind, parts, offset, work, c)
    except Exception:
        c.check("%s: wall clock case ran" % kind, False, traceback.format_exc())


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--binary", required=True)
    ap.add_argument("--only", choices=sound_server.SERVER_KINDS)
    args = ap.parse_args()
    c = Checks()
    work = tempfile.mkdtemp(prefix="narup-capture-e2e-")
    parts = voices()
    try:
        no_server_case(args.binary, work, c)
        for kind in sound_server.SERVER_KINDS:
            if args.only and kind != args.only:
                continue
            try:
                flavour(args.binary, kind, parts, work, c)
            except Exception:
                c.check("%s: server started" % kind, False, traceback.format_exc())
    finally:
        for text in c.figures:
            print("figure: " + text)
    print("%d passed, %d failed" % (c.passed, c.failed))
    sys.exit(1 if c.failed else 0)


if __name__ == "__main__":
    main()
