# Fits and simulations through the toolkit: the model is a model file's path or its TOML text
# (a string with a line break), the data set a CSV file's path, its text, or a data frame.

source_of <- function(value, what) {
  if (what == "data" && is.data.frame(value)) {
    text <- paste(utils::capture.output(
      utils::write.csv(value, row.names = FALSE, na = ".", quote = FALSE)), collapse = "\n")
    return(list(value = paste0(text, "\n"), text = TRUE))
  }
  if (!is.character(value) || length(value) != 1L || is.na(value))
    stop(tessuvan_condition("usage", sprintf(
      "tessuvan: %s must be %s", what,
      if (what == "data") "a path, a CSV text or a data frame" else "a path or a TOML text")))
  list(value = value, text = grepl("\n", value, fixed = TRUE))
}

tessuvan_condition <- function(kind, message, call = NULL) {
  structure(class = c(paste0("tessuvan_", kind, "_error"), "tessuvan_error", "error", "condition"),
            list(message = message, call = call))
}

# The toolkit's failure as an R condition of its kind: tessuvan_usage_error, _input_error,
# _engine_error or _write_error, each a tessuvan_error.
raise_failure <- function(out, call) {
  if (!is.null(out$error)) stop(tessuvan_condition(out$error, out$message, call))
  out
}

read_table <- function(content) {
  utils::read.csv(text = content, na.strings = c(".", "", "NA"), check.names = FALSE,
                  stringsAsFactors = FALSE)
}

# The tables as data frames, each read from its CSV text when first used (fit$tables$predictions).
tables_of <- function(files) {
  tables <- new.env(parent = emptyenv())
  for (name in grep("\\.csv$", names(files), value = TRUE)) {
    local({
      content <- files[[name]]
      delayedAssign(sub("\\.csv$", "", name), read_table(content), assign.env = tables)
    })
  }
  tables
}

# The data set's rows by their file line (comments and blank lines skipped), for joining the
# predictions' LINE to the data set's own columns.
data_rows <- function(source) {
  lines <- if (source$text) strsplit(source$value, "\n", fixed = TRUE)[[1]] else readLines(source$value)
  kept <- which(nzchar(trimws(lines)) & !startsWith(trimws(lines), "#"))
  if (length(kept) < 2L) return(NULL)
  rows <- utils::read.csv(text = lines[kept], na.strings = c(".", ""), check.names = FALSE,
                          stringsAsFactors = FALSE)
  rows$.line <- kept[-1L]
  rows
}

#' Fit a model to a data set (pooled, or by FOCEI when the model file's fit.estimation says so).
#' The arguments in ... are keys of the model file's [fit] table, set over it: estimation =
#' "focei", method = "RUNGE-KUTTA 4", precision = 1e-8, population_iterations = 50.
tessuvan_fit <- function(model, data, ..., quiet = FALSE) {
  call <- match.call()
  m <- source_of(model, "model")
  d <- source_of(data, "data")
  options <- list(...)
  if (length(options) && (is.null(names(options)) || any(!nzchar(names(options))) ||
      !all(vapply(options, function(v) (is.character(v) || is.numeric(v) || is.logical(v)) &&
                                         length(v) == 1L && !is.na(v), NA))))
    stop(tessuvan_condition("usage", "tessuvan: fit options are named, each one string, number or logical", call))
  out <- raise_failure(.tessuvan_fit(m$value, m$text, d$value, d$text, quiet, options), call)
  out$call <- call
  out$tables <- tables_of(out$files)
  out$data_source <- d
  out$model_source <- m
  out$model_text <- if (m$text) m$value else paste(readLines(m$value, warn = FALSE), collapse = "\n")
  out$options <- options
  class(out) <- "tessuvan_fit"
  out
}

#' Predictions of the data set at the model's values: a list of the tables and the report.
tessuvan_simulate <- function(model, data, quiet = TRUE) {
  m <- source_of(model, "model")
  d <- source_of(data, "data")
  out <- raise_failure(.tessuvan_simulate(m$value, m$text, d$value, d$text, quiet), match.call())
  list(report = out$report, tables = tables_of(out$files))
}

is_focei <- function(fit) identical(fit$estimation, "focei")

coef.tessuvan_fit <- function(object, ...) {
  if (is_focei(object)) {
    p <- object$focei$parameters
    return(stats::setNames(p$value, p$label))
  }
  p <- object$tables$population
  stats::setNames(p[[2L]], p[[1L]])
}

logLik.tessuvan_fit <- function(object, ...) {
  if (!is_focei(object)) stop("tessuvan: logLik needs a FOCEI fit (fit.estimation = \"focei\")")
  structure(-object$focei$minus2ll / 2, df = object$focei$n_estimated, nobs = object$focei$nobs,
            class = "logLik")
}

nobs.tessuvan_fit <- function(object, ...) nrow(object$tables$predictions)

#' The predictions table (ID, TIME, OUTPUT, DV, PRED, IPRED, residuals, LINE) joined to the data
#' set's other columns by the data file's line.
as.data.frame.tessuvan_fit <- function(x, row.names = NULL, optional = FALSE, ...) {
  with_data_columns(x$tables$predictions, x$data_source, row.names)
}

fitted.tessuvan_fit <- function(object, type = c("ipred", "pred"), ...) {
  type <- match.arg(type)
  object$tables$predictions[[toupper(type)]]
}

residuals.tessuvan_fit <- function(object, type = c("iwres", "cwres", "wres", "response"), ...) {
  type <- match.arg(type)
  p <- object$tables$predictions
  if (type == "response") return(p$DV - p$IPRED)
  if (is.null(p[[toupper(type)]])) stop("tessuvan: no ", toupper(type), " in this fit's predictions")
  p[[toupper(type)]]
}

#' A visual predictive check of a FOCEI fit, as `tessuvan vpc` makes it of the fit's folder: the
#' table of vpc.csv (per output, plain and prediction-corrected, bin by bin, the observed 5th,
#' 50th and 95th percentiles and the 90 % intervals of the simulated ones). bins: 0 the default
#' rule; threads: 0 every processor (at most 8).
tessuvan_vpc <- function(fit, replicates = 200, seed = 1, bins = 0, threads = 0, quiet = TRUE) {
  if (!inherits(fit, "tessuvan_fit") || !is_focei(fit))
    stop(tessuvan_condition("usage", "tessuvan: tessuvan_vpc needs a FOCEI fit (fit.estimation = \"focei\")"))
  check_seed(seed)
  out <- raise_failure(.tessuvan_vpc(fit$files[["results.json"]], fit$model_source$value, fit$model_source$text,
                                     fit$data_source$value, fit$data_source$text, fit$options,
                                     as.integer(replicates), seed, as.integer(bins), as.integer(threads), quiet),
                       match.call())
  structure(read_table(out$vpc), class = c("tessuvan_vpc", "data.frame"))
}

check_seed <- function(seed) {
  if (!is.numeric(seed) || length(seed) != 1L || is.na(seed) || seed < 0 || seed != floor(seed) || seed >= 2^53)
    stop(tessuvan_condition("usage", "tessuvan: seed must be a whole number from 0 to 2^53"))
}

#' Replicates of the data set's design with the FOCEI fit's theta, Omega and sigma, as
#' `tessuvan simulate MODEL DATA --replicates nsim --seed seed --from FIT` makes them (the same
#' random streams; seed NULL is the command's default, 1): the table of simulations.csv (REP, ID,
#' TIME, OUTPUT, IPRED, DV, ETA_<name>).
simulate.tessuvan_fit <- function(object, nsim = 1, seed = NULL, threads = 0, quiet = TRUE, ...) {
  if (!is_focei(object))
    stop(tessuvan_condition("usage", "tessuvan: simulate needs a FOCEI fit (fit.estimation = \"focei\")"))
  if (is.null(seed)) seed <- 1
  check_seed(seed)
  out <- raise_failure(.tessuvan_replicates(object$files[["results.json"]], object$model_source$value,
                                            object$model_source$text, object$data_source$value,
                                            object$data_source$text, object$options, as.integer(nsim), seed,
                                            as.integer(threads), quiet), match.call())
  read_table(out$simulations)
}
