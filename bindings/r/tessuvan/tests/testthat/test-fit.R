# The package against the command's results and R's own conventions.
examples <- Sys.getenv("TESSUVAN_EXAMPLES", file.path("..", "..", "..", "..", "..", "examples"))
theophylline <- file.path(examples, "theophylline")
focei_model <- file.path(theophylline, "theophylline_focei.toml")
pooled_model <- file.path(theophylline, "theophylline.toml")
data_file <- file.path(theophylline, "theophylline.csv")

test_that("Theoph becomes the rows of the example's data set", {
  expected <- utils::read.csv(data_file, na.strings = ".")
  events <- theoph_events(datasets::Theoph)
  expect_equal(events, expected, ignore_attr = TRUE)
})

fit <- tessuvan_fit(focei_model, theoph_events(), quiet = TRUE)

test_that("a FOCEI fit from Theoph gives the estimates of the command's population.csv", {
  command <- Sys.getenv("TESSUVAN_COMMAND")
  skip_if(!nzchar(command), "no tessuvan command given (TESSUVAN_COMMAND)")
  folder <- file.path(tempfile("tessuvan-"), "fit")
  on.exit(unlink(dirname(folder), recursive = TRUE))
  expect_equal(system2(command, c("fit", focei_model, data_file, "-o", folder, "--quiet"), stdout = FALSE), 0)
  expected <- utils::read.csv(file.path(folder, "population.csv"), colClasses = "character")
  # the estimates and their SEs to the last digit the command prints (9 significant)
  expect_identical(sprintf("%.9g", unname(coef(fit))), expected$value)
  se <- fit$focei$parameters$se  # NA: a variance held at its bound
  expect_identical(ifelse(is.na(se), "", sprintf("%.9g", se)), expected$standard_error)
  # -2LL to the 10 digits of results.json
  results <- readLines(file.path(folder, "results.json"))
  written <- sub('.*"minus_2ll": *([^,]+),.*', "\\1", grep('"minus_2ll"', results, value = TRUE)[1])
  expect_identical(sprintf("%.10g", fit$focei$minus2ll), written)
  expect_identical(fit$files[["population.csv"]],
                   paste0(paste(readLines(file.path(folder, "population.csv")), collapse = "\n"), "\n"))
})

test_that("a VPC and replicates of the fit are the ones the command makes of its folder", {
  command <- Sys.getenv("TESSUVAN_COMMAND")
  skip_if(!nzchar(command), "no tessuvan command given (TESSUVAN_COMMAND)")
  folder <- tempfile("tessuvan-")
  on.exit(unlink(folder, recursive = TRUE))
  fitted_data <- file.path(folder, "fit")
  expect_equal(system2(command, c("fit", focei_model, data_file, "-o", fitted_data, "--quiet"), stdout = FALSE), 0)
  expect_equal(system2(command, c("vpc", fitted_data, "--replicates", "20", "--seed", "7", "-o",
                                  file.path(folder, "vpc")), stdout = FALSE), 0)
  expected <- utils::read.csv(file.path(folder, "vpc", "vpc.csv"), check.names = FALSE, stringsAsFactors = FALSE)
  expect_equal(as.data.frame(tessuvan_vpc(fit, replicates = 20, seed = 7)), expected)
  expect_error(tessuvan_vpc(fit, replicates = 0), class = "tessuvan_usage_error")
  expect_equal(system2(command, c("simulate", focei_model, data_file, "--replicates", "3", "--seed", "5", "--from",
                                  fitted_data, "-o", file.path(folder, "replicates"), "--quiet"), stdout = FALSE), 0)
  expected <- utils::read.csv(file.path(folder, "replicates", "simulations.csv"), stringsAsFactors = FALSE)
  expect_equal(simulate(fit, nsim = 3, seed = 5), expected)
})

test_that("summary shows the table with SE, RSE, CV and shrinkage, and -2LL, AIC, BIC", {
  s <- summary(fit)
  expect_setequal(rownames(s$table), c("ka", "ke", "CL", "omega(ka)", "omega(ke)", "omega(CL)",
                                       "sigma(additive)"))
  omega <- s$table["omega(ka)", ]
  expect_equal(omega$cv_percent, 100 * sqrt(exp(omega$estimate) - 1))
  expect_true(is.finite(omega$shrinkage_percent))
  shown <- paste(capture.output(print(s)), collapse = "\n")
  expect_match(shown, "-2LL [0-9.]+ +AIC [0-9.]+ +BIC [0-9.]+")
  expect_match(shown, "Converged")
})

test_that("logLik carries the estimated count, so AIC and BIC are the toolkit's", {
  ll <- logLik(fit)
  expect_equal(as.numeric(ll), -fit$focei$minus2ll / 2)
  expect_equal(attr(ll, "df"), 7)
  expect_equal(AIC(fit), fit$focei$aic, tolerance = 1e-12)
  expect_equal(BIC(fit), fit$focei$bic, tolerance = 1e-12)
  v <- vcov(fit)
  expect_equal(sqrt(diag(v))[["ka"]], fit$focei$parameters$se[1], tolerance = 1e-12)
})

test_that("the predictions table joins the data set's columns, with fitted values and residuals", {
  table <- as.data.frame(fit)
  expect_equal(nrow(table), 120)
  expect_true(all(c("ID", "TIME", "DV", "PRED", "IPRED", "IWRES", "CWRES", "WT") %in% names(table)))
  expect_equal(fitted(fit), table$IPRED)
  expect_equal(residuals(fit, type = "cwres"), table$CWRES)
  expect_equal(table$WT[table$ID == 1][1], 79.6)
})

test_that("options set keys of the model's fit table and meet its checks", {
  pooled <- tessuvan_fit(pooled_model, data_file, method = "RUNGE-KUTTA 5", population_iterations = 20,
                         quiet = TRUE)
  expect_match(pooled$report, "method RUNGE-KUTTA 5")
  expect_named(coef(pooled), c("ka", "ke", "V", "CL"))
  expect_error(tessuvan_fit(pooled_model, data_file, precision = -1), "fit.precision: must be positive",
               class = "tessuvan_input_error")
  expect_error(tessuvan_fit(pooled_model, data_file, 1e-6), class = "tessuvan_usage_error")
})

test_that("the toolkit's failures are R conditions of their kind with its message", {
  missing <- tryCatch(tessuvan_fit(file.path(theophylline, "none.toml"), data_file), error = identity)
  expect_s3_class(missing, "tessuvan_input_error")
  expect_s3_class(missing, "tessuvan_error")
  expect_match(conditionMessage(missing), "^tessuvan: .*none\\.toml")
  text <- sub("[outputs]", "[outputz]", paste(readLines(pooled_model), collapse = "\n"), fixed = TRUE)
  expect_error(tessuvan_fit(text, data_file), "outputz", class = "tessuvan_input_error")
  expect_error(tessuvan_fit(pooled_model, 42), class = "tessuvan_usage_error")
})

test_that("Ctrl-C ends a fit as R's interrupt and leaves R usable", {
  skip_on_os("windows")
  system(sprintf("(sleep 0.3; kill -INT %d) &", Sys.getpid()))
  finished <- FALSE
  # the wait after the fit keeps a signal that comes late inside this tryCatch
  caught <- tryCatch({
    tessuvan_fit(focei_model, data_file, quiet = TRUE)
    finished <- TRUE
    Sys.sleep(10)
  }, interrupt = function(e) "interrupted")
  expect_identical(caught, "interrupted")
  expect_false(finished)
  expect_s3_class(tessuvan_fit(pooled_model, data_file, quiet = TRUE), "tessuvan_fit")
})
