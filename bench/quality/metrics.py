"""Echo-cancellation figures measured against a case's separate components.

ERLE: 10 log10(mic power / output power) over the far-only stretches.
Near attenuation: 10 log10(output power / mic power) over near-only stretches.
Double talk: per time-frequency tile the output is fitted by least squares
as a*near + b*echo (complex a, b); echo reduction = 10 log10(P(echo) /
P(b*echo)), near retention = 10 log10(P(a*near) / P(near)), summed over
tiles. out/mic: the output's power over the microphone's.
"""

import numpy as np
import scipy.signal as signal

FRAME = 1024
TILE_FRAMES = 8  # about 85 ms
TILE_BINS = 8    # 375 Hz
MAX_LATENCY = 4800


def _select(x, stretches, kind):
    return np.concatenate([x[s:e] for k, s, e in stretches if k == kind])


def output_latency(out, mic, stretches):
    """Samples by which a canceller's output lags its input (found where only
    the near end talks, where the output should equal the microphone)."""
    o = _select(out, stretches, "near")
    m = _select(mic, stretches, "near")
    c = signal.fftconvolve(o, m[::-1], mode="full")
    zero = len(m) - 1
    window = c[zero:zero + MAX_LATENCY + 1]
    return int(np.argmax(np.abs(window)))


def _stft(x):
    _, _, z = signal.stft(x, nperseg=FRAME, noverlap=FRAME // 2, window="hann", boundary=None,
                          padded=False)
    return z


def _tiles(Z):
    """(tiles, TILE_BINS * TILE_FRAMES) of an STFT's whole tiles above bin 0."""
    bins, frames = Z.shape
    nb, nf = (bins - 1) // TILE_BINS, frames // TILE_FRAMES
    Z = Z[1:1 + nb * TILE_BINS, :nf * TILE_FRAMES]
    return Z.reshape(nb, TILE_BINS, nf, TILE_FRAMES).transpose(2, 0, 1, 3).reshape(nb * nf, -1)


def double_talk(out, near, echo, stretches):
    """(echo reduction dB, near retention dB) over the double-talk stretches."""
    pe = pbe = pn = pan = 0.0
    for k, s, e in stretches:
        if k != "double":
            continue
        o, n, ec = (_tiles(_stft(x[s:e])) for x in (out, near, echo))
        # The least-squares fit of every tile at once (minimum norm where a
        # tile's two components are not independent).
        A = np.stack([n, ec], axis=2)
        coef = np.einsum("tij,tj->ti", np.linalg.pinv(A), o)
        en, ee = (np.sum(np.abs(x) ** 2, axis=1) for x in (n, ec))
        pn += en.sum()
        pe += ee.sum()
        pan += np.sum(np.abs(coef[:, 0]) ** 2 * en)
        pbe += np.sum(np.abs(coef[:, 1]) ** 2 * ee)
    return 10 * np.log10(pe / max(pbe, 1e-30)), 10 * np.log10(max(pan, 1e-30) / pn)


def figures(out, case):
    """dict of erle, near_att, echo_red, near_ret, their sum dt_sum and out_mic
    (dB), and the latency used."""
    mic, st = case["mic"], case["stretches"]
    lat = output_latency(out, mic, st)
    out = np.concatenate([out[lat:], np.zeros(lat)])
    erle = 10 * np.log10(np.sum(_select(mic, st, "far") ** 2)
                         / max(np.sum(_select(out, st, "far") ** 2), 1e-30))
    near_att = 10 * np.log10(np.sum(_select(out, st, "near") ** 2)
                             / np.sum(_select(mic, st, "near") ** 2))
    echo_red, near_ret = double_talk(out, case["near"], case["echo"], st)
    return {"erle": erle, "near_att": near_att, "echo_red": echo_red, "near_ret": near_ret,
            "dt_sum": echo_red + near_ret, "latency": lat,
            "out_mic": 10 * np.log10(np.sum(out ** 2) / np.sum(mic ** 2))}
