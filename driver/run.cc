#include "driver/run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <future>
#include <new>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "driver/feature_pass.h"
#include "driver/heap_pages.h"
#include "driver/options.h"
#include "driver/progress.h"
#include "driver/score_pass.h"
#include "features/feature_scores.h"
#include "matio/mat_io.h"
#include "matio/mat_stream.h"
#include "matio/score_matrix.h"
#include "metrics/evaluation.h"
#include "metrics/roc.h"
#include "probes/probe_info.h"
#include "results/result_files.h"
#include "results/summary_text.h"

namespace {

constexpr char kUsage[] =
    "Usage: <distractor_scores_filename> <probe_scores_filename> "
    "<probe_info_filename> <num_distractors> <results_filename> "
    "<match_results_filename>";

// ParseNumDistractors converts the argument like strtol (base 10, leading
// digits only) and clamps it to the 32-bit range, so that a huge count
// means "every column" instead of wrapping around. Returns false for a
// negative count.
bool ParseNumDistractors(const char* text, int32_t* num_distractors) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (end == text) {
    std::fprintf(stderr, "num_distractors \"%s\" is not a number\n", text);
    return false;
  }
  if (*end != '\0') {
    std::fprintf(stderr,
                 "warning: num_distractors \"%s\" is not a plain number; "
                 "using %ld\n",
                 text, value);
  }
  if (value < 0) {
    std::fprintf(stderr, "num_distractors must not be negative (got %s)\n",
                 text);
    return false;
  }
  *num_distractors =
      value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
  return true;
}

// CheckScoreMatrix returns true iff a matrix of `type` holds 32-bit floats
// (or nothing) and has at least `min_rows` rows and `min_cols` columns;
// otherwise it says on standard error what is wrong with the file.
bool CheckScoreMatrix(const std::string& path, const char* what, int rows,
                      int cols, int type, int64_t min_rows, int64_t min_cols) {
  if (int64_t{rows} * cols > 0 && type != CV_32FC1) {
    std::fprintf(stderr,
                 "%s: the %s must hold 32-bit floats (type code 5), not "
                 "type code %d\n",
                 path.c_str(), what, type);
    return false;
  }
  if (rows < min_rows || cols < min_cols) {
    std::fprintf(
        stderr,
        "%s: the %s is %d x %d, but the probe info file names %lld "
        "probes, so it needs at least %lld rows%s\n",
        path.c_str(), what, rows, cols, static_cast<long long>(min_rows),
        static_cast<long long>(min_rows), min_cols > 0 ? " and columns" : "");
    return false;
  }
  return true;
}

// The result files, prepared before the evaluation.
struct ResultFiles {
  PendingTextFile matches;
  PendingTextFile results;
  PendingTextFile summary;  // Opened only when a summary is asked for.
};

// Where a path leads: an existing file by its device and inode, any other
// path by the real directory it would be created in and its name.
struct FileIdentity {
  bool exists = false;
  bool regular = false;
  dev_t device = 0;
  ino_t inode = 0;
  std::string path;
};

FileIdentity IdentityOf(const std::string& path) {
  FileIdentity id;
  struct stat status;
  if (stat(path.c_str(), &status) == 0) {
    id.exists = true;
    id.regular = S_ISREG(status.st_mode);
    id.device = status.st_dev;
    id.inode = status.st_ino;
    return id;
  }
  const size_t slash = path.rfind('/');
  const std::string directory =
      slash == std::string::npos ? "." : path.substr(0, slash + 1);
  char* real = realpath(directory.c_str(), nullptr);
  id.path = std::string(real != nullptr ? real : directory) + "/" +
            path.substr(slash == std::string::npos ? 0 : slash + 1);
  std::free(real);
  return id;
}

bool SameFile(const FileIdentity& a, const FileIdentity& b) {
  if (a.exists != b.exists) return false;
  return a.exists ? a.device == b.device && a.inode == b.inode
                  : a.path == b.path;
}

// CheckResultPaths returns true iff no result path (the summary's
// included, when asked for) names an input file, and no two name the same
// file (they may name one device, which is written through). Otherwise it
// says which paths collide.
bool CheckResultPaths(const RunInputs& in,
                      const std::string& probe_info_filename) {
  const std::pair<const char*, const std::string*> inputs[] = {
      {"the distractor score file", &in.distractor_scores_filename},
      {"the probe score file", &in.probe_scores_filename},
      {"the probe info file", &probe_info_filename}};
  std::vector<std::pair<const char*, const std::string*>> results = {
      {"results", &in.results_filename},
      {"match results", &in.match_results_filename}};
  if (!in.summary_filename.empty()) {
    results.emplace_back("summary", &in.summary_filename);
  }
  std::vector<FileIdentity> result_ids;
  for (const auto& [which, result] : results) {
    result_ids.push_back(IdentityOf(*result));
    for (const auto& [what, input] : inputs) {
      if (*result == *input ||
          SameFile(result_ids.back(), IdentityOf(*input))) {
        std::fprintf(stderr,
                     "The %s file %s is %s %s; it would be "
                     "overwritten\n",
                     which, result->c_str(), what, input->c_str());
        return false;
      }
    }
  }
  for (size_t a = 0; a < results.size(); ++a) {
    const bool device = result_ids[a].exists && !result_ids[a].regular;
    for (size_t b = a + 1; b < results.size() && !device; ++b) {
      if (*results[a].second == *results[b].second ||
          SameFile(result_ids[a], result_ids[b])) {
        std::fprintf(stderr,
                     "The %s file %s and the %s file %s are the same file; "
                     "one would overwrite the other\n",
                     results[a].first, results[a].second->c_str(),
                     results[b].first, results[b].second->c_str());
        return false;
      }
    }
  }
  return true;
}

// ReportUnwritable says that the `which` file at `path` could not be
// written and returns the status 1.
int ReportUnwritable(const char* which, const std::string& path,
                     const std::string& error) {
  std::fprintf(stderr, "Could not write the %s file %s (%s)\n", which,
               path.c_str(), error.c_str());
  return 1;
}

// OpenResultFiles prepares both result files, so that a directory that is
// missing or not writable ends the run before any score is read.
bool OpenResultFiles(const RunInputs& in, ResultFiles* files) {
  std::string error;
  if (!files->matches.Open(in.match_results_filename, &error)) {
    ReportUnwritable("match results", in.match_results_filename, error);
    return false;
  }
  if (!files->results.Open(in.results_filename, &error)) {
    ReportUnwritable("results", in.results_filename, error);
    return false;
  }
  if (!in.summary_filename.empty() &&
      !files->summary.Open(in.summary_filename, &error)) {
    ReportUnwritable("summary", in.summary_filename, error);
    return false;
  }
  return true;
}

// NoteChangedValues says on standard error how many of the `read` float64
// values of a .npy file changed on becoming float32, if any did.
void NoteChangedValues(const std::string& path, int64_t changed, int64_t read) {
  if (changed == 0) return;
  std::fflush(stdout);
  std::fprintf(stderr,
               "fuse_results: note: %lld of %lld float64 values of %s are "
               "not exactly representable as float32 and changed (rounded, "
               "or infinite beyond float32's range)\n",
               static_cast<long long>(changed), static_cast<long long>(read),
               path.c_str());
}

// OpenDistractors opens the distractor file and reads its header; says why
// not and returns false when it cannot.
bool OpenDistractors(const RunInputs& in, MatRowStream* stream) {
  bool opened = false;
  std::string error;
  if (stream->Open(in.distractor_scores_filename, &opened, &error)) return true;
  ReportUnloadableDistractors(in, error);
  return false;
}

// A score matrix file as LoadScoreMatrix left it.
struct LoadedScores {
  bool usable = false;
  cv::Mat matrix;
  int64_t changed = 0;
  std::string error;
};

LoadedScores LoadScores(const std::string& path) {
  LoadedScores loaded;
  loaded.usable =
      LoadScoreMatrix(path, &loaded.matrix, &loaded.changed, &loaded.error);
  return loaded;
}

// The largest probe score file read ahead: a run that ends before it needs
// the scores (a probe info file that cannot be used, say) waits for the
// whole reading, so that no thread outlives the reading's owner.
constexpr int64_t kReadAheadBytes = int64_t{256} << 20;

// RegularFileBytes returns the size of the regular file at `path`, or -1
// for anything else (a pipe, a device, a path that leads nowhere). Only a
// regular file is opened or read ahead of its turn: opening a pipe waits
// for its writer, and reading from it takes bytes the loading needs.
int64_t RegularFileBytes(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return -1;
  return status.st_size;
}

// OpenProbeRows returns the probe score file at `path`, a regular file,
// open for reading rows with positioned reads, its header read, when it
// holds 32-bit floats stored row by row; otherwise (or when it cannot be
// opened or its header is wrong) null, and the file is loaded whole, which
// says what is wrong with it.
std::shared_ptr<const MatRowStream> OpenProbeRows(const std::string& path) {
  auto stream = std::make_shared<MatRowStream>();
  bool opened = false;
  std::string error;
  if (!stream->Open(path, &opened, &error) || !stream->CanDeferReads() ||
      stream->header().type != CV_32FC1) {
    return nullptr;
  }
  return stream;
}

// ReportUnloadableProbeScores says why the probe score file cannot be
// used: `error` on standard error, the failure line on standard output.
void ReportUnloadableProbeScores(const RunInputs& in,
                                 const std::string& error) {
  std::fprintf(stderr, "%s: %s\n", in.probe_scores_filename.c_str(),
               error.c_str());
  std::puts("Could not load probe scores!");
}

// LoadWholeProbeScores loads the probe score file whole (the reading
// `*early` started, if any), scoring features when asked to, into
// in->probe_scores (and in->scorer), and sets `*shape` to the score
// matrix's. Returns false after saying why it cannot.
bool LoadWholeProbeScores(const RunOptions& options,
                          std::future<LoadedScores>* early, RunInputs* in,
                          MatHeader* shape) {
  LoadedScores scores_read =
      early->valid() ? early->get() : LoadScores(in->probe_scores_filename);
  std::string& error = scores_read.error;
  const cv::Mat& loaded = scores_read.matrix;
  bool usable = scores_read.usable;
  if (usable && options.features) {
    error =
        FeatureFileProblem(loaded.rows, loaded.cols, loaded.type(), -1, false);
    usable = error.empty();
  }
  if (!usable) {
    ReportUnloadableProbeScores(*in, error);
    return false;
  }
  NoteChangedValues(in->probe_scores_filename, scores_read.changed,
                    int64_t{loaded.rows} * loaded.cols);
  if (options.features) {
    in->scorer = std::make_shared<FeatureScorer>(loaded, options.metric);
    in->probe_scores = in->scorer->ScoreMatrix(loaded);
  } else {
    in->probe_scores = loaded;
  }
  shape->rows = in->probe_scores.rows;
  shape->cols = in->probe_scores.cols;
  shape->type = in->probe_scores.type();
  return true;
}

// LoadFirstInputs handles the command line, the probe info file, the
// result files and the probe score matrix (or, see ProbeScoresIn, only
// its header). Returns false when the run must end, with its status in
// `*status`, after saying why (or after answering --help or --version,
// with status 0).
bool LoadFirstInputs(int argc, char** argv, ProbeScoresIn how, RunInputs* in,
                     ResultFiles* files, int* status) {
  *status = 1;
  RunOptions options;
  switch (ReadCommandLine(argc, argv, &options)) {
    case CommandLine::kDone:
      *status = 0;
      return false;
    case CommandLine::kRefused:
      return false;
    case CommandLine::kRun:
      break;
  }
  const std::vector<std::string>& arguments = options.arguments;
  if (arguments.size() != 6) {
    std::puts(kUsage);
    return false;
  }
  in->distractor_scores_filename = arguments[0];
  in->probe_scores_filename = arguments[1];
  const std::string probe_info_filename = arguments[2];
  in->results_filename = arguments[4];
  in->match_results_filename = arguments[5];
  in->summary_filename = options.summary_filename;
  in->summary_request = options.request;
  if (!ParseNumDistractors(arguments[3].c_str(), &in->num_distractors) ||
      !CheckResultPaths(*in, probe_info_filename)) {
    return false;
  }

  // The probe scores are read row by row while the evaluation is prepared
  // where the route and the file allow it; otherwise whole, while the
  // probe info is read and parsed. On every way out, the future's
  // destructor waits for that reading.
  const int64_t probe_file_bytes = RegularFileBytes(in->probe_scores_filename);
  const std::shared_ptr<const MatRowStream> probe_rows =
      how == ProbeScoresIn::kRows && !options.features && probe_file_bytes >= 0
          ? OpenProbeRows(in->probe_scores_filename)
          : nullptr;
  std::future<LoadedScores> early_scores;
  if (probe_rows == nullptr && probe_file_bytes >= 0 &&
      probe_file_bytes <= kReadAheadBytes) {
    early_scores =
        std::async(std::launch::async, LoadScores, in->probe_scores_filename);
  }
  bool opened = false;
  std::string info_error;
  if (!ReadProbeInfo(probe_info_filename, &in->probe_count, &in->subject_map,
                     &in->probe_names, &opened, &info_error)) {
    ReportUnusableInput(probe_info_filename, opened, info_error);
    return false;
  }
  std::printf("Loaded %d probes spanning %d classes\n", in->probe_count,
              static_cast<int>(in->subject_map.size()));
  in->times.Mark("probe info");
  if (in->probe_count == 0) {
    // The file is parsed again, by a function that ends the program if it
    // fails: the reading ahead must be over by then.
    if (early_scores.valid()) early_scores.wait();
    std::fflush(stdout);
    std::fprintf(stderr, "%s: the probe info file names no probes: %s\n",
                 probe_info_filename.c_str(),
                 WhyNoProbes(ParseJsonOrDie(probe_info_filename)).c_str());
    return false;
  }
  if (!OpenResultFiles(*in, files)) return false;
  in->times.Mark("opening results");

  std::printf("Loading from %s\n", in->probe_scores_filename.c_str());
  MatHeader shape;
  if (probe_rows != nullptr) {
    in->probe_rows = probe_rows;
    shape = probe_rows->header();
  } else if (!LoadWholeProbeScores(options, &early_scores, in, &shape)) {
    return false;
  }
  in->times.Mark("probe scores");
  std::printf("Probe score matrix size: %d %d\n", shape.rows, shape.cols);
  if (!CheckScoreMatrix(in->probe_scores_filename, "probe score matrix",
                        shape.rows, shape.cols, shape.type, in->probe_count,
                        in->probe_count)) {
    return false;
  }
  // Extra rows or columns are most often a sign of swapped or mismatched
  // files, so they are pointed out; the run goes on with the part the
  // probes name.
  if (shape.rows != in->probe_count || shape.cols != in->probe_count) {
    std::fflush(stdout);
    std::fprintf(stderr,
                 "warning: %s: the probe score matrix is %d x %d, but the "
                 "probe info file names %d probes; only its top-left %d x %d "
                 "part is used\n",
                 in->probe_scores_filename.c_str(), shape.rows, shape.cols,
                 in->probe_count, in->probe_count, in->probe_count);
  }
  return true;
}

// SaveResults completes both result files and only then replaces both,
// back to back: when either cannot be completed, neither replaces its old
// file (a device or FIFO written straight through excepted), the failure
// is reported and the status is 1.
int SaveResults(const RunInputs& in, const RunOutputs& out,
                ResultFiles* files) {
  std::string error;
  if (!WriteMatchesFile(out.matches.top_distractors, out.matches.mate_ranks,
                        &files->matches, &error)) {
    return ReportUnwritable("match results", in.match_results_filename, error);
  }
  if (!files->results.Write(
          CMCAndROCText(out.cmc, out.traditional_cmc, out.roc), &error)) {
    return ReportUnwritable("results", in.results_filename, error);
  }
  const bool summary = !in.summary_filename.empty();
  if (summary) {
    OperatingPoints points;
    ComputeOperatingPoints(out.facts, in.summary_request, &points);
    if (!files->summary.Write(SummaryText(points), &error)) {
      return ReportUnwritable("summary", in.summary_filename, error);
    }
  }
  PendingTextFile* const all[] = {&files->matches, &files->results,
                                  &files->summary};
  size_t failed = 0;
  if (!CommitTogether(all, summary ? 3 : 2, &failed, &error)) {
    switch (failed) {
      case 0:
        return ReportUnwritable("match results", in.match_results_filename,
                                error);
      case 1:
        return ReportUnwritable("results", in.results_filename, error);
      default:
        return ReportUnwritable("summary", in.summary_filename, error);
    }
  }
  return 0;
}

// ReserveStandardDescriptors puts /dev/null, read only, on each of the
// standard descriptors that is closed, so that no file the run opens takes
// its place (and receives the summary lines); writes to it fail as writes
// to the closed descriptor would.
void ReserveStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int reserved = open("/dev/null", O_RDONLY);
    if (reserved >= 0 && reserved != fd) {
      dup2(reserved, fd);
      close(reserved);
    }
  }
}

// StandardOutputWritten returns true iff every line written to standard
// output reached it (or its reader closed the pipe, whose end the run need
// not report); otherwise it says so on standard error.
bool StandardOutputWritten() {
  errno = 0;
  const bool flushed = std::fflush(stdout) == 0;
  if (flushed && !std::ferror(stdout)) return true;
  if (errno == EPIPE) return true;
  std::fprintf(stderr, "fuse_results: write error on standard output%s%s\n",
               errno != 0 ? ": " : "", errno != 0 ? std::strerror(errno) : "");
  return false;
}

// Run runs the program; whatever a library throws (an allocation that
// fails, above all) ends it with one line and status 1, never with an
// abort, and no result file replaced.
int Run(int argc, char** argv, const Route& route, ProbeScoresIn how) {
  try {
    RunInputs in;
    ResultFiles files;
    int status = 1;
    if (!LoadFirstInputs(argc, argv, how, &in, &files, &status)) return status;
    RunOutputs out;
    if (!route(&in, &out)) return 1;
    const int saved = SaveResults(in, out, &files);
    in.times.Mark("writing results");
    in.times.Print(stderr);
    return saved;
  } catch (const std::bad_alloc&) {
    std::fflush(stdout);
    std::fprintf(stderr, "fuse_results: out of memory\n");
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "fuse_results: %s\n", e.what());
  }
  return 1;
}

}  // namespace

int RunFuseResults(int argc, char** argv, const Route& route,
                   ProbeScoresIn how) {
  // Before any thread of the run starts: the BLAS library's idle workers
  // would otherwise share the cores with them, and the heap is set up once.
  UseOneBlasThread();
  BackHeapWithHugePages();
  ReserveStandardDescriptors();
  RemoveTemporariesOnSignals();
  const int status = Run(argc, argv, route, how);
  return StandardOutputWritten() ? status : 1;
}

bool CheckDistractorMatrix(int rows, int cols, int type, RunInputs* in) {
  std::printf("distractor score matrix size: %d %d\n", rows, cols);
  if (!CheckScoreMatrix(in->distractor_scores_filename,
                        "distractor score matrix", rows, cols, type,
                        in->probe_count, 0)) {
    return false;
  }
  if (in->num_distractors > cols) in->num_distractors = cols;
  std::puts("Done loading. Time to compute some stats!");
  return true;
}

void ReportUnloadableDistractors(const RunInputs& in,
                                 const std::string& error) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s%s%s\n", in.distractor_scores_filename.c_str(),
               in.distractor_reader.c_str(),
               in.distractor_reader.empty() ? "" : ": ", error.c_str());
  std::puts("Couldn't load distractor scores!");
}

namespace {

// What a pass reports besides its answers.
struct PassReport {
  int64_t changed_values = 0;  // float64 values that became other floats,
  int64_t values_read = 0;     // of these read.
  int64_t bytes_total = 0;     // Input bytes of the pass.
};

// A pass that answers `plan`, reporting its progress.
using PassFunction = std::function<bool(
    const PassPlan& plan, const PassProgress& progress, PassAnswers* answers,
    PassReport* report, std::string* error)>;

bool EvaluateThroughPass(int32_t rows, int64_t row_bytes,
                         const PassFunction& pass, RunInputs* in,
                         RunOutputs* out);

}  // namespace

bool EvaluateInOnePass(RunInputs* in, RunOutputs* out) {
  // The pass's own stretch, from its first read to consuming its last
  // byte, as its progress tells it.
  StageTimes* const times = &in->times;
  const auto timed = [times](const PassProgress& progress) -> PassProgress {
    return [times, &progress](int64_t done, int64_t total) {
      if (done == 0) times->ReadingStarts();
      if (done >= total) times->ReadingEnds();
      return progress(done, total);
    };
  };
  if (in->scorer != nullptr) {
    return EvaluateFromFeaturesWith(
        [timed](const PassPlan& plan, const FeatureScorer& scorer,
                MatRowStream* stream, const PassProgress& progress,
                PassAnswers* answers, int64_t* changed_values,
                std::string* error) {
          // The distractors are the first num_distractors feature rows.
          stream->Select(plan.num_distractors, scorer.dim());
          FeatureSource source(scorer, stream,
                               std::max(plan.probe_rows, plan.impostor_rows), 0,
                               plan.num_distractors);
          const bool done = RunScorePassFrom(plan, &source, kPiecesInFlight,
                                             timed(progress), answers, error);
          *changed_values = stream->changed_values();
          return done;
        },
        in, out);
  }
  return EvaluateInOnePassWith(
      [timed](const PassPlan& plan, MatRowStream* stream,
              const PassProgress& progress, PassAnswers* answers,
              int64_t* changed_values, std::string* error) {
        const bool done =
            RunScorePass(plan, stream, stream->PieceFloats(kPieceFloats),
                         kPiecesInFlight, timed(progress), answers, error);
        *changed_values = stream->changed_values();
        return done;
      },
      in, out);
}

bool EvaluateInOnePassWith(const PassRunner& runner, RunInputs* in,
                           RunOutputs* out) {
  MatRowStream stream;
  if (!OpenDistractors(*in, &stream)) return false;
  const MatHeader& header = stream.header();
  if (!CheckDistractorMatrix(header.rows, header.cols, header.type, in)) {
    return false;
  }
  return EvaluateThroughPass(
      header.rows, header.step,
      [&](const PassPlan& plan, const PassProgress& progress,
          PassAnswers* answers, PassReport* report, std::string* error) {
        const bool done = runner(plan, &stream, progress, answers,
                                 &report->changed_values, error);
        report->values_read =
            int64_t{std::min(header.rows,
                             std::max(plan.probe_rows, plan.impostor_rows))} *
            plan.num_distractors;
        report->bytes_total = stream.bytes_total();
        return done;
      },
      in, out);
}

namespace {

// Prepare prepares the evaluation of `inputs`, from the rows of the probe
// score file when the run reads it row by row. Returns false after saying
// why when the file cannot be read.
bool Prepare(const RunInputs& in, const EvaluationInputs& inputs,
             PreparedEvaluation* prepared) {
  if (in.probe_rows == nullptr) {
    PrepareEvaluation(inputs, prepared);
    return true;
  }
  const MatRowStream& stream = *in.probe_rows;
  const MatHeader header = stream.header();
  const auto read = [&](int32_t first_row, int32_t rows, int32_t cols,
                        float* out, std::string* error) {
    if (int64_t{cols} * 4 == header.step) {  // Whole rows: one read.
      return stream.ReadDeferred(
          {out, int64_t{rows} * cols, int64_t{first_row} * header.step}, error);
    }
    for (int32_t r = 0; r < rows; ++r) {
      if (!stream.ReadDeferred({out + int64_t{r} * cols, cols,
                                int64_t{first_row + r} * header.step},
                               error)) {
        return false;
      }
    }
    return true;
  };
  std::string error;
  if (PrepareEvaluationFromRows(inputs, header.rows, header.cols, read,
                                prepared, &error)) {
    return true;
  }
  std::fflush(stdout);
  ReportUnloadableProbeScores(in, error);
  return false;
}

// EvaluateThroughPass evaluates from the answers of `pass` over a
// distractor score matrix of `rows` rows (the matrix checked, its size
// printed), printing the lines from "Finding top distractors!" to
// "Rank 1".
bool EvaluateThroughPass(int32_t rows, int64_t row_bytes,
                         const PassFunction& pass, RunInputs* in,
                         RunOutputs* out) {
  std::string error;
  const EvaluationInputs inputs{in->subject_map,
                                in->probe_names,
                                in->probe_scores,
                                in->probe_count,
                                rows,
                                in->num_distractors,
                                !in->summary_filename.empty()};
  in->times.Mark("distractor header");
  // Prepared once: the recording and the evaluation after the pass start
  // from the same answer-independent work.
  PreparedEvaluation prepared;
  if (!Prepare(*in, inputs, &prepared)) return false;
  ScoreQuestions questions = RecordQuestions(inputs, prepared);
  in->times.Mark("questions");
  const PassPlan plan = PlanScorePass(std::move(questions), in->num_distractors,
                                      ImpostorRows(rows));
  in->times.Mark("planning");

  std::puts("Finding top distractors!");
  std::fflush(stdout);
  PassAnswers answers;
  PassReport report;
  {
    ProgressLine progress(row_bytes);
    in->times.BeginPass();
    if (!pass(
            plan,
            [&](int64_t done, int64_t total) {
              progress.Update(done, total);
              return true;
            },
            &answers, &report, &error)) {
      progress.Finish();
      ReportUnloadableDistractors(*in, error);
      return false;
    }
    in->times.EndPass(report.bytes_total);
  }
  NoteChangedValues(in->distractor_scores_filename, report.changed_values,
                    report.values_read);
  std::puts("Done sorting distractor scores");

  Evaluation evaluation;
  Evaluate(inputs, prepared, PassCounts(plan, answers), &evaluation);
  in->times.Mark("evaluation");
  std::puts("Making gallery!");
  std::puts("Done Making Gallery!");
  if (evaluation.traditional_slots >= 0) {
    std::printf("Allocating ranks (%d)\n", evaluation.traditional_slots);
  }
  std::printf("Rank 1: %f\n", static_cast<double>(evaluation.rank1));
  out->matches = std::move(evaluation.matches);
  out->cmc = std::move(evaluation.cmc);
  out->traditional_cmc = std::move(evaluation.traditional_cmc);
  out->roc = std::move(evaluation.roc);
  out->facts = std::move(evaluation.facts);
  return true;
}

}  // namespace

bool EvaluateFromFeaturesWith(const FeaturePassRunner& runner, RunInputs* in,
                              RunOutputs* out) {
  const FeatureScorer& scorer = *in->scorer;
  MatRowStream stream;
  if (!OpenDistractors(*in, &stream)) return false;
  const MatHeader& header = stream.header();
  const std::string error =
      FeatureFileProblem(header.rows, header.cols, header.type, scorer.dim(),
                         stream.column_major());
  if (!error.empty()) {
    ReportUnloadableDistractors(*in, error);
    return false;
  }
  if (!CheckDistractorMatrix(scorer.probes(), header.rows, CV_32FC1, in)) {
    return false;
  }
  return EvaluateThroughPass(
      scorer.probes(), int64_t{4} * scorer.dim(),
      [&](const PassPlan& plan, const PassProgress& progress,
          PassAnswers* answers, PassReport* report, std::string* error) {
        const bool done = runner(plan, scorer, &stream, progress, answers,
                                 &report->changed_values, error);
        report->values_read = int64_t{plan.num_distractors} * scorer.dim();
        report->bytes_total = stream.bytes_total();
        return done;
      },
      in, out);
}
