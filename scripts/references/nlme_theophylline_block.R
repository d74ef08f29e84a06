# Reference for a block of Ω: nlme (Lindstrom-Bates) on the theophylline example with the model
# of examples/theophylline/theophylline_block.toml: ka, ke and CL log-normal, ka and CL with a
# full covariance (pdSymm) and ke independent of them (pdBlocked), V = CL/ke, additive error;
# dose in mg/kg, concentration in mg/L. The observations at time 0 carry MDV = 1 in the example
# and are left out here as well. Lindstrom-Bates is not FOCEI: the two agree only loosely.
# Run: Rscript scripts/references/nlme_theophylline_block.R > tests/tools/references/nlme_theophylline_block.json
suppressMessages(library(nlme))
data <- read.csv("examples/theophylline/theophylline.csv", na.strings = ".")
doses <- data[data$EVID == 1, c("ID", "AMT")]
obs <- data[data$EVID == 0 & data$MDV == 0, c("ID", "TIME", "DV")]
obs$Dose <- doses$AMT[match(obs$ID, doses$ID)]
names(obs) <- c("Subject", "Time", "conc", "Dose")
obs <- groupedData(conc ~ Time | Subject, data = obs)
start <- system.time(fit <- nlme(conc ~ SSfol(Dose, Time, lKe, lKa, lCl), data = obs,
  fixed = lKe + lKa + lCl ~ 1,
  random = pdBlocked(list(pdSymm(lKa + lCl ~ 1), pdDiag(lKe ~ 1))),
  start = c(lKe = log(0.08), lKa = log(1.5), lCl = log(0.04))))
fe <- fixef(fit)
omega <- as.matrix(fit$modelStruct$reStruct[[1]]) * fit$sigma^2
cat(sprintf(paste0('{\n  "ka": %.10g, "ke": %.10g, "CL": %.10g,\n',
  '  "omega": {"ka": %.10g, "CL": %.10g, "ka:CL": %.10g, "ke": %.10g},\n',
  '  "correlation_ka_CL": %.10g,\n',
  '  "sigma_additive": %.10g,\n  "minus_2ll": %.10g,\n  "n_observations": %d,\n',
  '  "seconds": %.3f\n}\n'),
  exp(fe["lKa"]), exp(fe["lKe"]), exp(fe["lCl"]),
  omega["lKa", "lKa"], omega["lCl", "lCl"], omega["lKa", "lCl"], omega["lKe", "lKe"],
  omega["lKa", "lCl"] / sqrt(omega["lKa", "lKa"] * omega["lCl", "lCl"]), fit$sigma,
  -2 * as.numeric(logLik(fit)), nrow(obs), start[["elapsed"]]))
