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
// told to stop with rank 0's exit status. After that, a rank whose share
// fails (it cannot be opened or read, it is another file than rank 0's, or
// memory runs out) says why on standard error, naming the file and
// itself, and tells every other rank at once; they stop scanning within a
// piece, and all ranks end with status 1, rank 0 after removing its
// unfinished result files. A process that leaves without MPI_Finalize (an
// OrDie path) aborts the job, so no rank is ever left waiting.
#include <mpi.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "driver/feature_pass.h"
#include "driver/run.h"
#include "driver/score_pass.h"
#include "matio/mat_stream.h"
#include "mpi/share_exchange.h"

namespace {

// Messages move in chunks whose element counts fit MPI's int; the plan in
// chunks small enough that a rank without memory for it can still take
// part in its broadcast through a buffer on its stack.
constexpr int64_t kChunkElements = int64_t{1} << 26;
constexpr int64_t kPlanChunkBytes = int64_t{1} << 16;

// The tag of failure notices.
constexpr int kFailureTag = 1;

enum Command : int64_t { kStop = 0, kScan = 1 };

// Where the other ranks are, seen from rank 0.
enum class WorkerState { kWaiting, kScanning, kDone };

struct Job {
  int rank = 0;
  int ranks = 1;
  WorkerState state = WorkerState::kWaiting;
  // Whether threads other than the main one may call MPI (one at a time);
  // without, failure notices are taken only when the scans end.
  bool threads_may_call = false;
};

std::string RankName(const Job& job) {
  return "rank " + std::to_string(job.rank) + " of " +
         std::to_string(job.ranks);
}

// ReportFailure says on standard error what is wrong with `path` on this
// rank.
void ReportFailure(const Job& job, const std::string& path,
                   const std::string& error) {
  std::fflush(stdout);
  std::fprintf(stderr, "%s: %s: %s\n", path.c_str(), RankName(job).c_str(),
               error.c_str());
}

// FailureNotices carries the news of a failed share between the ranks
// while they scan: a rank that fails tells every other one, and each polls
// for such news between pieces, so that nobody scans on in vain. Settle
// then agrees on the outcome and takes every notice sent, so that none is
// left in flight.
class FailureNotices {
 public:
  explicit FailureNotices(const Job& job) : job_(job) {
    MPI_Irecv(&incoming_, 1, MPI_INT, MPI_ANY_SOURCE, kFailureTag,
              MPI_COMM_WORLD, &receive_);
  }
  FailureNotices(const FailureNotices&) = delete;
  FailureNotices& operator=(const FailureNotices&) = delete;

  // Arrived returns true iff another rank has said that it failed.
  bool Arrived() {
    if (!arrived_ && job_.threads_may_call) {
      int done = 0;
      MPI_Test(&receive_, &done, MPI_STATUS_IGNORE);
      arrived_ = done != 0;
    }
    return arrived_;
  }

  // Tell says to every other rank that this one failed.
  void Tell() {
    for (int rank = 0; rank < job_.ranks; ++rank) {
      if (rank == job_.rank) continue;
      sends_.emplace_back();
      MPI_Isend(&outgoing_, 1, MPI_INT, rank, kFailureTag, MPI_COMM_WORLD,
                &sends_.back());
    }
  }

  // Settle, called by every rank after its scan, returns how many ranks
  // failed (`failed` says whether this one did, and told).
  int Settle(bool failed) {
    int mine = failed ? 1 : 0, failures = 0;
    MPI_Allreduce(&mine, &failures, 1, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
    int expected = failures - mine;
    if (expected > 0) {
      MPI_Wait(&receive_, MPI_STATUS_IGNORE);
      for (--expected; expected > 0; --expected) {
        MPI_Recv(&incoming_, 1, MPI_INT, MPI_ANY_SOURCE, kFailureTag,
                 MPI_COMM_WORLD, MPI_STATUS_IGNORE);
      }
    } else {
      MPI_Cancel(&receive_);
      MPI_Wait(&receive_, MPI_STATUS_IGNORE);
    }
    if (!sends_.empty()) {
      MPI_Waitall(static_cast<int>(sends_.size()), sends_.data(),
                  MPI_STATUSES_IGNORE);
    }
    return failures;
  }

 private:
  const Job& job_;
  int incoming_ = 0;
  int outgoing_ = 1;
  bool arrived_ = false;
  MPI_Request receive_;
  std::vector<MPI_Request> sends_;
};

// Whoever leaves without MPI_Finalize leaves nobody waiting.
void AbortUnlessFinalized() {
  int initialized = 0, finalized = 0;
  MPI_Initialized(&initialized);
  MPI_Finalized(&finalized);
  if (initialized && !finalized) MPI_Abort(MPI_COMM_WORLD, 1);
}

// BroadcastBytes sends (or receives) `length` bytes at `bytes`; a rank
// with no room for them (`bytes` null) takes part all the same, letting
// them pass.
void BroadcastBytes(char* bytes, int64_t length) {
  char sink[kPlanChunkBytes];
  for (int64_t at = 0; at < length; at += kPlanChunkBytes) {
    const int n = static_cast<int>(std::min(kPlanChunkBytes, length - at));
    MPI_Bcast(bytes != nullptr ? bytes + at : sink, n, MPI_BYTE, 0,
              MPI_COMM_WORLD);
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

// What came of a rank's share.
enum class Outcome { kScanned, kFailed, kStopped };

// ScanShare scans this rank's share for `plan` from `stream`, polling
// `notices` between pieces, and reports progress to `progress` when given:
// its columns of the distractor score file or, with a `scorer`, the
// scores of its tiles of the distractors' feature file. Returns kFailed
// with `error` when the share cannot be read or memory runs out, kStopped
// when another rank failed.
Outcome ScanShare(const Job& job, const PassPlan& plan,
                  const FeatureScorer* scorer, MatRowStream* stream,
                  const PassProgress& progress, FailureNotices* notices,
                  PassAnswers* answers, std::string* error) {
  const PassProgress poll = [&](int64_t done, int64_t total) {
    if (progress) progress(done, total);
    return !notices->Arrived();
  };
  try {
    int32_t first = 0, end = 0;
    bool done = false;
    if (scorer == nullptr) {
      ColumnShare(plan.num_distractors, job.ranks, job.rank, &first, &end);
      done = RunScorePassOnShare(plan, first, end, stream,
                                 stream->PieceFloats(kPieceFloats),
                                 kPiecesInFlight, poll, answers, error);
    } else {
      TileShare(plan.num_distractors, scorer->tile_rows(), job.ranks, job.rank,
                &first, &end);
      stream->SelectRows(first, end, scorer->dim());
      FeatureSource source(*scorer, stream,
                           std::max(plan.probe_rows, plan.impostor_rows), first,
                           end);
      done = RunScorePassFrom(plan, &source, kPiecesInFlight, poll, answers,
                              error);
    }
    if (done) return Outcome::kScanned;
    return notices->Arrived() ? Outcome::kStopped : Outcome::kFailed;
  } catch (const std::bad_alloc&) {
    *error = "out of memory";
  } catch (const std::exception& e) {
    *error = e.what();
  }
  return Outcome::kFailed;
}

// Settle ends the scan of every rank: a rank that failed has said why
// and tells the others; then all agree. Returns true iff no rank failed,
// after combining every rank's answers on rank 0 (into `*answers`, and
// the changed float64 values into `*changed_values`).
bool Settle(Outcome outcome, const PassPlan& plan, int64_t changed_here,
            FailureNotices* notices, PassAnswers* answers,
            int64_t* changed_values) {
  if (outcome == Outcome::kFailed) notices->Tell();
  if (notices->Settle(outcome == Outcome::kFailed) > 0) return false;
  std::vector<int64_t> counts = FlattenCounts(*answers, changed_here);
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

// OpenShare opens this rank's view of the distractor file of `order` and
// checks that it is the file rank 0 planned for. Returns false with
// `error` otherwise.
bool OpenShare(const PassOrder& order, MatRowStream* stream,
               std::string* error) {
  bool opened = false;
  if (!stream->Open(order.path, &opened, error)) return false;
  const MatHeader& header = stream->header();
  if (!stream->seekable()) {
    *error = "is not a regular file here";
    return false;
  }
  if (header.rows != order.header.rows || header.cols != order.header.cols ||
      header.step != order.header.step || header.type != order.header.type) {
    *error = "holds a " + DescribeHeader(header) + " matrix here, but " +
             DescribeHeader(order.header) +
             " for rank 0: every rank must read the same file";
    return false;
  }
  return true;
}

// RunOtherRank waits for rank 0's order and, given a scan, scans this
// rank's share of the distractor file and sends its answers. Returns the
// exit status.
int RunOtherRank(const Job& job) {
  int64_t command = kStop, status = 1, length = 0;
  BroadcastCommand(&command, &status, &length);
  if (command != kScan) return static_cast<int>(status);
  FailureNotices notices(job);
  Outcome outcome = Outcome::kFailed;
  std::string error = "out of memory";
  PassOrder order;
  order.path = "the distractor score file";
  PassAnswers answers;
  MatRowStream stream;
  std::vector<char> bytes;
  try {
    bytes.resize(static_cast<size_t>(length));
  } catch (const std::bad_alloc&) {
    bytes = {};
  }
  BroadcastBytes(length > 0 && bytes.empty() ? nullptr : bytes.data(), length);
  if (bytes.size() == static_cast<size_t>(length)) {
    try {
      if (!UnpackPassOrder(bytes, &order)) {
        error = "the plan from rank 0 is garbled";
      } else if (OpenShare(order, &stream, &error)) {
        bytes = {};
        std::unique_ptr<FeatureScorer> scorer;
        if (order.features) {
          scorer = std::make_unique<FeatureScorer>(order.probe_features,
                                                   order.metric);
          order.probe_features.release();
        }
        outcome = ScanShare(job, order.plan, scorer.get(), &stream, nullptr,
                            &notices, &answers, &error);
      }
    } catch (const std::bad_alloc&) {
      error = "out of memory";
    }
  }
  if (outcome == Outcome::kFailed) ReportFailure(job, order.path, error);
  int64_t changed_values = 0;
  return Settle(outcome, order.plan, stream.changed_values(), &notices,
                &answers, &changed_values)
             ? 0
             : 1;
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

// ShareThePass sends rank 0's order to every rank and runs rank 0's share
// of the pass, then settles it with the others; on rank 0 `*answers` are
// then the whole matrix's. `scorer`: the probes' features, with features.
bool ShareThePass(Job* job, const RunInputs& in, const PassPlan& plan,
                  const FeatureScorer* scorer, MatRowStream* stream,
                  const PassProgress& progress, PassAnswers* answers,
                  int64_t* changed_values, std::string* error) {
  PassOrder order;
  order.path = in.distractor_scores_filename;
  order.header = stream->header();
  order.plan = plan;
  if (scorer != nullptr) {
    order.features = true;
    order.metric = scorer->metric();
    order.probe_features = scorer->features();
  }
  std::vector<char> bytes = PackPassOrder(order);
  order = {};
  int64_t command = kScan, status = 0;
  int64_t length = static_cast<int64_t>(bytes.size());
  BroadcastCommand(&command, &status, &length);
  job->state = WorkerState::kScanning;
  FailureNotices notices(*job);
  BroadcastBytes(bytes.data(), length);
  bytes = {};
  const Outcome outcome =
      ScanShare(*job, plan, scorer, stream, progress, &notices, answers, error);
  const bool settled = Settle(outcome, plan, stream->changed_values(), &notices,
                              answers, changed_values);
  job->state = WorkerState::kDone;
  if (!settled && outcome != Outcome::kFailed) {
    *error = "stopped, since another rank could not read its share";
  }
  return settled;
}

// RunRankZero runs fuse_results' sequence with the pass split between the
// ranks and returns the exit status.
int RunRankZero(Job* job, int argc, char** argv) {
  const Route route = [job](RunInputs* in, RunOutputs* out) {
    if (RefuseStream(*in)) return false;
    in->distractor_reader = RankName(*job);
    if (in->scorer != nullptr) {
      return EvaluateFromFeaturesWith(
          [job, in](const PassPlan& plan, const FeatureScorer& scorer,
                    MatRowStream* stream, const PassProgress& progress,
                    PassAnswers* answers, int64_t* changed_values,
                    std::string* error) {
            return ShareThePass(job, *in, plan, &scorer, stream, progress,
                                answers, changed_values, error);
          },
          in, out);
    }
    return EvaluateInOnePassWith(
        [job, in](const PassPlan& plan, MatRowStream* stream,
                  const PassProgress& progress, PassAnswers* answers,
                  int64_t* changed_values, std::string* error) {
          return ShareThePass(job, *in, plan, nullptr, stream, progress,
                              answers, changed_values, error);
        },
        in, out);
  };
  return RunFuseResults(argc, argv, route);
}

}  // namespace

int main(int argc, char** argv) {
  // The scan polls for failure notices from whichever thread runs its
  // last stage, one thread at a time.
  int provided = 0;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_SERIALIZED, &provided);
  std::atexit(AbortUnlessFinalized);
  Job job;
  MPI_Comm_rank(MPI_COMM_WORLD, &job.rank);
  MPI_Comm_size(MPI_COMM_WORLD, &job.ranks);
  job.threads_may_call = provided >= MPI_THREAD_SERIALIZED;
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
      // Rank 0 left the scan without settling it: the others cannot be
      // told, so they are ended.
      MPI_Abort(MPI_COMM_WORLD, 1);
      return 1;
    case WorkerState::kDone:
      break;
  }
  MPI_Finalize();
  return status;
}
