"""Signals for a room of "speakers" (the far end) and "room" (what the
microphone hears), and their player: two players start tens of ms apart, more
than the delay checks allow, so `room.py play SINK RAW [SINK RAW ...]` fills
every stream while corked, starts them at one instant and prints "started T"."""
import ctypes
import os
import subprocess
import sys
import tempfile
import time

import numpy as np
from scipy import signal as dsp
from scipy.io import wavfile

RATE = 48000


def read_wav(path):
    """A 16-bit mono WAV's samples as float32."""
    x = wavfile.read(path)[1]
    assert x.dtype == np.int16 and x.ndim == 1, (path, x.dtype, x.shape)
    return x.astype(np.float32) / 32768


def pcm16(x):
    return np.clip(np.round(np.asarray(x) * 32767), -32768, 32767).astype(np.int16)


def speech(text, voice="en"):
    """`text` spoken by espeak-ng at RATE, silent ends cut, peak 0.5."""
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "s.wav")
        subprocess.run(["espeak-ng", "-v", voice, "-s", "160", "-w", path, text], check=True)
        rate, x = wavfile.read(path)
    x = dsp.resample_poly(x.astype(np.float64), RATE, rate)
    loud = np.nonzero(np.abs(x) > 0.01 * np.abs(x).max())[0]
    x = x[loud[0]:loud[-1] + 1]
    return (0.5 * x / np.abs(x).max()).astype(np.float32)


def place(seconds, pieces):
    """A track of `seconds` with each (start seconds, samples) added in."""
    out = np.zeros(int(round(seconds * RATE)), dtype=np.float32)
    for start, x in pieces:
        i = int(round(start * RATE))
        n = max(0, min(len(x), len(out) - i))
        out[i:i + n] += x[:n]
    return out


def echo_of(far, delay_ms, gain):
    """The far end as the microphone hears it: delayed and attenuated."""
    d = int(round(delay_ms * RATE / 1000))
    return np.concatenate([np.zeros(d, np.float32), gain * far])[:len(far)]


def lag_ms(reference, signal, max_ms):
    """How far `signal` lags `reference` (ms): the cross-correlation's peak."""
    c = dsp.correlate(signal, reference, method="fft")
    lags = dsp.correlation_lags(len(signal), len(reference))
    near = np.abs(lags) <= max_ms * RATE / 1000
    return 1000.0 * lags[near][np.argmax(c[near])] / RATE


def correlation(a, b):
    n = min(len(a), len(b))
    a, b = a[:n].astype(np.float64), b[:n].astype(np.float64)
    return float(a @ b / max(np.sqrt((a @ a) * (b @ b)), 1e-30))


def play(server, tracks, folder, fixed=False):
    """Plays [(sink, samples)] together; returns (player, its start time).
    `fixed`: the streams stay on their sinks when the default changes."""
    args = [sys.executable, os.path.abspath(__file__), "play-fixed" if fixed else "play"]
    for i, (sink, x) in enumerate(tracks):
        args += [sink, os.path.join(folder, "play-%d.raw" % i)]
        pcm16(np.stack([x, x], axis=1)).tofile(args[-1])
    player = subprocess.Popen(args, env=server.env, stdout=subprocess.PIPE, text=True)
    line = player.stdout.readline()
    assert line.startswith("started "), "the player did not start: %r" % line
    return player, float(line.split()[1])


class _Pointer(ctypes.c_void_p):
    """A result that stays a pointer (a c_void_p result becomes a 32-bit int arg)."""


def _play(pairs, fixed):
    pa = ctypes.CDLL("libpulse.so.0")
    for name in ("pa_threaded_mainloop_new", "pa_threaded_mainloop_get_api", "pa_context_new",
                 "pa_stream_new"):
        getattr(pa, name).restype = _Pointer
    pa.pa_stream_writable_size.restype = ctypes.c_size_t
    loop = pa.pa_threaded_mainloop_new()
    ctx = pa.pa_context_new(pa.pa_threaded_mainloop_get_api(loop), b"narup-room")
    pa.pa_context_connect(ctx, None, 1, None)  # no autospawn
    pa.pa_threaded_mainloop_start(loop)

    def locked(fn):
        pa.pa_threaded_mainloop_lock(loop)
        try:
            return fn()
        finally:
            pa.pa_threaded_mainloop_unlock(loop)

    def wait_ready(get, ready):  # 4 for a context, 2 for a stream; failed is next
        deadline = time.monotonic() + 10
        while (state := locked(get)) != ready:
            if state in (ready + 1, ready + 2) or time.monotonic() > deadline:
                sys.exit("room player: state %d" % state)
            time.sleep(0.005)

    wait_ready(lambda: pa.pa_context_get_state(ctx), 4)
    sample_format = (ctypes.c_uint32 * 3)(3, RATE, 2)  # s16le, 48000 Hz, stereo, as play() writes
    streams = []
    for sink, path in pairs:
        with open(path, "rb") as f:
            data = f.read()
        # Four seconds buffered ahead (the whole signal when shorter): a player
        # starved by a busy machine never underruns, and one player can span a
        # long take, so its streams keep one offset against each other all
        # through it. With no prebuffering (0) an underrun would not pause the
        # stream and move it against the others either.
        ahead = min(len(data), 4 * RATE * 4)
        attr = (ctypes.c_uint32 * 5)(ahead, ahead, 0, 0xFFFFFFFF, 0xFFFFFFFF)
        s = locked(lambda: pa.pa_stream_new(ctx, b"narup-room", sample_format, None))
        flags = 1 | (0x200 if fixed else 0)  # started corked; DONT_MOVE when fixed
        locked(lambda: pa.pa_stream_connect_playback(s, sink.encode(), attr, flags, None, None))
        streams.append([s, data, 0])

    def feed():  # writes what each stream has room for; True while any has more
        for entry in streams:
            st, data, sent = entry
            n = min(pa.pa_stream_writable_size(st), len(data) - sent)
            if n > 0:
                pa.pa_stream_write(st, data[sent:sent + n], ctypes.c_size_t(n), None,
                                   ctypes.c_int64(0), 0)
                entry[2] = sent + n
        return any(sent < len(data) for _, data, sent in streams)

    for st, data, _ in streams:
        wait_ready(lambda: pa.pa_stream_get_state(st), 2)
    locked(feed)
    t = locked(lambda: [pa.pa_stream_cork(st, 0, None, None) for st, _, _ in streams]
               and time.monotonic())
    print("started %.6f" % t, flush=True)
    while locked(feed):
        time.sleep(0.05)
    time.sleep(max(0.0, t + max(len(data) for _, data, _ in streams) / 4 / RATE + 0.25 - time.monotonic()))

if __name__ == "__main__":
    _play(list(zip(sys.argv[2::2], sys.argv[3::2])), sys.argv[1] == "play-fixed")
