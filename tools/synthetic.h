// What the synthetic data generators (make_experiment, make_features) have
// in common: the counter-based random streams every generated value is drawn
// from, standard normal variates from a table, the subjects of the probes
// and their probe_info.json, the command line, and the streaming of rows in
// parallel blocks to a file in order.
//
// Every value drawn here is a pure function of the seed and a position, and
// rows are written in order whatever the threads, so generators built on it
// give byte-identical files for the same flags, whatever --threads and
// --block_rows.
#ifndef FUSE_RESULTS_TOOLS_SYNTHETIC_H_
#define FUSE_RESULTS_TOOLS_SYNTHETIC_H_

#include <tbb/parallel_pipeline.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "driver/tsan_hand_over.h"

namespace synthetic {

// ---------------------------------------------------------------------------
// Counter-based random streams.

// Odd constants of the key and stream mixing.
constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ull;
constexpr uint64_t kOddMul = 0xD1B54A32D192ED03ull;

// The stream that MakeProbeSet draws from. Generators number their own
// streams so as not to use this value.
constexpr uint64_t kSubjectStream = 5;

// Mix64 is the splitmix64 finaliser: a bijection of 64-bit words whose
// outputs for consecutive inputs look independent.
inline uint64_t Mix64(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Key returns the key of (seed, stream, a, b); different tuples give
// unrelated keys.
inline uint64_t Key(uint64_t seed, uint64_t stream, uint64_t a,
                    uint64_t b = 0) {
  uint64_t h = Mix64(seed + kGolden * stream);
  h = Mix64(h ^ (a * kOddMul + kGolden));
  return Mix64(h ^ (b * kGolden + kOddMul));
}

// Draw returns the 64 random bits number `i` of the sequence that `key`
// starts: the bits of position i of a row are a function of (key, i) alone.
inline uint64_t Draw(uint64_t key, uint64_t i) {
  return Mix64(key + kGolden * i);
}

// SplitMix64 is a sequential generator for one-off choices (sizes, orders,
// samples), started from a key.
class SplitMix64 {
 public:
  explicit SplitMix64(uint64_t state) : state_(state) {}
  // Next returns the next 64 random bits.
  uint64_t Next() { return Mix64(state_ += kGolden); }
  // Uniform returns a double in [0, 1) with 53 random bits.
  double Uniform() { return (Next() >> 11) * 0x1.0p-53; }
  // Below returns a value in [0, n) for n > 0.
  uint64_t Below(uint64_t n) {
    return static_cast<uint64_t>((static_cast<unsigned __int128>(Next()) * n) >>
                                 64);
  }

 private:
  uint64_t state_;
};

// ---------------------------------------------------------------------------
// Standard normal variates.
//
// A standard normal variate is drawn from 32 random bits: the top kBinBits
// bits pick one of kBins equal-probability bins of the inverse normal CDF,
// the low kFracBits bits interpolate linearly inside it. That is one table
// read and one multiply-add per variate, about 2^32 distinct values (so
// continuous values do not tie more than float32 rounding makes them), and
// no rejection, so the draws of a row are a fixed function of its key.

constexpr int kBinBits = 12;
constexpr int kBins = 1 << kBinBits;
constexpr int kFracBits = 32 - kBinBits;
constexpr uint32_t kFracMask = (1u << kFracBits) - 1;
// The weight of one unit of the low kFracBits bits inside a bin.
constexpr float kFracScale = 1.0f / (1 << kFracBits);

// InverseNormalCDF returns x with Phi(x) = p for p in (0, 1), by bisection
// over [-10, 10]; for building the table only.
inline double InverseNormalCDF(double p) {
  double lo = -10.0, hi = 10.0;
  for (int i = 0; i < 100; ++i) {
    double mid = 0.5 * (lo + hi);
    if (0.5 * std::erfc(-mid / std::sqrt(2.0)) < p) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  return 0.5 * (lo + hi);
}

// NormalTable holds the knots that the bins interpolate between.
struct NormalTable {
  // knots[k] is the inverse CDF at k / kBins; the open ends are cut at the
  // quantiles 1/8 of a bin from 0 and 1 (about +-3.9 sigma).
  float knots[kBins + 1];
  NormalTable() {
    knots[0] = static_cast<float>(InverseNormalCDF(0.125 / kBins));
    knots[kBins] = -knots[0];
    for (int k = 1; k < kBins; ++k) {
      knots[k] = static_cast<float>(InverseNormalCDF(double(k) / kBins));
    }
  }
};

// Normals returns the table, built on first use (thread-safe).
inline const NormalTable& Normals() {
  static const NormalTable table;
  return table;
}

// StandardNormal returns the variate of `bits`, with `knots` being
// Normals().knots (fetched once by callers in a loop).
inline float StandardNormal(const float* knots, uint32_t bits) {
  uint32_t bin = bits >> kFracBits;
  float frac = static_cast<float>(bits & kFracMask) * kFracScale;
  return knots[bin] + (knots[bin + 1] - knots[bin]) * frac;
}

// StandardNormal returns the variate of `bits`.
inline float StandardNormal(uint32_t bits) {
  return StandardNormal(Normals().knots, bits);
}

// ---------------------------------------------------------------------------
// Subjects of the probes.

// ProbeSet is the experiment's probes: the subject of every probe and the
// subjects' names.
struct ProbeSet {
  std::vector<int32_t> subject_of;  // Per probe, in file order.
  std::vector<std::string> names;   // Per subject.
  int64_t singletons = 0;           // Subjects with a single probe.
};

// SubjectName gives plain ASCII names, mostly "subject_0042", with a few
// capitalised or unpadded so that byte order differs from numeric order.
inline std::string SubjectName(int64_t s) {
  char buf[32];
  if (s % 13 == 5) {
    std::snprintf(buf, sizeof buf, "Subject_%04" PRId64, s);
  } else if (s % 11 == 7) {
    std::snprintf(buf, sizeof buf, "subject_%" PRId64, s);
  } else {
    std::snprintf(buf, sizeof buf, "subject_%04" PRId64, s);
  }
  return buf;
}

// MakeProbeSet assigns `probes` probes to min(subjects, probes) subjects
// (subjects >= 1), each with at least one probe, as a function of `seed`
// alone (stream kSubjectStream). About a tenth of the subjects (at least
// one when there are two or more) keep a single probe; the other probes go
// to the remaining subjects with log-normal weights, which gives a skewed
// size distribution in which most subjects have several probes. The probe
// order is a random permutation, so probes of one subject are scattered.
inline ProbeSet MakeProbeSet(int64_t probes, int64_t subjects, uint64_t seed) {
  ProbeSet set;
  const float* knots = Normals().knots;
  int64_t num_subjects = std::min(subjects, probes);
  SplitMix64 rng(Key(seed, kSubjectStream, 0));
  std::vector<int64_t> sizes(num_subjects, 1);

  std::vector<int64_t> order(num_subjects);
  for (int64_t s = 0; s < num_subjects; ++s) order[s] = s;
  for (int64_t s = num_subjects - 1; s > 0; --s) {
    std::swap(order[s], order[rng.Below(s + 1)]);
  }
  int64_t kept_single =
      num_subjects >= 2 ? std::max<int64_t>(1, num_subjects / 10) : 0;
  std::vector<double> cumulative;
  std::vector<int64_t> growing(order.begin() + kept_single, order.end());
  double total = 0;
  for (size_t i = 0; i < growing.size(); ++i) {
    total += std::exp(0.8 * StandardNormal(knots, uint32_t(rng.Next())));
    cumulative.push_back(total);
  }
  for (int64_t extra = probes - num_subjects; extra > 0; --extra) {
    double u = rng.Uniform() * total;
    size_t i = std::upper_bound(cumulative.begin(), cumulative.end(), u) -
               cumulative.begin();
    ++sizes[growing[std::min(i, growing.size() - 1)]];
  }

  for (int64_t s = 0; s < num_subjects; ++s) {
    set.names.push_back(SubjectName(s));
    set.singletons += sizes[s] == 1;
    set.subject_of.insert(set.subject_of.end(), sizes[s], int32_t(s));
  }
  for (int64_t i = int64_t(set.subject_of.size()) - 1; i > 0; --i) {
    std::swap(set.subject_of[i], set.subject_of[rng.Below(i + 1)]);
  }
  return set;
}

// ProbeInfoText returns the text of probe_info.json: {"id": [...]} naming
// the subject of every probe, one name a line. Names are plain ASCII
// letters, digits and underscores, so they need no escaping.
inline std::string ProbeInfoText(const ProbeSet& set) {
  std::string text = "{\"id\": [";
  for (size_t i = 0; i < set.subject_of.size(); ++i) {
    text += i == 0 ? "\n  \"" : ",\n  \"";
    text += set.names[size_t(set.subject_of[i])];
    text += '"';
  }
  text += "\n]}\n";
  return text;
}

// ---------------------------------------------------------------------------
// Command line and messages.

// Program names a generator in its messages, all on standard error.
struct Program {
  const char* name;   // First word of every message, e.g. "make_features".
  const char* usage;  // Printed for --help and after a usage error.

  // UsageError prints "name: message" and the usage, and exits with 2.
  [[noreturn]] void UsageError(const std::string& message) const {
    std::fprintf(stderr, "%s: %s\n%s", name, message.c_str(), usage);
    std::exit(2);
  }

  // Fail prints "name: message" and exits with status 1.
  [[noreturn]] void Fail(const std::string& message) const {
    std::fprintf(stderr, "%s: %s\n", name, message.c_str());
    std::exit(1);
  }
};

// Flag is one flag of the command line, as ParseCommandLine hands it over.
class Flag {
 public:
  Flag(const Program& program, std::string name, std::string value)
      : program_(program), name_(std::move(name)), value_(std::move(value)) {}

  // The name without the leading "--".
  const std::string& name() const { return name_; }
  // The value; empty for a switch.
  const std::string& value() const { return value_; }

  // Int returns the value as a decimal integer in [min, max]; anything
  // else is a usage error.
  int64_t Int(int64_t min, int64_t max) const {
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(value_.c_str(), &end, 10);
    if (value_.empty() || *end != '\0' || errno == ERANGE || v < min ||
        v > max) {
      program_.UsageError("bad value for --" + name_ + ": '" + value_ +
                          "' (expected " + std::to_string(min) + ".." +
                          std::to_string(max) + ")");
    }
    return v;
  }

  // Double returns the value as a number in [min, max] (NaN is not);
  // anything else is a usage error.
  double Double(double min, double max) const {
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(value_.c_str(), &end);
    if (value_.empty() || *end != '\0' || errno == ERANGE || !(v >= min) ||
        !(v <= max)) {
      char range[64];
      std::snprintf(range, sizeof range, "%g..%g", min, max);
      program_.UsageError("bad value for --" + name_ + ": '" + value_ +
                          "' (expected " + range + ")");
    }
    return v;
  }

  // Seed returns the value as an unsigned 64-bit decimal integer; anything
  // else is a usage error.
  uint64_t Seed() const {
    if (value_.empty() || value_[0] == '-') BadSeed();
    errno = 0;
    char* end = nullptr;
    uint64_t seed = std::strtoull(value_.c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE) BadSeed();
    return seed;
  }

 private:
  [[noreturn]] void BadSeed() const {
    program_.UsageError("bad --" + name_ + " " + value_);
  }

  const Program& program_;
  std::string name_, value_;
};

// The largest count of rows or columns (and of anything that may become
// one): the project's readers count them in 32-bit signed integers.
constexpr int64_t kMaxCount = std::numeric_limits<int32_t>::max();

// GeneratorFlags are the flags every generator takes, which
// ParseCommandLine reads itself.
struct GeneratorFlags {
  std::string out;         // --out DIR, required and not empty.
  uint64_t seed = 1;       // --seed N.
  int64_t threads = 0;     // --threads N in [0, 1024]; 0: hardware.
  int64_t block_rows = 0;  // --block_rows N; 0: about kBlockBytes a block.
};

// ParseCommandLine reads argv[1..argc) for `program`. "--help" or "-h"
// prints the usage and exits with 0. Every other word is a flag:
// "--name" for the names in `switches` (a value is a usage error), and
// "--name VALUE" or "--name=VALUE" for the names in `value_flags` and
// out, seed, threads and block_rows, which go into `*flags`; anything else
// is a usage error. on_flag is called, in command-line order, for every
// switch and every flag of `value_flags`. At the end, a missing --out is a
// usage error and --threads 0 (or none) becomes the hardware concurrency.
inline void ParseCommandLine(const Program& program, int argc, char** argv,
                             const std::vector<std::string>& switches,
                             const std::vector<std::string>& value_flags,
                             const std::function<void(const Flag&)>& on_flag,
                             GeneratorFlags* flags) {
  static const char* const kCommonFlags[] = {"out", "seed", "threads",
                                             "block_rows"};
  bool have_out = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(program.usage, stderr);
      std::exit(0);
    }
    if (arg.rfind("--", 0) != 0) {
      program.UsageError("unexpected argument " + arg);
    }
    std::string name = arg.substr(2), value;
    bool inline_value = false;
    if (size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      inline_value = true;
    }
    if (std::find(switches.begin(), switches.end(), name) != switches.end()) {
      if (inline_value) program.UsageError("--" + name + " takes no value");
      on_flag(Flag(program, name, ""));
      continue;
    }
    const bool common =
        std::find(std::begin(kCommonFlags), std::end(kCommonFlags), name) !=
        std::end(kCommonFlags);
    if (!common && std::find(value_flags.begin(), value_flags.end(), name) ==
                       value_flags.end()) {
      program.UsageError("unknown flag " + arg);
    }
    if (!inline_value) {
      if (i + 1 >= argc) program.UsageError("missing value for --" + name);
      value = argv[++i];
    }
    const Flag flag(program, name, value);
    if (!common) {
      on_flag(flag);
    } else if (name == "out") {
      if (value.empty()) program.UsageError("empty --out");
      flags->out = value;
      have_out = true;
    } else if (name == "seed") {
      flags->seed = flag.Seed();
    } else if (name == "threads") {
      flags->threads = flag.Int(0, 1024);
    } else {
      flags->block_rows = flag.Int(0, kMaxCount);
    }
  }
  if (!have_out) program.UsageError("--out is required");
  if (flags->threads == 0) {
    flags->threads = std::max<int64_t>(1, std::thread::hardware_concurrency());
  }
}

// MakeOutputDirectory creates directory `out` and its parents if missing
// and returns `out` followed by "/"; when it cannot, or `out` is not a
// directory, the program fails.
inline std::string MakeOutputDirectory(const Program& program,
                                       const std::string& out) {
  std::error_code ec;
  std::filesystem::create_directories(out, ec);
  if (ec || !std::filesystem::is_directory(out)) {
    program.Fail("cannot create directory " + out +
                 (ec ? ": " + ec.message() : ""));
  }
  return out + "/";
}

// Throughput returns "X MB in S s (R MB/s)" (one decimal, two, none) for
// `megabytes` written since `start`, for the summary line of a generator.
inline std::string Throughput(double megabytes,
                              std::chrono::steady_clock::time_point start) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  char text[96];
  std::snprintf(text, sizeof text, "%.1f MB in %.2f s (%.0f MB/s)", megabytes,
                seconds, seconds > 0 ? megabytes / seconds : 0.0);
  return text;
}

// ---------------------------------------------------------------------------
// Streaming rows to a file.

constexpr int64_t kBlockBytes = 8 << 20;  // Target size of one row block.
constexpr int kMaxTokens = 64;            // Caps memory at 64 blocks.

// RowFiller fills `out` (cols floats) with row `row`; it is called from
// several threads at once, for different rows.
using RowFiller = std::function<void(int64_t row, float* out)>;

// BlockWriter appends `count` floats to the file, returning false when the
// write fails; it is called for consecutive blocks, in order, one at a time.
using BlockWriter = std::function<bool(const float* data, int64_t count)>;

// WriteRowBlocks generates a rows x cols float matrix, row r by fill(r,
// ...), in blocks of flags.block_rows rows (0: about kBlockBytes) filled by
// parallel tasks under at most 2 * flags.threads blocks in flight, and
// hands the blocks to `write` in row order. It stops at the first failed
// write and returns false; otherwise returns true. With no rows or no
// columns it does nothing.
inline bool WriteRowBlocks(int64_t rows, int64_t cols,
                           const GeneratorFlags& flags, const RowFiller& fill,
                           const BlockWriter& write) {
  const int64_t row_bytes = cols * int64_t(sizeof(float));
  if (rows <= 0 || row_bytes <= 0) return true;
  int64_t block_rows = flags.block_rows > 0
                           ? flags.block_rows
                           : std::max<int64_t>(1, kBlockBytes / row_bytes);
  block_rows = std::min(block_rows, rows);
  const int64_t num_blocks = (rows + block_rows - 1) / block_rows;
  int tokens = int(
      std::min<int64_t>({int64_t(2) * flags.threads, kMaxTokens, num_blocks}));
  tokens = std::max(tokens, 1);
  // Block b uses buffer b % tokens: the pipeline admits block b + tokens
  // only after block b has left the in-order writing stage.
  std::vector<std::unique_ptr<float[]>> buffers(tokens);
  for (auto& buffer : buffers) {
    buffer.reset(new float[size_t(block_rows * cols)]);
  }
  struct Block {
    int64_t first_row = 0;
    int64_t num_rows = 0;
    float* data = nullptr;
  };
  std::atomic<bool> failed{false};
  int64_t next_block = 0;
  std::vector<Block> blocks(static_cast<size_t>(tokens));
  // Blocks pass between the stages as pointers: TBB then keeps no copy of
  // its own. The stages hand their state and each block over to the next,
  // as the single pass does (see driver/tsan_hand_over.h).
  const int numbering = 0, writing = 0, finished = 0;
  const auto stages =
      tbb::make_filter<void, Block*>(
          tbb::filter_mode::serial_in_order,
          [&](tbb::flow_control& fc) -> Block* {
            TakeOver(&kPipelineSetUp);
            TakeOver(&numbering);
            Block* block = nullptr;
            if (next_block == num_blocks || failed.load()) {
              fc.stop();
            } else {
              block = &blocks[size_t(next_block % tokens)];
              TakeOver(block);
              block->first_row = next_block * block_rows;
              block->num_rows = std::min(block_rows, rows - block->first_row);
              block->data = buffers[size_t(next_block % tokens)].get();
              ++next_block;
              HandOver(block);
            }
            HandOver(&numbering);
            HandOver(&finished);
            return block;
          }) &
      tbb::make_filter<Block*, Block*>(
          tbb::filter_mode::parallel,
          [&](Block* block) {
            TakeOver(&kPipelineSetUp);
            TakeOver(block);
            for (int64_t r = 0; r < block->num_rows; ++r) {
              fill(block->first_row + r, block->data + r * cols);
            }
            HandOver(block);
            HandOver(&finished);
            return block;
          }) &
      tbb::make_filter<Block*, void>(
          tbb::filter_mode::serial_in_order, [&](Block* block) {
            TakeOver(&kPipelineSetUp);
            TakeOver(&writing);
            TakeOver(block);
            if (!failed.load() && !write(block->data, block->num_rows * cols)) {
              failed.store(true);
            }
            HandOver(block);  // Free for the block `tokens` later.
            HandOver(&writing);
            HandOver(&finished);
          });
  HandOver(&kPipelineSetUp);
  tbb::parallel_pipeline(size_t(tokens), stages);
  TakeOver(&finished);
  return !failed.load();
}

}  // namespace synthetic

#endif  // FUSE_RESULTS_TOOLS_SYNTHETIC_H_
