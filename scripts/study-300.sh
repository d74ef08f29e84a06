#!/usr/bin/env bash
# A 300-subject study simulated by the command and fitted back, for looking at the plots as a
# modeller would: `simulate --replicates 1` draws the subjects' concentrations from the model
# below (one compartment, first-order absorption, CL and V allometric in weight, a combined
# error), the values under the limit of quantification are censored, `fit` estimates the model
# from them, and `vpc` checks it on a log axis, by time after dose and by dose group.
#   scripts/study-300.sh [PROGRAM] [WORK]     (default build/ci-large/tools/tessuvan, build/study-300)
# The design: 300 subjects, weights 45 to 105 kg, a third women (SEX 1, V 15 % smaller), 100 mg (odd IDs) or 200 mg (even IDs) orally
# at 0, 12 and 24 h, 13 samples to 48 h; LLOQ 0.5 mg/L (CENS 1 with DV the limit).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
program=$(realpath "${1:-$root/build/ci-large/tools/tessuvan}")
work=${2:-$root/build/study-300}
rm -rf "$work" && mkdir -p "$work"

cat >"$work/study.toml" <<'MODEL'
# One compartment with first-order absorption; CL and V allometric in weight (70 kg).
[model]
compartments = ["gut", "central"]
rates = [
  "d(gut)/dt = -ka*gut",
  "d(central)/dt = ka*gut - CLi/Vi*central",
]

[parameters]
ka = { value = 1.2, omega = 0.16 }   # 1/h
CL = { value = 2.0, omega = 0.09 }   # L/h at 70 kg
V = { value = 25, omega = 0.04 }     # L at 70 kg
CLi = { formula = "CL*(wt/70)^0.75" }
Vi = { formula = "V*wt/70*(1 - 0.15*sex)" }   # women (SEX 1) 15 % smaller

[covariates]
wt = "WT"
sex = "SEX"

[outputs]
conc = "central/Vi"                  # mg/L

[units]
time = "h"
conc = "mg/L"

[error]
additive = 0.1                       # mg/L
proportional = 0.15

[fit]
estimation = "focei"
method = "RUNGE-KUTTA QC"
precision = 1e-6
MODEL

awk 'BEGIN {
    print "ID,TIME,DV,AMT,EVID,MDV,WT,SEX,DOSE"
    split("0.5 1 2 4 8 11.9 24.5 25 26 28 32 36 48", times, " ")
    for (id = 1; id <= 300; id++) {
        wt = 45 + (id * 37) % 61
        dose = id % 2 ? 100 : 200
        sex = id % 3 == 0
        for (d = 0; d < 3; d++) {
            printf "%d,%g,.,%d,1,1,%d,%d,%d\n", id, 12 * d, dose, wt, sex, dose
            for (k = 1; k <= 13; k++)
                if (times[k] > 12 * d && times[k] <= 12 * (d + 1) || (d == 2 && times[k] > 36))
                    printf "%d,%g,1,.,0,0,%d,%d,%d\n", id, times[k], wt, sex, dose
        }
    }
}' >"$work/design.csv"

"$program" simulate "$work/study.toml" "$work/design.csv" --replicates 1 --seed 1 -q -o "$work/simulated" >/dev/null
# The simulated DV into the design's observation rows, in order; below 0.5 mg/L censored.
awk -F, -v OFS=, 'NR == FNR { if (FNR > 1) dv[++n] = $6; next }
    FNR == 1 { print $0, "CENS"; next }
    $5 == 0 { v = dv[++k]; if (v < 0.5) { $3 = 0.5; print $0, 1 } else { $3 = v; print $0, 0 }; next }
    { print $0, 0 }' "$work/simulated/simulations.csv" "$work/design.csv" >"$work/study.csv"
echo "$(grep -c ',0,0,[0-9]*,[0-9],[0-9]*,1$' "$work/study.csv") of $(awk -F, '$5 == 0' "$work/study.csv" | wc -l) levels censored"

/usr/bin/time -f "fit: %U s user" "$program" fit "$work/study.toml" "$work/study.csv" -q -o "$work/fit" >/dev/null
"$program" vpc "$work/fit" --replicates 200 --seed 2 --log -q -o "$work/vpc-log" >/dev/null
"$program" vpc "$work/fit" --replicates 200 --seed 2 --log --x tad --stratify DOSE -q -o "$work/vpc-tad-dose" >/dev/null
ls "$work"/fit/*.png "$work"/vpc-*/*.png
