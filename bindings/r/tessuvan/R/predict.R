# Predictions of a FOCEI fit for new rows, the individuals' values and ETAs, and vcov's limits.

#' PRED and IPRED of a fit for the rows of `newdata` (a data frame, a CSV text or a path in the
#' data set's layout: doses, observation and EVID 2 rows, the model's covariates): each ID is
#' simulated alone, PRED at the typical values (a FOCEI fit's theta, a pooled fit's population
#' values); an ID the fit holds takes the fit's own individual values for IPRED (its ETAs), any
#' other ID the typical values (eta = 0: IPRED equals PRED), which the column FITTED_ETA tells
#' apart. Without newdata, the fit's own PRED and IPRED. Rows: ID, TIME, OUTPUT, PRED, IPRED,
#' LINE (newdata's line), FITTED_ETA, then newdata's other columns.
predict.tessuvan_fit <- function(object, newdata = NULL, quiet = TRUE, ...) {
  if (is.null(newdata)) return(as.data.frame(object))
  d <- source_of(newdata, "data")
  typical <- numeric(0)
  ids <- character(0)
  individual <- matrix(numeric(0), 0, 0)
  if (!is_focei(object)) {  # the values of population.csv and individuals.csv, in the model's order
    population <- object$tables$population
    typical <- as.numeric(population$value)
    table <- object$tables$individuals
    ids <- as.character(table$ID)
    individual <- as.matrix(table[, as.character(population$parameter), drop = FALSE])
    storage.mode(individual) <- "double"
  }
  out <- raise_failure(.tessuvan_predict(if (is_focei(object)) object$files[["results.json"]] else "",
                                         object$model_source$value, object$model_source$text, object$options,
                                         d$value, d$text, quiet, typical, ids, individual),
                       match.call())
  table <- data.frame(out, stringsAsFactors = FALSE)
  table$ID <- utils::type.convert(table$ID, as.is = TRUE)
  with_data_columns(table, d)
}

# The predictions' rows joined to the data set's other columns by its file line.
with_data_columns <- function(predictions, source, row.names = NULL) {
  rows <- data_rows(source)
  if (is.null(rows) || is.null(predictions$LINE) || !nrow(predictions)) return(predictions)
  extra <- rows[match(predictions$LINE, rows$.line),
                setdiff(names(rows), c(toupper(names(predictions)), names(predictions), ".line")), drop = FALSE]
  extra <- extra[, !(toupper(names(extra)) %in% toupper(names(predictions))), drop = FALSE]
  out <- cbind(predictions, extra)
  rownames(out) <- row.names
  out
}

#' Every individual's ETAs (a FOCEI fit) and parameter values, one row per ID (individuals.csv).
tessuvan_individuals <- function(fit) {
  if (!inherits(fit, "tessuvan_fit")) stop(tessuvan_condition("usage", "tessuvan: a tessuvan_fit is needed"))
  fit$tables$individuals
}

#' The ETAs of a FOCEI fit, one row per individual named by its ID (nlme's ranef generic).
ranef.tessuvan_fit <- function(object, ...) {
  if (!is_focei(object))
    stop(tessuvan_condition("usage", "tessuvan: a pooled fit has no random effects (fit.estimation = \"focei\")"))
  table <- object$tables$individuals
  etas <- table[, startsWith(names(table), "ETA_"), drop = FALSE]
  names(etas) <- sub("^ETA_", "", names(etas))
  rownames(etas) <- as.character(table$ID)
  etas
}

vcov.tessuvan_fit <- function(object, ...) {
  if (!is_focei(object))
    stop(tessuvan_condition("usage", paste(
      "tessuvan: a pooled fit gives standard errors (summary(fit), fit$tables$population) but no covariance",
      "of its estimates: vcov needs a FOCEI fit (fit.estimation = \"focei\")")))
  if (!length(object$focei$vcov))
    stop(tessuvan_condition("engine", paste0("tessuvan: no covariance: ", object$focei$covariance_message)))
  object$focei$vcov
}
