#!/usr/bin/python3
"""FOCEI's -2LL of a parent/metabolite model with an error model per output, written
independently of the toolkit: closed-form predictions and SciPy's minimiser for the modes.

Model (examples/parent_metabolite/parent_metabolite.toml): a bolus D of the parent at 0,
phi = theta * exp(eta) for CL, V, CLm (eta ~ N(0, diag(omega))), Vm a typical value,
k = CL/V, km = CLm/Vm,
    parent      cp(t) = D/V exp(-k t),
    metabolite  cm(t) = D k / (Vm (km - k)) (exp(-k t) - exp(-km t)),
each observation y_j with the variance of its own output's error, V_j = a^2 + b^2 f_j^2
(parent: proportional b_p; metabolite: combined a_m, b_m). Per individual
    l(eta) = sum_j [ln(2 pi V_j) + (y_j - f_j)^2 / V_j] + eta' Omega^-1 eta,
    H = Omega^-1 + sum_j [g_j g_j' / V_j + 1/2 dV_j dV_j' / V_j^2],  dV_j = 2 b^2 f_j g_j,
    -2LL = sum_i [l(eta_i) + ln|Omega| + ln|H_i|] at each mode eta_i.

    data:     scripts/references/focei_parent_metabolite.py data
              writes tests/tools/references/parent_metabolite.csv (30 subjects, seeded)
    evaluate: scripts/references/focei_parent_metabolite.py evaluate
              writes tests/tools/references/parent_metabolite_focei.json: -2LL at PARAMETERS
              (the values of tests/tools/references/parent_metabolite_fixed.toml)
"""
import json
import math
import os
import sys

import numpy as np
from scipy.optimize import minimize

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "tools", "references")
DATA = os.path.join(HERE, "parent_metabolite.csv")
DOSE = 100.0
TIMES = [0.5, 1, 2, 4, 6, 8, 12, 24]
# The values at which -2LL is compared (near, not at, the truth the data were drawn from).
PARAMETERS = {
    "theta": {"CL": 1.8, "V": 22.0, "CLm": 4.5, "Vm": 9.0},
    "omega": {"CL": 0.08, "V": 0.05, "CLm": 0.12},
    "conc": {"additive": 0.0, "proportional": 0.12},
    "cmet": {"additive": 0.04, "proportional": 0.1},
}
TRUTH = {"CL": 2.0, "V": 20.0, "CLm": 5.0, "Vm": 10.0}
TRUE_OMEGA = {"CL": 0.09, "V": 0.04, "CLm": 0.09}
ETA_NAMES = ["CL", "V", "CLm"]


def curves(cl, v, clm, vm, t):
    k, km = cl / v, clm / vm
    return DOSE / v * np.exp(-k * t), DOSE * k / (vm * (km - k)) * (np.exp(-k * t) - np.exp(-km * t))


def data():
    rng = np.random.default_rng(20261211)
    t = np.array(TIMES)
    with open(DATA, "w") as out:
        out.write("ID,TIME,DV,AMT,CMT,EVID,MDV\n")
        for i in range(1, 31):
            phi = {p: TRUTH[p] * math.exp(rng.normal(0, math.sqrt(TRUE_OMEGA[p]))) if p in TRUE_OMEGA else TRUTH[p]
                   for p in TRUTH}
            cp, cm = curves(phi["CL"], phi["V"], phi["CLm"], phi["Vm"], t)
            cp = cp * (1 + 0.1 * rng.normal(size=t.size))
            cm = cm + np.sqrt(0.05 ** 2 + (0.15 * cm) ** 2) * rng.normal(size=t.size)
            out.write(f"{i},0,.,{DOSE:g},1,1,1\n")
            for j, time in enumerate(TIMES):
                out.write(f"{i},{time:g},{cp[j]:.6g},.,1,0,0\n")
                out.write(f"{i},{time:g},{cm[j]:.6g},.,2,0,0\n")


def individuals():
    rows = [line.strip().split(",") for line in open(DATA)][1:]
    subjects = {}
    for r in rows:
        if r[5] != "0":
            continue
        entry = subjects.setdefault(r[0], {"t": [], "y": [], "cmt": []})
        entry["t"].append(float(r[1]))
        entry["y"].append(float(r[2]))
        entry["cmt"].append(int(r[4]))
    return [(np.array(e["t"]), np.array(e["y"]), np.array(e["cmt"])) for e in subjects.values()]


def minus_2ll(p):
    theta, omega = p["theta"], np.array([p["omega"][n] for n in ETA_NAMES])
    inverse = np.diag(1 / omega)
    total = 0.0
    for t, y, cmt in individuals():
        parent = cmt == 1
        a = np.where(parent, p["conc"]["additive"], p["cmet"]["additive"])
        b = np.where(parent, p["conc"]["proportional"], p["cmet"]["proportional"])

        def f(eta):
            cl, v, clm = (theta[n] * math.exp(e) for n, e in zip(ETA_NAMES, eta))
            cp, cm = curves(cl, v, clm, theta["Vm"], t)
            return np.where(parent, cp, cm)

        def l(eta):
            fe = f(eta)
            var = a * a + b * b * fe * fe
            return np.sum(np.log(2 * math.pi * var) + (y - fe) ** 2 / var) + eta @ inverse @ eta

        best = minimize(l, np.zeros(3), method="BFGS", options={"gtol": 1e-10})
        eta = minimize(l, best.x, method="Nelder-Mead",
                       options={"xatol": 1e-11, "fatol": 1e-13, "maxiter": 40000}).x
        g = np.zeros((t.size, 3))
        for k in range(3):
            step = np.zeros(3)
            step[k] = 1e-6
            g[:, k] = (f(eta + step) - f(eta - step)) / 2e-6
        fe = f(eta)
        var = a * a + b * b * fe * fe
        dv = (2 * b * b * fe)[:, None] * g
        h = inverse + g.T @ (g / var[:, None]) + 0.5 * dv.T @ (dv / (var * var)[:, None])
        total += l(eta) + np.sum(np.log(omega)) + np.linalg.slogdet(h)[1]
    return total


def evaluate():
    value = minus_2ll(PARAMETERS)
    reference = dict(PARAMETERS, n_observations=sum(t.size for t, _, _ in individuals()), minus_2ll=value)
    with open(os.path.join(HERE, "parent_metabolite_focei.json"), "w") as out:
        json.dump(reference, out, indent=2)
        out.write("\n")
    print(json.dumps(reference, indent=2))


if __name__ == "__main__":
    data() if sys.argv[1] == "data" else evaluate()
