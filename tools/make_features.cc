// make_features writes synthetic embeddings of an identification experiment
// into a directory: probe_info.json (the subject of every probe),
// probe_features.npy (probes x dim) and distractor_features.npy
// (distractors x dim), both little-endian float32 arrays in C order in
// NumPy's .npy format, version 1.0, with the header NumPy itself writes.
//
// Model. Each subject has a centre drawn uniformly on the unit sphere. A
// probe is its subject's centre plus Gaussian noise whose standard deviation
// per coordinate is --noise / sqrt(dim): the noise vector then has a length
// of about --noise whatever the dimension, so two probes of one subject have
// a cosine similarity of about 1 / (1 + noise^2) (0.61 at the default 0.8),
// a probe and its own centre about 1 / sqrt(1 + noise^2), and two unrelated
// vectors about 0 with a spread of 1 / sqrt(dim) (0.044 at 512). Rows are
// then scaled to unit length or, with --raw, left unnormalised and scaled by
// a factor drawn log-uniformly in [1/2, 2], so that inner product and
// Euclidean distance rank differently from the cosine. Distractors are
// random directions (identities of their own), except a --hard_distractors
// fraction, drawn like probes around the centre of a random subject of the
// probes. For tests of ties and bad values, --duplicate_rows, --zero_rows
// and --nan_rows turn that many distractor rows (never row 0) into exact
// copies of earlier ordinary rows, all zeros, or rows with one NaN.
//
// Subjects are assigned to probes by the code make_experiment uses
// (tools/synthetic.h), from the same generator stream: for the same
// --probes, --subjects and --seed both programs write the same
// probe_info.json, so features and synthetic scores describe the same
// probes.
//
// Guarantees:
// - Deterministic: every row is a pure function of the seed, the flags and
//   its index (a counter-based generator keyed by seed, stream and row), so
//   the same flags give byte-identical files for any --threads and
//   --block_rows. Without special rows, distractor row r depends only on the
//   seed, --dim, --noise, --raw, --hard_distractors, the subjects and r, so
//   runs that differ only in --distractors agree on the rows they share.
// - Streaming: rows are generated in blocks by parallel tasks and written in
//   order, so memory stays at a few blocks whatever the matrix size (the
//   special rows, when asked for, keep one index each).
// - Atomic: each file is written under a hidden temporary name in DIR and
//   renamed to its final name once complete, so a file under its final name
//   is never partial.
// - Every write is checked; a failure ends the program with a message on
//   standard error and status 1, its temporary file removed. Bad flags print
//   the usage and exit with 2. Standard output stays empty.
#include <sys/stat.h>
#include <unistd.h>

#include <tbb/global_control.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <unordered_set>
#include <vector>

#include "tools/synthetic.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the .npy files are written as little-endian float32 ('<f4') "
              "straight from memory");

namespace {

using synthetic::Key;
using synthetic::kMaxCount;
using synthetic::ProbeSet;
using synthetic::SplitMix64;

constexpr int64_t kMaxDim = 1 << 16;
constexpr float kDefaultNoise = 0.8f;

// Distinct streams of the counter-based generator, clear of the values
// make_experiment uses and of synthetic::kSubjectStream, from which both
// programs draw the subjects.
enum Stream : uint64_t {
  kCentre = 16,
  kProbeNoise,
  kProbeScale,
  kDistractorRow,
  kDistractorScale,
  kHardChoice,
  kSpecialRows,
  kDuplicateSource,
  kNanColumn,
};
static_assert(kCentre > synthetic::kSubjectStream);

// AddNormals adds `sigma` times n standard normal variates drawn from `key`
// to out[0..n).
void AddNormals(uint64_t key, float sigma, float* out, int64_t n) {
  const float* knots = synthetic::Normals().knots;
  for (int64_t c = 0; c < n; c += 2) {
    uint64_t bits = synthetic::Draw(key, uint64_t(c >> 1));
    out[c] += sigma * synthetic::StandardNormal(knots, uint32_t(bits));
    if (c + 1 < n) {
      out[c + 1] += sigma * synthetic::StandardNormal(knots, bits >> 32);
    }
  }
}

// ScaleToUnit scales out[0..n) to unit Euclidean length (summed in double).
// A zero vector, which the generator draws with negligible probability,
// stays zero.
void ScaleToUnit(float* out, int64_t n) {
  double sum = 0;
  for (int64_t c = 0; c < n; ++c) sum += double(out[c]) * out[c];
  if (sum == 0) return;
  const float scale = static_cast<float>(1.0 / std::sqrt(sum));
  for (int64_t c = 0; c < n; ++c) out[c] *= scale;
}

const char kUsage[] =
    "Usage: make_features --out DIR [options]\n"
    "Writes probe_info.json, probe_features.npy (probes x dim) and\n"
    "distractor_features.npy (distractors x dim), float32, into DIR\n"
    "(created if missing), deterministically from the flags.\n"
    "  --out DIR               output directory (required)\n"
    "  --probes N              number of probes (default 1000)\n"
    "  --subjects N            at most this many subjects (default 200)\n"
    "  --distractors N         distractor rows (default 10000)\n"
    "  --dim N                 dimensions of every vector (default 512)\n"
    "  --seed N                generator seed (default 1)\n"
    "  --noise X               length of a probe's noise next to its unit\n"
    "                          subject centre: N(0, X^2/dim) per coordinate;\n"
    "                          two probes of a subject have cosine about\n"
    "                          1/(1+X^2), others about 0 (default 0.8)\n"
    "  --raw                   leave rows unnormalised, each scaled by a\n"
    "                          random factor in [1/2, 2]\n"
    "  --hard_distractors F    fraction of distractors drawn near a random\n"
    "                          subject's centre like its probes (default 0)\n"
    "  --duplicate_rows K      make K distractor rows exact copies of\n"
    "                          earlier rows (default 0)\n"
    "  --zero_rows K           make K distractor rows all zeros (default 0)\n"
    "  --nan_rows K            put a NaN in one element of K distractor\n"
    "                          rows (default 0)\n"
    "  --threads N             worker threads (default: hardware)\n"
    "  --block_rows N          rows per generated block (default: ~8 MB)\n";

const synthetic::Program kProgram = {"make_features", kUsage};

struct Options : synthetic::GeneratorFlags {
  int64_t probes = 1000;
  int64_t subjects = 200;
  int64_t distractors = 10000;
  int64_t dim = 512;
  float noise = kDefaultNoise;
  bool raw = false;
  double hard_distractors = 0;  // Fraction of distractors near a subject.
  int64_t duplicate_rows = 0;
  int64_t zero_rows = 0;
  int64_t nan_rows = 0;
};

enum class RowKind : uint8_t { kOrdinary, kZero, kNan, kDuplicate };

// SpecialRows are the distractor rows that --zero_rows, --nan_rows and
// --duplicate_rows ask for: distinct rows drawn uniformly from [1,
// distractors), their kinds shuffled among them. Row 0 is always ordinary,
// so every duplicate has an ordinary row before it to copy.
class SpecialRows {
 public:
  explicit SpecialRows(const Options& opt) : seed_(opt.seed) {
    const int64_t total = opt.zero_rows + opt.nan_rows + opt.duplicate_rows;
    if (total == 0) return;
    // Floyd's sample of `total` distinct values of [1, distractors).
    SplitMix64 rng(Key(opt.seed, kSpecialRows, 0));
    std::unordered_set<int64_t> chosen;
    for (int64_t j = opt.distractors - 1 - total; j < opt.distractors - 1;
         ++j) {
      int64_t t = int64_t(rng.Below(uint64_t(j + 1)));
      chosen.insert(chosen.count(1 + t) ? 1 + j : 1 + t);
    }
    rows_.assign(chosen.begin(), chosen.end());
    std::sort(rows_.begin(), rows_.end());
    kinds_.insert(kinds_.end(), opt.zero_rows, RowKind::kZero);
    kinds_.insert(kinds_.end(), opt.nan_rows, RowKind::kNan);
    kinds_.insert(kinds_.end(), opt.duplicate_rows, RowKind::kDuplicate);
    for (int64_t i = total - 1; i > 0; --i) {
      std::swap(kinds_[i], kinds_[rng.Below(uint64_t(i + 1))]);
    }
  }

  RowKind KindOf(int64_t row) const {
    auto it = std::lower_bound(rows_.begin(), rows_.end(), row);
    return it != rows_.end() && *it == row ? kinds_[it - rows_.begin()]
                                           : RowKind::kOrdinary;
  }

  // SourceOf returns the ordinary row that duplicate `row` copies, uniform
  // among the ordinary rows before it (row 0 is one).
  int64_t SourceOf(int64_t row) const {
    const int64_t special_below =
        std::lower_bound(rows_.begin(), rows_.end(), row) - rows_.begin();
    SplitMix64 rng(Key(seed_, kDuplicateSource, uint64_t(row)));
    const int64_t j = int64_t(rng.Below(uint64_t(row - special_below)));
    // The j-th ordinary row is j + i, where i counts the special rows
    // below it: those with rows_[i] - i <= j, a prefix since rows_[i] - i
    // never decreases.
    int64_t lo = 0, hi = special_below;
    while (lo < hi) {
      const int64_t mid = (lo + hi) / 2;
      if (rows_[mid] - mid <= j) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return j + lo;
  }

 private:
  uint64_t seed_;
  std::vector<int64_t> rows_;   // Sorted.
  std::vector<RowKind> kinds_;  // Kind of rows_[i].
};

// Generator fills rows of both files; every row is a pure function of the
// options and its index.
class Generator {
 public:
  Generator(const Options& opt, const ProbeSet& set)
      : opt_(opt),
        set_(set),
        special_(opt),
        sigma_(opt.noise / std::sqrt(float(opt.dim))) {}

  void ProbeRow(int64_t i, float* out) const {
    NearCentre(set_.subject_of[size_t(i)],
               Key(opt_.seed, kProbeNoise, uint64_t(i)), out);
    Finish(Key(opt_.seed, kProbeScale, uint64_t(i)), out);
  }

  void DistractorRow(int64_t r, float* out) {
    switch (special_.KindOf(r)) {
      case RowKind::kOrdinary:
        OrdinaryDistractor(r, out);
        hard_rows_ += IsHard(r);
        break;
      case RowKind::kZero:
        std::fill(out, out + opt_.dim, 0.0f);
        break;
      case RowKind::kNan: {
        OrdinaryDistractor(r, out);
        hard_rows_ += IsHard(r);
        SplitMix64 rng(Key(opt_.seed, kNanColumn, uint64_t(r)));
        out[rng.Below(uint64_t(opt_.dim))] =
            std::numeric_limits<float>::quiet_NaN();
        break;
      }
      case RowKind::kDuplicate:
        OrdinaryDistractor(special_.SourceOf(r), out);
        break;
    }
  }

  // Distractor rows drawn near a subject's centre, among the ordinary and
  // NaN rows generated so far (duplicates are not counted again).
  int64_t hard_rows() const { return hard_rows_.load(); }

 private:
  // Subject centre `s`, of unit length, plus noise drawn from `key`.
  void NearCentre(int64_t s, uint64_t key, float* out) const {
    std::fill(out, out + opt_.dim, 0.0f);
    AddNormals(Key(opt_.seed, kCentre, uint64_t(s)), 1.0f, out, opt_.dim);
    ScaleToUnit(out, opt_.dim);
    AddNormals(key, sigma_, out, opt_.dim);
  }

  // Unit length, or with --raw a factor log-uniform in [1/2, 2] drawn from
  // `key` on top of the row's own length.
  void Finish(uint64_t key, float* out) const {
    if (!opt_.raw) {
      ScaleToUnit(out, opt_.dim);
      return;
    }
    const float factor =
        static_cast<float>(std::exp2(2.0 * SplitMix64(key).Uniform() - 1.0));
    for (int64_t c = 0; c < opt_.dim; ++c) out[c] *= factor;
  }

  // The subject a hard distractor is drawn near, or -1 for a random
  // direction. The choice is a function of (seed, r) alone.
  int64_t HardSubject(int64_t r) const {
    if (opt_.hard_distractors <= 0) return -1;
    SplitMix64 rng(Key(opt_.seed, kHardChoice, uint64_t(r)));
    if (!(rng.Uniform() < opt_.hard_distractors)) return -1;
    return int64_t(rng.Below(uint64_t(set_.names.size())));
  }
  bool IsHard(int64_t r) const { return HardSubject(r) >= 0; }

  void OrdinaryDistractor(int64_t r, float* out) const {
    const uint64_t key = Key(opt_.seed, kDistractorRow, uint64_t(r));
    if (int64_t s = HardSubject(r); s >= 0) {
      NearCentre(s, key, out);
    } else {
      std::fill(out, out + opt_.dim, 0.0f);
      AddNormals(key, 1.0f, out, opt_.dim);
      ScaleToUnit(out, opt_.dim);
    }
    Finish(Key(opt_.seed, kDistractorScale, uint64_t(r)), out);
  }

  const Options& opt_;
  const ProbeSet& set_;
  const SpecialRows special_;
  const float sigma_;  // Noise per coordinate.
  std::atomic<int64_t> hard_rows_{0};
};

// NpyHeader returns the .npy version 1.0 header of a rows x cols C-order
// float32 array, byte for byte as NumPy writes it: the dict padded with
// spaces and a newline so that the data starts at a multiple of 64 bytes.
std::string NpyHeader(int64_t rows, int64_t cols) {
  std::string dict = "{'descr': '<f4', 'fortran_order': False, 'shape': (" +
                     std::to_string(rows) + ", " + std::to_string(cols) +
                     "), }";
  const size_t prefix = 10;  // Magic, version, 2-byte length.
  const size_t pad = 64 - (prefix + dict.size() + 1) % 64;
  dict.append(pad, ' ');
  dict += '\n';
  std::string bytes("\x93NUMPY\x01\x00", 8);
  bytes += char(dict.size() & 0xFF);
  bytes += char(dict.size() >> 8);
  return bytes + dict;
}

// OutputFile is a file being written under a hidden temporary name in the
// directory of `path`, which Commit renames to `path` once every byte is
// written. Destroyed uncommitted, it removes the temporary.
class OutputFile {
 public:
  explicit OutputFile(const std::string& path, mode_t mode) : path_(path) {
    std::filesystem::path p(path);
    temp_ =
        (p.parent_path() / ("." + p.filename().string() + ".XXXXXX")).string();
    int fd = mkstemp(temp_.data());
    if (fd < 0) {
      error_ = "cannot create a temporary file for " + path + ": " +
               std::strerror(errno);
      temp_.clear();
      return;
    }
    // mkstemp makes the file private; the final file gets the mode any
    // new file gets.
    if (fchmod(fd, mode) != 0 || (file_ = fdopen(fd, "wb")) == nullptr) {
      error_ = "cannot open " + temp_ + ": " + std::strerror(errno);
      close(fd);
    }
  }
  ~OutputFile() {
    if (file_ != nullptr) std::fclose(file_);
    if (!temp_.empty()) std::remove(temp_.c_str());
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  FILE* file() const { return file_; }
  bool ok() const { return file_ != nullptr; }
  const std::string& error() const { return error_; }

  // Write writes `n` bytes; false (with error()) on failure.
  bool Write(const void* data, size_t n) {
    if (std::fwrite(data, 1, n, file_) == n) return true;
    Failed("cannot write " + path_);
    return false;
  }

  // Commit flushes and closes the file and renames it to its final name.
  bool Commit() {
    errno = 0;
    bool written = std::fflush(file_) == 0;
    const int flush_errno = errno;
    written = std::fclose(file_) == 0 && written;
    file_ = nullptr;
    if (!written) {
      if (flush_errno != 0) errno = flush_errno;
      return Failed("cannot write " + path_);
    }
    if (std::rename(temp_.c_str(), path_.c_str()) != 0) {
      return Failed("cannot rename " + temp_ + " to " + path_);
    }
    temp_.clear();
    return true;
  }

 private:
  bool Failed(const std::string& what) {
    if (error_.empty()) {
      error_ = what + ": " + (errno != 0 ? std::strerror(errno) : "failed");
    }
    return false;
  }

  std::string path_, temp_, error_;
  FILE* file_ = nullptr;
};

// WriteNpyFile writes a rows x cols float32 .npy file to `path`, row r given
// by fill(r, ...). Blocks of rows are filled in parallel and written in
// order. Returns false with `error` set when the file cannot be created,
// written or renamed.
bool WriteNpyFile(const std::string& path, mode_t mode, int64_t rows,
                  int64_t cols, const Options& opt,
                  const synthetic::RowFiller& fill, std::string* error) {
  OutputFile out(path, mode);
  const std::string header = NpyHeader(rows, cols);
  bool ok = out.ok() && out.Write(header.data(), header.size());
  ok = ok && synthetic::WriteRowBlocks(
                 rows, cols, opt, fill, [&](const float* data, int64_t count) {
                   return out.Write(data, size_t(count) * sizeof(float));
                 });
  ok = ok && out.Commit();
  if (!ok) *error = out.error();
  return ok;
}

// WriteProbeInfo writes probe_info.json, naming the subject of every probe
// as make_experiment does.
bool WriteProbeInfo(const std::string& path, mode_t mode, const ProbeSet& set,
                    std::string* error) {
  const std::string text = synthetic::ProbeInfoText(set);
  OutputFile out(path, mode);
  if (out.ok() && out.Write(text.data(), text.size()) && out.Commit()) {
    return true;
  }
  *error = out.error();
  return false;
}

Options ParseFlags(int argc, char** argv) {
  Options opt;
  synthetic::ParseCommandLine(
      kProgram, argc, argv, {"raw"},
      {"probes", "subjects", "distractors", "dim", "noise", "hard_distractors",
       "duplicate_rows", "zero_rows", "nan_rows"},
      [&](const synthetic::Flag& flag) {
        const std::string& name = flag.name();
        if (name == "raw") {
          opt.raw = true;
        } else if (name == "probes") {
          opt.probes = flag.Int(0, kMaxCount);
        } else if (name == "subjects") {
          opt.subjects = flag.Int(1, kMaxCount);
        } else if (name == "distractors") {
          opt.distractors = flag.Int(0, kMaxCount);
        } else if (name == "dim") {
          opt.dim = flag.Int(1, kMaxDim);
        } else if (name == "noise") {
          opt.noise = float(flag.Double(0, 1000));
        } else if (name == "hard_distractors") {
          opt.hard_distractors = flag.Double(0, 1);
        } else if (name == "duplicate_rows") {
          opt.duplicate_rows = flag.Int(0, kMaxCount);
        } else if (name == "zero_rows") {
          opt.zero_rows = flag.Int(0, kMaxCount);
        } else {
          opt.nan_rows = flag.Int(0, kMaxCount);
        }
      },
      &opt);
  const int64_t special = opt.duplicate_rows + opt.zero_rows + opt.nan_rows;
  if (special > 0 && special >= opt.distractors) {
    kProgram.UsageError(
        "--duplicate_rows, --zero_rows and --nan_rows add up to " +
        std::to_string(special) +
        ", which must be below --distractors"
        " (row 0 stays ordinary)");
  }
  if (opt.hard_distractors > 0 && opt.probes == 0) {
    kProgram.UsageError(
        "--hard_distractors needs probes: their subjects are the ones "
        "hard distractors are drawn near");
  }
  return opt;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt = ParseFlags(argc, argv);
  auto start = std::chrono::steady_clock::now();
  // The mode a new file gets under the current umask (read before any
  // thread starts, since reading it means setting it).
  const mode_t mask = umask(0);
  umask(mask);
  const mode_t mode = 0666 & ~mask;
  tbb::global_control parallelism(tbb::global_control::max_allowed_parallelism,
                                  size_t(opt.threads));

  const std::string dir = synthetic::MakeOutputDirectory(kProgram, opt.out);

  const ProbeSet set =
      synthetic::MakeProbeSet(opt.probes, opt.subjects, opt.seed);
  Generator generator(opt, set);

  std::string error;
  if (!WriteProbeInfo(dir + "probe_info.json", mode, set, &error)) {
    kProgram.Fail(error);
  }
  bool ok = WriteNpyFile(
      dir + "probe_features.npy", mode, opt.probes, opt.dim, opt,
      [&](int64_t row, float* out) { generator.ProbeRow(row, out); }, &error);
  if (!ok) kProgram.Fail(error);
  ok = WriteNpyFile(
      dir + "distractor_features.npy", mode, opt.distractors, opt.dim, opt,
      [&](int64_t row, float* out) { generator.DistractorRow(row, out); },
      &error);
  if (!ok) kProgram.Fail(error);

  double megabytes =
      double(opt.probes + opt.distractors) * opt.dim * sizeof(float) / 1e6;
  std::fprintf(stderr,
               "make_features: %" PRId64 " probes of %zu subjects (%" PRId64
               " singletons), %" PRId64 " distractors (%" PRId64
               " near a subject, %" PRId64 " duplicate, %" PRId64
               " zero, %" PRId64 " with a NaN), dim %" PRId64 "%s; %s\n",
               opt.probes, set.names.size(), set.singletons, opt.distractors,
               generator.hard_rows(), opt.duplicate_rows, opt.zero_rows,
               opt.nan_rows, opt.dim, opt.raw ? ", raw" : "",
               synthetic::Throughput(megabytes, start).c_str());
  return 0;
}
