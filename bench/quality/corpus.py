"""Simulated loudspeaker-room recordings for the echo-cancellation benchmark.

Two espeak-ng voices (far end and near end) are laid out in a schedule in
which far-only, near-only and double-talk stretches alternate with pauses.
The far end goes through a loudspeaker (linear, or a tanh that overdrives)
and a room (a direct path after a delay, a noise tail decaying 60 dB in the
room's RT60) to give the echo; the microphone is echo + near end + white
noise. The simple room: 40 ms, RT60 0.25 s, echo 6 dB below the far end,
-50 dBFS noise. The hard rooms are a laptop in a living room: echo as loud
as the far end, a small driver overdriven (tanh drive 3), RT60 0.6-0.8 s,
120-300 ms of playback delay; one of them has a microphone on its own clock
(the echo path's input resampled), one has its tail change halfway (someone
walks in, the laptop's lid moves) while the direct path stays. Every
component is kept apart so that the figures can be measured against each
one.
"""

import os
import subprocess
import tempfile

import numpy as np
import scipy.io.wavfile as wavfile
import scipy.signal as signal

RATE = 48000
FAR_VOICE = ("en-us", 160)
NEAR_VOICE = ("en-gb+f3", 175)
FAR_TEXT = (
    "The committee met on Tuesday to discuss the budget for the coming year. "
    "Several members raised concerns about the cost of the new building. "
    "After a long debate, they agreed to postpone the decision until spring. "
    "The weather over the weekend will be mild, with some rain in the north. "
    "Farmers are hoping for a good harvest after two difficult seasons. "
    "The train to the coast leaves every hour from the central station. "
    "Please remember to bring your tickets and a valid form of identity. "
    "Our next speaker has worked on the history of the river for twenty years. "
)
NEAR_TEXT = (
    "Yes, I can hear you quite well now, thank you for checking. "
    "I think we should look at the numbers again before we decide anything. "
    "Could you send me the report from last week when you have a moment? "
    "My kitchen window looks out over a small garden full of roses. "
    "We walked along the beach until the sun went down behind the hills. "
    "That sounds reasonable, but let me ask the others what they think. "
    "The library closes early on Fridays, so we should hurry. "
)
# Stretch lengths in seconds: far only, pause, near only, pause, double talk, pause.
SCHEDULE = (("far", 6.0), ("pause", 1.0), ("near", 5.0), ("pause", 1.0), ("double", 6.0),
            ("pause", 1.0))
FAR_PEAK = 0.7       # far end peak (-3 dBFS): the reference never clips
DELAY_STEP_S = 0.020
# The simple room; each case changes some of it.
ROOM = {"direct_s": 0.040, "rt60_s": 0.25, "echo_below_db": 6.0, "noise_db": -50.0, "drive": 0.0,
        "ppm": 0.0, "cycles": None, "delay_step": False, "path_change": False}
HARD = {"direct_s": 0.120, "rt60_s": 0.6, "echo_below_db": 0.0, "noise_db": -45.0, "drive": 3.0}
CASES = {
    "linear": {},
    "nonlinear": {"drive": 2.0},
    "delay-step": {"delay_step": True},
    "hard": HARD,
    "hard-0.8s-300ms": dict(HARD, rt60_s=0.8, direct_s=0.300, noise_db=-40.0),
    # 10 minutes with the microphone's clock 50 ppm fast: the echo drifts
    # 30 ms over the take.
    "hard-drift": dict(HARD, noise_db=-40.0, ppm=50.0, cycles=30),
    "hard-path-change": dict(HARD, noise_db=-40.0, path_change=True),
}


def speak(voice, text):
    """espeak-ng speech resampled to RATE, float64, peak-free of trailing silence."""
    name, speed = voice
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "v.wav")
        subprocess.run(["espeak-ng", "-v", name, "-s", str(speed), "-w", path, text], check=True)
        rate, x = wavfile.read(path)
    x = x.astype(np.float64) / 32768.0
    g = np.gcd(RATE, rate)
    return signal.resample_poly(x, RATE // g, rate // g)


def active_rms(x):
    """RMS over the samples of 20 ms blocks within 30 dB of the loudest block."""
    n = len(x) // 960 * 960
    blocks = (x[:n].reshape(-1, 960) ** 2).mean(axis=1)
    keep = blocks > blocks.max() * 1e-3
    return np.sqrt(blocks[keep].mean())


def room(seed, direct_s, rt60_s, tail_seed=None):
    """A room impulse response: unit direct path, exponentially decaying noise
    tail (drawn from tail_seed when given, so that a tail can change while
    the direct path stays)."""
    rng = np.random.default_rng(seed if tail_seed is None else tail_seed)
    length = int((direct_s + max(0.4, rt60_s * 0.75)) * RATE)
    d = int(direct_s * RATE)
    h = np.zeros(length)
    t = np.arange(length - d) / RATE
    envelope = 10.0 ** (-3.0 * t / rt60_s)  # -60 dB at RT60
    tail = rng.standard_normal(length - d) * envelope
    # As much energy in the reverberation as in the direct path.
    h[d:] = tail / np.sqrt(np.sum(tail ** 2))
    h[d] = 1.0
    return h


def schedule(cycles):
    """[(kind, start, end)] in samples."""
    out, at = [], 0
    for _ in range(cycles):
        for kind, seconds in SCHEDULE:
            n = int(seconds * RATE)
            out.append((kind, at, at + n))
            at += n
    return out, at


def lay_out(voice_audio, stretches, total, kinds):
    """The voice's speech placed into the stretches of the given kinds."""
    out = np.zeros(total)
    pos = 0
    for kind, s, e in stretches:
        if kind not in kinds:
            continue
        n = e - s
        if pos + n > len(voice_audio):
            pos = 0
        out[s:e] = voice_audio[pos:pos + n]
        pos += n
    return out


def drifted(x, ppm):
    """x as a clock `ppm` parts per million fast would sample it (band-limited
    resampling: 1e6 output samples for every 1e6 + ppm input samples)."""
    up = 1000000
    down = int(round(up * (1.0 + ppm * 1e-6)))
    g = np.gcd(up, down)
    return signal.resample_poly(x, up // g, down // g)


def make_case(kind, cycles=4, seed=1):
    """Components of one case: dict of far, echo, near, noise, mic and the stretches."""
    r = dict(ROOM, **CASES[kind])
    cycles = r["cycles"] or cycles
    far_voice = speak(FAR_VOICE, FAR_TEXT)
    near_voice = speak(NEAR_VOICE, NEAR_TEXT)
    stretches, total = schedule(cycles)
    far = lay_out(far_voice, stretches, total, ("far", "double"))
    near = lay_out(near_voice, stretches, total, ("near", "double"))
    far *= FAR_PEAK / np.abs(far).max()
    # The near end as loud over its speech as the echo over the far end's.
    near *= active_rms(far) * 10 ** (-r["echo_below_db"] / 20) / active_rms(near)
    played = far
    if r["drive"] > 0:
        played = np.tanh(r["drive"] * far) / r["drive"]  # an overdriven loudspeaker
    if r["ppm"]:
        played = np.concatenate([drifted(played, r["ppm"]), np.zeros(total)])[:total]
    h = room(seed, r["direct_s"], r["rt60_s"])
    echo = signal.fftconvolve(played, h)[:total]
    half = total // 2
    if r["delay_step"]:
        later = room(seed, r["direct_s"] + DELAY_STEP_S, r["rt60_s"])
        echo = np.concatenate([echo[:half], signal.fftconvolve(played, later)[half:total]])
    if r["path_change"]:
        changed = room(seed, r["direct_s"], r["rt60_s"], tail_seed=seed + 50)
        echo = np.concatenate([echo[:half], signal.fftconvolve(played, changed)[half:total]])
    echo *= 10 ** (-r["echo_below_db"] / 20) * np.sqrt(np.mean(far ** 2) / np.mean(echo ** 2))
    noise = np.random.default_rng(seed + 100).standard_normal(total) * 10 ** (r["noise_db"] / 20)
    # Both tracks as the tool would record them: 16-bit samples.
    q = lambda x: np.round(np.clip(x, -1, 32767 / 32768) * 32768) / 32768
    mic = q(echo + near + noise)
    return {"far": q(far), "echo": echo, "near": near, "noise": noise, "mic": mic,
            "stretches": stretches}


def write_wav(path, x):
    wavfile.write(path, RATE, np.round(np.clip(x, -1, 32767 / 32768) * 32768).astype(np.int16))


def read_wav(path):
    rate, x = wavfile.read(path)
    return x.astype(np.float64) / 32768.0
