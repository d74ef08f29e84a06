#!/usr/bin/python3
"""Reference predictions of the dosing rules, each a small model and data set whose expected
concentrations a reader can check: closed forms (superposition of bolus and infusion responses,
the exact solution of linear systems through the matrix exponential) and, for a nonlinear
model, a high-accuracy ODE solution (SciPy solve_ivp, rtol 1e-12).

Writes tests/tools/references/<case>/{model.toml,data.csv,expected.csv}; expected.csv lists
the data set line of every observation or EVID 2 row and the concentration there.
Run: /usr/bin/python3 scripts/references/dosing_references.py
"""
import os
import numpy as np
from scipy.integrate import solve_ivp
from scipy.linalg import expm

OUT = os.path.join(os.path.dirname(__file__), "..", "..", "tests", "tools", "references")
HEADER = "ID,TIME,DV,AMT,CMT,EVID,MDV,RATE,DUR,II,ADDL,SS,WT"


def write(case, model, rows, expected):
    folder = os.path.join(OUT, case)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "model.toml"), "w") as f:
        f.write(model.strip() + "\n")
    with open(os.path.join(folder, "data.csv"), "w") as f:
        f.write(HEADER + "\n")
        for r in rows:
            f.write(",".join(str(v) for v in r) + "\n")
    with open(os.path.join(folder, "expected.csv"), "w") as f:
        f.write("LINE,TIME,EXPECTED\n")
        for line, t, value in expected:
            f.write(f"{line},{t!r},{value!r}\n")


def obs(t, wt=70):
    return [1, t, 1, ".", ".", 0, 0, ".", ".", ".", ".", ".", wt]


def dose(t, amt, cmt=1, rate=".", dur=".", ii=".", addl=".", ss=".", wt=70):
    return [1, t, ".", amt, cmt, 1, 1, rate, dur, ii, addl, ss, wt]


def expected_of(rows, value):
    """Line 2 is the first data row; every row without an amount is answered."""
    return [(i + 2, r[1], value(r[1], i)) for i, r in enumerate(rows) if r[3] == "."]


ONE = """
[model]
compartments = ["central"]
rates = ["d(central)/dt = -k*central"]
[parameters]
k = { value = 0.2, estimate = "fixed" }
V = { value = 10, estimate = "fixed" }
[covariates]
wt = "WT"
[outputs]
conc = "central/V"
"""
k, V = 0.2, 10.0


def bolus(t, td, amt):
    return amt / V * np.exp(-k * (t - td)) if t >= td else 0.0


def infusion(t, ts, amt, duration):
    rate = amt / duration
    if t <= ts:
        return 0.0
    during = min(t, ts + duration) - ts
    level = rate / (k * V) * (1 - np.exp(-k * during))
    return level * np.exp(-k * max(0.0, t - ts - duration))


# Multiple bolus doses by ADDL: doses at 0, 8, 16; the row at 8 comes before the ADDL dose there.
rows = [dose(0, 100, ii=8, addl=2)] + [obs(t) for t in (1, 4, 8, 9, 12, 16, 20)]
write("bolus_additional_doses", ONE, rows,
      expected_of(rows, lambda t, i: sum(bolus(t, td, 100) if (td < t or (td == 0 and t == 0)) else 0
                                         for td in (0, 8, 16))))

# Infusions: RATE 50 (2 h) at 0, and DUR 3 at 1 overlapping it; during and after.
rows = [dose(0, 100, rate=50), obs(0.5), dose(1, 30, dur=3)] + [obs(t) for t in (1.5, 2, 2.5, 3, 4, 4.5, 6, 10)]
write("infusions_overlapping", ONE, rows,
      [(line, t, infusion(t, 0, 100, 2) + infusion(t, 1, 30, 3)) for line, t, _ in expected_of(rows, lambda t, i: 0)])

# Records at one time in file order: at 6 an observation before the dose sees the amounts
# before it, one after sees them after; an EVID 2 row is answered too.
rows = [dose(0, 100), obs(3), obs(6), dose(6, 50), obs(6),
        [1, 7, ".", ".", ".", 2, 1, ".", ".", ".", ".", ".", 70], obs(9)]
exp = []
for i, r in enumerate(rows):
    if r[3] != ".":
        continue
    t = r[1]
    second = 50 if (t > 6 or (t == 6 and i == 4)) else 0
    exp.append((i + 2, t, bolus(t, 0, 100) + (bolus(t, 6, 50) if second else 0)))
write("same_time_file_order", ONE, rows, exp)

# Time-varying covariate: k = CL/V with CL = 0.002*WT; WT 100 then 50 (NOCB: the value of the
# row at 6 holds after the row before it, at 4).
COV = ONE.replace('k = { value = 0.2, estimate = "fixed" }', 'theta = { value = 0.002, estimate = "fixed" }\nk = { formula = "theta*wt" }')
rows = [dose(0, 100, wt=100), obs(2, 100), obs(4, 100), obs(6, 50), obs(8, 50)]


def tv(t):
    k1, k2 = 0.2, 0.1
    if t <= 4:
        return 10 * np.exp(-k1 * t)
    return 10 * np.exp(-k1 * 4) * np.exp(-k2 * (t - 4))


write("covariate_nocb", COV, rows, expected_of(rows, lambda t, i: tv(t)))
write("covariate_locf", COV + '[data]\ncovariates = "LOCF"\n', rows,
      expected_of(rows, lambda t, i: 10 * np.exp(-0.2 * min(t, 6)) * np.exp(-0.1 * max(0, t - 6))))

# Oral dose with bioavailability 0.6 and lag 0.5 into the gut, ADDL 1 every 12 h.
ORAL = """
[model]
compartments = ["gut", "central"]
rates = ["d(gut)/dt = -ka*gut", "d(central)/dt = ka*gut - k*central"]
[parameters]
ka = { value = 1.2, estimate = "fixed" }
k = { value = 0.2, estimate = "fixed" }
V = { value = 10, estimate = "fixed" }
f = { value = 0.6, estimate = "fixed" }
tlag = { value = 0.5, estimate = "fixed" }
[covariates]
wt = "WT"
[outputs]
conc = "central/V"
[dosing]
bioavailability = { gut = "f" }
lag = { gut = "tlag" }
"""
ka = 1.2


def oral(t, td):
    s = t - td - 0.5
    if s <= 0:
        return 0.0
    return 0.6 * 100 * ka / (V * (ka - k)) * (np.exp(-k * s) - np.exp(-ka * s))


rows = [dose(0, 100, ii=12, addl=1)] + [obs(t) for t in (0.25, 1, 3, 12, 12.25, 13, 20)]
write("oral_bioavailability_lag", ORAL, rows, expected_of(rows, lambda t, i: oral(t, 0) + oral(t, 12)))

# Two compartments, a bolus and an infusion, by the matrix exponential.
TWO = """
[model]
compartments = ["central", "peripheral"]
rates = ["d(central)/dt = -(k10+k12)*central + k21*peripheral", "d(peripheral)/dt = k12*central - k21*peripheral"]
[parameters]
k10 = { value = 0.3, estimate = "fixed" }
k12 = { value = 0.2, estimate = "fixed" }
k21 = { value = 0.1, estimate = "fixed" }
V = { value = 5, estimate = "fixed" }
[covariates]
wt = "WT"
[outputs]
conc = "central/V"
"""
A = np.array([[-0.5, 0.1], [0.2, -0.1]])


def advance(x, dt, b):
    # x' = A x + b over dt, exactly.
    E = expm(A * dt)
    return E @ x + np.linalg.solve(A, (E - np.eye(2)) @ b)


def two(t):
    # bolus 100 at 0; infusion 60 over 3 h from 5
    x = np.array([100.0, 0.0])
    segments = [(0, 5, 0.0), (5, 8, 20.0), (8, 1e9, 0.0)]
    for a, b, rate in segments:
        if t <= a:
            break
        x = advance(x, min(t, b) - a, np.array([rate, 0.0]))
    return x[0] / 5


rows = [dose(0, 100), obs(1), obs(4), dose(5, 60, rate=20)] + [obs(t) for t in (6, 8, 12, 24)]
write("two_compartments_bolus_infusion", TWO, rows, expected_of(rows, lambda t, i: two(t)))

# Nonlinear: Michaelis-Menten elimination during and after an infusion (solve_ivp).
MM = """
[model]
compartments = ["central"]
rates = ["d(central)/dt = -vm*central/(km + central)"]
[parameters]
vm = { value = 8, estimate = "fixed" }
km = { value = 20, estimate = "fixed" }
V = { value = 10, estimate = "fixed" }
[covariates]
wt = "WT"
[outputs]
conc = "central/V"
"""
times = (1, 3, 5, 6, 8, 12)
rows = [dose(0, 100, rate=20)] + [obs(t) for t in times]
f = lambda t, x: [(20.0 if t < 5 else 0.0) - 8 * x[0] / (20 + x[0])]
first = solve_ivp(f, (0, 5), [0.0], rtol=1e-12, atol=1e-14, dense_output=True, method="DOP853")
second = solve_ivp(f, (5, 12), first.y[:, -1], rtol=1e-12, atol=1e-14, dense_output=True, method="DOP853")
mm = lambda t: (first.sol(t)[0] if t <= 5 else second.sol(t)[0]) / 10
write("michaelis_menten_infusion", MM, rows, expected_of(rows, lambda t, i: mm(t)))

# Steady state (SS 1) of 100 every 12 h, as a bolus and as a 2 h infusion, by the geometric
# series of the single-dose response: C_ss(s) = sum over n >= 0 of C(s + n*II). k = 0.5 1/h, so
# the pre-doses settle (exp(-6) per interval). The observation written before the dose at 0 sees
# the trough; one ADDL dose follows at 12.
FAST = ONE.replace("value = 0.2", "value = 0.5")
II, kf = 12.0, 0.5
r = np.exp(-kf * II)


def ss_bolus(s):
    return 100 / V * np.exp(-kf * s) / (1 - r)


def ss_infusion(s, duration=2.0):
    rate = 100 / duration
    one = lambda u: (rate / (kf * V) * (1 - np.exp(-kf * min(u, duration))) * np.exp(-kf * max(0.0, u - duration))
                     if u > 0 else 0.0)
    return sum(one(s + n * II) for n in range(200))


rows = [obs(0), dose(0, 100, ii=12, addl=1, ss=1)] + [obs(t) for t in (1, 6, 12, 13, 20)]
write("steady_state_bolus", FAST, rows,
      expected_of(rows, lambda t, i: (ss_bolus(II) if i == 0 else ss_bolus(t))
                  + (100 / V * np.exp(-kf * (t - 12)) if t > 12 else 0.0)))
rows = [obs(0), dose(0, 100, rate=50, ii=12, ss=1)] + [obs(t) for t in (1, 2, 3, 6, 11)]
write("steady_state_infusion", FAST, rows, expected_of(rows, lambda t, i: ss_infusion(t)))

# Steady states after a change of regimen, with half-lives longer than the interval (the
# earlier doses settle slowly), by the series C_ss(s) = sum over n >= 0 of C(s + n*II).
SLOW = ONE.replace("value = 0.2", "value = 0.05")   # half-life 13.9 h
ks = 0.05


def slow_bolus(u, amt):
    return amt / V * np.exp(-ks * u) if u >= 0 else 0.0


def slow_infusion(u, amt, duration):
    if u <= 0:
        return 0.0
    rate = amt / duration
    return rate / (ks * V) * (1 - np.exp(-ks * min(u, duration))) * np.exp(-ks * max(0.0, u - duration))


# SS 1 of 50 every 12 h at 24 after 100 every 6 h: every amount reset, then the steady state.
# The row at 24 written before the steady-state dose sees its trough; one ADDL dose at 36.
rows = ([dose(0, 100, ii=6, addl=3)] + [obs(t) for t in (3, 20, 24)] + [dose(24, 50, ii=12, addl=1, ss=1)]
        + [obs(t) for t in (25, 30, 36, 40)])
r12 = np.exp(-ks * 12)
write("steady_state_after_regimen_change", SLOW, rows,
      expected_of(rows, lambda t, i: sum(slow_bolus(t - td, 100) for td in (0, 6, 12, 18) if td < t) if i <= 2
                  else slow_bolus(12, 50) / (1 - r12) if i == 3
                  else slow_bolus(t - 24, 50) / (1 - r12) + (slow_bolus(t - 36, 50) if t > 36 else 0.0)))

# SS 2: a 3 h infusion of 60 every 8 h added at 5 to what a bolus at 0 left (the row at 5
# written before the dose sees the bolus alone).
rows = [dose(0, 100), obs(2), obs(5), dose(5, 60, rate=20, ii=8, ss=2)] + [obs(t) for t in (6, 8, 12, 13)]
write("steady_state_added_infusion", SLOW, rows,
      expected_of(rows, lambda t, i: slow_bolus(t, 100)
                  + (sum(slow_infusion(t - 5 + 8 * n, 60, 3) for n in range(3000)) if i > 2 else 0.0)))


# Two compartments (slow mode half-life 12.6 h): SS 1 at 6 of a 10 h infusion every 8 h (each
# infusion still runs when the next starts), after a bolus at 0; by the matrix exponential.
def two_infusion(u, amt=120.0, duration=10.0):
    if u <= 0:
        return np.zeros(2)
    b = np.array([amt / duration, 0.0])
    x = advance(np.zeros(2), min(u, duration), b)
    return advance(x, u - duration, np.zeros(2)) if u > duration else x


def two_bolus(u):
    return expm(A * u) @ np.array([100.0, 0.0]) if u >= 0 else np.zeros(2)


rows = [dose(0, 100), obs(1), obs(4), dose(6, 120, rate=12, ii=8, ss=1)] + [obs(t) for t in (7, 10, 14, 20, 30)]
write("steady_state_two_compartments_long_infusion", TWO, rows,
      expected_of(rows, lambda t, i: (two_bolus(t)[0] if i < 3
                                      else sum(two_infusion(t - 6 + 8 * n)[0] for n in range(200))) / 5))
