// The data set: a CSV file with a header row and one row per event, in the common layout
//   ID, TIME, DV, AMT, CMT, EVID, MDV, and covariate columns
// (column names matched without regard to case; CMT, EVID and MDV may be left out). A row is
//   EVID 0  an observation of DV (MDV 1 or DV "." or empty: a row without observation),
//   EVID 1  a dose of AMT into compartment CMT (the first compartment when CMT is absent),
//   EVID 2  another event (a time at which predictions are wanted),
//   EVID 3  a reset of every compartment to 0,
//   EVID 4  a reset followed by a dose.
// Dose rows may also carry RATE (an infusion rate; -1 / -2 take the rate / the duration from the
// model), DUR (an infusion duration), II and ADDL (ADDL more doses every II) and SS (1: the
// steady state of the dose every II replaces the amounts; 2: it is added to them);
// observation rows CENS (1 below the limit, -1 above it) and LIMIT. Other columns of the
// convention that the tool does not use are refused or warned about, never silently ignored.
// Lines starting with '#' and blank lines are skipped. Errors name the file, the line and the
// column (1-based field number and its header).
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "model/printable.h"

namespace tessuvan::cli {

class DataError : public std::runtime_error {
public:
    DataError(const std::string& message) : std::runtime_error(Printable(message)) {}
};

struct DataRow {
    int line = 0;    // 1-based line in the file
    std::string id;  // individual, as written
    double time = 0;
    std::optional<double> dv;
    double amount = 0;
    int cmt = 0;  // 0 when the column is absent or empty
    int evid = 0;
    bool missing = false;         // MDV 1, or no DV on an observation row
    double rate = 0;              // RATE: 0 bolus, > 0 infusion rate, -1 / -2 rate / duration from the model
    double duration = 0;          // DUR: an infusion's duration, 0 = none given
    double interval = 0;          // II: the dosing interval of ADDL and SS, 0 = none
    int additional = 0;           // ADDL: further doses every II
    int steadyState = 0;          // SS: 0, 1 (replaces the amounts) or 2 (adds to them)
    int censored = 0;             // CENS: 0, 1 (below the limit), -1 (above it); the limit in DV
    std::optional<double> limit;  // LIMIT: a censored value's other bound (below: the lower one)
    std::vector<std::optional<double>> covariates;  // in the order asked for
};

// What becomes of censored rows (CENS ≠ 0): left out (M1: the pooled fit, the simulations) or
// kept as censored observations (M3: the population estimation).
enum class CensoredRows { LeftOut, Kept };

struct DataSet {
    std::string source;
    std::vector<std::string> covariateColumns;
    std::vector<DataRow> rows;
    int timeColumn = 0;  // field numbers, for messages about rows
    int cmtColumn = 0;
    int amountColumn = 0;
    int rateColumn = 0;
    int durationColumn = 0;
    int intervalColumn = 0;
    int steadyStateColumn = 0;
    std::vector<std::string> warnings;  // columns read but not used, with what to do instead

    // "file:line:column (NAME)" for messages.
    std::string Where(int line, int column, std::string_view name) const;
};

// Reads the data set; the named covariate columns must exist. Throws DataError.
DataSet ReadDataSet(const std::filesystem::path& path, const std::vector<std::string>& covariateColumns);
DataSet ParseDataSet(std::string_view text, const std::string& sourceName,
                     const std::vector<std::string>& covariateColumns);

}  // namespace tessuvan::cli
