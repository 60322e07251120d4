#!/usr/bin/python3
"""Echo-cancellation quality benchmark: one table of figures for the default
canceller, the adaptive one and two real-time peers on simulated rooms.

  /usr/bin/python3 bench/quality/run.py --build build [--speed-minutes 10]

The corpus is made once into <build>/bench-quality (espeak-ng voices); the
peers run only when their runners were built (speexdsp, WebRTC found).
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

CASES = ("linear", "nonlinear", "delay-step")


def run_method(method, build, mic_wav, sys_wav, work):
    """(output samples, processing seconds) or None when the method is absent."""
    env = dict(os.environ, HOME=work)  # the default canceller's log stays here
    out_wav = os.path.join(work, f"out-{method}.wav")
    if method == "default":
        binary = os.path.join(build, "narup-capture")
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        subprocess.run([binary, "--process-files", mic_wav, sys_wav, out_wav], check=True,
                       env=env, stderr=subprocess.DEVNULL)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        # Processor time of the whole run, file reading and writing included.
        took = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        return corpus.read_wav(out_wav), took
    if method == "adaptive":
        runner = os.path.join(build, "bench", "quality", "adaptive_runner")
        r = subprocess.run([runner, mic_wav, sys_wav, out_wav], check=True, env=env,
                           capture_output=True, text=True)
        print("   ", r.stdout.splitlines()[-1], file=sys.stderr)
        return corpus.read_wav(out_wav), float(re.search(r"seconds=([0-9.]+)", r.stdout)[1])
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
    d = os.path.join(work, f"{case}-{cycles}")
    os.makedirs(d, exist_ok=True)
    c = corpus.make_case(case, cycles=cycles)
    mic_wav, sys_wav = os.path.join(d, "mic.wav"), os.path.join(d, "sys.wav")
    corpus.write_wav(mic_wav, c["mic"])
    corpus.write_wav(sys_wav, c["far"])
    return c, mic_wav, sys_wav, d


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--cases", default=",".join(CASES))
    ap.add_argument("--methods", default="default,adaptive,speex,webrtc")
    ap.add_argument("--cycles", type=int, default=4, help="schedule cycles per case (20 s each)")
    ap.add_argument("--speed-minutes", type=float, default=10.0,
                    help="length of the pair timed for the speed column; 0: time the cases")
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    work = os.path.join(build, "bench-quality")
    os.makedirs(work, exist_ok=True)
    methods = args.methods.split(",")

    rows = {}
    for case in args.cases.split(","):
        c, mic_wav, sys_wav, d = case_files(work, case, args.cycles)
        seconds = len(c["mic"]) / corpus.RATE
        for m in methods:
            print(f"  {case}: {m}", file=sys.stderr)
            got = run_method(m, build, mic_wav, sys_wav, d)
            if got is None:
                continue
            out, took = got
            f = metrics.figures(out[:len(c["mic"])], c)
            f["speed"] = seconds / took
            rows.setdefault(m, {})[case] = f

    if args.speed_minutes > 0:
        cycles = max(1, int(round(args.speed_minutes * 60 / 20)))
        c, mic_wav, sys_wav, d = case_files(work, "linear", cycles)
        seconds = len(c["mic"]) / corpus.RATE
        for m in methods:
            print(f"  speed, {seconds / 60:.0f} min: {m}", file=sys.stderr)
            got = run_method(m, build, mic_wav, sys_wav, d)
            if got is not None:
                for f in rows.get(m, {}).values():
                    f["speed"] = seconds / got[1]

    cases = args.cases.split(",")
    head = "| canceller | " + " | ".join(
        f"{c}: ERLE | near att. | DT echo red. | DT near ret." for c in cases) + " | speed |"
    print(head)
    print("|" + "---|" * (2 + 4 * len(cases)))
    for m in methods:
        if m not in rows:
            continue
        cells = []
        for c in cases:
            f = rows[m].get(c)
            cells += ([f"{f['erle']:.1f}", f"{f['near_att']:.1f}", f"{f['echo_red']:.1f}",
                       f"{f['near_ret']:.1f}"] if f else ["-"] * 4)
        speed = next(iter(rows[m].values()))["speed"]
        print(f"| {m} | " + " | ".join(cells) + f" | {speed:.0f}x |")
    print(f"(dB; speed: audio seconds per processor second, one thread, "
          f"{'a %g-minute pair' % args.speed_minutes if args.speed_minutes > 0 else 'the cases'})")


if __name__ == "__main__":
    main()
