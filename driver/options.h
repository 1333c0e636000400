// The command line of fuse_results: options first, then the six
// arguments. Without options the command line is read as it always was.
//
//   --summary FILE   also write the exact operating points to FILE
//   --ranks LIST     more ranks for the summary (1,5,10: counted from 1)
//   --fars LIST      more false accept rates for the summary (1e-3,3e-4)
//   --features       the two score arguments are feature files instead,
//                    scored in tiles by --metric (cosine, dot or l2)
//   --help, --version
//
// An option's value follows it as the next argument or after "=";
// "--" ends the options.
#ifndef FUSE_RESULTS_DRIVER_OPTIONS_H_
#define FUSE_RESULTS_DRIVER_OPTIONS_H_

#include <string>
#include <vector>

#include "features/feature_scores.h"
#include "metrics/operating_points.h"

struct RunOptions {
  std::string summary_filename;  // Empty: no summary file.
  OperatingPointRequest request;
  bool features = false;  // The score arguments are feature files.
  Metric metric = Metric::kCosine;
  std::vector<std::string> arguments;  // What follows the options.
};

enum class CommandLine {
  kRun,      // Options read; `arguments` holds the rest.
  kDone,     // --help or --version answered: status 0.
  kRefused,  // A wrong option or value, said on standard error.
};

// ReadCommandLine reads argv[1 ..] into `*options`. It prints the help
// text or the version to standard output, and what is wrong with an option
// to standard error. The number of arguments is not checked.
CommandLine ReadCommandLine(int argc, char** argv, RunOptions* options);

// ParseRanks appends the ranks of a comma-separated list to `*ranks`.
// Returns false unless every item is a whole number from 1.
bool ParseRanks(const std::string& text, std::vector<int64_t>* ranks);

// ParseFalseAcceptRates appends the rates of a comma-separated list of
// decimal texts to `*fars`. Returns false unless every item is a decimal
// number from 0 to 1.
bool ParseFalseAcceptRates(const std::string& text, std::vector<Decimal>* fars);

#endif  // FUSE_RESULTS_DRIVER_OPTIONS_H_
