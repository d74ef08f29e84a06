# print and summary of a fit: the θ/Ω/σ table with SE, RSE, CV % and shrinkage, −2LL, AIC, BIC,
# convergence.

print.tessuvan_fit <- function(x, ...) {
  cat("Tessuvan fit (", x$estimation, "), ", x$n_individuals, " individuals\n", sep = "")
  if (!is.null(x$call)) cat("Call: ", deparse(x$call), "\n", sep = "")
  cat("Model: ", model_name(x), "\n", sep = "")
  if (is_focei(x)) {
    cat(sprintf("-2LL %.4f   AIC %.4f   BIC %.4f   %s\n", x$focei$minus2ll, x$focei$aic, x$focei$bic,
                if (x$focei$converged) "converged" else "NOT converged"))
  }
  print(signif(coef(x), 6))
  invisible(x)
}

summary.tessuvan_fit <- function(object, ...) {
  if (!is_focei(object)) {
    return(structure(list(report = object$report, focei = FALSE), class = "summary.tessuvan_fit"))
  }
  f <- object$focei
  p <- f$parameters
  rse <- ifelse(is.finite(p$se) & p$se > 0, 100 * p$se / p$value, NA_real_)
  # ω² is the variance of ln of the parameter: CV = √(exp(ω²) − 1).
  cv <- ifelse(p$kind == "omega", 100 * sqrt(expm1(p$value)), NA_real_)
  shrinkage <- ifelse(p$kind == "omega", f$eta_shrinkage[p$name], NA_real_)
  table <- data.frame(kind = p$kind, estimate = p$value, se = ifelse(p$se > 0, p$se, NA_real_),
                      rse_percent = rse, cv_percent = cv, shrinkage_percent = unname(shrinkage),
                      fixed = p$fixed, row.names = p$label)
  structure(list(call = object$call, table = table, minus2ll = f$minus2ll, aic = f$aic, bic = f$bic,
                 converged = f$converged, message = f$message, covariance = f$covariance_message,
                 epsilon_shrinkage = f$epsilon_shrinkage, nobs = f$nobs,
                 n_individuals = object$n_individuals, focei = TRUE, model_name = model_name(object),
                 model_text = object$model_text),
            class = "summary.tessuvan_fit")
}

# The model file's path, or "(model text)" for a text, and the options set over its [fit] table.
model_name <- function(fit) {
  name <- if (fit$model_source$text) "(model text)" else fit$model_source$value
  if (length(fit$options))
    name <- paste0(name, " with ", paste(names(fit$options), vapply(fit$options, format, ""), sep = " = ",
                                         collapse = ", "))
  name
}

#' model = TRUE echoes the model's text after the table.
print.summary.tessuvan_fit <- function(x, digits = 4, model = FALSE, ...) {
  if (!x$focei) {
    cat(x$report)
    return(invisible(x))
  }
  cat("Tessuvan population fit (FOCE with interaction):", x$n_individuals, "individuals,", x$nobs,
      "observations\n")
  cat("Model: ", x$model_name, "\n\n", sep = "")
  t <- x$table
  cell <- function(v) ifelse(is.na(v), "-", formatC(v, digits = digits, format = "g"))
  shown <- data.frame(estimate = cell(t$estimate), SE = cell(t$se), `RSE %` = cell(t$rse_percent),
                      `CV %` = cell(t$cv_percent), `shrinkage %` = cell(t$shrinkage_percent),
                      check.names = FALSE, row.names = rownames(t))
  if (any(t$fixed)) shown$fixed <- ifelse(t$fixed, "fixed", "")
  print(shown, right = TRUE)
  cat(sprintf("\nResidual shrinkage %.1f %%\n", x$epsilon_shrinkage))
  cat(sprintf("-2LL %.4f   AIC %.4f   BIC %.4f\n", x$minus2ll, x$aic, x$bic))
  cat(if (x$converged) "Converged: " else "NOT converged: ", x$message, "\n", sep = "")
  if (nzchar(x$covariance)) cat("Covariance step: ", x$covariance, "\n", sep = "")
  if (model) cat("\n", paste0("  | ", strsplit(x$model_text, "\n", fixed = TRUE)[[1]], collapse = "\n"), "\n", sep = "")
  invisible(x)
}
