// The commands: each calls the toolkit, shows its progress on the terminal, prints its
// messages and returns the program's exit status (0 done, 1 wrong usage, 2 the model, data set
// or folders given are wrong, 3 the engine reported an error, 4 the results could not be
// written).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessuvan::cli {

struct RunOptions {
    std::string model;
    std::string data;
    std::string output;
    bool quiet = false;
    bool verbose = false;        // the whole report on standard output, every individual included
    int npdeSimulations = 1000;  // fit by FOCEI: replicates simulated for the NPDE (0: none)
    bool linear = false;         // fit: the individual fits on a linear axis (default: log)
};

struct ReplicateOptions {
    std::string model;
    std::string data;
    std::string output;
    std::string from;  // a fit folder whose results.json gives θ, Ω and σ
    int replicates = 0;
    std::uint64_t seed = 1;
    std::string shard;     // "K/M", empty = the whole run
    int bins = 0;          // 0 = the default rule
    std::string binEdges;  // "0,1,2,4,8,24", empty = by the rule
    int threads = 1;
    bool quiet = false;
};

struct VpcOptions {
    std::string fit;     // the fit folder (results.json)
    std::string model;   // default: the model text of results.json
    std::string data;    // default: the data file of results.json
    std::string output;  // default: FIT-vpc
    int replicates = 200;
    std::uint64_t seed = 1;
    int bins = 0;
    std::string binEdges;
    int threads = 1;
    bool quiet = false;
    bool log = false;        // a logarithmic concentration axis
    std::string x = "time";  // or "tad": the time after the last dose
    std::string stratify;    // a data column: a check per level
};

struct BootstrapOptions {
    std::string fit;     // the fit folder (results.json)
    std::string model;   // default: the model text of results.json
    std::string data;    // default: the data file of results.json
    std::string output;  // default: FIT-bootstrap (a shard's: FIT-bootstrap-K-of-M)
    int samples = 0;
    std::uint64_t seed = 1;
    std::string shard;     // "K/M", empty = the whole run
    std::string stratify;  // a data column; empty = none
    int threads = 1;
    bool quiet = false;
};

// `fit` (fit true) and `simulate` without replicates.
int RunCommand(const RunOptions& options, bool fit);
int SimulateReplicatesCommand(const ReplicateOptions& options);
int MergeCommand(const std::vector<std::string>& folders, const std::string& output);
int VpcCommand(const VpcOptions& options);
int BootstrapCommand(const BootstrapOptions& options);
int CompareCommand(const std::vector<std::string>& fits);

}  // namespace tessuvan::cli
