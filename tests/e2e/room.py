"""A room for recording tests: loudspeakers and a microphone in front of them.

On a private sound server (sound_server.py) the room is two null sinks and a
source:

- "speakers", the default sink: what the computer plays, the far end. Its
  monitor is what the tool records as system audio.
- "room": what reaches the microphone: the far end, delayed and attenuated as
  a loudspeaker-to-microphone path would, plus the near-end talker.
- "roommic", the default source: room.monitor remapped, the microphone.

Signals are spoken by espeak-ng and built with numpy. `play_together` plays
one signal per sink from one client whose streams are filled while corked
and then started at the same instant, so that the delay between what the
speakers and the room play is the one built into the signals (two separate
players start tens of milliseconds apart, which is more than the delay
checks allow).

The module is also a script: `room.py play SINK WAV [SINK WAV ...]` plays the
files (16-bit PCM) through the server named by the environment and prints
"started <monotonic seconds>" when they start.
"""

import ctypes
import os
import subprocess
import sys
import tempfile
import time
import wave

import numpy as np

RATE = 48000


# ---- WAV files ------------------------------------------------------------------

def read_wav(path):
    """A 16-bit PCM WAV as (mono float32 samples, rate); channels averaged."""
    with wave.open(path, "rb") as w:
        if w.getsampwidth() != 2:
            raise ValueError("%s: not 16-bit PCM" % path)
        rate = w.getframerate()
        channels = w.getnchannels()
        raw = w.readframes(w.getnframes())
    x = np.frombuffer(raw, dtype="<i2").astype(np.float32) / 32768.0
    if channels > 1:
        x = x.reshape(-1, channels).mean(axis=1)
    return x, rate


def write_wav(path, samples, rate=RATE):
    """Writes float samples (n,) or (n, channels) as 16-bit PCM."""
    x = np.asarray(samples, dtype=np.float64)
    if x.ndim == 1:
        x = x[:, None]
    pcm = np.clip(np.round(x * 32767.0), -32768, 32767).astype("<i2")
    with wave.open(path, "wb") as w:
        w.setnchannels(x.shape[1])
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(pcm.tobytes())


def wav_info(path):
    """(rate, channels, frames) of a WAV file."""
    with wave.open(path, "rb") as w:
        return w.getframerate(), w.getnchannels(), w.getnframes()


# ---- signals --------------------------------------------------------------------

def speech(text, voice="en", rate=RATE):
    """`text` spoken by espeak-ng in `voice`, at `rate`, peak 0.5."""
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "speech.wav")
        subprocess.run(["espeak-ng", "-v", voice, "-s", "160", "-w", path, text], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        x, r = read_wav(path)
    if r != rate:
        t = np.arange(int(len(x) * rate / r)) / rate
        x = np.interp(t, np.arange(len(x)) / r, x).astype(np.float32)
    # espeak leaves silence at both ends; the schedule places the words itself.
    loud = np.nonzero(np.abs(x) > 0.01 * np.max(np.abs(x)))[0]
    x = x[loud[0]:loud[-1] + 1]
    return (0.5 * x / np.max(np.abs(x))).astype(np.float32)


def silence(seconds, rate=RATE):
    return np.zeros(int(round(seconds * rate)), dtype=np.float32)


def place(length, pieces, rate=RATE):
    """A track of `length` seconds with each (start seconds, samples) added in."""
    out = np.zeros(int(round(length * rate)), dtype=np.float32)
    for start, x in pieces:
        i = int(round(start * rate))
        n = min(len(x), len(out) - i)
        if n > 0:
            out[i:i + n] += x[:n]
    return out


def echo_of(far, delay_ms, gain, rate=RATE):
    """The far end as the microphone hears it: delayed and attenuated."""
    d = int(round(delay_ms * rate / 1000.0))
    return np.concatenate([np.zeros(d, dtype=np.float32), gain * far])[:len(far)]


def stereo(x):
    return np.stack([x, x], axis=1)


# ---- the room on a server --------------------------------------------------------

def setup_room(server, keep_running=True):
    """Sinks "speakers" (default) and "room", source "roommic" (default) that
    remaps room.monitor. With keep_running, each sink gets a stream of silence
    for the server's life (sound_server.setup_room); without, the sinks idle
    whenever nothing plays."""
    if keep_running:
        server.setup_room()
        return
    server.load_null_sink("speakers", "Speakers")
    server.load_null_sink("room", "Room")
    server.load_remap_source("roommic", "room.monitor", "Room microphone")
    server.set_default_sink("speakers")
    server.set_default_source("roommic")


def play_together(server, tracks, log_dir):
    """Starts playing [(sink, samples (n,) or (n, 2))] into the sinks at one
    instant; returns the player's Popen. Its first line of output is
    "started <monotonic seconds>" (see started_at)."""
    args = [sys.executable, os.path.abspath(__file__), "play"]
    for i, (sink, x) in enumerate(tracks):
        path = os.path.join(log_dir, "play-%d-%s.wav" % (i, sink))
        write_wav(path, stereo(x) if np.asarray(x).ndim == 1 else x)
        args += [sink, path]
    return subprocess.Popen(args, env=server.env, stdout=subprocess.PIPE, text=True)


def started_at(player, timeout=10.0):
    """The monotonic time at which a play_together player started its streams."""
    deadline = time.monotonic() + timeout
    line = player.stdout.readline()
    if not line.startswith("started ") or time.monotonic() > deadline:
        raise RuntimeError("player did not start: %r" % line)
    return float(line.split()[1])


# ---- analysis ---------------------------------------------------------------------

def frame_energy(x, rate, frame_ms=20):
    n = int(rate * frame_ms / 1000)
    m = len(x) // n
    return (x[:m * n].astype(np.float64).reshape(m, n) ** 2).mean(axis=1), n


def bursts(x, rate, rel=0.1, min_gap=0.5):
    """Start and end times (seconds) of the loud stretches of x: frames above
    `rel` of the loudest frame's RMS, merged across gaps shorter than min_gap."""
    e, n = frame_energy(x, rate)
    if len(e) == 0 or e.max() <= 0:
        return []
    loud = np.sqrt(e) > rel * np.sqrt(e.max())
    out = []
    for i in np.nonzero(loud)[0]:
        t0, t1 = i * n / rate, (i + 1) * n / rate
        if out and t0 - out[-1][1] < min_gap:
            out[-1][1] = t1
        else:
            out.append([t0, t1])
    return [tuple(b) for b in out]


def lag_ms(reference, signal, rate, max_ms=1000):
    """How far `signal` lags `reference` (ms), by the peak of their
    cross-correlation within +-max_ms."""
    n = 1
    while n < len(reference) + len(signal):
        n *= 2
    a = np.fft.rfft(reference, n)
    b = np.fft.rfft(signal, n)
    c = np.fft.irfft(np.conj(a) * b, n)
    m = int(max_ms * rate / 1000)
    lags = np.concatenate([np.arange(0, m + 1), np.arange(-m, 0)])
    vals = np.concatenate([c[:m + 1], c[n - m:]])
    return 1000.0 * lags[int(np.argmax(vals))] / rate


def correlation(a, b):
    n = min(len(a), len(b))
    a, b = a[:n].astype(np.float64), b[:n].astype(np.float64)
    d = np.sqrt((a * a).sum() * (b * b).sum())
    return float((a * b).sum() / d) if d > 0 else 0.0


# ---- the player (run as a script) ----------------------------------------------------

class _SampleSpec(ctypes.Structure):
    _fields_ = [("format", ctypes.c_int), ("rate", ctypes.c_uint32), ("channels", ctypes.c_uint8)]


class _BufferAttr(ctypes.Structure):
    _fields_ = [("maxlength", ctypes.c_uint32), ("tlength", ctypes.c_uint32),
                ("prebuf", ctypes.c_uint32), ("minreq", ctypes.c_uint32),
                ("fragsize", ctypes.c_uint32)]


_PA_SAMPLE_S16LE = 3
_PA_CONTEXT_NOAUTOSPAWN = 1
_PA_CONTEXT_READY, _PA_CONTEXT_FAILED = 4, 5
_PA_STREAM_READY, _PA_STREAM_FAILED = 2, 3
_PA_STREAM_START_CORKED = 0x0001
_PA_STREAM_ADJUST_LATENCY = 0x2000
_LATENCY_MS = 150


def _play(pairs):
    pa = ctypes.CDLL("libpulse.so.0")
    vp = ctypes.c_void_p
    for name, res, argtypes in (
            ("pa_threaded_mainloop_new", vp, []),
            ("pa_threaded_mainloop_get_api", vp, [vp]),
            ("pa_threaded_mainloop_start", ctypes.c_int, [vp]),
            ("pa_threaded_mainloop_lock", None, [vp]),
            ("pa_threaded_mainloop_unlock", None, [vp]),
            ("pa_context_new", vp, [vp, ctypes.c_char_p]),
            ("pa_context_connect", ctypes.c_int, [vp, ctypes.c_char_p, ctypes.c_int, vp]),
            ("pa_context_get_state", ctypes.c_int, [vp]),
            ("pa_stream_new", vp, [vp, ctypes.c_char_p, ctypes.POINTER(_SampleSpec), vp]),
            ("pa_stream_connect_playback", ctypes.c_int,
             [vp, ctypes.c_char_p, ctypes.POINTER(_BufferAttr), ctypes.c_int, vp, vp]),
            ("pa_stream_get_state", ctypes.c_int, [vp]),
            ("pa_stream_writable_size", ctypes.c_size_t, [vp]),
            ("pa_stream_write", ctypes.c_int,
             [vp, ctypes.c_char_p, ctypes.c_size_t, vp, ctypes.c_int64, ctypes.c_int]),
            ("pa_stream_cork", vp, [vp, ctypes.c_int, vp, vp]),
            ("pa_stream_get_underflow_index", ctypes.c_int64, [vp]),
            ("pa_operation_unref", None, [vp])):
        f = getattr(pa, name)
        f.restype = res
        f.argtypes = argtypes

    loop = pa.pa_threaded_mainloop_new()
    ctx = pa.pa_context_new(pa.pa_threaded_mainloop_get_api(loop), b"narup-room")
    pa.pa_context_connect(ctx, None, _PA_CONTEXT_NOAUTOSPAWN, None)
    pa.pa_threaded_mainloop_start(loop)

    def locked(fn):
        pa.pa_threaded_mainloop_lock(loop)
        try:
            return fn()
        finally:
            pa.pa_threaded_mainloop_unlock(loop)

    def wait_for(what, ok, bad, timeout=10.0):
        deadline = time.monotonic() + timeout
        while True:
            s = locked(what)
            if s == ok:
                return
            if s in bad or time.monotonic() > deadline:
                raise SystemExit("room player: cannot reach the server (state %d)" % s)
            time.sleep(0.005)

    wait_for(lambda: pa.pa_context_get_state(ctx), _PA_CONTEXT_READY, (_PA_CONTEXT_FAILED, 6))

    streams = []
    for sink, path in pairs:
        with wave.open(path, "rb") as w:
            fmt = _SampleSpec(_PA_SAMPLE_S16LE, w.getframerate(), w.getnchannels())
            data = w.readframes(w.getnframes())
        frame = 2 * fmt.channels
        target = int(fmt.rate * _LATENCY_MS / 1000) * frame
        attr = _BufferAttr(0xFFFFFFFF, target, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF)

        def connect(sink=sink, fmt=fmt, attr=attr):
            s = pa.pa_stream_new(ctx, b"narup-room", ctypes.byref(fmt), None)
            pa.pa_stream_connect_playback(s, sink.encode(), ctypes.byref(attr),
                                          _PA_STREAM_START_CORKED | _PA_STREAM_ADJUST_LATENCY,
                                          None, None)
            return s
        s = locked(connect)
        streams.append({"s": s, "data": data, "pos": 0, "rate": fmt.rate, "frame": frame})
    for st in streams:
        wait_for(lambda st=st: pa.pa_stream_get_state(st["s"]), _PA_STREAM_READY,
                 (_PA_STREAM_FAILED, 4))

    def feed():
        for st in streams:
            n = min(pa.pa_stream_writable_size(st["s"]), len(st["data"]) - st["pos"])
            n -= n % st["frame"]
            if n > 0:
                chunk = st["data"][st["pos"]:st["pos"] + n]
                pa.pa_stream_write(st["s"], chunk, n, None, 0, 0)
                st["pos"] += n

    # Fill every stream while corked, then start them all in one go.
    locked(feed)

    def uncork():
        for st in streams:
            op = pa.pa_stream_cork(st["s"], 0, None, None)
            if op:
                pa.pa_operation_unref(op)
        return time.monotonic()
    t = locked(uncork)
    print("started %.6f" % t, flush=True)

    longest = max(len(st["data"]) / st["frame"] / st["rate"] for st in streams)
    end = t + longest + _LATENCY_MS / 1000.0 + 0.1
    while time.monotonic() < end:
        locked(feed)
        time.sleep(0.01)


if __name__ == "__main__":
    if len(sys.argv) >= 4 and sys.argv[1] == "play" and len(sys.argv) % 2 == 0:
        _play(list(zip(sys.argv[2::2], sys.argv[3::2])))
    else:
        sys.exit("usage: room.py play SINK WAV [SINK WAV ...]")
