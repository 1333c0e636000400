// WriteTextFile replaces regular files whole or not at all, keeps their
// permissions, and writes devices and FIFOs straight through.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "results/result_files.h"
#include "tests/test_util.h"

namespace {

using testutil::ReadFile;
using testutil::ScratchDir;

std::vector<std::string> Entries(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename());
  }
  return names;
}

mode_t Mode(const std::string& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0 ? status.st_mode : 0;
}

// Writes `bytes` bytes to `path` with WriteTextFile in a child process whose
// files may not grow past 64 KiB, whoever runs the test, with SIGXFSZ handled
// by `on_limit`: SIG_IGN makes a longer write fail with EFBIG, as on a full
// disk; SIG_DFL kills the writer in the middle of its write. Returns the
// child's exit status (0: written, 1: failed), or 128 + its signal.
int WriteLimited(const std::string& path, size_t bytes, sighandler_t on_limit) {
  const pid_t writer = fork();
  if (writer == 0) {
    const rlimit no_core = {0, 0}, small = {65536, RLIM_INFINITY};
    setrlimit(RLIMIT_CORE, &no_core);
    setrlimit(RLIMIT_FSIZE, &small);
    signal(SIGXFSZ, on_limit);
    _exit(WriteTextFile(path, std::string(bytes, 'n')) ? 0 : 1);
  }
  int status = 0;
  waitpid(writer, &status, 0);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

TEST(AtomicWriteTest, FailedOrKilledWritesLeaveTheOriginal) {
  ScratchDir scratch;
  const std::string path = scratch.Path("results.json");
  const std::string original = "{ \"complete\" : true }\n";
  testutil::WriteFile(path, original);
  // A failed write leaves no temporary behind, nor does a directory that
  // does not exist.
  EXPECT_EQ(WriteLimited(path, 100000, SIG_IGN), 1);
  EXPECT_EQ(WriteLimited(scratch.Path("new.json"), 100000, SIG_IGN), 1);
  EXPECT_FALSE(WriteTextFile(scratch.Path("missing/out.json"), "x"));
  EXPECT_EQ(ReadFile(path), original);
  EXPECT_EQ(Entries(scratch.path()), std::vector<std::string>{"results.json"});
  // A killed writer leaves at most its hidden temporary, named after the
  // target.
  EXPECT_EQ(WriteLimited(path, 100000, SIG_DFL), 128 + SIGXFSZ);
  EXPECT_EQ(ReadFile(path), original);
  for (const std::string& name : Entries(scratch.path())) {
    EXPECT_TRUE(name == "results.json" ||
                (name.rfind(".results.json.", 0) == 0 && name.size() == 20))
        << name;
  }
}

TEST(AtomicWriteTest, PermissionsOfReplacedFilesAreKept) {
  ScratchDir scratch;
  // Names without a directory: the files go to the working directory.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
  ASSERT_EQ(chdir(scratch.path().c_str()), 0);
  const struct {
    const char* name;
    mode_t before, umask, after;  // before 0: a new file.
  } cases[] = {{"out.json", 0600, 022, 0600}, {"out.json", 0444, 077, 0444},
               {"out.json", 0755, 0, 0755},   {"a.json", 0, 022, 0644},
               {"b.json", 0, 077, 0600},      {"c.json", 0, 0, 0666}};
  for (const auto& c : cases) {
    if (c.before != 0) {
      testutil::WriteFile(c.name, "before");
      chmod(c.name, c.before);
    }
    const mode_t saved = umask(c.umask);
    EXPECT_TRUE(WriteTextFile(c.name, "after"));
    umask(saved);
    EXPECT_EQ(Mode(c.name) & 07777, c.after) << c.name << " " << c.before;
    EXPECT_EQ(ReadFile(c.name), "after");
  }
  EXPECT_EQ(Entries(".").size(), 4u);  // No temporary left behind.
  ASSERT_EQ(chdir(cwd), 0);
}

TEST(AtomicWriteTest, FIFOsDevicesAndLinksAreWrittenThrough) {
  ScratchDir scratch;
  const std::string fifo = scratch.Path("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // The read end is open first, so the write neither blocks nor, when it
  // goes wrong, leaves the test waiting; the text fits in the pipe.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_TRUE(WriteTextFile(fifo, "through the pipe\n"));
  char buffer[64] = {};
  EXPECT_EQ(read(reader, buffer, sizeof(buffer)), 17);
  EXPECT_EQ(std::string(buffer), "through the pipe\n");
  close(reader);
  EXPECT_TRUE(S_ISFIFO(Mode(fifo)));
  // A device keeps refusing data it cannot hold.
  EXPECT_FALSE(WriteTextFile("/dev/full", "x"));
  // A symbolic link stays a link and the file it leads to is replaced; a
  // dangling link creates its target.
  testutil::WriteFile(scratch.Path("target.json"), "old");
  for (const char* target : {"target.json", "created.json"}) {
    const std::string link = scratch.Path(std::string("to_") + target);
    ASSERT_EQ(symlink(target, link.c_str()), 0);
    ASSERT_TRUE(WriteTextFile(link, "new"));
    EXPECT_TRUE(S_ISLNK(Mode(link)));
    EXPECT_EQ(ReadFile(scratch.Path(target)), "new");
  }
}

}  // namespace
