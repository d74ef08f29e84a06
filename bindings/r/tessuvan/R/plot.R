# The goodness-of-fit panels of a fit, the visual predictive check and a patient's forecast, in
# base graphics.

# Concentrations span decades: a log axis when every value shown is positive.
log_axes <- function(x, y = NULL) {
  paste0(if (length(x) && all(x > 0, na.rm = TRUE)) "x" else "", if (!is.null(y) && length(y) && all(y > 0, na.rm = TRUE)) "y" else "")
}

#' Four panels: DV against PRED and against IPRED (log axes, the line of identity), CWRES (IWRES
#' for a pooled fit) against TIME and against PRED (a zero line and +-2). Observed rows only.
plot.tessuvan_fit <- function(x, ...) {
  p <- x$tables$predictions
  p <- p[!is.na(p$DV), , drop = FALSE]
  residual <- if (!is.null(p$CWRES)) "CWRES" else "IWRES"
  old <- graphics::par(mfrow = c(2, 2), mar = c(4, 4, 2, 1))
  on.exit(graphics::par(old))
  for (prediction in c("PRED", "IPRED")) {
    range <- range(c(p$DV, p[[prediction]]), na.rm = TRUE)
    graphics::plot(p[[prediction]], p$DV, log = log_axes(c(p$DV, p[[prediction]]), c(p$DV, p[[prediction]])),
                   xlim = range, ylim = range, xlab = prediction, ylab = "DV", main = paste("DV vs", prediction),
                   pch = 1, ...)
    graphics::abline(0, 1, lty = 2, untf = TRUE)
  }
  for (against in c("TIME", "PRED")) {
    graphics::plot(p[[against]], p[[residual]], xlab = against, ylab = residual,
                   log = if (against == "PRED") log_axes(p$PRED) else "",
                   main = paste(residual, "vs", against), pch = 1, ...)
    graphics::abline(h = 0, lty = 2)
    graphics::abline(h = c(-2, 2), lty = 3)
  }
  invisible(x)
}

band <- function(x, low, high, colour) {
  kept <- is.finite(x) & is.finite(low) & is.finite(high)
  graphics::polygon(c(x[kept], rev(x[kept])), c(low[kept], rev(high[kept])), col = colour, border = NA)
}

#' The check of each output (and stratum): the 90 % intervals of the simulated 5th, 50th and
#' 95th percentiles as bands, the observed ones as lines, bin by bin at the bins' median times.
#' corrected = TRUE shows the prediction-corrected check; log = TRUE a log concentration axis.
plot.tessuvan_vpc <- function(x, corrected = FALSE, log = FALSE, ...) {
  v <- x[x$CORRECTION == if (corrected) "prediction" else "none", , drop = FALSE]
  time <- grep("_MEDIAN$", setdiff(names(v), grep("^(SIM|OBS)_", names(v), value = TRUE)), value = TRUE)[1]
  key <- if (is.null(v$STRATUM)) v$OUTPUT else paste(v$OUTPUT, v$STRATUM)
  checks <- unique(key)
  old <- graphics::par(mfrow = grDevices::n2mfrow(length(checks)))
  on.exit(graphics::par(old))
  for (check in checks) {
    b <- v[key == check, , drop = FALSE]
    y <- unlist(b[, grep("^(SIM|OBS)_P", names(b))])
    graphics::plot(range(b[[time]]), range(y, na.rm = TRUE), type = "n", log = if (log) "y" else "",
                   xlab = sub("_MEDIAN$", "", time), ylab = if (corrected) "prediction-corrected" else "concentration",
                   main = paste("VPC", check), ...)
    for (level in c("P5", "P50", "P95")) {
      band(b[[time]], b[[paste0("SIM_", level, "_LOW")]], b[[paste0("SIM_", level, "_HIGH")]],
           if (level == "P50") "#fc8d5980" else "#91bfdb80")
      graphics::lines(b[[time]], b[[paste0("OBS_", level)]], lty = if (level == "P50") 1 else 2, lwd = 2)
    }
  }
  invisible(x)
}

#' The patient's forecast: the a priori and a posteriori 90 % bands, PRED and IPRED, the levels.
plot.tessuvan_map <- function(x, log = FALSE, ...) {
  f <- x$forecast
  y <- c(f$PRIOR_P5, f$PRIOR_P95, f$IPRED_P95, x$observations$DV)
  graphics::plot(range(f$TIME), range(y[is.finite(y) & (!log | y > 0)]), type = "n", log = if (log) "y" else "",
                 xlab = "time", ylab = "concentration", main = paste("Patient", x$id), ...)
  band(f$TIME, f$PRIOR_P5, f$PRIOR_P95, "#c6dbef")
  band(f$TIME, f$IPRED_P5, f$IPRED_P95, "#fdd0a2b0")
  graphics::lines(f$TIME, f$PRED, col = "#1f77b4", lwd = 2)
  graphics::lines(f$TIME, f$IPRED, col = "#d94801", lwd = 2)
  if (nrow(x$observations)) graphics::points(x$observations$TIME, x$observations$DV, pch = 19)
  graphics::legend("topright", c("a priori 90 %", "a posteriori 90 %", "PRED", "IPRED"), bty = "n",
                   fill = c("#c6dbef", "#fdd0a2", NA, NA), border = NA, lty = c(NA, NA, 1, 1),
                   col = c(NA, NA, "#1f77b4", "#d94801"))
  invisible(x)
}
