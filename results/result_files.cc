#include "results/result_files.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <utility>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_group.h>

#include "results/json_text.h"

namespace {

// A rank index is an integer value; a rate or ROC coordinate is a real
// holding the float widened exactly to double.
Json::Value NumberValue(int32_t number) { return Json::Value(number); }
Json::Value NumberValue(float number) {
  return Json::Value(static_cast<double>(number));
}

// CurveValue returns [[first members], [second members]] of `curve`.
template <typename First, typename Second>
Json::Value CurveValue(const std::vector<std::pair<First, Second>>& curve) {
  Json::Value firsts(Json::arrayValue);
  Json::Value seconds(Json::arrayValue);
  for (const auto& point : curve) {
    firsts.append(NumberValue(point.first));
    seconds.append(NumberValue(point.second));
  }
  Json::Value value(Json::arrayValue);
  value.append(std::move(firsts));
  value.append(std::move(seconds));
  return value;
}

// RankValue returns the number a mate rank is written as: the signed
// 32-bit integer of its low 32 bits. A rank never exceeds the distractor
// count, so in a run it is written unchanged.
int64_t RankValue(uint64_t rank) {
  return static_cast<int32_t>(static_cast<uint32_t>(rank));
}

// WritePairMember writes `name` : null, or an object of two scalar arrays
// of equal, non-zero length.
void WritePairMember(const char* name, const char* first_name,
                     const ScalarTexts& firsts, const char* second_name,
                     const ScalarTexts& seconds, JsonTextWriter* writer) {
  writer->Member(name);
  if (firsts.empty()) {
    writer->Value("null");
    return;
  }
  writer->BeginObject();
  writer->Member(first_name);
  writer->ScalarArray(firsts);
  writer->Member(second_name);
  writer->ScalarArray(seconds);
  writer->EndObject();
}

// How many probes' entries of the match results document make one piece
// of its text (about 100 KB each in a run), and how many pieces a batch
// lays out at once, in parallel, before they are written in order.
constexpr size_t kPieceProbes = 64;
constexpr size_t kPiecesAtOnce = 8;

// AppendMatchesPiece appends the text of the entries of probes `begin` to
// `end` - 1 of the match results document (not null: there is a probe)
// to `*text`, with the opening of the document before probe 0 and its end
// after the last probe.
void AppendMatchesPiece(const TopDistractorLists& top_distractors,
                        const MateRankLists& mate_ranks, size_t begin,
                        size_t end, std::string* text) {
  JsonTextWriter writer(text);
  if (begin == 0) {
    writer.BeginArray();
  } else {
    writer.ResumeArray();
  }
  ScalarTexts firsts;
  ScalarTexts seconds;
  for (size_t p = begin; p < end; ++p) {
    writer.Element();
    writer.BeginObject();
    firsts.Clear();
    seconds.Clear();
    for (const auto& [index, score] : top_distractors[p]) {
      firsts.AddInteger(index);
      seconds.AddReal(static_cast<double>(score));
    }
    WritePairMember("distractors", "idx", firsts, "score", seconds, &writer);
    firsts.Clear();
    seconds.Clear();
    if (p < mate_ranks.size()) {
      for (const auto& [rank, index] : mate_ranks[p]) {
        firsts.AddInteger(index);
        seconds.AddInteger(RankValue(rank));
      }
    }
    WritePairMember("probes", "idx", firsts, "rank", seconds, &writer);
    writer.EndObject();
  }
  if (end == top_distractors.size()) {
    writer.EndArray();
    text->push_back('\n');
  }
}

// MatchesPieces is the body of the parallel loop that lays out pieces
// first_piece, first_piece + 1, ... of the match results text, piece i
// into (*pieces)[i - first_piece]: a named type, so that the loop's task
// types have names short enough for the race checker's reports to name
// them.
struct MatchesPieces {
  const TopDistractorLists& top_distractors;
  const MateRankLists& mate_ranks;
  size_t first_piece;
  std::vector<std::string>* pieces;

  void operator()(const tbb::blocked_range<size_t>& range) const {
    const size_t probes = top_distractors.size();
    for (size_t i = range.begin(); i != range.end(); ++i) {
      const size_t begin = (first_piece + i) * kPieceProbes;
      std::string& text = (*pieces)[i];
      text.clear();
      AppendMatchesPiece(top_distractors, mate_ranks, begin,
                         std::min(begin + kPieceProbes, probes), &text);
    }
  }
};

// LayOutBatch lays out `count` pieces of the match results text from
// piece `first_piece` on, in parallel, into (*pieces)[0 ..]: a named type,
// so that the race checker's reports can name its task.
struct LayOutBatch {
  const TopDistractorLists& top_distractors;
  const MateRankLists& mate_ranks;
  size_t first_piece;
  size_t count;
  std::vector<std::string>* pieces;

  void operator()() const {
    tbb::parallel_for(
        tbb::blocked_range<size_t>(0, count, 1),
        MatchesPieces{top_distractors, mate_ranks, first_piece, pieces});
  }
};

// Error returns the text of errno, for messages.
std::string Error() { return std::strerror(errno); }

// How much a new file gathers before its write-out is started.
constexpr int64_t kWriteOutBytes = int64_t{1} << 20;

bool WriteAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t put = write(fd, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put == 0) errno = ENOSPC;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

// The temporaries a signal must remove. Signal handlers can reach nothing
// but global state, so this is the one global of the program: slots that
// the main thread fills (path first, then `used`) and empties, and that a
// handler reads without locks.
struct TemporarySlot {
  std::atomic<bool> used{false};
  char path[4096];
};
constexpr int kTemporarySlots = 8;
TemporarySlot temporary_slots[kTemporarySlots];
pthread_t signal_thread;
constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// Remember returns the slot now holding `path`, or -1 when there is none
// free or the path is too long (the file is then not removed on a signal).
int Remember(const std::string& path) {
  for (int slot = 0; slot < kTemporarySlots; ++slot) {
    TemporarySlot& entry = temporary_slots[slot];
    if (entry.used.load() || path.size() >= sizeof entry.path) continue;
    std::memcpy(entry.path, path.c_str(), path.size() + 1);
    entry.used.store(true);
    return slot;
  }
  return -1;
}

void Forget(int slot) {
  if (slot >= 0) temporary_slots[slot].used.store(false);
}

// OnCleanupSignal removes the remembered temporaries and ends the process
// by `signal`. Only async-signal-safe calls: a signal that reaches another
// thread is passed on to the thread that owns the files, so that removing
// never races with renaming.
void OnCleanupSignal(int signal) {
  if (!pthread_equal(pthread_self(), signal_thread)) {
    pthread_kill(signal_thread, signal);
    return;
  }
  for (TemporarySlot& entry : temporary_slots) {
    if (entry.used.load()) unlink(entry.path);
  }
  struct sigaction default_action = {};
  default_action.sa_handler = SIG_DFL;
  sigaction(signal, &default_action, nullptr);
  // Blocked while this handler runs: delivered, by default, on return.
  raise(signal);
}

// CreateTemporary creates a new file ".<base>.XXXXXX" (X random) beside
// `path` and returns its descriptor, or -1 with errno set; `*slot` is where
// it is remembered for the signal handler (before it exists). Created with
// mode 0666, so the process's umask and the directory's default ACL apply
// as to any new file.
int CreateTemporary(const std::string& path, std::string* temporary,
                    int* slot) {
  const size_t slash = path.rfind('/');
  const std::string directory =
      slash == std::string::npos ? "" : path.substr(0, slash + 1);
  // Room for the dot and the suffix within a 255-byte file name.
  const std::string base =
      path.substr(slash == std::string::npos ? 0 : slash + 1).substr(0, 240);
  static const char kLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  thread_local std::mt19937_64 generator(std::random_device{}() ^
                                         static_cast<uint64_t>(getpid()));
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = directory + "." + base + ".";
    for (int i = 0; i < 6; ++i) name += kLetters[generator() % 62];
    *slot = Remember(name);
    const int fd =
        open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      *temporary = name;
      return fd;
    }
    const int open_error = errno;
    Forget(*slot);
    *slot = -1;
    errno = open_error;
    if (errno != EEXIST) return -1;
  }
  return -1;
}

}  // namespace

Json::Value MakeCMCAndROCDocument(const CMCCurve& cmc,
                                  const CMCCurve& traditional_cmc,
                                  const ROCCurve& roc) {
  // Members appear in the text in byte order of their names whatever the
  // order they are added in; a missing curve leaves the root null.
  Json::Value root;
  if (!traditional_cmc.empty()) {
    root["traditional_cmc"] = CurveValue(traditional_cmc);
  }
  if (!cmc.empty()) root["cmc"] = CurveValue(cmc);
  if (!roc.empty()) root["roc"] = CurveValue(roc);
  return root;
}

bool WriteMatchesText(const TopDistractorLists& top_distractors,
                      const MateRankLists& mate_ranks,
                      const std::function<bool(const std::string&)>& write) {
  // Written straight from the lists, a piece at a time: the same bytes as
  // laying out the whole document, without its thousands of small JSON
  // objects or the whole text at once. The pieces of a batch are laid out
  // in parallel, and the next batch is laid out while this one is written
  // in order; the two batches' strings are reused from batch to batch.
  const size_t probes = top_distractors.size();
  if (probes == 0) return write("null\n");
  const size_t piece_count = (probes + kPieceProbes - 1) / kPieceProbes;
  const size_t batch_size = std::min(piece_count, kPiecesAtOnce);
  std::vector<std::string> written(batch_size);
  std::vector<std::string> next(batch_size);
  LayOutBatch{top_distractors, mate_ranks, 0, batch_size, &written}();
  for (size_t first = 0; first < piece_count; first += batch_size) {
    const size_t batch = std::min(batch_size, piece_count - first);
    const size_t next_first = first + batch;
    tbb::task_group laying_out;
    if (next_first < piece_count) {
      laying_out.run(LayOutBatch{top_distractors, mate_ranks, next_first,
                                 std::min(batch_size, piece_count - next_first),
                                 &next});
    }
    bool ok = true;
    for (size_t i = 0; i < batch && ok; ++i) ok = write(written[i]);
    laying_out.wait();
    if (!ok) return false;
    written.swap(next);
  }
  return true;
}

std::string MatchesText(const TopDistractorLists& top_distractors,
                        const MateRankLists& mate_ranks) {
  std::string text;
  WriteMatchesText(top_distractors, mate_ranks, [&](const std::string& piece) {
    text += piece;
    return true;
  });
  return text;
}

PendingTextFile::~PendingTextFile() { Discard(); }

bool PendingTextFile::Open(const std::string& path, std::string* error) {
  Discard();
  path_ = path;
  through_ = false;
  written_ = 0;
  started_ = 0;
  struct stat link_status;
  if (lstat(path.c_str(), &link_status) == 0 && S_ISLNK(link_status.st_mode)) {
    // Replace the file the link leads to and keep the link; a dangling
    // link is written through, which creates its target.
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
      through_ = true;
      return true;
    }
    const std::string target(resolved);
    std::free(resolved);
    return Open(target, error);
  }
  struct stat existing;
  const bool exists = stat(path.c_str(), &existing) == 0;
  if (exists && !S_ISREG(existing.st_mode)) {
    through_ = true;
    return true;
  }
  fd_ = CreateTemporary(path, &temporary_, &slot_);
  if (fd_ < 0) {
    *error = Error();
    return false;
  }
  if (exists) {
    if (fchown(fd_, existing.st_uid, existing.st_gid) != 0) {
      // Only root may give a file away; elsewhere the new file belongs to
      // the writer, like any file it creates.
    }
    if (fchmod(fd_, existing.st_mode & 07777) != 0) {
      *error = Error();
      Discard();
      return false;
    }
  }
  return true;
}

bool PendingTextFile::Append(const std::string& text, std::string* error) {
  if (through_ && fd_ < 0) {
    // Devices and FIFOs are opened only now: a FIFO's open waits for its
    // reader.
    fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) {
      *error = Error();
      return false;
    }
  }
  if (fd_ < 0) {
    *error = "not open";
    return false;
  }
  if (!WriteAll(fd_, text)) {
    *error = Error();
    return false;
  }
  written_ += static_cast<int64_t>(text.size());
  if (!through_ && written_ - started_ >= kWriteOutBytes) {
    // A hint: the pages go to the disk while the rest is laid out. Where
    // the call is refused, Finish's sync writes them all as before.
    sync_file_range(fd_, started_, written_ - started_, SYNC_FILE_RANGE_WRITE);
    started_ = written_;
  }
  return true;
}

bool PendingTextFile::Finish(std::string* error) {
  if (through_ && fd_ < 0 && !Append("", error)) return false;
  if (fd_ < 0) {
    *error = "not open";
    return false;
  }
  // fsync so that a crash after the rename cannot leave the new name with
  // data that never reached the disk.
  bool ok = through_ || fsync(fd_) == 0;
  if (!ok) *error = Error();
  if (close(fd_) != 0 && ok) {
    *error = Error();
    ok = false;
  }
  fd_ = -1;
  return ok;
}

bool PendingTextFile::Write(const std::string& text, std::string* error) {
  return Append(text, error) && Finish(error);
}

bool PendingTextFile::Commit(std::string* error) {
  if (through_ || temporary_.empty()) return through_;
  if (rename(temporary_.c_str(), path_.c_str()) != 0) {
    *error = Error();
    Discard();
    return false;
  }
  Forget(slot_);
  slot_ = -1;
  temporary_.clear();
  return true;
}

void PendingTextFile::Discard() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (!temporary_.empty()) unlink(temporary_.c_str());
  Forget(slot_);
  slot_ = -1;
  temporary_.clear();
}

void RemoveTemporariesOnSignals() {
  signal_thread = pthread_self();
  struct sigaction action = {};
  action.sa_handler = OnCleanupSignal;
  sigemptyset(&action.sa_mask);
  for (const int signal : kCleanupSignals) {
    struct sigaction previous;
    // A signal the caller's parent made the process ignore stays ignored.
    if (sigaction(signal, nullptr, &previous) == 0 &&
        previous.sa_handler == SIG_IGN) {
      continue;
    }
    sigaction(signal, &action, nullptr);
  }
}

bool CommitTogether(PendingTextFile* const* files, size_t count, size_t* failed,
                    std::string* error) {
  // With the signals held, a signal ends the run before the first rename
  // or after the last: never with one file new and the other old.
  sigset_t held;
  sigset_t previous;
  sigemptyset(&held);
  for (const int signal : kCleanupSignals) sigaddset(&held, signal);
  pthread_sigmask(SIG_BLOCK, &held, &previous);
  bool ok = true;
  for (size_t i = 0; i < count && ok; ++i) {
    ok = files[i]->Commit(error);
    if (!ok) *failed = i;
  }
  for (size_t i = 0; i < count; ++i) files[i]->Discard();
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return ok;
}

bool WriteTextFile(const std::string& path, const std::string& text) {
  PendingTextFile file;
  std::string error;
  return file.Open(path, &error) && file.Write(text, &error) &&
         file.Commit(&error);
}

std::string CMCAndROCText(const CMCCurve& cmc, const CMCCurve& traditional_cmc,
                          const ROCCurve& roc) {
  return StyledJSONText(MakeCMCAndROCDocument(cmc, traditional_cmc, roc));
}

bool SaveCMCAndROC(const std::string& filename, const CMCCurve& cmc,
                   const CMCCurve& traditional_cmc, const ROCCurve& roc) {
  return WriteTextFile(filename, CMCAndROCText(cmc, traditional_cmc, roc));
}

bool WriteMatchesFile(const TopDistractorLists& top_distractors,
                      const MateRankLists& mate_ranks, PendingTextFile* file,
                      std::string* error) {
  return WriteMatchesText(top_distractors, mate_ranks,
                          [&](const std::string& piece) {
                            return file->Append(piece, error);
                          }) &&
         file->Finish(error);
}

bool SaveMatches(const std::string& filename,
                 const TopDistractorLists& top_distractors,
                 const MateRankLists& mate_ranks) {
  PendingTextFile file;
  std::string error;
  return file.Open(filename, &error) &&
         WriteMatchesFile(top_distractors, mate_ranks, &file, &error) &&
         file.Commit(&error);
}
