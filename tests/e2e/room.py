"""A room for recording tests, on a private server's "speakers" (the far end)
and "room" (what the microphone "roommic" hears): spoken signals, WAV files,
and a player that starts one stream per sink at one instant. Two separate
players start tens of milliseconds apart, more than the delay checks allow,
so `room.py play SINK WAV [SINK WAV ...]` fills every stream while corked,
starts them together and prints "started <monotonic seconds>"."""
import ctypes
import os
import subprocess
import sys
import tempfile
import time
import wave

import numpy as np

RATE = 48000


def read_wav(path):
    """A 16-bit PCM WAV as mono float32 samples (channels averaged) and its rate."""
    with wave.open(path, "rb") as w:
        assert w.getsampwidth() == 2, path
        rate, channels = w.getframerate(), w.getnchannels()
        x = np.frombuffer(w.readframes(w.getnframes()), "<i2").astype(np.float32) / 32768
    return x.reshape(-1, channels).mean(axis=1), rate


def wave_info(path):
    """(rate, channels, frames) of a WAV file."""
    with wave.open(path, "rb") as w:
        return w.getframerate(), w.getnchannels(), w.getnframes()


def write_wav(path, x, rate=RATE):
    """Float samples (n,) or (n, channels) as 16-bit PCM."""
    x = np.asarray(x, dtype=np.float64)
    x = x[:, None] if x.ndim == 1 else x
    with wave.open(path, "wb") as w:
        w.setnchannels(x.shape[1])
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(np.clip(np.round(x * 32767), -32768, 32767).astype("<i2").tobytes())


def speech(text, voice="en"):
    """`text` spoken by espeak-ng at RATE, silent ends cut, peak 0.5."""
    with tempfile.TemporaryDirectory() as d:
        path = os.path.join(d, "s.wav")
        subprocess.run(["espeak-ng", "-v", voice, "-s", "160", "-w", path, text], check=True)
        x, r = read_wav(path)
    x = np.interp(np.arange(int(len(x) * RATE / r)) / RATE, np.arange(len(x)) / r, x)
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
    n = 1 << int(np.ceil(np.log2(len(reference) + len(signal))))
    c = np.fft.irfft(np.conj(np.fft.rfft(reference, n)) * np.fft.rfft(signal, n), n)
    m = int(max_ms * RATE / 1000)
    lags = np.r_[0:m + 1, -m:0]
    return 1000.0 * lags[int(np.argmax(np.r_[c[:m + 1], c[n - m:]]))] / RATE


def correlation(a, b):
    n = min(len(a), len(b))
    a, b = a[:n].astype(np.float64), b[:n].astype(np.float64)
    d = np.sqrt((a * a).sum() * (b * b).sum())
    return float((a * b).sum() / d) if d > 0 else 0.0


def play(server, tracks, folder):
    """Plays [(sink, samples)] together; returns (player, its start time)."""
    args = [sys.executable, os.path.abspath(__file__), "play"]
    for i, (sink, x) in enumerate(tracks):
        args += [sink, os.path.join(folder, "play-%d.wav" % i)]
        write_wav(args[-1], np.stack([x, x], axis=1))
    player = subprocess.Popen(args, env=server.env, stdout=subprocess.PIPE, text=True)
    line = player.stdout.readline()
    assert line.startswith("started "), "the player did not start: %r" % line
    return player, float(line.split()[1])


class _Pointer(ctypes.c_void_p):
    """A pointer result that stays a pointer when passed back (a plain c_void_p
    result becomes an int, which ctypes would pass as a 32-bit int)."""


def _play(pairs):
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
    spec = (ctypes.c_uint32 * 3)(3, RATE, 2)  # s16le, 48000 Hz, stereo, as write_wav makes
    # A target length of 150 ms: at 20 ms playback underruns and drifts.
    attr = (ctypes.c_uint32 * 5)(0xFFFFFFFF, RATE * 4 * 150 // 1000, *[0xFFFFFFFF] * 3)
    streams = []
    for sink, path in pairs:
        with wave.open(path, "rb") as w:
            data = w.readframes(w.getnframes())
        s = locked(lambda: pa.pa_stream_new(ctx, b"narup-room", spec, None))
        # Started corked (0x1), latency adjusted (0x2000).
        locked(lambda: pa.pa_stream_connect_playback(s, sink.encode(), attr, 0x2001, None, None))
        streams.append([s, data, 0])
    for st in streams:
        wait_ready(lambda: pa.pa_stream_get_state(st[0]), 2)

    def feed():
        for st in streams:
            n = min(pa.pa_stream_writable_size(st[0]), len(st[1]) - st[2]) // 4 * 4
            if n > 0:
                pa.pa_stream_write(st[0], st[1][st[2]:st[2] + n], ctypes.c_size_t(n), None,
                                   ctypes.c_int64(0), 0)
                st[2] += n
    locked(feed)
    t = locked(lambda: [pa.pa_stream_cork(st[0], 0, None, None) for st in streams]
               and time.monotonic())
    print("started %.6f" % t, flush=True)
    end = t + max(len(st[1]) for st in streams) / 4 / RATE + 0.25
    while time.monotonic() < end:
        locked(feed)
        time.sleep(0.01)


if __name__ == "__main__":
    _play(list(zip(sys.argv[2::2], sys.argv[3::2])))
