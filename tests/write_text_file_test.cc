// WriteTextFile replaces regular files whole or not at all, keeps their
// permissions and writes FIFOs and links through. The README's table of bad
// inputs (bad_inputs_test.cc) runs its failures to write.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string>

#include "results/result_files.h"
#include "tests/test_util.h"

namespace {

using testutil::ReadFile;

// The number of entries in `directory`: a temporary left behind adds one.
long Entries(const std::string& directory) {
  using std::filesystem::directory_iterator;
  return std::distance(directory_iterator(directory), directory_iterator());
}

// Writes 100000 bytes to `path` with WriteTextFile in a child process whose
// files may not grow past 64 KiB, so that the write fails as on a full disk.
// Returns the child's exit status: 0 written, 1 failed.
int WriteTooMuch(const std::string& path) {
  const pid_t writer = fork();
  if (writer == 0) {
    const rlimit small = {65536, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &small);
    signal(SIGXFSZ, SIG_IGN);
    _exit(WriteTextFile(path, std::string(100000, 'n')) ? 0 : 1);
  }
  int status = 0;
  waitpid(writer, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

TEST(WriteTextFileTest, ReplacesWholeOrLeavesTheOriginal) {
  testutil::ScratchDir scratch;
  const std::string path = scratch.Path("results.json");
  // A shorter text leaves nothing of the longer one it replaces.
  ASSERT_TRUE(WriteTextFile(path, std::string(10000, 'x')));
  ASSERT_TRUE(WriteTextFile(path, "{}\n"));
  EXPECT_EQ(ReadFile(path), "{}\n");
  // A failed write leaves the original and no temporary.
  EXPECT_EQ(WriteTooMuch(path), 1);
  EXPECT_EQ(ReadFile(path), "{}\n");
  EXPECT_EQ(Entries(scratch.path()), 1);
}

// Names without a directory go to the working directory. A new file gets
// 0666 less the umask; a replaced one keeps its bits whatever the umask.
TEST(WriteTextFileTest, PermissionsOfReplacedFilesAreKept) {
  testutil::ScratchDir scratch;
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
  ASSERT_EQ(chdir(scratch.path().c_str()), 0);
  // Bits before (0: a new file), umask, bits after.
  const mode_t cases[][3] = {
      {0755, 077, 0755}, {0444, 0, 0444}, {0, 022, 0644}, {0, 077, 0600}};
  for (const auto& [before, mask, after] : cases) {
    const std::string name = std::to_string(after) + ".json";
    if (before != 0) {
      testutil::WriteFile(name, "before");
      chmod(name.c_str(), before);
    }
    const mode_t saved = umask(mask);
    EXPECT_TRUE(WriteTextFile(name, "after"));
    umask(saved);
    struct stat st;
    EXPECT_TRUE(stat(name.c_str(), &st) == 0 && (st.st_mode & 07777) == after)
        << before << " " << mask;
    EXPECT_EQ(ReadFile(name), "after");
  }
  EXPECT_EQ(Entries("."), 4);
  ASSERT_EQ(chdir(cwd), 0);
}

// A FIFO gets the text (were it replaced, its reader would get nothing); a
// link leads to the new text, in the file it names even when that did not
// exist. Failures to write are run from the README's table of bad inputs.
TEST(WriteTextFileTest, FifosAndLinksAreWrittenThrough) {
  testutil::ScratchDir scratch;
  const std::string fifo = scratch.Path("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // The read end is open first and the text fits in the pipe: no blocking.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_TRUE(WriteTextFile(fifo, "through the pipe\n"));
  char buffer[64];
  const ssize_t got = std::max<ssize_t>(read(reader, buffer, 64), 0);
  close(reader);
  EXPECT_EQ(std::string(buffer, got), "through the pipe\n");
  testutil::WriteFile(scratch.Path("target.json"), "old");
  for (const char* target : {"target.json", "created.json"}) {
    const std::string link = scratch.Path(std::string("to_") + target);
    ASSERT_EQ(symlink(target, link.c_str()), 0);
    ASSERT_TRUE(WriteTextFile(link, "new"));
    EXPECT_EQ(ReadFile(scratch.Path(target)), "new");
  }
  EXPECT_EQ(Entries(scratch.path()), 5);
}

}  // namespace
