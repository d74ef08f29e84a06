# Writes phenobarbital.csv from the Phenobarb data set of R's nlme package (GPL >= 2):
# phenobarbital in 59 preterm infants (Grasela and Donn, 1985), repeated intravenous doses
# (nlme gives the dose in ug/kg; here AMT = dose x weight, in ug), serum concentrations in
# ug/L, times in hours, body weight WT in kg and the Apgar score (not used by the model).
# The engine holds 10 dosing intervals per individual: each infant's rows are kept up to its
# 11th dose (the observations after it would need the doses left out).
# Run: Rscript examples/phenobarbital/make_data.R
library(nlme)
d <- as.data.frame(Phenobarb)
out <- NULL
for (s in unique(d$Subject)) {
  x <- d[d$Subject == s, ]
  doses <- which(!is.na(x$dose))
  if (length(doses) > 10) x <- x[seq_len(doses[11] - 1), ]
  out <- rbind(out, data.frame(ID = as.integer(as.character(s)), TIME = x$time,
                               DV = ifelse(is.na(x$conc), ".", x$conc),
                               AMT = ifelse(is.na(x$dose), ".", x$dose * x$Wt),
                               EVID = ifelse(is.na(x$dose), 0, 1), WT = x$Wt, APGAR = x$Apgar))
}
write.csv(out, file.path(dirname(sub("--file=", "", grep("--file=", commandArgs(FALSE), value = TRUE))),
                         "phenobarbital.csv"), row.names = FALSE, quote = FALSE)
