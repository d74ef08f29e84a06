# predict, the individuals, the plots and the single-patient calls against the fit and the command.
examples <- Sys.getenv("TESSUVAN_EXAMPLES", file.path("..", "..", "..", "..", "..", "examples"))
focei_model <- file.path(examples, "theophylline", "theophylline_focei.toml")
pooled_model <- file.path(examples, "theophylline", "theophylline.toml")
data_file <- file.path(examples, "theophylline", "theophylline.csv")
vancomycin <- file.path(examples, "vancomycin", "vancomycin.toml")
patient <- file.path(examples, "vancomycin", "patient_peak_trough.csv")
events <- theoph_events()
fit <- tessuvan_fit(focei_model, events, quiet = TRUE)
pooled <- tessuvan_fit(pooled_model, data_file, quiet = TRUE)

test_that("predict gives the fit's PRED and IPRED on its own rows, eta = 0 for a new ID, EVID 2 rows", {
  own <- predict(fit, events)
  seen <- as.data.frame(fit)
  expect_equal(own$PRED[match(seen$LINE, own$LINE)], seen$PRED, tolerance = 1e-6)
  expect_equal(own$IPRED[match(seen$LINE, own$LINE)], seen$IPRED, tolerance = 1e-6)
  expect_true(all(own$FITTED_ETA))
  expect_true("WT" %in% names(own))
  first <- events[events$ID == 1, ]
  new <- rbind(transform(first, ID = 99L),
               data.frame(ID = 99L, TIME = c(30, 48), DV = NA, AMT = NA, CMT = 2L, EVID = 2L, MDV = 1L, WT = 79.6))
  p <- predict(fit, new)
  expect_false(any(p$FITTED_ETA))
  expect_identical(p$IPRED, p$PRED)
  expect_equal(p$PRED[!p$TIME %in% c(30, 48)], own$PRED[own$ID == 1], tolerance = 1e-12)
  expect_true(all(c(30, 48) %in% p$TIME))
  pooled_own <- predict(pooled, events)  # a pooled fit's population and individual values
  pooled_seen <- as.data.frame(pooled)
  for (column in c("PRED", "IPRED"))
    expect_equal(pooled_own[[column]][match(pooled_seen$LINE, pooled_own$LINE)], pooled_seen[[column]],
                 tolerance = 1e-6)
  expect_error(predict(fit, "ID,TIME\n1,x\n"), class = "tessuvan_input_error")
})

test_that("the ETAs and individual values, vcov of a pooled fit, the model named and echoed", {
  etas <- ranef.tessuvan_fit(fit)
  expect_named(etas, c("ka", "ke", "CL"))
  expect_identical(rownames(etas), as.character(1:12))
  expect_equal(nrow(tessuvan_individuals(fit)), 12)
  expect_error(vcov(pooled), "no covariance", class = "tessuvan_usage_error")
  shown <- capture.output(print(summary(fit), model = TRUE))
  expect_true(any(grepl("^Model: .*theophylline_focei.toml", shown)))
  expect_true(any(grepl("| conc = \"central/V\"", shown, fixed = TRUE)))
})

test_that("plots draw the fit's panels, the VPC and the forecast", {
  file <- tempfile(fileext = ".pdf")
  grDevices::pdf(file)
  expect_invisible(plot(fit))
  expect_invisible(plot(pooled))
  vpc <- tessuvan_vpc(fit, replicates = 20, seed = 3)
  expect_s3_class(vpc, "tessuvan_vpc")
  expect_invisible(plot(vpc, corrected = TRUE))
  expect_invisible(plot(tessuvan_map(vancomycin, patient)))
  grDevices::dev.off()
  expect_gt(file.size(file), 5000)
})

test_that("map and dose give the command's tables; map of a fit's individual is its ETA", {
  command <- Sys.getenv("TESSUVAN_COMMAND")
  skip_if(!nzchar(command), "no tessuvan command given (TESSUVAN_COMMAND)")
  folder <- tempfile("tessuvan-")
  on.exit(unlink(folder, recursive = TRUE))
  run <- function(...) expect_equal(system2(command, c(..., "--quiet"), stdout = FALSE), 0)
  run("map", vancomycin, patient, "-o", file.path(folder, "map"))
  m <- tessuvan_map(vancomycin, utils::read.csv(patient, comment.char = "#", na.strings = "."))
  for (table in c("parameters.csv", "observations.csv", "forecast.csv"))
    expect_identical(m$files[[table]], paste0(paste(readLines(file.path(folder, "map", table)), collapse = "\n"), "\n"))
  dose <- c("--interval", "12", "--doses", "4", "--start", "48", "--infusion", "1.5", "--target", "auc24=400..600",
            "--round", "250")
  run("dose", vancomycin, patient, dose, "-o", file.path(folder, "dose"))
  d <- tessuvan_dose(vancomycin, patient, interval = 12, doses = 4, start = 48, infusion = 1.5,
                     target = "auc24=400..600", round = 250)
  expect_identical(d$files[["forecast.csv"]],
                   paste0(paste(readLines(file.path(folder, "dose", "forecast.csv")), collapse = "\n"), "\n"))
  expect_equal(d$dose$amount %% 250, 0)
  expect_true(d$dose$probability >= 0 && d$dose$probability <= 1)
  third <- tessuvan_map(fit, events, id = 3)
  expect_equal(unname(third$eta), unname(unlist(ranef.tessuvan_fit(fit)["3", ])), tolerance = 1e-5)
  expect_match(third$report, "patient 3 ((patient data))", fixed = TRUE)  # no scratch path
  expect_error(tessuvan_map(fit, events, id = 77), "no such ID in \\(patient data\\)$", class = "tessuvan_usage_error")
  expect_error(tessuvan_map(fit, events), "--id", class = "tessuvan_usage_error")
  expect_error(tessuvan_map(pooled, events), class = "tessuvan_usage_error")
  expect_error(tessuvan_dose(vancomycin, patient, interval = 12, doses = 4, start = 48, target = 5),
               class = "tessuvan_usage_error")
})

test_that("a fit of a model text with options predicts and serves as a prior with that model", {
  text <- paste(readLines(focei_model), collapse = "\n")
  quick <- tessuvan_fit(text, events, precision = 1e-6, quiet = TRUE)
  own <- predict(quick, events)
  seen <- as.data.frame(quick)
  expect_equal(own$IPRED[match(seen$LINE, own$LINE)], seen$IPRED, tolerance = 1e-6)
  expect_match(capture.output(print(quick))[3], "^Model: \\(model text\\) with precision = 1e-06")
  third <- tessuvan_map(quick, events, id = 3)
  expect_equal(unname(third$eta), unname(unlist(ranef.tessuvan_fit(quick)["3", ])), tolerance = 1e-5)
})
