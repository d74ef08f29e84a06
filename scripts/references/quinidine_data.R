# The Quinidine data of nlme (136 patients, oral doses, 361 concentrations) in the toolkit's
# layout: a dose with `interval` is a steady state (SS 1, II the interval), every other dose
# a single one; the concentration rows are observations of the central compartment.
#   Rscript scripts/references/quinidine_data.R > tests/tools/references/quinidine.csv
library(nlme)
q <- as.data.frame(Quinidine)
cat("ID,TIME,DV,AMT,CMT,EVID,MDV,II,SS\n")
for (r in seq_len(nrow(q))) {
  row <- q[r, ]
  id <- as.character(row$Subject)
  if (!is.na(row$conc))
    cat(sprintf("%s,%.10g,%.10g,.,2,0,0,.,.\n", id, row$time, row$conc))
  if (!is.na(row$dose)) {
    ss <- !is.na(row$interval)
    cat(sprintf("%s,%.10g,.,%.10g,1,1,1,%s,%s\n", id, row$time, row$dose,
                if (ss) sprintf("%.10g", row$interval) else ".", if (ss) "1" else "."))
  }
}
