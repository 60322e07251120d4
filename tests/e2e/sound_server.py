"""Private sound servers for end-to-end tests.

A test starts its own PulseAudio-protocol sound server, runs the tool and
`pactl` against it through `server.env`, and stops it again, so that the
machine's own audio devices never take part and nothing is left running:

    from sound_server import start_server

    with start_server("pulseaudio") as server:        # or "pipewire"
        server.load_null_sink("speakers", "Speakers")
        subprocess.run([binary, "--list-output-devices"], env=server.env)

Two flavours serve the same protocol:

- "pulseaudio": one `pulseaudio --daemonize=no -n` with only the native
  protocol module loaded (anonymous access on its socket).
- "pipewire": `pipewire`, a private session bus (`dbus-daemon`),
  `wireplumber` with its ALSA, Bluetooth and camera monitors turned off,
  then `pipewire-pulse`. Until a sink is loaded, PipeWire shows a dummy sink
  "auto_null"; it goes away once a real one exists.

Every process is started in its own process group and stopped by that
group's id (SIGTERM, then SIGKILL), also when the test fails half-way: use
the server as a context manager, or call stop() in a finally block. Should
the test process itself be killed, each helper gets SIGTERM from the kernel
(PR_SET_PDEATHSIG). The
runtime directory, HOME and the logs live in one fresh temporary folder,
which stop() removes.

`setup_room()` builds the loudspeaker-and-microphone room that recording
tests use: sinks "speakers" (the default, what the computer plays) and
"room" (what reaches the microphone), and the source "roommic" (the default
input) that remaps room.monitor. Null sinks are kept running with a stream
of silence each (`pacat` from /dev/zero): an idle null sink renders its
monitor slower than real time, and the first sound played into a never-used
one can come out garbled.
"""

import atexit
import ctypes
import os
import shutil
import signal
import subprocess
import tempfile
import time

SERVER_KINDS = ("pulseaudio", "pipewire")

# Environment variables that would point a client at the machine's own
# server or session; the private server's env drops them.
_FOREIGN_ENV = (
    "PULSE_SERVER", "PULSE_COOKIE", "PULSE_RUNTIME_PATH", "PULSE_STATE_PATH",
    "PULSE_CLIENTCONFIG", "PULSE_SINK", "PULSE_SOURCE",
    "PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR", "PIPEWIRE_CONFIG_DIR",
    "DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "WAYLAND_DISPLAY",
    "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME",
)

_STARTUP_TIMEOUT = 15.0
_STOP_GRACE = 3.0

# Servers not yet stopped: stopped at interpreter exit as a last resort.
_live_servers = []


def _stop_leftovers():
    for server in list(_live_servers):
        server.stop()


atexit.register(_stop_leftovers)


_PR_SET_PDEATHSIG = 1
try:
    _libc = ctypes.CDLL(None, use_errno=True)
except OSError:
    _libc = None


def _die_with_parent():
    """Runs in each helper before exec: if the test process is killed outright
    (a runner's timeout), the kernel sends the helper SIGTERM."""
    if _libc is not None:
        _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)


def available(kind):
    """Whether the programs for a server flavour are installed."""
    programs = {
        "pulseaudio": ("pulseaudio", "pactl", "pacat"),
        "pipewire": ("pipewire", "wireplumber", "pipewire-pulse", "dbus-daemon",
                     "pactl", "pacat"),
    }[kind]
    return all(shutil.which(p) for p in programs)


def start_server(kind):
    """Starts a private server of the given flavour and returns it, running."""
    cls = {"pulseaudio": PulseAudioServer, "pipewire": PipeWireServer}[kind]
    server = cls()
    try:
        server.start()
    except BaseException:
        server.stop()
        raise
    return server


class SoundServerError(RuntimeError):
    pass


class SoundServer:
    """What both flavours share: folders, env, process groups, pactl."""

    kind = None

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="narup-%s-" % self.kind)
        self.runtime_dir = os.path.join(self.root, "runtime")
        self.home = os.path.join(self.root, "home")
        self.log_dir = os.path.join(self.root, "logs")
        for d in (self.runtime_dir, self.home, self.log_dir):
            os.makedirs(d, mode=0o700)
        config = os.path.join(self.home, ".config")
        os.makedirs(os.path.join(config, "pulse"))
        # Clients of this server never bring up a server of their own.
        with open(os.path.join(config, "pulse", "client.conf"), "w") as f:
            f.write("autospawn = no\n")
        self.socket = os.path.join(self.runtime_dir, "pulse", "native")
        env = {k: v for k, v in os.environ.items() if k not in _FOREIGN_ENV}
        env.update({
            "XDG_RUNTIME_DIR": self.runtime_dir,
            "HOME": self.home,
            "XDG_CONFIG_HOME": config,
            "XDG_STATE_HOME": os.path.join(self.home, ".local", "state"),
            "PULSE_SERVER": "unix:" + self.socket,
            "LC_ALL": "C.UTF-8",
        })
        # The environment to run clients (the tool, pactl) against this server.
        self.env = env
        self._procs = []       # (name, Popen), each leading its own process group
        self._keepers = {}     # sink name -> silence stream
        self._stopped = False
        _live_servers.append(self)

    # ---- context manager ------------------------------------------------------

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    # ---- processes ------------------------------------------------------------

    def spawn(self, name, args, env=None, stdin=subprocess.DEVNULL):
        """Starts a helper process in its own process group, logging to a file;
        stop() ends it."""
        log = open(os.path.join(self.log_dir, name + ".log"), "ab")
        try:
            proc = subprocess.Popen(args, env=env or self.env, stdin=stdin, stdout=log,
                                    stderr=subprocess.STDOUT, start_new_session=True,
                                    preexec_fn=_die_with_parent)
        finally:
            log.close()
        self._procs.append((name, proc))
        return proc

    def _end_group(self, proc):
        if proc.poll() is None:
            try:
                os.killpg(proc.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                proc.wait(timeout=_STOP_GRACE)
            except subprocess.TimeoutExpired:
                pass
        # Whatever else is left in the group (children of the leader) goes too.
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass
        try:
            proc.wait(timeout=_STOP_GRACE)
        except subprocess.TimeoutExpired:
            pass

    def stop(self):
        """Stops every process of this server, newest first, and removes its folder.
        Safe to call more than once."""
        if self._stopped:
            return
        self._stopped = True
        for _, proc in reversed(self._procs):
            self._end_group(proc)
        self._procs.clear()
        self._keepers.clear()
        shutil.rmtree(self.root, ignore_errors=True)
        if self in _live_servers:
            _live_servers.remove(self)

    def pids(self):
        """Process ids of the helpers still running (for checks that nothing leaks)."""
        return [p.pid for _, p in self._procs if p.poll() is None]

    def logs(self):
        """The helpers' logs, for a failure message."""
        out = []
        for name in sorted(os.listdir(self.log_dir)):
            with open(os.path.join(self.log_dir, name), errors="replace") as f:
                out.append("== %s\n%s" % (name, f.read()[-4000:]))
        return "\n".join(out)

    def _check_alive(self):
        for name, proc in self._procs:
            if proc.poll() is not None and name not in self._keeper_names():
                raise SoundServerError("%s exited with status %s\n%s"
                                       % (name, proc.returncode, self.logs()))

    def _keeper_names(self):
        return {"silence-" + s for s in self._keepers}

    # ---- pactl ------------------------------------------------------------------

    def pactl(self, *args, check=True, timeout=10):
        """Runs pactl against this server; returns its standard output."""
        r = subprocess.run(["pactl", *args], env=self.env, capture_output=True, text=True,
                           timeout=timeout)
        if check and r.returncode != 0:
            raise SoundServerError("pactl %s failed (%d): %s"
                                   % (" ".join(args), r.returncode, r.stderr.strip()))
        return r.stdout

    def _list(self, what):
        # pactl's own JSON output turns every non-ASCII description into
        # "(null)" (pactl 16), so its plain text is parsed instead.
        return _parse_pactl_list(self.pactl("list", what))

    def sinks(self):
        """The sinks as pactl reports them, in the server's order: dicts with
        "index" (int), "name", "description" and "properties" (dict)."""
        return self._list("sinks")

    def sources(self):
        """The sources (monitors included), in the server's order."""
        return self._list("sources")

    def default_sink(self):
        return self.pactl("get-default-sink").strip()

    def default_source(self):
        return self.pactl("get-default-source").strip()

    def wait_until(self, condition, what, timeout=_STARTUP_TIMEOUT):
        deadline = time.monotonic() + timeout
        while True:
            try:
                if condition():
                    return
            except (SoundServerError, subprocess.TimeoutExpired, ValueError):
                pass
            self._check_alive()
            if time.monotonic() > deadline:
                raise SoundServerError("timed out waiting for %s\n%s" % (what, self.logs()))
            time.sleep(0.1)

    # ---- devices ------------------------------------------------------------------

    def load_module(self, name, *args):
        """Loads a module through pactl; returns its index."""
        return int(self.pactl("load-module", name, *args).strip())

    def load_null_sink(self, name, description=None, rate=None, channels=None):
        """A null sink (with its monitor source); returns the module index once the
        sink is visible."""
        args = ["sink_name=" + name]
        if description is not None:
            args.append("sink_properties=" + _prop("device.description", description))
        if rate is not None:
            args.append("rate=%d" % rate)
        if channels is not None:
            args.append("channels=%d" % channels)
        index = self.load_module("module-null-sink", *args)
        self.wait_until(lambda: name in [s["name"] for s in self.sinks()], "sink " + name)
        self._settle()
        return index

    def load_null_source(self, name, description=None):
        """A source that records silence: a virtual microphone. PipeWire has no
        module-null-source; its null sink with the class of a virtual source is
        the same thing."""
        if self.kind == "pipewire":
            args = ["media.class=Audio/Source/Virtual", "sink_name=" + name]
            if description is not None:
                args.append("sink_properties=" + _prop("device.description", description))
            index = self.load_module("module-null-sink", *args)
        else:
            # PulseAudio's null source takes its description as an argument of
            # its own and has no source_properties.
            args = ["source_name=" + name]
            if description is not None:
                _check_value(description)
                args.append("description='%s'" % description)
            index = self.load_module("module-null-source", *args)
        self.wait_until(lambda: name in [s["name"] for s in self.sources()], "source " + name)
        return index

    def load_remap_source(self, name, master, description=None):
        """A source that remaps another (e.g. a sink's monitor)."""
        args = ["source_name=" + name, "master=" + master]
        if description is not None:
            args.append("source_properties=" + _prop("device.description", description))
        index = self.load_module("module-remap-source", *args)
        self.wait_until(lambda: name in [s["name"] for s in self.sources()], "source " + name)
        return index

    def unload_module(self, index):
        self.pactl("unload-module", str(index))

    def set_default_sink(self, name):
        """Makes a sink the default and waits until the server reports it."""
        self.pactl("set-default-sink", name)
        self.wait_until(lambda: self.default_sink() == name, "default sink " + name)

    def set_default_source(self, name):
        self.pactl("set-default-source", name)
        self.wait_until(lambda: self.default_source() == name, "default source " + name)

    def keep_running(self, sink):
        """Plays silence into a sink for the server's life, so that it runs in real
        time from the start."""
        if sink in self._keepers:
            return self._keepers[sink]
        zero = open("/dev/zero", "rb")
        try:
            proc = self.spawn("silence-" + sink,
                              ["pacat", "--playback", "-d", sink, "--format=s16le",
                               "--rate=48000", "--channels=2", "--latency-msec=100",
                               "--client-name=narup-test-silence"],
                              stdin=zero)
        finally:
            zero.close()
        self._keepers[sink] = proc
        return proc

    def setup_room(self, sink_rate=None):
        """Sinks "speakers" (default) and "room", source "roommic" (default) that
        remaps room.monitor, each sink kept running with silence."""
        self.load_null_sink("speakers", "Speakers", rate=sink_rate)
        self.load_null_sink("room", "Room", rate=sink_rate)
        self.load_remap_source("roommic", "room.monitor", "Room microphone")
        self.set_default_sink("speakers")
        self.set_default_source("roommic")
        self.keep_running("speakers")
        self.keep_running("room")

    def _settle(self):
        pass


def _parse_pactl_list(text):
    """Parses `pactl list sinks|sources` (plain format, C locale): one dict per
    "Sink #N" / "Source #N" block with its top-level fields in lower case
    ("name", "description", ...), "index" and "properties"."""
    items = []
    item = None
    in_props = False
    for line in text.splitlines():
        if line and not line[0].isspace():
            head, _, number = line.partition(" #")
            item = {"kind": head.lower(), "index": int(number), "properties": {}}
            items.append(item)
            in_props = False
        elif item is None:
            continue
        elif line.startswith("\t\t") and in_props:
            key, sep, value = line.strip().partition(" = ")
            if sep:
                item["properties"][key] = value[1:-1] if value.startswith('"') else value
        elif line.startswith("\t") and not line.startswith("\t\t"):
            key, _, value = line[1:].partition(":")
            in_props = key == "Properties"
            item.setdefault(key.lower(), value.strip())
    return items


def _check_value(value):
    if any(c in value for c in "'\"\\"):
        raise ValueError("quotes and backslashes are not supported: %r" % value)


def _prop(key, value):
    """A property list as one module argument: '<key>="<value>"' (the module
    argument quoted, the property value quoted inside it). Quotes and
    backslashes in values are not supported by both servers alike."""
    _check_value(value)
    return "'%s=\"%s\"'" % (key, value)


class PulseAudioServer(SoundServer):
    kind = "pulseaudio"

    def start(self):
        # As root PulseAudio only warns ("not intended to be run as root") and
        # runs as a per-user server, which is what we want; --system would need
        # the pulse user and a system-wide config. -n skips default.pa, so only
        # the protocol module (and what the test loads) exists.
        self.spawn("pulseaudio", [
            "pulseaudio", "--daemonize=no", "-n", "--exit-idle-time=-1",
            "--use-pid-file=no", "--disallow-exit=yes", "--log-target=stderr",
            "--load=module-native-protocol-unix auth-anonymous=1",
        ])
        self.wait_until(lambda: self.pactl("info", timeout=3) != "", "pulseaudio to answer")
        return self


class PipeWireServer(SoundServer):
    kind = "pipewire"

    def start(self):
        self._write_wireplumber_config()
        bus_socket = os.path.join(self.runtime_dir, "bus")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + bus_socket
        self.env["PIPEWIRE_RUNTIME_DIR"] = self.runtime_dir
        # A session bus of our own (what dbus-run-session would give), started
        # as a direct child so that stopping it leaves no orphan behind.
        self.spawn("dbus", ["dbus-daemon", "--session", "--nofork", "--nopidfile",
                            "--address=unix:path=" + bus_socket])
        self.wait_until(lambda: os.path.exists(bus_socket), "the session bus")
        self.spawn("pipewire", ["pipewire"])
        self.wait_until(lambda: os.path.exists(os.path.join(self.runtime_dir, "pipewire-0")),
                        "pipewire")
        self.spawn("wireplumber", ["wireplumber"])
        self.spawn("pipewire-pulse", ["pipewire-pulse"])
        self.wait_until(lambda: self.default_sink() != "", "pipewire-pulse to name a sink")
        return self

    def _write_wireplumber_config(self):
        # WirePlumber 0.4 runs the *.lua files of its config folders in name
        # order: ours come after the 50-*-config files that enable the monitors
        # and before 90-enable-all that starts them.
        base = os.path.join(self.env["XDG_CONFIG_HOME"], "wireplumber")
        for folder, text in (
                ("main.lua.d", "alsa_monitor.enabled = false\n"
                               "v4l2_monitor.enabled = false\n"
                               "libcamera_monitor.enabled = false\n"),
                ("bluetooth.lua.d", "bluez_monitor.enabled = false\n")):
            os.makedirs(os.path.join(base, folder), exist_ok=True)
            with open(os.path.join(base, folder, "51-narup-test.lua"), "w") as f:
                f.write(text)
        # WirePlumber 0.5 reads SPA-JSON fragments instead.
        frag = os.path.join(base, "wireplumber.conf.d")
        os.makedirs(frag, exist_ok=True)
        with open(os.path.join(frag, "51-narup-test.conf"), "w") as f:
            f.write("wireplumber.profiles = {\n  main = {\n"
                    "    monitor.alsa = disabled\n    monitor.alsa-midi = disabled\n"
                    "    monitor.bluez = disabled\n    monitor.bluez-midi = disabled\n"
                    "    monitor.v4l2 = disabled\n    monitor.libcamera = disabled\n"
                    "  }\n}\n")

    def _settle(self):
        # The dummy "auto_null" sink leaves once a real sink exists; wait for it
        # so that the sink list does not change under the test.
        try:
            self.wait_until(lambda: "auto_null" not in [s["name"] for s in self.sinks()],
                            "auto_null to go", timeout=3)
        except SoundServerError:
            pass
