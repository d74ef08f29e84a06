#!/usr/bin/python3
"""An independent FOCEI objective with inter-occasion variability, written apart from the toolkit,
evaluated at the estimates of a fit of examples/iov/fit.toml on examples/iov/iov.csv.

Model: one compartment with first-order absorption; individual i on occasion o has
    ka = theta_ka*exp(eta_ka), CL = theta_CL*exp(eta_CL + kappa_o), V = theta_V*exp(eta_V),
(eta_ka, eta_CL, eta_V) ~ N(0, diag omega^2) and kappa_o ~ N(0, pi^2) independent per occasion;
every occasion starts with a reset and a dose D at its time t0, so the prediction is the closed form
    f(t) = D*ka/(V*(ka - k)) * (exp(-k*(t - t0)) - exp(-ka*(t - t0))),   k = CL/V,
and y = f + eps with Var eps = V(f) = b^2 f^2 (proportional).

Per individual, the random effects are b = (eta_ka, eta_CL, eta_V, kappa_1, ..., kappa_m), the
prior covariance Omega_i = diag(omega^2, pi^2 I_m); the mode minimises
    l_i(b) = sum_j [ln(2 pi V_j) + (y_j - f_j)^2 / V_j] + b' Omega_i^-1 b,
found by BFGS on its analytic gradient and polished by Newton steps, the derivatives of f in b
by central differences of the closed form. The objective is the Laplace approximation
    -2LL = sum_i [ l_i(b_i) + ln|Omega_i| + ln|H_i| ],
    H_i = Omega_i^-1 + sum_j g_j g_j' (1/V_j + 2/f_j^2)
(the first-order matrix with the interaction: grad V = 2 b^2 f g, so 1/2 grad V grad V'/V^2 = 2 g g'/f^2).

    /usr/bin/python3 scripts/references/focei_iov.py FIT/results.json examples/iov/iov.csv \
        > tests/tools/references/focei_iov.json
"""
import csv
import json
import math
import sys

import numpy as np
from scipy.optimize import minimize


def read_individuals(path):
    people, by_id = [], {}
    with open(path) as f:
        for row in csv.DictReader(f):
            i = row["ID"]
            if i not in by_id:
                by_id[i] = {"id": i, "t": [], "t0": [], "dose": [], "occ": [], "y": [], "start": None}
                people.append(by_id[i])
            p = by_id[i]
            if row["EVID"] in ("1", "4"):
                p["start"] = (float(row["TIME"]), float(row["AMT"]))
            elif row["DV"] not in (".", "") and row["MDV"] != "1":
                p["t"].append(float(row["TIME"]))
                p["t0"].append(p["start"][0])
                p["dose"].append(p["start"][1])
                p["occ"].append(int(row["OCC"]))
                p["y"].append(float(row["DV"]))
    occasions = sorted({o for p in people for o in p["occ"]})
    for p in people:
        for key in ("t", "t0", "dose", "y"):
            p[key] = np.array(p[key])
        p["indicator"] = np.array([[1.0 if o == q else 0.0 for q in occasions] for o in p["occ"]])
    return people, occasions


def predictions(p, theta, b):
    ka = theta[0] * math.exp(b[0])
    cl = theta[1] * np.exp(b[1] + p["indicator"] @ b[3:])
    v = theta[2] * math.exp(b[2])
    k = cl / v
    tau = p["t"] - p["t0"]
    return p["dose"] * ka / (v * (ka - k)) * (np.exp(-k * tau) - np.exp(-ka * tau))


def jacobian(p, theta, b, h=1e-6):
    g = np.zeros((len(p["y"]), len(b)))
    for a in range(len(b)):
        e = np.zeros(len(b))
        e[a] = h
        g[:, a] = (predictions(p, theta, b + e) - predictions(p, theta, b - e)) / (2 * h)
    return g


def objective(p, theta, omega_inv, b2, b):
    f = predictions(p, theta, b)
    if np.any(f <= 0):
        return math.inf, None
    v = b2 * f * f
    r = p["y"] - f
    l = np.sum(np.log(2 * math.pi * v) + r * r / v) + b @ omega_inv @ b
    # dl_j/df = 2/f - 2r/V - 2r^2/(V f)   (V = b^2 f^2: dV/df = 2V/f)
    dl = 2 / f - 2 * r / v - 2 * r * r / (v * f)
    return l, jacobian(p, theta, b).T @ dl + 2 * omega_inv @ b


def mode(p, theta, omega_inv, b2):
    q = omega_inv.shape[0]
    found = minimize(lambda b: objective(p, theta, omega_inv, b2, b), np.zeros(q), jac=True, method="BFGS",
                     options={"gtol": 1e-10, "maxiter": 2000})
    b = found.x
    for _ in range(5):  # Newton on differences of the analytic gradient
        l, grad = objective(p, theta, omega_inv, b2, b)
        hess = np.zeros((q, q))
        for a in range(q):
            e = np.zeros(q)
            e[a] = 1e-5
            hess[:, a] = (objective(p, theta, omega_inv, b2, b + e)[1] - objective(p, theta, omega_inv, b2, b - e)[1]) / 2e-5
        step = -np.linalg.solve(0.5 * (hess + hess.T), grad)
        trial = b + step
        if objective(p, theta, omega_inv, b2, trial)[0] <= l:
            b = trial
        if np.max(np.abs(step)) < 1e-12:
            break
    return b


def minus_2ll(people, occasions, theta, omega, pi2, b2):
    variances = np.array(list(omega) + [pi2] * len(occasions))
    omega_inv = np.diag(1 / variances)
    logdet = float(np.sum(np.log(variances)))
    total = 0.0
    for p in people:
        b = mode(p, theta, omega_inv, b2)
        l, _ = objective(p, theta, omega_inv, b2, b)
        f = predictions(p, theta, b)
        g = jacobian(p, theta, b)
        h = omega_inv + g.T @ (g * (1 / (b2 * f * f) + 2 / (f * f))[:, None])
        total += l + logdet + np.linalg.slogdet(h)[1]
    return total


def main():
    results_path, data_path = sys.argv[1], sys.argv[2]
    fit = json.load(open(results_path))
    people, occasions = read_individuals(data_path)
    theta = [fit["theta"][n]["value"] for n in ("ka", "CL", "V")]
    omega = [fit["omega"][n]["variance"] for n in ("ka", "CL", "V")]
    pi2 = fit["iov"]["CL"]["variance"]
    b = fit["sigma"]["proportional"]["value"]
    value = minus_2ll(people, occasions, theta, omega, pi2, b * b)
    out = {"minus_2ll": value, "toolkit_minus_2ll": fit["minus_2ll"],
           "at": {"theta": dict(zip(("ka", "CL", "V"), theta)), "omega": dict(zip(("ka", "CL", "V"), omega)),
                  "iov": {"CL": pi2}, "sigma_proportional": b},
           "individuals": len(people), "occasions": occasions,
           "observations": int(sum(len(p["y"]) for p in people))}
    json.dump(out, sys.stdout, indent=2)
    print()


if __name__ == "__main__":
    main()
