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

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "matio/mat_io.h"
#include "tools/synthetic.h"

namespace {

using synthetic::kBins;
using synthetic::Key;
using synthetic::kFracBits;
using synthetic::kFracMask;
using synthetic::kFracScale;
using synthetic::kGolden;
using synthetic::kMaxCount;
using synthetic::Mix64;
using synthetic::Normals;
using synthetic::ProbeSet;
using synthetic::StandardNormal;

constexpr int32_t kFloat32Type = 5;  // One channel of 32-bit float.
constexpr int64_t kMaxStep = std::numeric_limits<int32_t>::max();

// Score model. Scores live in [-1, 1] like cosine similarities.
constexpr float kGenuineMean = 0.55f;
constexpr float kGenuineSigma = 0.15f;
constexpr float kImpostorMean = 0.15f;
constexpr float kImpostorSigma = 0.10f;
constexpr float kImpostorMeanJitter = 0.03f;  // Per-probe shift of the mean.
constexpr float kQualityJitter = 0.08f;       // Per-probe genuine shift.
constexpr float kAsymmetryNoise = 0.01f;      // M(i,j) - M(j,i) scale.
constexpr float kSelfScore = 1.0f;

// Distinct streams of the counter-based generator; the subjects are drawn
// from synthetic::kSubjectStream, the next value.
enum Stream : uint64_t {
  kProbeParams = 1,
  kPairScore,
  kPairNoise,
  kDistractorRow,
};
static_assert(kDistractorRow < synthetic::kSubjectStream);

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

struct Options : synthetic::GeneratorFlags {
  int64_t probes = 1000;
  int64_t subjects = 200;
  int64_t distractors = 10000;
  int64_t distractor_rows = -1;  // -1: same as probes.
  int64_t score_levels = 0;
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
  uint64_t key = Key(opt.seed, kDistractorRow, uint64_t(row));
  int64_t n = opt.distractors;
  for (int64_t c = 0; c < n; c += 2) {
    uint64_t bits = synthetic::Draw(key, uint64_t(c >> 1));
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

// WriteMatrixFile writes a rows x cols float32 matrix to `path`, row r given
// by fill(r, ...). Blocks of rows are filled in parallel and written in
// order. Returns false with `error` set when the file cannot be created or a
// write or the close fails.
bool WriteMatrixFile(const std::string& path, int64_t rows, int64_t cols,
                     const Options& opt, const synthetic::RowFiller& fill,
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
  ok = ok && synthetic::WriteRowBlocks(
                 rows, cols, opt, fill, [&](const float* data, int64_t count) {
                   const size_t n = size_t(count);
                   if (std::fwrite(data, sizeof(float), n, file) == n) {
                     return true;
                   }
                   write_errno = errno;
                   return false;
                 });
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

// WriteProbeInfo writes probe_info.json, naming the subject of every probe.
bool WriteProbeInfo(const std::string& path, const ProbeSet& set,
                    std::string* error) {
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    *error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  const std::string text = synthetic::ProbeInfoText(set);
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

const synthetic::Program kProgram = {"make_experiment", kUsage};

Options ParseFlags(int argc, char** argv) {
  Options opt;
  const int64_t kMaxCols = kMaxStep / int64_t(sizeof(float));
  synthetic::ParseCommandLine(
      kProgram, argc, argv, {"symmetric"},
      {"probes", "subjects", "distractors", "distractor_rows", "score_levels"},
      [&](const synthetic::Flag& flag) {
        const std::string& name = flag.name();
        if (name == "symmetric") {
          opt.symmetric = true;
        } else if (name == "probes") {
          opt.probes = flag.Int(0, kMaxCols);
        } else if (name == "subjects") {
          opt.subjects = flag.Int(1, kMaxCount);
        } else if (name == "distractors") {
          opt.distractors = flag.Int(0, kMaxCols);
        } else if (name == "distractor_rows") {
          opt.distractor_rows = flag.Int(0, kMaxCount);
        } else {
          opt.score_levels = flag.Int(0, 1 << 24);
        }
      },
      &opt);
  if (opt.distractor_rows < 0) opt.distractor_rows = opt.probes;
  return opt;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt = ParseFlags(argc, argv);
  auto start = std::chrono::steady_clock::now();
  tbb::global_control parallelism(tbb::global_control::max_allowed_parallelism,
                                  size_t(opt.threads));

  const std::string dir = synthetic::MakeOutputDirectory(kProgram, opt.out);

  ProbeSet set = synthetic::MakeProbeSet(opt.probes, opt.subjects, opt.seed);
  std::vector<RowTraits> traits;
  traits.reserve(size_t(opt.probes));
  for (int64_t i = 0; i < opt.probes; ++i) {
    traits.push_back(TraitsOf(opt.seed, i));
  }
  Quantizer quantizer(opt.score_levels);

  std::string error;
  if (!WriteProbeInfo(dir + "probe_info.json", set, &error)) {
    kProgram.Fail(error);
  }
  bool ok = WriteMatrixFile(
      dir + "probe_scores.mat", opt.probes, opt.probes, opt,
      [&](int64_t row, float* scores) {
        FillProbeRow(opt, set, traits, row, scores);
        quantizer.Apply(scores, opt.probes);
      },
      &error);
  if (!ok) kProgram.Fail(error);
  ok = WriteMatrixFile(
      dir + "distractor_scores.mat", opt.distractor_rows, opt.distractors, opt,
      [&](int64_t row, float* scores) {
        FillDistractorRow(opt, row, scores);
        quantizer.Apply(scores, opt.distractors);
      },
      &error);
  if (!ok) kProgram.Fail(error);

  double megabytes =
      double(opt.probes * opt.probes + opt.distractor_rows * opt.distractors) *
      sizeof(float) / 1e6;
  std::fprintf(stderr,
               "make_experiment: %" PRId64 " probes of %zu subjects (%" PRId64
               " singletons); probe scores %" PRId64 " x %" PRId64
               ", distractor scores %" PRId64 " x %" PRId64 "; %s\n",
               opt.probes, set.names.size(), set.singletons, opt.probes,
               opt.probes, opt.distractor_rows, opt.distractors,
               synthetic::Throughput(megabytes, start).c_str());
  return 0;
}
