# Reference for the multiple-dose example: nlme (Lindstrom-Bates, maximum likelihood) on the
# phenobarbital data of examples/phenobarbital/ with the model of phenobarbital_focei.toml:
# repeated intravenous boluses into one compartment, CL = cl_kg*WT and V = v_kg*WT with cl_kg
# and v_kg log-normal (diagonal covariance), additive error; amounts in ug, concentrations in
# ug/L, times in hours. The prediction at an observation is the sum of the earlier boluses of
# the same infant, each decaying as AMT/V*exp(-CL/V*(t - dose time)).
# Run: Rscript scripts/references/nlme_phenobarbital.R > tests/tools/references/nlme_phenobarbital.json
suppressMessages(library(nlme))
data <- read.csv("examples/phenobarbital/phenobarbital.csv", na.strings = ".")
doses <- data[data$EVID == 1, c("ID", "TIME", "AMT")]
bolus <- function(lcl, lv, id, time, wt) {
  out <- numeric(length(time))
  for (k in seq_along(time)) {
    given <- doses[doses$ID == id[k] & doses$TIME <= time[k], ]
    cl <- exp(lcl[k]) * wt[k]
    v <- exp(lv[k]) * wt[k]
    out[k] <- sum(given$AMT / v * exp(-cl / v * (time[k] - given$TIME)))
  }
  out
}
obs <- data[data$EVID == 0 & !is.na(data$DV), c("ID", "TIME", "DV", "WT")]
obs$Subject <- obs$ID
obs <- groupedData(DV ~ TIME | Subject, data = obs)
fit <- nlme(DV ~ bolus(lcl, lv, ID, TIME, WT), data = obs, fixed = lcl + lv ~ 1,
  random = pdDiag(lcl + lv ~ 1), start = c(lcl = log(0.005), lv = log(1)))
fe <- fixef(fit)
sds <- as.numeric(VarCorr(fit)[1:2, "StdDev"])
cat(sprintf(paste0('{\n  "cl_kg": %.10g, "v_kg": %.10g,\n',
  '  "omega_sd": {"cl_kg": %.10g, "v_kg": %.10g},\n',
  '  "sigma_additive": %.10g,\n  "minus_2ll": %.10g,\n  "n_observations": %d\n}\n'),
  exp(fe["lcl"]), exp(fe["lv"]), sds[1], sds[2], fit$sigma, -2 * as.numeric(logLik(fit)), nrow(obs)))
