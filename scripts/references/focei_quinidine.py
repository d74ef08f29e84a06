#!/usr/bin/python3
"""FOCEI's -2LL on nlme's Quinidine data (tests/tools/references/quinidine.csv, written by
quinidine_data.R: 136 patients, doses changing regimen, steady states as SS 1 with II), written
independently of the toolkit with exact steady states in closed form.

Model (tests/tools/references/quinidine.toml): one compartment, first-order absorption;
ka a typical value only, V and CL log-normal with a diagonal Omega; additive residual error.
Amounts g (gut), c (central) between events, ke = CL/V:
    g(t) = g0 e^(-ka t),  c(t) = c0 e^(-ke t) + g0 ka/(ka - ke) (e^(-ke t) - e^(-ka t)).
A dose D adds D to g; SS 1 resets both, then sets the steady state of D every tau just after
the dose: g = D/(1 - e^(-ka tau)),
    c = D ka/(ka - ke) [e^(-ke tau)/(1 - e^(-ke tau)) - e^(-ka tau)/(1 - e^(-ka tau))].
Rows at one time act in file order (an observation before a dose there sees the amounts before).
-2LL = sum_i [l(eta_i) + ln|Omega| + ln|H_i|] as in focei_theophylline_zeros.py.

    scripts/references/focei_quinidine.py OUT/results.json
        writes tests/tools/references/quinidine_focei.json
"""
import csv
import json
import math
import os
import sys

import numpy as np
from scipy.optimize import minimize

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "tools", "references")
RANDOM = ["V", "CL"]


def individuals():
    data = {}
    for r in csv.DictReader(open(os.path.join(HERE, "quinidine.csv"))):
        data.setdefault(r["ID"], []).append(r)
    return list(data.values())


def predictions(ka, v, cl, rows):
    ke = cl / v
    g = c = 0.0
    now = float(rows[0]["TIME"])
    out = []
    for r in rows:
        t = float(r["TIME"])
        dt = t - now
        if dt > 0:
            eg, ec = math.exp(-ka * dt), math.exp(-ke * dt)
            g, c = g * eg, c * ec + g * ka / (ka - ke) * (ec - eg)
            now = t
        if r["EVID"] == "0":
            out.append(c / v)
            continue
        dose = float(r["AMT"])
        if r["SS"] == "1":
            tau = float(r["II"])
            eg, ec = math.exp(-ka * tau), math.exp(-ke * tau)
            g = dose / (1 - eg)
            c = dose * ka / (ka - ke) * (ec / (1 - ec) - eg / (1 - eg))
        else:
            g += dose
    return np.array(out)


def minus_2ll(ka, theta, omega, a):
    variance = a * a
    inverse = np.diag(1 / omega)
    total = 0.0
    for rows in individuals():
        y = np.array([float(r["DV"]) for r in rows if r["EVID"] == "0"])
        f_of = lambda eta: predictions(ka, theta[0] * math.exp(eta[0]), theta[1] * math.exp(eta[1]), rows)

        def l(eta):
            f = f_of(eta)
            return np.sum(np.log(2 * math.pi * variance) + (y - f) ** 2 / variance) + eta @ inverse @ eta
        eta = minimize(l, np.zeros(2), method="BFGS", options={"gtol": 1e-9}).x
        eta = minimize(l, eta, method="Nelder-Mead", options={"xatol": 1e-10, "fatol": 1e-12, "maxiter": 20000}).x
        g = np.zeros((len(y), 2))
        for k in range(2):
            step = np.zeros(2)
            step[k] = 1e-6
            g[:, k] = (f_of(eta + step) - f_of(eta - step)) / 2e-6
        h = inverse + g.T @ g / variance
        total += l(eta) + np.sum(np.log(omega)) + np.linalg.slogdet(h)[1]
    return total


if __name__ == "__main__":
    results = json.load(open(sys.argv[1]))
    ka = results["theta"]["ka"]["value"]
    theta = np.array([results["theta"][n]["value"] for n in RANDOM])
    omega = np.array([results["omega"][n]["variance"] for n in RANDOM])
    a = results["sigma"]["additive"]["value"]
    reference = {"ka": ka, "theta": dict(zip(RANDOM, theta.tolist())), "omega": dict(zip(RANDOM, omega.tolist())),
                 "additive": a, "toolkit_minus_2ll": results["minus_2ll"],
                 "independent_minus_2ll": minus_2ll(ka, theta, omega, a)}
    with open(os.path.join(HERE, "quinidine_focei.json"), "w") as out:
        json.dump(reference, out, indent=2)
        out.write("\n")
    print(json.dumps(reference, indent=2))
