# One patient's Bayesian forecast and dose, as `tessuvan map` and `tessuvan dose` make them: the
# prior a FOCEI fit of this session (its theta, Omega, sigma and the model as it ran) or a model
# file (a path or its TOML text) whose parameters carry omega; the patient a data frame, a CSV
# text or a path in the data set's layout.

prior_of <- function(prior) {
  if (inherits(prior, "tessuvan_fit")) {
    if (!is_focei(prior))
      stop(tessuvan_condition("usage", "tessuvan: a prior fit must be a FOCEI fit (fit.estimation = \"focei\")"))
    return(list(results = prior$files[["results.json"]], model = prior$model_source, options = prior$options))
  }
  list(results = "", model = source_of(prior, "model"), options = list())
}

check_number <- function(value, name, whole = FALSE) {
  if (!is.numeric(value) || length(value) != 1L || !is.finite(value) || (whole && value != floor(value)))
    stop(tessuvan_condition("usage", sprintf("tessuvan: %s must be %s", name,
                                             if (whole) "a whole number" else "a finite number")))
  value
}

patient_request <- function(id, until, points, draws, seed, sir) {
  check_seed(seed)
  list(id = if (is.null(id)) "" else as.character(id),
       until = if (is.null(until)) -1 else check_number(until, "until"),
       points = as.integer(check_number(points, "points", TRUE)),
       draws = as.integer(check_number(draws, "draws", TRUE)), seed = seed, sir = isTRUE(sir))
}

patient_result <- function(out, class) {
  structure(list(id = out$id, eta = out$eta, objective = out$objective, converged = out$converged,
                 warnings = out$warnings, parameters = read_table(out$files[["parameters.csv"]]),
                 observations = read_table(out$files[["observations.csv"]]),
                 forecast = read_table(out$files[["forecast.csv"]]), dose = out$dose, report = out$report,
                 files = out$files),
            class = class)
}

#' The patient's MAP parameters and ETAs, its levels with PRED and IPRED, and the forecast with
#' its 90 % intervals (a posteriori and a priori) to `until` (default: 24 after its last row),
#' on `points` times from `draws` draws of eta (seed `seed`; `sir` resamples them by importance).
#' `id` chooses the patient among several IDs.
tessuvan_map <- function(prior, patient, id = NULL, until = NULL, points = 61, draws = 200, seed = 1, sir = FALSE,
                         quiet = TRUE) {
  p <- prior_of(prior)
  d <- source_of(patient, "data")
  r <- patient_request(id, until, points, draws, seed, sir)
  out <- raise_failure(.tessuvan_map(p$results, p$model$value, p$model$text, p$options, d$value, d$text, r$id,
                                     r$until, r$points, r$draws, r$seed, r$sir, quiet), match.call())
  patient_result(out, "tessuvan_map")
}

#' The amount of a regimen (`doses` doses every `interval` from `start`, bolus or infusions of
#' `infusion`, into `cmt`; at steady state with steady_state = TRUE) whose forecast at the
#' patient's MAP reaches `target` ("trough=15", "peak=30", "auc24=400..600"), rounded to a
#' multiple of `round` within min_dose and max_dose (default ten times the history's largest),
#' with the probability of attaining the target over the posterior draws: $dose, beside what
#' tessuvan_map gives (its forecast that of the proposed regimen).
tessuvan_dose <- function(prior, patient, interval, doses, start, target, infusion = 0, cmt = 0,
                          steady_state = FALSE, at = NULL, round = 0, min_dose = 0, max_dose = NULL, id = NULL,
                          until = NULL, points = 61, draws = 200, seed = 1, sir = FALSE, quiet = TRUE) {
  p <- prior_of(prior)
  d <- source_of(patient, "data")
  r <- patient_request(id, until, points, draws, seed, sir)
  if (!is.character(target) || length(target) != 1L || is.na(target))
    stop(tessuvan_condition("usage", "tessuvan: target must be a string: trough=VALUE, peak=VALUE or auc24=VALUE"))
  regimen <- c(check_number(interval, "interval"), check_number(doses, "doses", TRUE), check_number(start, "start"),
               check_number(infusion, "infusion"), check_number(cmt, "cmt", TRUE))
  out <- raise_failure(.tessuvan_dose(p$results, p$model$value, p$model$text, p$options, d$value, d$text, r$id,
                                      r$until, r$points, r$draws, r$seed, r$sir, regimen, isTRUE(steady_state),
                                      target, if (is.null(at)) -1 else check_number(at, "at"),
                                      check_number(round, "round"), check_number(min_dose, "min_dose"),
                                      if (is.null(max_dose)) -1 else check_number(max_dose, "max_dose"), quiet),
                       match.call())
  patient_result(out, c("tessuvan_dose", "tessuvan_map"))
}

print.tessuvan_map <- function(x, ...) {
  cat(x$report)
  invisible(x)
}
