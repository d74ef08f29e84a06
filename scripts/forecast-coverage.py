#!/usr/bin/python3
"""Coverage of the forecast's 90 % interval, by simulation from the vancomycin example's prior.

Each of N patients (seeded) gets covariates (CRCL uniform on 30..130 mL/min, WT on 50..110 kg),
eta ~ N(0, Omega) of examples/vancomycin/vancomycin.toml, 1 g every 12 h infused over 1 h from
time 0 and one measured trough before the fourth dose (35.9 h) with the model's combined residual
error. `tessuvan map` forecasts that patient from the trough; the patient's true concentration
before the fifth dose (47.9 h, the exact solution of the linear model at the true eta, no
residual error: the interval is that of the concentration, not of a measurement) is covered when
it lies between the forecast's IPRED_P5 and IPRED_P95. Expected: about 90 % of the patients.

Writes the count, the coverage with its binomial 95 % interval, and the first patients with
their intervals (for a test to recompute them) to
tests/tools/references/forecast_coverage.json.

    /usr/bin/python3 scripts/forecast-coverage.py [--patients 1000] [--seed 2026] [--sir]
        [--tessuvan build/ci-large/tools/tessuvan] [--output FILE]
"""
import argparse
import concurrent.futures
import csv
import json
import math
import os
import subprocess
import sys
import tempfile

import numpy as np
from scipy.stats import binomtest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts", "references"))
from map_references import ADDITIVE, NAMES, OMEGA, PROPORTIONAL, concentrations, single  # noqa: E402

MODEL = os.path.join(ROOT, "examples", "vancomycin", "vancomycin.toml")
DOSES = [(0.0, 1000.0, 1.0), (12.0, 1000.0, 1.0), (24.0, 1000.0, 1.0), (36.0, 1000.0, 1.0)]
LEVEL, NEXT = 35.9, 47.9  # h: the measured trough, the forecast one
KEPT = 8                  # patients written out whole for the test


def patient_rows(crcl, wt, dv):
    rows = ["ID,TIME,DV,AMT,DUR,EVID,MDV,CRCL,WT"]
    for t, amt, dur in DOSES:
        if t > LEVEL:
            rows.append(f"P,{LEVEL:g},{dv:.6f},.,.,0,0,{crcl:.1f},{wt:.1f}")
        rows.append(f"P,{t:g},.,{amt:g},{dur:g},1,1,{crcl:.1f},{wt:.1f}")
    return "\n".join(rows) + "\n"


def forecast(program, text, sir):
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "patient.csv")
        with open(path, "w") as f:
            f.write(text)
        command = [program, "map", MODEL, path, "--until", f"{NEXT:g}", "--points", "2", "-q",
                   "-o", os.path.join(scratch, "out")] + (["--sir"] if sir else [])
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env={"PATH": "/nonexistent"})
        with open(os.path.join(scratch, "out", "forecast.csv")) as f:
            last = list(csv.DictReader(f))[-1]
    return float(last["IPRED_P5"]), float(last["IPRED_P95"])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--patients", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--sir", action="store_true", help="forecast with map --sir")
    parser.add_argument("--tessuvan", default=os.path.join(ROOT, "build", "ci-large", "tools", "tessuvan"))
    parser.add_argument("--output", default=os.path.join(ROOT, "tests", "tools", "references",
                                                         "forecast_coverage.json"))
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    omega = np.diag([OMEGA[n] for n in NAMES])
    doses = [(single(t), a, single(d)) for t, a, d in DOSES]
    cases = []
    for _ in range(args.patients):
        crcl, wt = round(rng.uniform(30, 130), 1), round(rng.uniform(50, 110), 1)
        eta = rng.multivariate_normal(np.zeros(4), omega)
        f_level, f_next = concentrations(eta, doses, [single(LEVEL), single(NEXT)], crcl, wt)
        dv = f_level + math.sqrt(ADDITIVE**2 + PROPORTIONAL**2 * f_level**2) * rng.standard_normal()
        cases.append((crcl, wt, round(float(dv), 6), float(f_next)))
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        bands = list(pool.map(lambda c: forecast(args.tessuvan, patient_rows(c[0], c[1], c[2]), args.sir), cases))
    covered = sum(low <= c[3] <= high for c, (low, high) in zip(cases, bands))
    ci = binomtest(covered, len(cases)).proportion_ci(0.95)
    result = {
        "model": "examples/vancomycin/vancomycin.toml",
        "method": "map --sir" if args.sir else "map",
        "patients": len(cases), "seed": args.seed, "covered": covered, "coverage": covered / len(cases),
        "coverage_95ci": [ci.low, ci.high],
        "kept": [{"CRCL": c[0], "WT": c[1], "DV": c[2], "truth": c[3], "IPRED_P5": b[0], "IPRED_P95": b[1]}
                 for c, b in zip(cases[:KEPT], bands[:KEPT])],
    }
    with open(args.output, "w") as f:
        json.dump(result, f, indent=2)
        f.write("\n")
    print(f"{covered} of {len(cases)} covered ({100 * covered / len(cases):.1f} %, 95 % CI "
          f"{100 * ci.low:.1f} to {100 * ci.high:.1f} %)")


if __name__ == "__main__":
    main()
