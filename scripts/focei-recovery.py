#!/usr/bin/env python3
"""Recovery of known population values by the FOCEI estimation, over several seeds.

Each seed simulates a data set of 200 subjects (a 100 mg oral dose at time 0, ten samples
from 0.25 to 24 h) from the one-compartment model of examples/focei_recovery/recovery.toml
with the values below: phi_i = theta * exp(eta_i), eta_i ~ N(0, omega) per parameter, the
concentration (dose/V) * ka/(ka - ke) * (exp(-ke t) - exp(-ka t)), ke = CL/V, times
(1 + sigma * eps), eps ~ N(0, 1). It fits the data with `tessuvan fit` and prints a Markdown
table: per parameter the truth, the mean, the smallest and largest estimate and the largest
relative error over the seeds, and the time of the fits.

    scripts/focei-recovery.py [--seeds 10] [--first 1] [--subjects 200] [--tessuvan build/x64/tools/tessuvan]
"""
import argparse
import json
import math
import os
import random
import subprocess
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TRUTH = {"ka": 1.0, "CL": 2.0, "V": 20.0}
OMEGA = {"ka": 0.16, "CL": 0.09, "V": 0.04}   # variances of ln phi
SIGMA = 0.1                                    # proportional SD
DOSE = 100.0
TIMES = [0.25, 0.5, 1, 2, 3, 4, 6, 8, 12, 24]


def concentration(ka, cl, v, t):
    ke = cl / v
    return DOSE / v * ka / (ka - ke) * (math.exp(-ke * t) - math.exp(-ka * t))


def simulate(path, seed, subjects):
    rng = random.Random(seed)
    with open(path, "w") as out:
        out.write("ID,TIME,DV,AMT,CMT,EVID,MDV\n")
        for i in range(1, subjects + 1):
            phi = {p: TRUTH[p] * math.exp(rng.gauss(0.0, math.sqrt(OMEGA[p]))) for p in TRUTH}
            out.write(f"{i},0,.,{DOSE},1,1,1\n")
            for t in TIMES:
                c = concentration(phi["ka"], phi["CL"], phi["V"], t) * (1 + SIGMA * rng.gauss(0.0, 1.0))
                out.write(f"{i},{t},{max(c, 1e-6):.6g},.,2,0,0\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seeds", type=int, default=10)
    parser.add_argument("--first", type=int, default=1, help="first seed")
    parser.add_argument("--subjects", type=int, default=200)
    parser.add_argument("--tessuvan", default=os.path.join(ROOT, "build", "x64", "tools", "tessuvan"))
    args = parser.parse_args()
    model = os.path.join(ROOT, "examples", "focei_recovery", "recovery.toml")
    rows = []
    with tempfile.TemporaryDirectory() as work:
        for seed in range(args.first, args.first + args.seeds):
            data = os.path.join(work, f"seed{seed}.csv")
            simulate(data, seed, args.subjects)
            folder = os.path.join(work, f"fit{seed}")
            start = time.time()
            cpu = os.times()
            subprocess.run([args.tessuvan, "fit", "-q", model, data, "-o", folder], check=True,
                           stdout=subprocess.DEVNULL)
            after = os.times()
            seconds = time.time() - start
            cpu_seconds = (after.children_user - cpu.children_user) + (after.children_system - cpu.children_system)
            with open(os.path.join(folder, "results.json")) as f:
                fit = json.load(f)
            row = {p: fit["theta"][p]["value"] for p in TRUTH}
            row.update({"omega " + p: fit["omega"][p]["sd"] for p in TRUTH})
            row["sigma"] = fit["sigma"]["proportional"]["value"]
            row["converged"] = fit["converged"]
            row["seconds"], row["cpu"] = seconds, cpu_seconds
            rows.append(row)
            print(f"seed {seed}: " + ", ".join(f"{k} {v:.4g}" for k, v in row.items() if k != "converged")
                  + f", converged {row['converged']}", flush=True)
    truth = dict(TRUTH)
    truth.update({"omega " + p: math.sqrt(OMEGA[p]) for p in TRUTH})
    truth["sigma"] = SIGMA
    print()
    print(f"{args.seeds} seeds x {args.subjects} subjects x {len(TIMES)} observations; omega as SD of ln phi")
    print()
    print("| | truth | mean | smallest | largest | largest error |")
    print("|---|---|---|---|---|---|")
    for key, value in truth.items():
        estimates = [r[key] for r in rows]
        worst = max(abs(e - value) / value for e in estimates)
        print(f"| {key} | {value:.4g} | {sum(estimates) / len(estimates):.4g} | {min(estimates):.4g} | "
              f"{max(estimates):.4g} | {100 * worst:.1f} % |")
    seconds = [r["cpu"] for r in rows]
    print()
    print(f"converged: {sum(r['converged'] for r in rows)} of {len(rows)}; processor time per fit "
          f"{min(seconds):.1f} to {max(seconds):.1f} s (mean {sum(seconds) / len(seconds):.1f} s)")


if __name__ == "__main__":
    main()
