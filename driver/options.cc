#include "driver/options.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

#ifndef FUSE_RESULTS_VERSION
#error "FUSE_RESULTS_VERSION must be defined by the build"
#endif

namespace {

constexpr char kHelp[] =
    "%s " FUSE_RESULTS_VERSION
    ": evaluates an identification experiment from its score\n"
    "matrices: the identification CMC with distractors, the traditional "
    "CMC, the\n"
    "verification ROC and a per-probe match report.\n"
    "\n"
    "Usage: %s [options] <distractor_scores_filename> "
    "<probe_scores_filename> <probe_info_filename> <num_distractors> "
    "<results_filename> <match_results_filename>\n"
    "\n"
    "Arguments:\n"
    "  distractor_scores_filename  row p: probe p's scores against the "
    "distractors\n"
    "                              (a matrix file or a .npy file; may be a "
    "pipe)\n"
    "  probe_scores_filename       probe against probe scores (matrix file "
    "or .npy)\n"
    "  probe_info_filename         JSON object whose \"id\" array names "
    "each probe's\n"
    "                              subject\n"
    "  num_distractors             how many leading distractor columns to "
    "use\n"
    "  results_filename            written: \"cmc\", \"roc\" and "
    "\"traditional_cmc\"\n"
    "  match_results_filename      written: each probe's best distractors "
    "and mate\n"
    "                              ranks\n"
    "\n"
    "Options (before the arguments; --opt=value works too, -- ends them):\n"
    "  --summary FILE  also write the exact operating points to FILE: "
    "identification\n"
    "                  and traditional rates at ranks, true accept rates "
    "at false\n"
    "                  accept rates, the equal error rate, and their "
    "counts\n"
    "  --ranks LIST    more ranks for the summary, counted from 1 (e.g. "
    "2,3,1000)\n"
    "  --fars LIST     more false accept rates for the summary (e.g. "
    "1e-3,3e-4)\n"
    "  --features      the first two arguments are feature files (one row "
    "per image,\n"
    "                  matrix files or .npy): the distractors' and the "
    "probes'; the\n"
    "                  scores are computed from them in tiles, never stored\n"
    "  --metric NAME   with --features: cosine (the default), dot, or l2 "
    "(minus the\n"
    "                  Euclidean distance)\n"
    "  --help          print this help and exit\n"
    "  --version       print the version and exit\n"
    "\n"
    "Exit status: 0 when every result file was written; 1 after any "
    "problem, with\n"
    "a message on standard error and no result file replaced.\n";

// Items returns the comma-separated items of `text`, empty ones included.
std::vector<std::string> Items(const std::string& text) {
  std::vector<std::string> items;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    items.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) return items;
    start = comma + 1;
  }
}

const char* ProgramName(const char* argv0) {
  const char* slash = std::strrchr(argv0, '/');
  return slash != nullptr ? slash + 1 : argv0;
}

}  // namespace

bool ParseRanks(const std::string& text, std::vector<int64_t>* ranks) {
  for (const std::string& item : Items(text)) {
    if (item.empty() || item.size() > 18) return false;
    int64_t rank = 0;
    for (const char c : item) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
      rank = rank * 10 + (c - '0');
    }
    if (rank < 1) return false;
    ranks->push_back(rank);
  }
  return true;
}

bool ParseFalseAcceptRates(const std::string& text,
                           std::vector<Decimal>* fars) {
  for (const std::string& item : Items(text)) {
    Decimal far;
    if (!ParseDecimal(item, &far) || DecimalLess(Decimal{"1", 0}, far)) {
      return false;
    }
    fars->push_back(far);
  }
  return true;
}

CommandLine ReadCommandLine(int argc, char** argv, RunOptions* options) {
  *options = RunOptions();
  const char* program = ProgramName(argc > 0 ? argv[0] : "fuse_results");
  bool ranks_given = false, fars_given = false, metric_given = false;
  int i = 1;
  for (; i < argc && std::strncmp(argv[i], "--", 2) == 0; ++i) {
    std::string name = argv[i];
    if (name == "--") {
      ++i;
      break;
    }
    if (name == "--help") {
      std::printf(kHelp, program, program);
      return CommandLine::kDone;
    }
    if (name == "--features") {
      options->features = true;
      continue;
    }
    if (name == "--version") {
      std::printf("%s %s\n", program, FUSE_RESULTS_VERSION);
      return CommandLine::kDone;
    }
    std::string value;
    const size_t equals = name.find('=');
    const bool inline_value = equals != std::string::npos;
    if (inline_value) {
      value = name.substr(equals + 1);
      name.resize(equals);
    }
    if (name != "--summary" && name != "--ranks" && name != "--fars" &&
        name != "--metric") {
      std::fprintf(stderr, "%s: unknown option %s (see --help)\n", program,
                   name.c_str());
      return CommandLine::kRefused;
    }
    if (!inline_value) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s: option %s needs a value\n", program,
                     name.c_str());
        return CommandLine::kRefused;
      }
      value = argv[++i];
    }
    if (name == "--summary") {
      if (!options->summary_filename.empty() || value.empty()) {
        std::fprintf(stderr, "%s: --summary takes one file name\n", program);
        return CommandLine::kRefused;
      }
      options->summary_filename = value;
    } else if (name == "--metric") {
      metric_given = true;
      if (!ParseMetric(value, &options->metric)) {
        std::fprintf(stderr,
                     "%s: --metric \"%s\": the metrics are cosine, dot and "
                     "l2\n",
                     program, value.c_str());
        return CommandLine::kRefused;
      }
    } else if (name == "--ranks") {
      ranks_given = true;
      if (!ParseRanks(value, &options->request.ranks)) {
        std::fprintf(stderr,
                     "%s: --ranks \"%s\": ranks are whole numbers from 1, "
                     "separated by commas\n",
                     program, value.c_str());
        return CommandLine::kRefused;
      }
    } else {
      fars_given = true;
      if (!ParseFalseAcceptRates(value, &options->request.fars)) {
        std::fprintf(stderr,
                     "%s: --fars \"%s\": false accept rates are decimal "
                     "numbers from 0 to 1 (like 1e-3), separated by "
                     "commas\n",
                     program, value.c_str());
        return CommandLine::kRefused;
      }
    }
  }
  if ((ranks_given || fars_given) && options->summary_filename.empty()) {
    std::fprintf(stderr,
                 "%s: %s adds figures to the summary file; give --summary "
                 "FILE as well\n",
                 program, ranks_given ? "--ranks" : "--fars");
    return CommandLine::kRefused;
  }
  if (metric_given && !options->features) {
    std::fprintf(stderr,
                 "%s: --metric says how features are compared; give "
                 "--features as well\n",
                 program);
    return CommandLine::kRefused;
  }
  options->arguments.assign(argv + i, argv + argc);
  return CommandLine::kRun;
}
