#' R's Theoph (nlme's grouped data: Subject, Wt, Dose, Time, conc) as dose and observation rows:
#' per subject, its concentration before the dose (time 0, MDV 1: not fitted), the oral dose in
#' mg/kg into the gut (CMT 1), then the serum concentrations in mg/L (CMT 2). The rows of
#' examples/theophylline/theophylline.csv.
theoph_events <- function(data = datasets::Theoph) {
  data <- as.data.frame(data)
  id <- as.integer(as.character(data$Subject))
  data <- data[order(id, data$Time), ]
  id <- as.integer(as.character(data$Subject))
  rows <- lapply(split(seq_len(nrow(data)), factor(id, levels = unique(id))), function(r) {
    s <- data[r, ]
    before <- s$Time <= 0
    observation <- function(k, mdv) {
      data.frame(ID = id[r][k], TIME = s$Time[k], DV = s$conc[k], AMT = NA_real_, CMT = 2L, EVID = 0L,
                 MDV = mdv, WT = s$Wt[k])
    }
    dose <- data.frame(ID = id[r][1], TIME = 0, DV = NA_real_, AMT = s$Dose[1], CMT = 1L, EVID = 1L,
                       MDV = 1L, WT = s$Wt[1])
    rbind(observation(which(before), rep(1L, sum(before))), dose,
          observation(which(!before), rep(0L, sum(!before))))
  })
  out <- do.call(rbind, rows)
  rownames(out) <- NULL
  out
}
