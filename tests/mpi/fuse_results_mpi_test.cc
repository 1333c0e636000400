// fuse_results_mpi under mpirun must give fuse_results' standard output,
// status and result files byte for byte, for any number of ranks, and any
// failure on any rank must end the whole job with status 1, a message
// naming the file and the rank, no result file and no hang.
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "matio/mat_io.h"
#include "tests/mpi/save_npy.h"
#include "tests/test_util.h"

namespace {

using testutil::Quote;
using testutil::ReadFile;
using testutil::RunResult;
using testutil::ScratchDir;

using testutil::Experiment;

Experiment Generate(const ScratchDir& dir, const std::string& name,
                    const std::vector<std::string>& flags) {
  return testutil::GenerateExperiment(dir, MAKE_EXPERIMENT_BIN, name, flags);
}

// One application context of an mpirun command line: `ranks` processes of
// the MPI program, started through `wrapper` (for example "env
// LD_PRELOAD=..."), in `directory` when given.
struct Ranks {
  Ranks(int ranks, std::string wrapper = "", std::string directory = "")
      : ranks(ranks),
        wrapper(std::move(wrapper)),
        directory(std::move(directory)) {}
  int ranks;
  std::string wrapper;
  std::string directory;
};

// The launcher, with its time limit: a job that hangs ends with status
// 124 and fails the test instead of stalling it.
// Under AddressSanitizer the ranks run without its leak check: Open MPI
// leaves allocations behind in the plugins it has unloaded by then, which
// no suppression can name. (The wire formats are leak-checked in
// share_exchange_test, and the rest of the program is fuse_results'.)
std::string Launcher() {
  std::string command = "timeout -k 10 120 mpirun --oversubscribe";
  if (testutil::kSanitized) {
    command = "ASAN_OPTIONS=\"${ASAN_OPTIONS:-}:detect_leaks=0\" " + command;
  }
  if (geteuid() == 0) command += " --allow-run-as-root";
  return command;
}

// RunMpi runs the MPI program over `contexts` with `args` for every rank.
RunResult RunMpi(const ScratchDir& dir, const std::vector<Ranks>& contexts,
                 const std::vector<std::string>& args) {
  std::string command = Launcher();
  for (size_t i = 0; i < contexts.size(); ++i) {
    if (i > 0) command += " :";
    command += " -np " + std::to_string(contexts[i].ranks);
    if (!contexts[i].directory.empty()) {
      command += " -wdir " + Quote(contexts[i].directory);
    }
    if (!contexts[i].wrapper.empty()) command += " " + contexts[i].wrapper;
    command += " " + Quote(FUSE_RESULTS_MPI_BIN);
    for (const std::string& arg : args) command += " " + Quote(arg);
  }
  return testutil::Run(dir, "/bin/sh", {"-c", command});
}

// What a run produced: status, standard output and both result files.
std::string Outcome(const RunResult& run, const std::string& results,
                    const std::string& matches) {
  return "status " + std::to_string(run.status) + "\n" + run.out +
         "--- results\n" + ReadFile(results) + "--- matches\n" +
         ReadFile(matches);
}

// ExpectSameAsOneProcess runs fuse_results and the MPI program with 1, 2
// and 3 ranks on `e` and expects the same outcome from all.
void ExpectSameAsOneProcess(const ScratchDir& dir, const Experiment& e,
                            const std::string& n,
                            const std::vector<int>& rank_counts = {1, 2, 3},
                            const std::vector<std::string>& options = {}) {
  const auto args = [&](const std::string& tag) {
    std::vector<std::string> all = options;
    all.insert(all.end(), {e.distractors, e.probes, e.info, n,
                           dir.Path("r" + tag), dir.Path("m" + tag)});
    return all;
  };
  const RunResult single = testutil::Run(dir, FUSE_RESULTS_BIN, args("1p"));
  ASSERT_EQ(single.status, 0) << single.err;
  const std::string expected =
      Outcome(single, dir.Path("r1p"), dir.Path("m1p"));
  for (const int ranks : rank_counts) {
    const std::string tag = "np" + std::to_string(ranks);
    const RunResult run = RunMpi(dir, {{ranks}}, args(tag));
    EXPECT_EQ(Outcome(run, dir.Path("r" + tag), dir.Path("m" + tag)), expected)
        << ranks << " ranks, num_distractors " << n << "\n"
        << run.err;
  }
}

TEST(FuseResultsMpiTest, SameBytesAsOneProcessForAnyRankCount) {
  ScratchDir dir;
  // 16 score levels: many equal scores fall in different ranks' shares,
  // and the best five must merge in the one tie order. The cuts below the
  // column count end inside a share; 7 columns give shares of fewer than
  // five columns, and 2 leave a rank with none.
  const Experiment ties =
      Generate(dir, "ties",
               {"--probes", "150", "--subjects", "30", "--distractors", "3000",
                "--score_levels", "16", "--seed", "5"});
  for (const std::string n : {"3000", "1501", "7", "2"}) {
    ExpectSameAsOneProcess(dir, ties, n);
  }
  // Fewer than 100 rows, and more distractor rows than probes (impostor
  // rows that are not probes).
  ExpectSameAsOneProcess(dir,
                         Generate(dir, "few",
                                  {"--probes", "40", "--subjects", "40",
                                   "--distractors", "500", "--seed", "3"}),
                         "500", {2, 3});
  ExpectSameAsOneProcess(
      dir,
      Generate(dir, "extra",
               {"--probes", "60", "--subjects", "50", "--distractors", "800",
                "--distractor_rows", "150", "--seed", "9"}),
      "800", {2, 3});
}

TEST(FuseResultsMpiTest, SameBytesWithNaNInfinitiesAndNpyFiles) {
  ScratchDir dir;
  Experiment e = Generate(dir, "e",
                          {"--probes", "80", "--subjects", "20",
                           "--distractors", "600", "--seed", "11"});
  cv::Mat distractors, probes;
  ASSERT_TRUE(MatIO::Load(e.distractors, &distractors));
  ASSERT_TRUE(MatIO::Load(e.probes, &probes));
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity()};
  for (int k = 0; k < 400; ++k) {
    distractors.at<float>(k * 7 % distractors.rows, k * 13 % distractors.cols) =
        specials[k % 3];
  }
  for (int k = 0; k < 30; ++k) {
    probes.at<float>(k * 5 % probes.rows, k * 3 % probes.cols) =
        specials[k % 3];
  }
  ASSERT_TRUE(MatIO::Save(e.distractors, distractors));
  ASSERT_TRUE(MatIO::Save(e.probes, probes));
  ExpectSameAsOneProcess(dir, e, "600", {2, 3});
  ExpectSameAsOneProcess(dir, e, "299", {3});
  // .npy files: float64 in Fortran order (read in blocks of columns) and
  // float32 in C order.
  e.distractors = dir.Path("distractors_f8.npy");
  testutil::SaveNpy(e.distractors, distractors, true, true);
  ExpectSameAsOneProcess(dir, e, "600", {3});
  e.distractors = dir.Path("distractors_f4.npy");
  testutil::SaveNpy(e.distractors, distractors, false, false);
  ExpectSameAsOneProcess(dir, e, "333", {2});
}

TEST(FuseResultsMpiTest, SameBytesFromFeaturesSplitByTiles) {
  ScratchDir dir;
  // 2,500 distractors: three tiles, so that 2 and 3 ranks each score whole
  // tiles of their own; a cut inside the second tile; duplicate, zero and
  // NaN rows.
  const RunResult made = testutil::Run(
      dir, MAKE_FEATURES_BIN,
      {"--out", dir.path(), "--probes", "300", "--subjects", "100",
       "--distractors", "2500", "--dim", "24", "--raw", "--noise", "1.5",
       "--duplicate_rows", "20", "--zero_rows", "2", "--nan_rows", "2"});
  ASSERT_EQ(made.status, 0) << made.err;
  const Experiment e{dir.Path("distractor_features.npy"),
                     dir.Path("probe_features.npy"),
                     dir.Path("probe_info.json")};
  ExpectSameAsOneProcess(dir, e, "2500", {2, 3},
                         {"--features", "--metric", "l2"});
  ExpectSameAsOneProcess(dir, e, "1100", {3}, {"--features"});
}

// Failures: the job ends with status 1 within the time limit, says what
// is wrong with the file and on which rank, and leaves no file in the
// output folder.
class FuseResultsMpiFailureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    e_ = Generate(dir_, "e",
                  {"--probes", "200", "--subjects", "40", "--distractors",
                   "4000", "--seed", "2"});
    std::filesystem::create_directory(out_);
  }

  std::vector<std::string> Args(const std::string& distractors) const {
    return {distractors,
            e_.probes,
            e_.info,
            "4000",
            out_ + "/results.json",
            out_ + "/match_results.json"};
  }

  void ExpectFailure(const RunResult& run, const std::string& message) {
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    for (const auto& entry : std::filesystem::directory_iterator(out_)) {
      ADD_FAILURE() << "left behind: " << entry.path() << "\n" << run.err;
    }
  }

  // The wrapper that loads the faults of fail_reads.c into one context.
  static std::string Faults(const std::string& settings) {
    return "env LD_PRELOAD=" + Quote(FAIL_READS_LIBRARY) + " " + settings;
  }

  ScratchDir dir_;
  Experiment e_;
  const std::string out_ = dir_.Path("out");
};

TEST_F(FuseResultsMpiFailureTest, FileShorterThanItsHeaderOrNotAFile) {
  // The file ends inside the second rank's share.
  const std::string cut = dir_.Path("cut.mat");
  testutil::WriteFile(cut, ReadFile(e_.distractors).substr(0, 16 + 3000 * 4));
  ExpectFailure(RunMpi(dir_, {{2}}, Args(cut)), cut + ": rank 0 of 2: ");
  // A lying header: 456 rows, where the data holds 200.
  std::string lying = ReadFile(e_.distractors);
  lying[1] = '\x01';
  const std::string liar = dir_.Path("liar.mat");
  testutil::WriteFile(liar, lying);
  ExpectFailure(RunMpi(dir_, {{3}}, Args(liar)), liar + ": rank 0 of 3: ");
  // A FIFO cannot be split; it is refused before anything is read from it
  // (nobody writes to it, so opening it would hang).
  const std::string fifo = dir_.Path("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const RunResult run = RunMpi(dir_, {{2}}, Args(fifo));
  ExpectFailure(run, fifo + ": is not a regular file");
  EXPECT_NE(run.err.find("fuse_results instead"), std::string::npos);
}

TEST_F(FuseResultsMpiFailureTest, AnotherFileOnOneRankIsRefused) {
  // The same relative path leads each rank's working folder to a
  // different file.
  for (const char* name : {"a", "b"}) {
    std::filesystem::create_directory(dir_.Path(name));
  }
  std::filesystem::copy_file(e_.distractors, dir_.Path("a/d.mat"));
  cv::Mat other(200, 3999, CV_32F, cv::Scalar(0.5f));
  ASSERT_TRUE(MatIO::Save(dir_.Path("b/d.mat"), other));
  ExpectFailure(RunMpi(dir_, {{1, "", dir_.Path("a")}, {1, "", dir_.Path("b")}},
                       Args("d.mat")),
                "d.mat: rank 1 of 2: holds a 200 x 3999");
}

TEST_F(FuseResultsMpiFailureTest, FaultOnOneRanksShareEndsEveryRank) {
  if (testutil::kSanitized) {
    GTEST_SKIP() << "the faults are injected with LD_PRELOAD, which a "
                    "sanitizer's own allocator and interceptors exclude";
  }
  // The second rank's reads fail past the first rows of its share; rank 0
  // stops and says so.
  const std::string reads = Faults("FAIL_READS_FROM=100000");
  const RunResult run = RunMpi(dir_, {{1}, {1, reads}}, Args(e_.distractors));
  ExpectFailure(run, e_.distractors + ": rank 1 of 2: stream ends after");
  EXPECT_NE(run.err.find(e_.distractors + ": rank 0 of 2: stopped, since "
                                          "another rank could not read"),
            std::string::npos);
  const std::string last_line = "Couldn't load distractor scores!\n";
  EXPECT_EQ(run.out.substr(run.out.size() - last_line.size()), last_line);
  // Rank 0's own share fails while the others scan theirs.
  ExpectFailure(RunMpi(dir_, {{1, reads}, {2}}, Args(e_.distractors)),
                e_.distractors + ": rank 0 of 3: stream ends after");
  // An allocation fails on the last rank.
  ExpectFailure(RunMpi(dir_, {{2}, {1, Faults("FAIL_MALLOC_ABOVE=500000")}},
                       Args(e_.distractors)),
                e_.distractors + ": rank 2 of 3: out of memory");
}

}  // namespace
