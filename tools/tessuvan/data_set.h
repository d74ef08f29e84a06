// The data set: a CSV file with a header row and one row per event, in the common layout
//   ID, TIME, DV, AMT, CMT, EVID, MDV, and covariate columns
// (column names matched without regard to case; CMT, EVID and MDV may be left out). A row is
//   EVID 0  an observation of DV (MDV 1 or DV "." or empty: a row without observation),
//   EVID 1  a dose of AMT into compartment CMT (the first compartment when CMT is absent),
//   EVID 2  another event (a time at which predictions are wanted),
//   EVID 3  a reset of every compartment to 0,
//   EVID 4  a reset followed by a dose.
// Lines starting with '#' and blank lines are skipped. Errors name the file, the line and the
// column (1-based field number and its header).
#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tessuvan::cli {

class DataError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct DataRow {
    int line = 0;            // 1-based line in the file
    std::string id;          // individual, as written
    double time = 0;
    std::optional<double> dv;
    double amount = 0;
    int cmt = 0;             // 0 when the column is absent or empty
    int evid = 0;
    bool missing = false;    // MDV 1, or no DV on an observation row
    std::vector<std::optional<double>> covariates;  // in the order asked for
};

struct DataSet {
    std::string source;
    std::vector<std::string> covariateColumns;
    std::vector<DataRow> rows;
    int timeColumn = 0;  // field numbers, for messages about rows
    int cmtColumn = 0;
    int amountColumn = 0;

    // "file:line:column (NAME)" for messages.
    std::string Where(int line, int column, std::string_view name) const;
};

// Reads the data set; the named covariate columns must exist. Throws DataError.
DataSet ReadDataSet(const std::filesystem::path& path, const std::vector<std::string>& covariateColumns);
DataSet ParseDataSet(std::string_view text, const std::string& sourceName,
                     const std::vector<std::string>& covariateColumns);

}  // namespace tessuvan::cli
