#!/usr/bin/python3
"""FOCEI's -2LL on the theophylline data as the field distributes it (12 subjects, 132
concentrations, the time-0 samples kept, most of them 0), written independently of the
toolkit: closed-form predictions and SciPy's minimiser for the modes.

Model (examples/theophylline/theophylline_focei.toml): phi = theta * exp(eta) for ka, ke, CL,
eta ~ N(0, diag(omega)), V = CL/ke, the dose D (mg/kg) into the gut at 0,
    f(t) = D ka / (V (ka - ke)) (exp(-ke t) - exp(-ka t)),
additive residual error a. Per individual, with V = a^2,
    l(eta) = sum_j [ln(2 pi V) + (y_j - f_j)^2 / V] + eta' Omega^-1 eta,
    H = Omega^-1 + sum_j g_j g_j' / V,   g_j = df_j/deta (central differences),
    -2LL = sum_i [l(eta_i) + ln|Omega| + ln|H_i|] at each mode eta_i.

    convert: scripts/references/focei_theophylline_zeros.py convert /work/shared/data/theoph.csv
             writes tests/tools/references/theophylline_zeros.csv (the observation at 0
             before the dose row, so that it sees the amounts before the dose)
    evaluate: scripts/references/focei_theophylline_zeros.py evaluate OUT/results.json
             writes tests/tools/references/theophylline_zeros_focei.json: the estimates of
             the toolkit's fit, its -2LL and this script's -2LL at them
"""
import csv
import json
import math
import os
import sys

import numpy as np
from scipy.optimize import minimize

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "tools", "references")
DATA = os.path.join(HERE, "theophylline_zeros.csv")
NAMES = ["ka", "ke", "CL"]


def convert(source):
    rows = list(csv.DictReader(open(source)))
    with open(DATA, "w") as out:
        out.write("ID,TIME,DV,AMT,CMT,EVID,MDV,WT\n")
        last = None
        for r in rows:
            subject, time, conc = r["Subject"], float(r["Time"]), r["conc"]
            out.write(f"{subject},{r['Time']},{conc},.,2,0,0,{r['Wt']}\n")
            if subject != last:  # the first sample is at 0, before the dose
                assert time == 0
                out.write(f"{subject},0,.,{r['Dose']},1,1,1,{r['Wt']}\n")
            last = subject


def individuals():
    data = {}
    for r in csv.DictReader(open(DATA)):
        entry = data.setdefault(r["ID"], {"dose": 0.0, "t": [], "y": []})
        if r["EVID"] == "1":
            entry["dose"] = float(r["AMT"])
        else:
            entry["t"].append(float(r["TIME"]))
            entry["y"].append(float(r["DV"]))
    return [(e["dose"], np.array(e["t"]), np.array(e["y"])) for e in data.values()]


def predictions(theta, eta, dose, t):
    ka, ke, cl = theta * np.exp(eta)
    v = cl / ke
    return dose * ka / (v * (ka - ke)) * (np.exp(-ke * t) - np.exp(-ka * t))


def minus_2ll(theta, omega, a):
    variance = a * a
    inverse = np.diag(1 / omega)
    total = 0.0
    for dose, t, y in individuals():
        def l(eta):
            f = predictions(theta, eta, dose, t)
            return np.sum(np.log(2 * math.pi * variance) + (y - f) ** 2 / variance) + eta @ inverse @ eta
        best = minimize(l, np.zeros(3), method="BFGS", options={"gtol": 1e-10})
        eta = minimize(l, best.x, method="Nelder-Mead",
                       options={"xatol": 1e-10, "fatol": 1e-12, "maxiter": 20000}).x
        g = np.zeros((len(t), 3))
        for k in range(3):
            step = np.zeros(3)
            step[k] = 1e-6
            g[:, k] = (predictions(theta, eta + step, dose, t) - predictions(theta, eta - step, dose, t)) / 2e-6
        h = inverse + g.T @ g / variance
        total += l(eta) + np.sum(np.log(omega)) + np.linalg.slogdet(h)[1]
    return total


def evaluate(results_path):
    results = json.load(open(results_path))
    theta = np.array([results["theta"][n]["value"] for n in NAMES])
    omega = np.array([results["omega"][n]["variance"] for n in NAMES])
    a = results["sigma"]["additive"]["value"]
    value = minus_2ll(theta, omega, a)
    reference = {
        "theta": dict(zip(NAMES, theta.tolist())), "omega": dict(zip(NAMES, omega.tolist())), "additive": a,
        "n_observations": sum(len(t) for _, t, _ in individuals()),
        "toolkit_minus_2ll": results["minus_2ll"], "independent_minus_2ll": value,
    }
    with open(os.path.join(HERE, "theophylline_zeros_focei.json"), "w") as out:
        json.dump(reference, out, indent=2)
        out.write("\n")
    print(json.dumps(reference, indent=2))


if __name__ == "__main__":
    if sys.argv[1] == "convert":
        convert(sys.argv[2])
    else:
        evaluate(sys.argv[2])
