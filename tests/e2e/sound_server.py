"""Private sound servers: a PulseAudio daemon, or PipeWire with pipewire-pulse,
in a fresh folder, reached by clients through `server.env`. Every helper runs
in a process group of its own and is stopped by that id (SIGTERM, then
SIGKILL); the kernel sends it SIGTERM should the test process die first."""
import contextlib
import ctypes
import os
import shutil
import signal
import subprocess
import tempfile
import time

KINDS = ("pulseaudio", "pipewire")
_libc = ctypes.CDLL(None)


def clean_env(folder):
    """An environment that reaches no sound server or session: HOME and the
    runtime folder are `folder`."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("PULSE_", "PIPEWIRE_", "DBUS_", "XDG_", "DISPLAY", "WAYLAND_"))}
    return dict(env, HOME=folder, XDG_RUNTIME_DIR=folder, LC_ALL="C.UTF-8")


class Server:
    def __init__(self, kind):
        self.kind, self.modules = kind, {}  # sink or source name -> module index
        self.procs = {}  # helper name -> Popen leading its own process group
        self.root = tempfile.mkdtemp(prefix="narup-%s-" % kind)
        self.log = os.path.join(self.root, "server.log")
        config = os.path.join(self.root, ".config")
        os.makedirs(os.path.join(config, "pulse"))
        with open(os.path.join(config, "pulse", "client.conf"), "w") as f:
            f.write("autospawn = no\n")
        self.env = dict(clean_env(self.root), XDG_CONFIG_HOME=config,
                        PULSE_SERVER="unix:" + os.path.join(self.root, "pulse", "native"))

    def spawn(self, name, args, stdin=subprocess.DEVNULL):
        with open(self.log, "ab") as log:
            self.procs[name] = subprocess.Popen(
                args, env=self.env, stdin=stdin, stdout=log, stderr=log, start_new_session=True,
                preexec_fn=lambda: _libc.prctl(1, signal.SIGTERM, 0, 0, 0))  # PR_SET_PDEATHSIG

    def end(self, name, sig=signal.SIGTERM):
        """Stops one helper by its process group id."""
        proc = self.procs.pop(name)
        for s in (sig, signal.SIGKILL):
            try:
                os.killpg(proc.pid, s)
                proc.wait(timeout=3)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                pass

    def stop(self):
        for name in reversed(list(self.procs)):
            self.end(name)
        shutil.rmtree(self.root, ignore_errors=True)

    def pactl(self, *args):
        r = subprocess.run(["pactl", *args], env=self.env, capture_output=True, text=True,
                           timeout=10)
        if r.returncode:
            raise RuntimeError("pactl %s: %s" % (" ".join(args), r.stderr.strip()))
        return r.stdout.strip()

    def wait_until(self, condition, what, timeout=15.0):
        deadline = time.monotonic() + timeout
        while True:
            try:
                if condition():
                    return
            except (RuntimeError, subprocess.TimeoutExpired):
                pass
            if time.monotonic() > deadline:
                raise RuntimeError("timed out waiting for %s\n%s" % (what, open(self.log).read()))
            time.sleep(0.1)

    def start(self):
        if self.kind == "pulseaudio":
            self.spawn("pulseaudio", [
                "pulseaudio", "--daemonize=no", "-n", "--exit-idle-time=-1", "--use-pid-file=no",
                "--disallow-exit=yes", "--load=module-native-protocol-unix auth-anonymous=1"])
            self.wait_until(lambda: self.pactl("info"), "pulseaudio")
            return self
        # WirePlumber leaves the machine's own devices alone: ALSA, Bluetooth and
        # cameras off (its 0.4 Lua configuration).
        for folder, names in (("main.lua.d", ("alsa", "v4l2", "libcamera")),
                              ("bluetooth.lua.d", ("bluez",))):
            path = os.path.join(self.env["XDG_CONFIG_HOME"], "wireplumber", folder)
            os.makedirs(path)
            with open(os.path.join(path, "51-narup.lua"), "w") as f:
                f.writelines("%s_monitor.enabled = false\n" % n for n in names)
        bus = os.path.join(self.root, "bus")
        self.env.update(DBUS_SESSION_BUS_ADDRESS="unix:path=" + bus,
                        PIPEWIRE_RUNTIME_DIR=self.root)
        self.spawn("dbus", ["dbus-daemon", "--session", "--nofork", "--nopidfile",
                            "--address=unix:path=" + bus])
        self.wait_until(lambda: os.path.exists(bus), "the session bus")
        self.spawn("pipewire", ["pipewire"])
        self.wait_until(lambda: os.path.exists(os.path.join(self.root, "pipewire-0")), "pipewire")
        self.spawn("wireplumber", ["wireplumber"])
        self.spawn("pipewire-pulse", ["pipewire-pulse"])
        self.wait_until(lambda: self.pactl("get-default-sink"), "pipewire-pulse")
        return self

    def names(self, what):  # of the "sinks" or "sources", monitors included
        return [l.split("\t")[1] for l in self.pactl("list", "short", what).splitlines()]

    def load(self, module, what, name, description, *args):
        """Loads a module making the sink or source (`what`) `name`; waits for it."""
        kind = "source" if module == "module-remap-source" else "sink"
        index = self.pactl("load-module", module, "%s_name=%s" % (kind, name), *args,
                           "%s_properties='device.description=\"%s\"'" % (kind, description))
        self.wait_until(lambda: name in self.names(what), name)
        if self.kind == "pipewire":  # its dummy sink leaves once a real one exists
            self.wait_until(lambda: "auto_null" not in self.names("sinks"), "auto_null", 3)
        self.modules[name] = index

    def null_sink(self, name, description, *args):
        self.load("module-null-sink", "sinks", name, description, *args)

    def remap_source(self, name, master, description, *args):
        self.load("module-remap-source", "sources", name, description, "master=" + master,
                  *args)

    def set_default(self, what, name):  # what: "sink" or "source"
        self.pactl("set-default-" + what, name)
        self.wait_until(lambda: self.pactl("get-default-" + what) == name, "default " + name)

    def keep_running(self, sink):
        """Silence into a sink for the server's life: an idle null sink renders its
        monitor slower than real time, and the first sound into a never-used one
        can come out garbled."""
        with open("/dev/zero", "rb") as zero:
            self.spawn("silence-" + sink, ["pacat", "-p", "-d", sink, "--format=s16le",
                                           "--rate=48000", "--channels=2", "--latency-msec=100"],
                       stdin=zero)

    def setup_room(self):
        """Sinks "speakers" (default, the far end) and "room" (what reaches the
        microphone), source "roommic" (default) remapping room.monitor."""
        self.null_sink("speakers", "Speakers")
        self.null_sink("room", "Room")
        self.remap_source("roommic", "room.monitor", "Room microphone")
        self.set_default("sink", "speakers")
        self.set_default("source", "roommic")
        self.keep_running("speakers")
        self.keep_running("room")
        return self


@contextlib.contextmanager
def running(kind):
    """A started server for the `with` block, stopped at its end."""
    server = Server(kind)
    try:
        yield server.start()
    finally:
        server.stop()
