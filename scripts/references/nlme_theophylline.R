# Reference for the population estimation: nlme (Lindstrom-Bates) on the theophylline example
# with the model of examples/theophylline/theophylline_focei.toml: ka, ke and CL log-normal with
# a diagonal covariance, V = CL/ke, additive error; dose in mg/kg, concentration in mg/L. The
# observations at time 0 carry MDV = 1 in the example and are left out here as well.
# Run: Rscript scripts/references/nlme_theophylline.R > tests/tools/references/nlme_theophylline.json
suppressMessages(library(nlme))
data <- read.csv("examples/theophylline/theophylline.csv", na.strings = ".")
doses <- data[data$EVID == 1, c("ID", "AMT")]
obs <- data[data$EVID == 0 & data$MDV == 0, c("ID", "TIME", "DV")]
obs$Dose <- doses$AMT[match(obs$ID, doses$ID)]
names(obs) <- c("Subject", "Time", "conc", "Dose")
obs <- groupedData(conc ~ Time | Subject, data = obs)
start <- system.time(fit <- nlme(conc ~ SSfol(Dose, Time, lKe, lKa, lCl), data = obs,
  fixed = lKe + lKa + lCl ~ 1, random = pdDiag(lKe + lKa + lCl ~ 1),
  start = c(lKe = log(0.08), lKa = log(1.5), lCl = log(0.04))))
fe <- fixef(fit)
sds <- as.numeric(VarCorr(fit)[1:3, "StdDev"])
cat(sprintf(paste0('{\n  "ka": %.10g, "ke": %.10g, "CL": %.10g,\n',
  '  "omega_sd": {"ka": %.10g, "ke": %.10g, "CL": %.10g},\n',
  '  "sigma_additive": %.10g,\n  "minus_2ll": %.10g,\n  "n_observations": %d,\n',
  '  "seconds": %.3f\n}\n'),
  exp(fe["lKa"]), exp(fe["lKe"]), exp(fe["lCl"]), sds[2], sds[1], sds[3], fit$sigma,
  -2 * as.numeric(logLik(fit)), nrow(obs), start[["elapsed"]]))
