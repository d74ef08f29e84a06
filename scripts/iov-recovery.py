#!/usr/bin/python3
"""Recovery of inter-occasion variability by the FOCEI estimation, over several seeds.

Each seed simulates, with `tessuvan simulate --replicates 1`, the design examples/iov/design.csv
(100 subjects, three occasions a week apart, each a 100 mg oral dose after a reset and seven
samples from 0.5 to 24 h) from examples/iov/truth.toml: ka, CL and V log-normal between
subjects, CL = theta*exp(eta + kappa_occ) with kappa ~ N(0, pi^2) drawn anew for every occasion,
a proportional residual error. It fits the simulated data with examples/iov/fit.toml (started
off the truth) and prints a Markdown table: per parameter the truth, the mean, the smallest and
largest estimate and the largest relative error over the seeds (omega and pi as SDs).

    /usr/bin/python3 scripts/iov-recovery.py [--seeds 5] [--first 1] [--tessuvan build/ci-large/tools/tessuvan]
        [--keep FOLDER]   # keeps each seed's data set and fit there
"""
import argparse
import csv
import json
import math
import os
import shutil
import subprocess
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HERE = os.path.join(ROOT, "examples", "iov")
TRUTH = {"ka": 1.0, "CL": 2.0, "V": 20.0}
OMEGA = {"ka": 0.09, "CL": 0.09, "V": 0.04}  # variances of ln phi between subjects
IOV = {"CL": 0.04}                           # variance of kappa between occasions
SIGMA = 0.1                                  # proportional SD


def simulated_data(tool, seed, work):
    """The design with the DV of one replicate simulated by the command."""
    design = os.path.join(HERE, "design.csv")
    folder = os.path.join(work, f"sim{seed}")
    subprocess.run([tool, "simulate", os.path.join(HERE, "truth.toml"), design, "--replicates", "1", "--seed",
                    str(seed), "-o", folder, "--quiet"], check=True, stdout=subprocess.DEVNULL)
    simulated = iter(list(csv.DictReader(open(os.path.join(folder, "simulations.csv")))))
    lines = []
    for line in open(design).read().splitlines():
        f = line.split(",")
        if f[0] != "ID" and f[5] == "0":
            r = next(simulated)
            assert r["ID"] == f[0] and float(r["TIME"]) == float(f[1])
            f[2] = r["DV"]
        lines.append(",".join(f))
    path = os.path.join(work, f"data{seed}.csv")
    with open(path, "w") as out:
        out.write("\n".join(lines) + "\n")
    return path


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seeds", type=int, default=5)
    parser.add_argument("--first", type=int, default=1, help="first seed")
    parser.add_argument("--tessuvan", default=os.path.join(ROOT, "build", "ci-large", "tools", "tessuvan"))
    parser.add_argument("--keep", help="a folder to keep each seed's data set and fit in")
    args = parser.parse_args()
    rows = []
    with tempfile.TemporaryDirectory() as work:
        for seed in range(args.first, args.first + args.seeds):
            data = simulated_data(args.tessuvan, seed, work)
            folder = os.path.join(work, f"fit{seed}")
            cpu = os.times()
            subprocess.run([args.tessuvan, "fit", "-q", os.path.join(HERE, "fit.toml"), data, "-o", folder,
                            "--npde", "0"], check=True, stdout=subprocess.DEVNULL)
            after = os.times()
            with open(os.path.join(folder, "results.json")) as f:
                fit = json.load(f)
            row = {p: fit["theta"][p]["value"] for p in TRUTH}
            row.update({"omega " + p: fit["omega"][p]["sd"] for p in OMEGA})
            row.update({"pi " + p: fit["iov"][p]["sd"] for p in IOV})
            row["sigma"] = fit["sigma"]["proportional"]["value"]
            row["converged"] = fit["converged"]
            row["cpu"] = (after.children_user - cpu.children_user) + (after.children_system - cpu.children_system)
            rows.append(row)
            print(f"seed {seed}: " + ", ".join(f"{k} {v:.4g}" for k, v in row.items() if k != "converged")
                  + f", converged {row['converged']}, -2LL {fit['minus_2ll']:.4f}", flush=True)
            if args.keep:
                os.makedirs(args.keep, exist_ok=True)
                shutil.copy(data, os.path.join(args.keep, f"data{seed}.csv"))
                shutil.copytree(folder, os.path.join(args.keep, f"fit{seed}"), dirs_exist_ok=True)
    truth = dict(TRUTH)
    truth.update({"omega " + p: math.sqrt(v) for p, v in OMEGA.items()})
    truth.update({"pi " + p: math.sqrt(v) for p, v in IOV.items()})
    truth["sigma"] = SIGMA
    print()
    print(f"{len(rows)} seeds x 100 subjects x 3 occasions x 7 observations; omega and pi as SD of ln phi")
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
          f"{min(seconds):.1f} to {max(seconds):.1f} s")


if __name__ == "__main__":
    main()
