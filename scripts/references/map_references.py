#!/usr/bin/python3
"""Reference MAP estimates of the vancomycin example's two patients, by an optimiser independent
of the tool's: the posterior objective
    l(eta) = sum_j [ln(2 pi V_j) + (y_j - f_j)^2 / V_j] + eta' Omega^-1 eta,   V = a^2 + b^2 f^2,
with f from the exact solution of the linear two-compartment system with zero-order infusions
(the matrix exponential, piece by piece between the dosing events), minimised by SciPy's BFGS
and polished by Nelder-Mead (the times rounded to single precision first, as the engine holds
them: 35.9 h is 35.900001525878906 there); the Laplace covariance 2 H^-1 from a central finite-difference
Hessian H of l at the mode.

Writes tests/tools/references/map_vancomycin.json, and map_vancomycin_block.json for the same
patients under an Omega whose CL and V1 form a block of correlation 0.5 (the prior's density then
holds the whole block's inverse, eta' Omega^-1 eta with its cross term).
Run: /usr/bin/python3 scripts/references/map_references.py
"""
import csv
import json
import os

import numpy as np
from scipy.linalg import expm
from scipy.optimize import minimize

HERE = os.path.dirname(__file__)
EXAMPLE = os.path.join(HERE, "..", "..", "examples", "vancomycin")
OUT = os.path.join(HERE, "..", "..", "tests", "tools", "references", "map_vancomycin.json")
OUT_BLOCK = os.path.join(HERE, "..", "..", "tests", "tools", "references", "map_vancomycin_block.json")
CORRELATION = 0.5  # of the eta of CL and V1 in the block variant

THETA = {"CL": 2.99, "V1": 0.675, "Q": 2.28, "V2": 0.732}
OMEGA = {"CL": 0.0729, "V1": 0.0225, "Q": 0.2401, "V2": 1.69}
ADDITIVE, PROPORTIONAL = 1.6, 0.15
NAMES = ["CL", "V1", "Q", "V2"]


def single(text):
    return float(np.float32(float(text)))


def read_patient(name):
    doses, levels, crcl, wt = [], [], None, None
    with open(os.path.join(EXAMPLE, name)) as f:
        rows = [r for r in csv.DictReader(line for line in f if not line.startswith("#"))]
    for r in rows:
        crcl, wt = float(r["CRCL"]), float(r["WT"])
        if r["EVID"] == "1":
            doses.append((single(r["TIME"]), float(r["AMT"]), single(r["DUR"])))
        elif r["MDV"] == "0":
            levels.append((single(r["TIME"]), float(r["DV"])))
    return doses, levels, crcl, wt


def concentrations(eta, doses, times, crcl, wt):
    cl = THETA["CL"] * np.exp(eta[0]) * (1 + 0.0154 * (crcl - 66))
    v1 = THETA["V1"] * np.exp(eta[1]) * wt
    q = THETA["Q"] * np.exp(eta[2])
    v2 = THETA["V2"] * np.exp(eta[3]) * wt
    a = np.array([[-(cl + q) / v1, q / v2], [q / v1, -q / v2]])
    events = sorted({t for d in doses for t in (d[0], d[0] + d[2])} | set(times))
    x, now, out = np.zeros(2), 0.0, {}
    for t in events:
        if t > now:
            rate = sum(amt / dur for (start, amt, dur) in doses if start <= now < start + dur)
            e = expm(a * (t - now))
            x = e @ x + np.linalg.solve(a, (e - np.eye(2)) @ np.array([rate, 0.0]))
            now = t
        if t in times:
            out[t] = x[0] / v1
    return np.array([out[t] for t in times])


def objective(eta, doses, levels, crcl, wt, omega_inverse):
    times = [t for t, _ in levels]
    y = np.array([v for _, v in levels])
    f = concentrations(eta, doses, times, crcl, wt)
    var = ADDITIVE**2 + PROPORTIONAL**2 * f**2
    return float(np.sum(np.log(2 * np.pi * var) + (y - f) ** 2 / var) + eta @ omega_inverse @ eta)


def hessian(fun, x, h=1e-4):
    n = len(x)
    hess = np.zeros((n, n))
    for i in range(n):
        for j in range(n):
            ei, ej = np.eye(n)[i] * h, np.eye(n)[j] * h
            hess[i, j] = (fun(x + ei + ej) - fun(x + ei - ej) - fun(x - ei + ej) + fun(x - ei - ej)) / (4 * h * h)
    return 0.5 * (hess + hess.T)


def omega_matrix(correlation):
    omega = np.diag([OMEGA[n] for n in NAMES])
    omega[0, 1] = omega[1, 0] = correlation * np.sqrt(OMEGA["CL"] * OMEGA["V1"])
    return omega


def estimates(omega, out):
    results = {}
    for name in ["patient_trough.csv", "patient_peak_trough.csv"]:
        doses, levels, crcl, wt = read_patient(name)
        inverse = np.linalg.inv(omega)
        fun = lambda e: objective(e, doses, levels, crcl, wt, inverse)
        first = minimize(fun, np.zeros(4), method="BFGS", options={"gtol": 1e-10})
        best = minimize(fun, first.x, method="Nelder-Mead",
                        options={"xatol": 1e-11, "fatol": 1e-14, "maxiter": 20000, "maxfev": 40000})
        x = best.x if best.fun <= first.fun else first.x
        cov = 2 * np.linalg.inv(hessian(fun, x))
        results[name] = {"eta": dict(zip(NAMES, x.tolist())), "objective": fun(x),
                         "eta_covariance": cov.tolist()}
    with open(out, "w") as f:
        json.dump(results, f, indent=2)
        f.write("\n")


def main():
    estimates(omega_matrix(0.0), OUT)
    estimates(omega_matrix(CORRELATION), OUT_BLOCK)


if __name__ == "__main__":
    main()
