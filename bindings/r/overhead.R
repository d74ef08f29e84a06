# The R call's overhead over the toolkit's own run: tessuvan_fit's time less the time the
# toolkit counts for the load and the fit (fit$seconds), and the command's fit beside it, each the
# best of several (elapsed time; the command's includes writing its folder and plots).
#   R_LIBS=build/large/bindings/r/library Rscript bindings/r/overhead.R build/large/tools/tessuvan
library(tessuvan)
command <- commandArgs(trailingOnly = TRUE)[1]
model <- "examples/theophylline/theophylline_focei.toml"
data <- "examples/theophylline/theophylline.csv"
events <- theoph_events()
best <- function(times) min(times)
runs <- 5
calls <- replicate(runs, {
  t <- system.time(fit <- tessuvan_fit(model, events, quiet = TRUE))[["elapsed"]]
  c(call = t, toolkit = fit$seconds)
})
overhead <- best(calls["call", ] - calls["toolkit", ])
folder <- tempfile("tessuvan-")
commands <- replicate(runs, system.time(
  system2(command, c("fit", model, data, "-o", folder, "--quiet"), stdout = FALSE))[["elapsed"]])
cat(sprintf("tessuvan_fit %.3f s (best of %d), the toolkit's load and fit %.3f s in it; the call less the toolkit: %.1f ms (best)\n",
            best(calls["call", ]), runs, calls["toolkit", which.min(calls["call", ])], 1000 * overhead))
cat(sprintf("tessuvan fit (the command, results folder and plots written) %.3f s (best of %d)\n",
            best(commands), runs))
unlink(folder, recursive = TRUE)
