// fuse_results_mpi: the evaluation of fuse_results split across the ranks
// of an MPI job, with the same arguments and byte-identical results.
//
// Rank 0 runs fuse_results' sequence: it reads the arguments, the probe
// info and the probe scores, opens the distractor matrix and records the
// questions of the evaluation, exactly as fuse_results does. It then sends
// the plan (the thresholds asked about, never a score) to every rank. Each
// rank, rank 0 included, opens the distractor file itself and scans its
// own share of the columns of every selected row with positioned reads;
// the answers come back to rank 0 as counts that add and best-distractor
// records that merge, and rank 0 evaluates and writes as fuse_results does.
//
// Failures: until the plan is sent, the other ranks wait for it and are
// told to stop with rank 0's exit status. After that, a rank that fails
// says why on standard error, naming the file and itself, and ends the
// whole job with MPI_Abort (status 1); rank 0's unfinished result files
// are removed, by rank 0 itself or by its handler of the signal the
// launcher ends it with. A process that leaves without MPI_Finalize (an
// OrDie path) aborts the job the same way, so no rank is left waiting.
#include <mpi.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "driver/run.h"
#include "driver/score_pass.h"
#include "matio/mat_stream.h"
#include "mpi/share_exchange.h"

namespace {

// Messages move in chunks whose element counts fit MPI's int.
constexpr int64_t kChunkElements = int64_t{1} << 26;

enum Command : int64_t { kStop = 0, kScan = 1 };

// Where the other ranks are, seen from rank 0.
enum class WorkerState { kWaiting, kScanning, kDone };

struct Job {
  int rank = 0;
  int ranks = 1;
  WorkerState state = WorkerState::kWaiting;
};

std::string RankName(const Job& job) {
  return "rank " + std::to_string(job.rank) + " of " +
         std::to_string(job.ranks);
}

// AbortJob ends every rank of the job with status 1, after `path`'s
// problem has been said on standard error by this rank.
[[noreturn]] void AbortJob(const Job& job, const std::string& path,
                           const std::string& error) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s: %s\n", path.c_str(), RankName(job).c_str(),
               error.c_str());
  MPI_Abort(MPI_COMM_WORLD, 1);
  std::_Exit(1);  // MPI_Abort does not return; should it, nothing is left.
}

// Whoever leaves without MPI_Finalize leaves nobody waiting.
void AbortUnlessFinalized() {
  int initialized = 0, finalized = 0;
  MPI_Initialized(&initialized);
  MPI_Finalized(&finalized);
  if (initialized && !finalized) MPI_Abort(MPI_COMM_WORLD, 1);
}

void BroadcastBytes(char* bytes, int64_t length) {
  for (int64_t at = 0; at < length; at += kChunkElements) {
    const int n = static_cast<int>(std::min(kChunkElements, length - at));
    MPI_Bcast(bytes + at, n, MPI_BYTE, 0, MPI_COMM_WORLD);
  }
}

// BroadcastCommand sends (or, off rank 0, receives) the command, the exit
// status that goes with a stop, and the length of the order that follows
// a scan.
void BroadcastCommand(int64_t* command, int64_t* status, int64_t* length) {
  int64_t words[3] = {*command, *status, *length};
  MPI_Bcast(words, 3, MPI_INT64_T, 0, MPI_COMM_WORLD);
  *command = words[0];
  *status = words[1];
  *length = words[2];
}

// The best-distractor records of all ranks merge pairwise in a reduction.
void MergeRecords(void* in, void* inout, int* count, MPI_Datatype*) {
  MergeTopRecords(static_cast<const int32_t*>(in), static_cast<int32_t*>(inout),
                  *count);
}

// CombineAnswers combines the answers of every rank's share on rank 0: the
// sum of the counts into `*counts`, and the merged records into
// `*records` (both only meaningful on rank 0).
void CombineAnswers(std::vector<int64_t>* counts,
                    std::vector<int32_t>* records) {
  const bool root = [] {
    int rank = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    return rank == 0;
  }();
  const int64_t n = static_cast<int64_t>(counts->size());
  for (int64_t at = 0; at < n; at += kChunkElements) {
    const int k = static_cast<int>(std::min(kChunkElements, n - at));
    int64_t* data = counts->data() + at;
    MPI_Reduce(root ? MPI_IN_PLACE : data, root ? data : nullptr, k,
               MPI_INT64_T, MPI_SUM, 0, MPI_COMM_WORLD);
  }
  MPI_Datatype record;
  MPI_Type_contiguous(kTopRecordInts, MPI_INT32_T, &record);
  MPI_Type_commit(&record);
  MPI_Op merge;
  MPI_Op_create(MergeRecords, /*commute=*/1, &merge);
  const int64_t m = static_cast<int64_t>(records->size()) / kTopRecordInts;
  const int64_t chunk = kChunkElements / kTopRecordInts;
  for (int64_t at = 0; at < m; at += chunk) {
    const int k = static_cast<int>(std::min(chunk, m - at));
    int32_t* data = records->data() + at * kTopRecordInts;
    MPI_Reduce(root ? MPI_IN_PLACE : data, root ? data : nullptr, k, record,
               merge, 0, MPI_COMM_WORLD);
  }
  MPI_Op_free(&merge);
  MPI_Type_free(&record);
}

// ScanShare scans this rank's share of the columns for `plan` from
// `stream` and combines the answers of all ranks; on rank 0 it leaves the
// whole matrix's answers in `*answers` and the float64 values that changed
// in `*changed_values`. Returns false with `error` when this rank's share
// cannot be read.
bool ScanShare(const Job& job, const PassPlan& plan, MatRowStream* stream,
               const PassProgress& progress, PassAnswers* answers,
               int64_t* changed_values, std::string* error) {
  int32_t first = 0, end = 0;
  ColumnShare(plan.num_distractors, job.ranks, job.rank, &first, &end);
  if (!RunScorePassOnShare(plan, first, end, stream,
                           stream->PieceFloats(kPieceFloats), kPiecesInFlight,
                           progress, answers, error)) {
    return false;
  }
  std::vector<int64_t> counts =
      FlattenCounts(*answers, stream->changed_values());
  std::vector<int32_t> records = PackTopRecords(plan, *answers);
  CombineAnswers(&counts, &records);
  UnflattenCounts(plan, counts, answers, changed_values);
  UnpackTopRecords(records, answers);
  return true;
}

// DescribeHeader returns "R x C (step S, type T)".
std::string DescribeHeader(const MatHeader& header) {
  return std::to_string(header.rows) + " x " + std::to_string(header.cols) +
         " (step " + std::to_string(header.step) + ", type " +
         std::to_string(header.type) + ")";
}

// RunOtherRank waits for rank 0's order and, given a scan, scans this
// rank's share of the distractor file and sends its answers. Returns the
// exit status; ends the job on any failure.
int RunOtherRank(const Job& job) {
  int64_t command = kStop, status = 1, length = 0;
  BroadcastCommand(&command, &status, &length);
  if (command != kScan) return static_cast<int>(status);
  std::string path = "the distractor score file";
  try {
    std::vector<char> bytes(static_cast<size_t>(length));
    BroadcastBytes(bytes.data(), length);
    PassOrder order;
    if (!UnpackPassOrder(bytes, &order)) {
      AbortJob(job, path, "the plan from rank 0 is garbled");
    }
    path = order.path;
    bytes = {};
    MatRowStream stream;
    bool opened = false;
    std::string error;
    if (!stream.Open(path, &opened, &error)) AbortJob(job, path, error);
    const MatHeader& header = stream.header();
    if (!stream.seekable()) {
      AbortJob(job, path, "is not a regular file here");
    }
    if (header.rows != order.header.rows || header.cols != order.header.cols ||
        header.step != order.header.step || header.type != order.header.type) {
      AbortJob(job, path,
               "holds a " + DescribeHeader(header) + " matrix here, but " +
                   DescribeHeader(order.header) +
                   " for rank 0: every rank must see the same file");
    }
    PassAnswers answers;
    int64_t changed_values = 0;
    if (!ScanShare(job, order.plan, &stream, nullptr, &answers, &changed_values,
                   &error)) {
      AbortJob(job, path, error);
    }
  } catch (const std::bad_alloc&) {
    AbortJob(job, path, "out of memory");
  } catch (const std::exception& e) {
    AbortJob(job, path, e.what());
  }
  return 0;
}

// A distractor path that exists and is not a regular file cannot be split
// between ranks; it is refused before anything of it is read.
bool RefuseStream(const RunInputs& in) {
  struct stat status;
  if (stat(in.distractor_scores_filename.c_str(), &status) != 0 ||
      S_ISREG(status.st_mode)) {
    return false;
  }
  std::fflush(stdout);
  std::fprintf(stderr,
               "%s: is not a regular file: the ranks of an MPI run each "
               "read their own share of the distractor scores with "
               "positioned reads, which a pipe or other stream does not "
               "allow; evaluate it with fuse_results instead\n",
               in.distractor_scores_filename.c_str());
  std::puts("Couldn't load distractor scores!");
  return true;
}

// RunRankZero runs fuse_results' sequence with the pass split between the
// ranks and returns the exit status.
int RunRankZero(Job* job, int argc, char** argv) {
  const Route route = [job](RunInputs* in, RunOutputs* out) {
    if (RefuseStream(*in)) return false;
    in->distractor_reader = RankName(*job);
    return EvaluateInOnePassWith(
        [job, in](const PassPlan& plan, MatRowStream* stream,
                  const PassProgress& progress, PassAnswers* answers,
                  int64_t* changed_values, std::string* error) {
          PassOrder order{in->distractor_scores_filename, stream->header(),
                          plan};
          std::vector<char> bytes = PackPassOrder(order);
          order = {};
          int64_t command = kScan, status = 0;
          int64_t length = static_cast<int64_t>(bytes.size());
          BroadcastCommand(&command, &status, &length);
          BroadcastBytes(bytes.data(), length);
          job->state = WorkerState::kScanning;
          bytes = {};
          if (!ScanShare(*job, plan, stream, progress, answers, changed_values,
                         error)) {
            return false;
          }
          job->state = WorkerState::kDone;
          return true;
        },
        in, out);
  };
  return RunFuseResults(argc, argv, route);
}

}  // namespace

int main(int argc, char** argv) {
  int provided = 0;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
  std::atexit(AbortUnlessFinalized);
  Job job;
  MPI_Comm_rank(MPI_COMM_WORLD, &job.rank);
  MPI_Comm_size(MPI_COMM_WORLD, &job.ranks);
  if (job.rank != 0) {
    const int status = RunOtherRank(job);
    MPI_Finalize();
    return status;
  }
  const int status = RunRankZero(&job, argc, argv);
  switch (job.state) {
    case WorkerState::kWaiting: {
      int64_t command = kStop, code = status, length = 0;
      BroadcastCommand(&command, &code, &length);
      break;
    }
    case WorkerState::kScanning:
      // Rank 0 failed while the others scan: its result files are gone
      // and its reason said; the others are ended.
      MPI_Abort(MPI_COMM_WORLD, 1);
      return 1;
    case WorkerState::kDone:
      break;
  }
  MPI_Finalize();
  return status;
}
