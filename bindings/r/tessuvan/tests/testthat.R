library(testthat)
library(tessuvan)
test_check("tessuvan")
