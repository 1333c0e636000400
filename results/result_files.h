// The two result documents of a run: the results file with the three
// curves, and the match results file with every probe's best distractors
// and mate ranks. Both are laid out by StyledJSONText.
#ifndef FUSE_RESULTS_RESULTS_RESULT_FILES_H_
#define FUSE_RESULTS_RESULTS_RESULT_FILES_H_

#include <cstdint>
#include <functional>
#include <string>

#include <json/json.h>

#include "metrics/curves.h"
#include "metrics/identification.h"
#include "metrics/top_distractors.h"

// MakeCMCAndROCDocument returns the results document: an object with
// "cmc", "roc" and "traditional_cmc", each [[first members], [second
// members]] of its curve's points, a member only for a non-empty curve;
// null when all three curves are empty. Rank indexes are integers, rates
// and ROC coordinates reals.
Json::Value MakeCMCAndROCDocument(const CMCCurve& cmc,
                                  const CMCCurve& traditional_cmc,
                                  const ROCCurve& roc);

// WriteMatchesText hands the laid-out match results document (see
// MatchesText) to `write` in pieces of about a hundred kilobytes, in order,
// so that the whole text is never held at once; the pieces are laid out in
// parallel, and `write` is called on the calling thread. Returns false as
// soon as `write` does.
bool WriteMatchesText(const TopDistractorLists& top_distractors,
                      const MateRankLists& mate_ranks,
                      const std::function<bool(const std::string&)>& write);

// MatchesText returns the match results document, laid out: an array with
// one object per entry of `top_distractors`, holding "distractors"
// ({"idx", "score"}, or null for an empty list) and "probes" ({"idx",
// "rank"}, or null for an empty list or one past the end of `mate_ranks`;
// a rank is written as the signed 32-bit integer of its low 32 bits); the
// document is null when there are no probes.
std::string MatchesText(const TopDistractorLists& top_distractors,
                        const MateRankLists& mate_ranks);

// CMCAndROCText returns the laid-out results document.
std::string CMCAndROCText(const CMCCurve& cmc, const CMCCurve& traditional_cmc,
                          const ROCCurve& roc);

// PendingTextFile replaces the file at a path with a text in three steps,
// so that a run can prepare its files before its long work, and replace
// several of them only when every one is complete:
// - Open: a regular file (or a missing one) gets a new file
//   ".<name>.XXXXXX" beside it now, with the old file's permission bits
//   (and owner, when the process may set it, as root), or 0666 less the
//   umask for a new one. A symbolic link stays and its target is replaced.
//   Any other path that exists (a device such as /dev/stdout, a FIFO, a
//   dangling link) is to be written straight through instead.
// - Write (or Append, piece by piece, then Finish): the whole text into
//   the new file, synced to the disk; or straight into the path. A new
//   file's pages start on their way to the disk as each megabyte or so is
//   appended, so that Finish's sync has little left to wait for.
// - Commit: the new file renamed over the path, so that a reader or a crash
//   sees the old content or the new, never a part.
// Every step returns false with a description in `*error` when it fails;
// the new file is then removed (Discard, or destruction, removes it too)
// and the path is as it was, except for a path written straight through.
class PendingTextFile {
 public:
  PendingTextFile() = default;
  PendingTextFile(const PendingTextFile&) = delete;
  PendingTextFile& operator=(const PendingTextFile&) = delete;
  ~PendingTextFile();

  bool Open(const std::string& path, std::string* error);
  bool Write(const std::string& text, std::string* error);
  bool Append(const std::string& text, std::string* error);
  bool Finish(std::string* error);
  bool Commit(std::string* error);
  void Discard();

 private:
  std::string path_;       // Where the text goes: a link's target.
  std::string temporary_;  // The new file; empty when written through.
  int slot_ = -1;          // Where the signal handler finds it.
  int fd_ = -1;
  bool through_ = false;
  int64_t written_ = 0;  // Bytes appended to the new file.
  int64_t started_ = 0;  // Of those, the bytes whose write-out has started.
};

// RemoveTemporariesOnSignals makes SIGINT, SIGTERM, SIGHUP and SIGPIPE
// (those the process does not ignore) remove the new files of every
// PendingTextFile not yet committed or discarded, then end the process by
// the same signal, so that its caller sees the usual death. Call it from
// the thread that opens and commits the files; a signal that reaches
// another thread is passed on to that one.
void RemoveTemporariesOnSignals();

// CommitTogether commits `count` files back to back, with those signals
// held off meanwhile, so that a signal ends the process before the first
// rename or after the last. Returns true iff all were committed; otherwise
// sets `*failed` to the index of the first that failed and `*error`, and
// discards the rest.
bool CommitTogether(PendingTextFile* const* files, size_t count, size_t* failed,
                    std::string* error);

// WriteTextFile replaces the file at `path` with `text` as PendingTextFile
// does. Returns true iff the whole text was written and the file is in
// place.
bool WriteTextFile(const std::string& path, const std::string& text);

// WriteMatchesFile writes the match results document into the opened
// `file` a piece at a time (WriteMatchesText) and finishes it, ready to
// be committed. Returns false with `*error` when a write fails.
bool WriteMatchesFile(const TopDistractorLists& top_distractors,
                      const MateRankLists& mate_ranks, PendingTextFile* file,
                      std::string* error);

// SaveCMCAndROC writes the results document to `filename`. Returns true iff
// the file was completely written.
bool SaveCMCAndROC(const std::string& filename, const CMCCurve& cmc,
                   const CMCCurve& traditional_cmc, const ROCCurve& roc);

// SaveMatches writes the match results document to `filename`. Returns
// true iff the file was completely written.
bool SaveMatches(const std::string& filename,
                 const TopDistractorLists& top_distractors,
                 const MateRankLists& mate_ranks);

#endif  // FUSE_RESULTS_RESULTS_RESULT_FILES_H_
