// make_experiment writes a synthetic identification experiment into a
// directory: probe_info.json (the subject of every probe), probe_scores.mat
// (probes x probes) and distractor_scores.mat (rows x distractors), all
// float32 score matrices in the project's matrix file format.
//
// Guarantees:
// - Deterministic: every score is a pure function of the seed and its
//   position (a counter-based generator keyed by seed, row and column), so
//   the same flags give byte-identical files for any --threads and block
//   size. A distractor row depends only on (seed, row), so runs that differ
//   only in --distractor_rows agree on the rows they share.
// - Realistic: same-subject scores are drawn from a higher distribution than
//   different-subject scores, with overlap; distractor scores follow the
//   impostor distribution of their probe, whose mean and spread vary a little
//   from probe to probe. Subjects have skewed sizes, at least one subject has
//   a single probe when there are two subjects or more, and probes of one
//   subject are scattered through the probe order.
// - Streaming: rows are generated in blocks by parallel tasks and written in
//   order, so memory stays at a few blocks whatever the matrix size.
// - Every write is checked; a failure ends the program with a message on
//   standard error and status 1. Bad flags print the usage and exit with 2.
//   Standard output stays empty.
#include <tbb/global_control.h>
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
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "driver/tsan_hand_over.h"
#include "matio/mat_io.h"

namespace {

constexpr int32_t kFloat32Type = 5;  // One channel of 32-bit float.
constexpr int64_t kMaxStep = std::numeric_limits<int32_t>::max();
constexpr int64_t kBlockBytes = 8 << 20;  // Target size of one row block.
constexpr int kMaxTokens = 64;            // Caps memory at 64 blocks.

// Score model. Scores live in [-1, 1] like cosine similarities.
constexpr float kGenuineMean = 0.55f;
constexpr float kGenuineSigma = 0.15f;
constexpr float kImpostorMean = 0.15f;
constexpr float kImpostorSigma = 0.10f;
constexpr float kImpostorMeanJitter = 0.03f;  // Per-probe shift of the mean.
constexpr float kQualityJitter = 0.08f;       // Per-probe genuine shift.
constexpr float kAsymmetryNoise = 0.01f;      // M(i,j) - M(j,i) scale.
constexpr float kSelfScore = 1.0f;

// Distinct streams of the counter-based generator.
enum Stream : uint64_t {
  kProbeParams = 1,
  kPairScore,
  kPairNoise,
  kDistractorRow,
  kSubjects,
};

constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ull;
constexpr uint64_t kOddMul = 0xD1B54A32D192ED03ull;

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

// Sequential generator for the one-off choices (subject sizes, order).
class SplitMix64 {
 public:
  explicit SplitMix64(uint64_t state) : state_(state) {}
  uint64_t Next() { return Mix64(state_ += kGolden); }
  double Uniform() { return (Next() >> 11) * 0x1.0p-53; }
  // Below returns a value in [0, n) for n > 0.
  uint64_t Below(uint64_t n) {
    return static_cast<uint64_t>((static_cast<unsigned __int128>(Next()) * n) >>
                                 64);
  }

 private:
  uint64_t state_;
};

// A standard normal variate is drawn from 32 random bits: the top 12 bits
// pick one of 4096 equal-probability bins of the inverse normal CDF, the low
// 20 bits interpolate linearly inside it. That is one table read and one
// multiply-add per score, and about 2^32 distinct values, so continuous
// scores do not tie more than float32 rounding makes them.
constexpr int kBinBits = 12;
constexpr int kBins = 1 << kBinBits;
constexpr int kFracBits = 32 - kBinBits;
constexpr float kFracScale = 1.0f / (1 << kFracBits);

double InverseNormalCDF(double p) {
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

const NormalTable& Normals() {
  static const NormalTable table;
  return table;
}

inline float StandardNormal(uint32_t bits) {
  const float* knots = Normals().knots;
  uint32_t bin = bits >> kFracBits;
  float frac = static_cast<float>(bits & ((1u << kFracBits) - 1)) * kFracScale;
  return knots[bin] + (knots[bin + 1] - knots[bin]) * frac;
}

// Quantizer rounds scores to `levels` evenly spaced values over [-1, 1]
// (levels >= 2), or to the single value 0 (levels == 1); levels == 0 leaves
// scores alone. Equal levels are bit-identical floats.
class Quantizer {
 public:
  explicit Quantizer(int64_t levels) : levels_(levels) {
    for (int64_t k = 0; levels >= 2 && k < levels; ++k) {
      values_.push_back(static_cast<float>(-1.0 + 2.0 * k / (levels - 1)));
    }
  }
  void Apply(float* scores, int64_t n) const {
    if (levels_ == 0) return;
    if (levels_ == 1) {
      std::fill(scores, scores + n, 0.0f);
      return;
    }
    double scale = 0.5 * static_cast<double>(levels_ - 1);
    for (int64_t i = 0; i < n; ++i) {
      int64_t k = std::llround((static_cast<double>(scores[i]) + 1.0) * scale);
      scores[i] = values_[std::clamp<int64_t>(k, 0, levels_ - 1)];
    }
  }

 private:
  int64_t levels_;
  std::vector<float> values_;
};

inline float ClampScore(float x) { return std::min(1.0f, std::max(-1.0f, x)); }

struct Options {
  std::string out;
  int64_t probes = 1000;
  int64_t subjects = 200;
  int64_t distractors = 10000;
  int64_t distractor_rows = -1;  // -1: same as probes.
  uint64_t seed = 1;
  int64_t score_levels = 0;
  int64_t threads = 0;     // 0: hardware concurrency.
  int64_t block_rows = 0;  // 0: about kBlockBytes per block.
  bool symmetric = false;
};

// Per-probe (and per distractor row) traits, a function of (seed, row).
struct RowTraits {
  float impostor_mean;
  float impostor_sigma;
  float quality;  // Shift of this probe's genuine scores.
};

RowTraits TraitsOf(uint64_t seed, int64_t row) {
  uint64_t bits = Key(seed, kProbeParams, static_cast<uint64_t>(row));
  uint64_t more = Mix64(bits + kGolden);
  RowTraits t;
  t.impostor_mean =
      kImpostorMean + kImpostorMeanJitter * StandardNormal(uint32_t(bits));
  t.impostor_sigma =
      kImpostorSigma * (0.8f + 0.4f * float(bits >> 40) * 0x1.0p-24f);
  t.quality = kQualityJitter * StandardNormal(uint32_t(more));
  return t;
}

// The experiment's probes: subject index of every probe, subject names.
struct ProbeSet {
  std::vector<int32_t> subject_of;  // Per probe, in file order.
  std::vector<std::string> names;   // Per subject.
  int64_t singletons = 0;
};

// SubjectName gives plain ASCII names, mostly "subject_0042", with a few
// capitalised or unpadded so that byte order differs from numeric order.
std::string SubjectName(int64_t s) {
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

// MakeProbeSet uses min(subjects, probes) subjects, each with at least one
// probe. About a tenth of the subjects (at least one when there are two or
// more) keep a single probe; the other probes go to the remaining subjects
// with log-normal weights, which gives a skewed size distribution. The
// probe order is a random permutation.
ProbeSet MakeProbeSet(const Options& opt) {
  ProbeSet set;
  int64_t num_subjects = std::min(opt.subjects, opt.probes);
  SplitMix64 rng(Key(opt.seed, kSubjects, 0));
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
    total += std::exp(0.8 * StandardNormal(uint32_t(rng.Next())));
    cumulative.push_back(total);
  }
  for (int64_t extra = opt.probes - num_subjects; extra > 0; --extra) {
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

// Fills `scores` (probes floats) with row `i` of the probe score matrix.
// The pair (min, max) draws the shared score, so the matrix is symmetric up
// to the optional per-entry noise.
void FillProbeRow(const Options& opt, const ProbeSet& set,
                  const std::vector<RowTraits>& traits, int64_t i,
                  float* scores) {
  int64_t n = int64_t(set.subject_of.size());
  for (int64_t j = 0; j < n; ++j) {
    if (j == i) {
      scores[j] = kSelfScore;
      continue;
    }
    int64_t a = std::min(i, j), b = std::max(i, j);
    const RowTraits& ta = traits[a];
    const RowTraits& tb = traits[b];
    float mean, sigma;
    if (set.subject_of[a] == set.subject_of[b]) {
      mean = kGenuineMean + 0.5f * (ta.quality + tb.quality);
      sigma = kGenuineSigma;
    } else {
      mean = 0.5f * (ta.impostor_mean + tb.impostor_mean);
      sigma = 0.5f * (ta.impostor_sigma + tb.impostor_sigma);
    }
    uint64_t bits = Key(opt.seed, kPairScore, uint64_t(a), uint64_t(b));
    float score = mean + sigma * StandardNormal(uint32_t(bits));
    if (!opt.symmetric) {
      uint64_t noise = Key(opt.seed, kPairNoise, uint64_t(i), uint64_t(j));
      score += kAsymmetryNoise * StandardNormal(uint32_t(noise));
    }
    scores[j] = ClampScore(score);
  }
}

// Fills `scores` (distractors floats) with distractor row `row`: impostor
// scores of that row's traits. One 64-bit draw gives two scores; the bin
// table is scaled to the row's mean and spread once per row.
void FillDistractorRow(const Options& opt, int64_t row, float* scores) {
  RowTraits t = TraitsOf(opt.seed, row);
  const float* knots = Normals().knots;
  float base[kBins], slope[kBins];
  for (int k = 0; k < kBins; ++k) {
    base[k] = t.impostor_mean + t.impostor_sigma * knots[k];
    slope[k] = t.impostor_sigma * (knots[k + 1] - knots[k]) * kFracScale;
  }
  constexpr uint32_t kFracMask = (1u << kFracBits) - 1;
  uint64_t key = Key(opt.seed, kDistractorRow, uint64_t(row));
  int64_t n = opt.distractors;
  for (int64_t c = 0; c < n; c += 2) {
    uint64_t bits = Mix64(key + kGolden * uint64_t(c >> 1));
    uint32_t lo = uint32_t(bits), hi = uint32_t(bits >> 32);
    scores[c] = ClampScore(base[lo >> kFracBits] +
                           slope[lo >> kFracBits] * float(lo & kFracMask));
    if (c + 1 < n) {
      scores[c + 1] =
          ClampScore(base[hi >> kFracBits] +
                     slope[hi >> kFracBits] * float(hi & kFracMask));
    }
  }
}

using RowFiller = std::function<void(int64_t row, float* scores)>;

// WriteMatrixFile writes a rows x cols float32 matrix to `path`, row r given
// by fill(r, ...). Blocks of rows are filled in parallel and written in
// order. Returns false with `error` set when the file cannot be created or a
// write or the close fails.
bool WriteMatrixFile(const std::string& path, int64_t rows, int64_t cols,
                     const Options& opt, const RowFiller& fill,
                     std::string* error) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    *error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  MatHeader header;
  header.rows = int32_t(rows);
  header.cols = int32_t(cols);
  header.step = int32_t(cols * int64_t(sizeof(float)));
  header.type = kFloat32Type;
  bool ok = MatIO::WriteHeader(file, header);
  int write_errno = ok ? 0 : errno;

  int64_t row_bytes = cols * int64_t(sizeof(float));
  if (ok && rows > 0 && row_bytes > 0) {
    int64_t block_rows = opt.block_rows > 0
                             ? opt.block_rows
                             : std::max<int64_t>(1, kBlockBytes / row_bytes);
    block_rows = std::min(block_rows, rows);
    int64_t num_blocks = (rows + block_rows - 1) / block_rows;
    int tokens = int(
        std::min<int64_t>({int64_t(2) * opt.threads, kMaxTokens, num_blocks}));
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
    // Blocks pass between the stages as pointers: TBB then keeps no copy
    // of its own. The stages hand their state and each block over to the
    // next, as the single pass does (see driver/tsan_hand_over.h).
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
              const size_t n = size_t(block->num_rows * cols);
              if (!failed.load() &&
                  std::fwrite(block->data, sizeof(float), n, file) != n) {
                write_errno = errno;
                failed.store(true);
              }
              HandOver(block);  // Free for the block `tokens` later.
              HandOver(&writing);
              HandOver(&finished);
            });
    HandOver(&kPipelineSetUp);
    tbb::parallel_pipeline(size_t(tokens), stages);
    TakeOver(&finished);
    ok = !failed.load();
  }
  if (ok && std::fflush(file) != 0) {
    ok = false;
    write_errno = errno;
  }
  if (std::fclose(file) != 0 && ok) {
    ok = false;
    write_errno = errno;
  }
  if (!ok) {
    *error = "cannot write " + path + ": " +
             (write_errno != 0 ? std::strerror(write_errno) : "write failed");
  }
  return ok;
}

// WriteProbeInfo writes {"id": [...]} naming the subject of every probe.
// Names are plain ASCII letters, digits and underscores, so they need no
// escaping.
bool WriteProbeInfo(const std::string& path, const ProbeSet& set,
                    std::string* error) {
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    *error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string text = "{\"id\": [";
  for (size_t i = 0; i < set.subject_of.size(); ++i) {
    text += i == 0 ? "\n  \"" : ",\n  \"";
    text += set.names[size_t(set.subject_of[i])];
    text += '"';
  }
  text += "\n]}\n";
  int write_errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), file) != text.size() ||
      std::fflush(file) != 0) {
    write_errno = errno;
  }
  if (std::fclose(file) != 0 && write_errno == 0) write_errno = errno;
  bool ok = write_errno == 0;
  if (!ok) {
    *error = "cannot write " + path + ": " + std::strerror(write_errno);
  }
  return ok;
}

const char kUsage[] =
    "Usage: make_experiment --out DIR [options]\n"
    "Writes probe_info.json, probe_scores.mat and distractor_scores.mat into\n"
    "DIR (created if missing), deterministically from the flags.\n"
    "  --out DIR             output directory (required)\n"
    "  --probes N            number of probes (default 1000)\n"
    "  --subjects N          at most this many subjects (default 200)\n"
    "  --distractors N       distractor columns (default 10000)\n"
    "  --distractor_rows N   distractor rows (default: the number of probes)\n"
    "  --seed N              generator seed (default 1)\n"
    "  --score_levels N      0: continuous scores; N > 0: round every score\n"
    "                        to one of N levels over [-1, 1] (default 0)\n"
    "  --symmetric           make probe scores exactly symmetric\n"
    "  --threads N           worker threads (default: hardware)\n"
    "  --block_rows N        rows per generated block (default: ~8 MB)\n";

[[noreturn]] void UsageError(const std::string& message) {
  std::fprintf(stderr, "make_experiment: %s\n%s", message.c_str(), kUsage);
  std::exit(2);
}

int64_t ParseInt(const std::string& flag, const std::string& value, int64_t min,
                 int64_t max) {
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(value.c_str(), &end, 10);
  if (value.empty() || *end != '\0' || errno == ERANGE || v < min || v > max) {
    UsageError("bad value for " + flag + ": '" + value + "' (expected " +
               std::to_string(min) + ".." + std::to_string(max) + ")");
  }
  return v;
}

Options ParseFlags(int argc, char** argv) {
  Options opt;
  bool have_out = false;
  const int64_t kMaxCols = kMaxStep / int64_t(sizeof(float));
  const int64_t kMaxInt = std::numeric_limits<int32_t>::max();
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stderr);
      std::exit(0);
    }
    if (arg.rfind("--", 0) != 0) UsageError("unexpected argument " + arg);
    std::string name = arg.substr(2), value;
    bool inline_value = false;
    if (size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      inline_value = true;
    }
    if (name == "symmetric") {
      if (inline_value) UsageError("--symmetric takes no value");
      opt.symmetric = true;
      continue;
    }
    static const char* const kValueFlags[] = {
        "out",  "probes",       "subjects", "distractors", "distractor_rows",
        "seed", "score_levels", "threads",  "block_rows"};
    if (std::find(std::begin(kValueFlags), std::end(kValueFlags), name) ==
        std::end(kValueFlags)) {
      UsageError("unknown flag " + arg);
    }
    if (!inline_value) {
      if (i + 1 >= argc) UsageError("missing value for --" + name);
      value = argv[++i];
    }
    std::string flag = "--" + name;
    if (name == "out") {
      if (value.empty()) UsageError("empty --out");
      opt.out = value;
      have_out = true;
    } else if (name == "probes") {
      opt.probes = ParseInt(flag, value, 0, kMaxCols);
    } else if (name == "subjects") {
      opt.subjects = ParseInt(flag, value, 1, kMaxInt);
    } else if (name == "distractors") {
      opt.distractors = ParseInt(flag, value, 0, kMaxCols);
    } else if (name == "distractor_rows") {
      opt.distractor_rows = ParseInt(flag, value, 0, kMaxInt);
    } else if (name == "seed") {
      if (value.empty() || value[0] == '-') UsageError("bad --seed " + value);
      errno = 0;
      char* end = nullptr;
      opt.seed = std::strtoull(value.c_str(), &end, 10);
      if (*end != '\0' || errno == ERANGE) UsageError("bad --seed " + value);
    } else if (name == "score_levels") {
      opt.score_levels = ParseInt(flag, value, 0, 1 << 24);
    } else if (name == "threads") {
      opt.threads = ParseInt(flag, value, 0, 1024);
    } else {
      opt.block_rows = ParseInt(flag, value, 0, kMaxInt);
    }
  }
  if (!have_out) UsageError("--out is required");
  if (opt.distractor_rows < 0) opt.distractor_rows = opt.probes;
  if (opt.threads == 0) {
    opt.threads = std::max<int64_t>(1, std::thread::hardware_concurrency());
  }
  return opt;
}

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "make_experiment: %s\n", message.c_str());
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  Options opt = ParseFlags(argc, argv);
  auto start = std::chrono::steady_clock::now();
  tbb::global_control parallelism(tbb::global_control::max_allowed_parallelism,
                                  size_t(opt.threads));

  std::error_code ec;
  std::filesystem::create_directories(opt.out, ec);
  if (ec || !std::filesystem::is_directory(opt.out)) {
    Fail("cannot create directory " + opt.out +
         (ec ? ": " + ec.message() : ""));
  }
  const std::string dir = opt.out + "/";

  ProbeSet set = MakeProbeSet(opt);
  std::vector<RowTraits> traits;
  traits.reserve(size_t(opt.probes));
  for (int64_t i = 0; i < opt.probes; ++i) {
    traits.push_back(TraitsOf(opt.seed, i));
  }
  Quantizer quantizer(opt.score_levels);

  std::string error;
  if (!WriteProbeInfo(dir + "probe_info.json", set, &error)) Fail(error);
  bool ok = WriteMatrixFile(
      dir + "probe_scores.mat", opt.probes, opt.probes, opt,
      [&](int64_t row, float* scores) {
        FillProbeRow(opt, set, traits, row, scores);
        quantizer.Apply(scores, opt.probes);
      },
      &error);
  if (!ok) Fail(error);
  ok = WriteMatrixFile(
      dir + "distractor_scores.mat", opt.distractor_rows, opt.distractors, opt,
      [&](int64_t row, float* scores) {
        FillDistractorRow(opt, row, scores);
        quantizer.Apply(scores, opt.distractors);
      },
      &error);
  if (!ok) Fail(error);

  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  double megabytes =
      double(opt.probes * opt.probes + opt.distractor_rows * opt.distractors) *
      sizeof(float) / 1e6;
  std::fprintf(stderr,
               "make_experiment: %" PRId64 " probes of %zu subjects (%" PRId64
               " singletons); probe scores %" PRId64 " x %" PRId64
               ", distractor scores %" PRId64 " x %" PRId64
               "; %.1f MB in %.2f s (%.0f MB/s)\n",
               opt.probes, set.names.size(), set.singletons, opt.probes,
               opt.probes, opt.distractor_rows, opt.distractors, megabytes,
               seconds, seconds > 0 ? megabytes / seconds : 0.0);
  return 0;
}
