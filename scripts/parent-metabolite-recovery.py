#!/usr/bin/env python3
"""Recovery of a parent/metabolite population with an error model per output, over several seeds.

Each seed has `tessuvan simulate --replicates 1 --seed S` draw a data set from
examples/parent_metabolite/truth.toml (100 subjects, a 100 mg bolus of the parent, the parent and
the metabolite sampled at 8 times from 0.5 to 24 h: each concentration with its own output's
residual error, the parent's proportional, the metabolite's combined), then fits it with
examples/parent_metabolite/parent_metabolite.toml (started off the truth) and prints a Markdown
table: per estimate the truth, the mean, the smallest and largest estimate and the largest
relative error over the seeds.

    scripts/parent-metabolite-recovery.py [--seeds 3] [--subjects 100] [--tessuvan build/ci-large/tools/tessuvan]
"""
import argparse
import csv
import json
import math
import os
import subprocess
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TRUTH = {"CL": 2.0, "V": 20.0, "CLm": 5.0, "Vm": 10.0,
         "omega CL": 0.3, "omega V": 0.2, "omega CLm": 0.3,  # SD of ln phi
         "sigma conc proportional": 0.1, "sigma cmet additive": 0.05, "sigma cmet proportional": 0.15}
TIMES = [0.5, 1, 2, 4, 6, 8, 12, 24]
CMT = {"conc": 1, "cmet": 2}


def design(path, subjects):
    with open(path, "w") as out:
        out.write("ID,TIME,DV,AMT,CMT,EVID,MDV\n")
        for i in range(1, subjects + 1):
            out.write(f"{i},0,.,100,1,1,1\n")
            for t in TIMES:
                for cmt in (1, 2):
                    out.write(f"{i},{t:g},.,.,{cmt},2,1\n")


def data_set(simulations, path):
    """The simulated DV as observations (dose rows at 0), one row per simulated row."""
    rows = list(csv.DictReader(open(simulations)))
    with open(path, "w") as out:
        out.write("ID,TIME,DV,AMT,CMT,EVID,MDV\n")
        last = None
        for r in rows:
            if r["ID"] != last:
                out.write(f"{r['ID']},0,.,100,1,1,1\n")
                last = r["ID"]
            out.write(f"{r['ID']},{r['TIME']},{float(r['DV']):.8g},.,{CMT[r['OUTPUT']]},0,0\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seeds", type=int, default=3)
    parser.add_argument("--first", type=int, default=1)
    parser.add_argument("--subjects", type=int, default=100)
    parser.add_argument("--tessuvan", default=os.path.join(ROOT, "build", "ci-large", "tools", "tessuvan"))
    args = parser.parse_args()
    examples = os.path.join(ROOT, "examples", "parent_metabolite")
    rows = []
    with tempfile.TemporaryDirectory() as work:
        plan = os.path.join(work, "design.csv")
        design(plan, args.subjects)
        for seed in range(args.first, args.first + args.seeds):
            drawn = os.path.join(work, f"sim{seed}")
            subprocess.run([args.tessuvan, "simulate", os.path.join(examples, "truth.toml"), plan, "--replicates", "1",
                            "--seed", str(seed), "-o", drawn, "--quiet"], check=True, stdout=subprocess.DEVNULL)
            data = os.path.join(work, f"data{seed}.csv")
            data_set(os.path.join(drawn, "simulations.csv"), data)
            folder = os.path.join(work, f"fit{seed}")
            subprocess.run([args.tessuvan, "fit", "-q", os.path.join(examples, "parent_metabolite.toml"), data,
                            "-o", folder], check=True, stdout=subprocess.DEVNULL)
            fit = json.load(open(os.path.join(folder, "results.json")))
            row = {p: fit["theta"][p]["value"] for p in ("CL", "V", "CLm", "Vm")}
            row.update({"omega " + p: fit["omega"][p]["sd"] for p in ("CL", "V", "CLm")})
            for output, terms in fit["sigma"].items():
                for term, entry in terms.items():
                    row[f"sigma {output} {term}"] = entry["value"]
            rows.append(row)
            print(f"seed {seed}: " + ", ".join(f"{k} {v:.4g}" for k, v in row.items())
                  + f", converged {fit['converged']}", flush=True)
    print()
    print(f"{args.seeds} seeds x {args.subjects} subjects x {2 * len(TIMES)} observations; omega as SD of ln phi")
    print()
    print("| | truth | mean | smallest | largest | largest error |")
    print("|---|---|---|---|---|---|")
    for key, value in TRUTH.items():
        estimates = [r[key] for r in rows]
        worst = max(abs(e - value) / value for e in estimates)
        print(f"| {key} | {value:.4g} | {sum(estimates) / len(estimates):.4g} | {min(estimates):.4g} | "
              f"{max(estimates):.4g} | {100 * worst:.1f} % |")


if __name__ == "__main__":
    main()
