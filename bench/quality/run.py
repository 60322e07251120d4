#!/usr/bin/python3
"""Echo-cancellation quality benchmark: one table of figures for the default
canceller, the adaptive one and three real-time peers (speexdsp, WebRTC AEC,
WebRTC AEC3) on simulated rooms, and the targets the adaptive canceller
misses in each.

  /usr/bin/python3 bench/quality/run.py --build build [--cases a,b] [--baseline OTHER_BUILD]

The corpus is made under <build>/bench-quality (espeak-ng voices); speexdsp
and WebRTC AEC run when their runners were built, AEC3 when its program is
found (--aec3). --baseline adds the adaptive canceller of another build as
a row, so that a change's figures and speed come from one run.
"""

import argparse
import os
import re
import resource
import subprocess
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import corpus  # noqa: E402
import metrics  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
AEC3 = os.path.normpath(os.path.join(HERE, "..", "..", "..", "shared", "peers", "aec3", "webrtc3_aec"))
PEERS = ("speex", "webrtc", "aec3")
LABELS = {"default": "default", "adaptive": "adaptive", "baseline": "adaptive (baseline)",
          "speex": "speexdsp 300 ms", "webrtc": "WebRTC AEC (0.3)",
          "aec3": "WebRTC AEC3 (1.3)"}
# The adaptive canceller's targets in every case.
MIN_NEAR_RET = -1.0
MIN_NEAR_ATT = -0.5


def child_seconds(before):
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def run_method(method, build, mic_wav, sys_wav, work, args):
    """(output samples, processing seconds) or None when the method is absent."""
    env = dict(os.environ, HOME=work)  # the default canceller's log stays here
    out_wav = os.path.join(work, f"out-{method}.wav")
    if method == "default":
        binary = os.path.join(build, "narup-capture")
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        subprocess.run([binary, "--process-files", mic_wav, sys_wav, out_wav], check=True,
                       env=env, stderr=subprocess.DEVNULL)
        # Processor time of the whole run, file reading and writing included.
        return corpus.read_wav(out_wav), child_seconds(before)
    if method in ("adaptive", "baseline"):
        root = build if method == "adaptive" else os.path.abspath(args.baseline)
        runner = os.path.join(root, "bench", "quality", "adaptive_runner")
        r = subprocess.run([runner, mic_wav, sys_wav, out_wav], check=True, env=env,
                           capture_output=True, text=True)
        print("   ", r.stdout.splitlines()[-1], file=sys.stderr)
        return corpus.read_wav(out_wav), float(re.search(r"seconds=([0-9.]+)", r.stdout)[1])
    if method == "aec3":
        if not os.path.exists(args.aec3):
            return None
        # AEC3 finds the delay itself, as the other peers do.
        r = subprocess.run([args.aec3, mic_wav, sys_wav, out_wav, "--no-delay"], check=True,
                           capture_output=True, text=True)
        xrt = float(re.search(r"xrealtime=([0-9.]+)", r.stdout + r.stderr)[1])
        out = corpus.read_wav(out_wav)
        return out, len(out) / corpus.RATE / xrt
    runner = os.path.join(build, "bench", "quality", f"{method}_runner")
    if not os.path.exists(runner):
        return None
    raw = {}
    for name, wav in (("mic", mic_wav), ("sys", sys_wav)):
        raw[name] = os.path.join(work, f"{name}.f32")
        corpus.read_wav(wav).astype(np.float32).tofile(raw[name])
    out_raw = os.path.join(work, f"out-{method}.f32")
    r = subprocess.run([runner, raw["mic"], raw["sys"], out_raw, str(corpus.RATE)], check=True,
                       capture_output=True, text=True)
    return (np.fromfile(out_raw, dtype=np.float32).astype(np.float64),
            float(re.search(r"seconds=([0-9.]+)", r.stdout)[1]))


def case_files(work, case, cycles):
    """The case's components, and its mic/sys WAVs written under work."""
    d = os.path.join(work, case)
    os.makedirs(d, exist_ok=True)
    c = corpus.make_case(case, cycles=cycles)
    mic_wav, sys_wav = os.path.join(d, "mic.wav"), os.path.join(d, "sys.wav")
    corpus.write_wav(mic_wav, c["mic"])
    corpus.write_wav(sys_wav, c["far"])
    return c, mic_wav, sys_wav, d


def missed(f, peers):
    """The adaptive canceller's missed targets in one case, as the table shows them."""
    r = lambda v: round(v, 1)
    out = []
    if peers:
        best = max(peers, key=lambda m: peers[m]["erle"])
        if r(f["erle"]) < r(peers[best]["erle"]):
            out.append(f"ERLE {f['erle']:.1f} < {LABELS[best]}'s {peers[best]['erle']:.1f}")
        best = max(peers, key=lambda m: peers[m]["dt_sum"])
        if r(f["dt_sum"]) < r(peers[best]["dt_sum"]):
            out.append(f"DT sum {f['dt_sum']:.1f} < {LABELS[best]}'s {peers[best]['dt_sum']:.1f}")
    if r(f["near_ret"]) < MIN_NEAR_RET:
        out.append(f"DT near ret. {f['near_ret']:.1f} < {MIN_NEAR_RET}")
    if r(f["near_att"]) < MIN_NEAR_ATT:
        out.append(f"near att. {f['near_att']:.1f} < {MIN_NEAR_ATT}")
    if r(f["out_mic"]) > 0.0:
        out.append(f"output {f['out_mic']:.1f} dB louder than the microphone")
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--cases", default=",".join(corpus.CASES))
    ap.add_argument("--methods", default="default,adaptive," + ",".join(PEERS))
    ap.add_argument("--cycles", type=int, default=4, help="schedule cycles per case (20 s each)")
    ap.add_argument("--aec3", default=AEC3, help="the webrtc3_aec program")
    ap.add_argument("--baseline", help="another build whose adaptive canceller joins the table")
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    work = os.path.join(build, "bench-quality")
    os.makedirs(work, exist_ok=True)
    methods = args.methods.split(",")
    if args.baseline:
        methods.insert(methods.index("adaptive") + 1 if "adaptive" in methods else 0, "baseline")
    cases = args.cases.split(",")

    rows = {}
    for case in cases:
        c, mic_wav, sys_wav, d = case_files(work, case, args.cycles)
        seconds = len(c["mic"]) / corpus.RATE
        for m in methods:
            print(f"  {case}: {m}", file=sys.stderr)
            got = run_method(m, build, mic_wav, sys_wav, d, args)
            if got is None:
                continue
            out, took = got
            f = metrics.figures(out[:len(c["mic"])], c)
            f["speed"] = seconds / took
            f["minutes"] = seconds / 60
            rows.setdefault(case, {})[m] = f

    print("| case | canceller | ERLE | near att. | DT echo red. | DT near ret. "
          "| DT echo red. + near ret. | out/mic | speed |")
    print("|---|---|---|---|---|---|---|---|---|")
    for case in cases:
        for m in methods:
            f = rows.get(case, {}).get(m)
            if f is None:
                continue
            print(f"| {case} | {LABELS[m]} | {f['erle']:.1f} | {f['near_att']:.1f} "
                  f"| {f['echo_red']:.1f} | {f['near_ret']:.1f} | {f['dt_sum']:.1f} "
                  f"| {f['out_mic']:.1f} | {f['speed']:.0f}x |")
    print("(dB; cases of 80 s but hard-drift, 10 min; speed: audio seconds per processor "
          "second, one thread)")
    print("Targets of the adaptive canceller (ERLE and DT echo red. + near ret. at least the "
          f"best peer's, DT near ret. >= {MIN_NEAR_RET}, near att. >= {MIN_NEAR_ATT}, "
          "out/mic <= 0):")
    for case in cases:
        got = rows.get(case, {})
        if "adaptive" not in got:
            continue
        peers = {m: got[m] for m in PEERS if m in got}
        miss = missed(got["adaptive"], peers)
        print(f"  {case}: " + ("all met" if not miss else "MISSED " + "; ".join(miss)))


if __name__ == "__main__":
    main()
