// WriteTextFile replaces regular files whole or not at all, keeps their
// permissions, and writes devices and FIFOs straight through.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "results/result_files.h"
#include "tests/test_util.h"

namespace {

using testutil::ReadFile;
using testutil::ScratchDir;

std::vector<std::string> Entries(const std::string& directory) {
  std::vector<std::string> names;
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return names;
}

ino_t Inode(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

mode_t Mode(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0 ? status.st_mode : 0;
}

// While it lives, regular files written by this process may not grow past
// `bytes`: a longer write fails with EFBIG (SIGXFSZ ignored), as on a full
// disk, whoever the process runs as.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    old_handler_ = signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit limited = saved_;
    limited.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limited);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, old_handler_);
  }

 private:
  rlimit saved_{};
  sighandler_t old_handler_;
};

TEST(AtomicWriteTest, ReplacesTheFileWholeWithANewOne) {
  ScratchDir scratch;
  const std::string path = scratch.Path("results.json");
  testutil::WriteFile(path, "old content\n");
  const ino_t old_inode = Inode(path);
  // A reader that opened the file before the write keeps the old content,
  // whole: the file was never truncated or written in place.
  const int reader = open(path.c_str(), O_RDONLY);
  ASSERT_GE(reader, 0);

  ASSERT_TRUE(WriteTextFile(path, "new\n"));
  EXPECT_EQ(ReadFile(path), "new\n");
  EXPECT_NE(Inode(path), old_inode);
  char buffer[64] = {};
  EXPECT_EQ(read(reader, buffer, sizeof(buffer)), 12);
  EXPECT_EQ(std::string(buffer), "old content\n");
  close(reader);
  EXPECT_EQ(Entries(scratch.path()), std::vector<std::string>{"results.json"});

  // A new file, and one in the working directory (a name without a slash).
  ASSERT_TRUE(WriteTextFile(scratch.Path("fresh.json"), ""));
  EXPECT_EQ(ReadFile(scratch.Path("fresh.json")), "");
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
  ASSERT_EQ(chdir(scratch.path().c_str()), 0);
  const bool relative_ok = WriteTextFile("relative.json", "r\n");
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_TRUE(relative_ok);
  EXPECT_EQ(ReadFile(scratch.Path("relative.json")), "r\n");
  EXPECT_EQ(Entries(scratch.path()).size(), 3u);
}

TEST(AtomicWriteTest, FailedWritesLeaveTheOriginalAndNoTemporary) {
  ScratchDir scratch;
  const std::string path = scratch.Path("matches.json");
  const std::string original(3000, 'o');
  testutil::WriteFile(path, original);
  {
    FileSizeLimit limit(4096);
    EXPECT_FALSE(WriteTextFile(path, std::string(10000, 'n')));
    EXPECT_FALSE(WriteTextFile(scratch.Path("new.json"), std::string(5000, 'n')));
  }
  EXPECT_EQ(ReadFile(path), original);
  EXPECT_EQ(Entries(scratch.path()), std::vector<std::string>{"matches.json"});

  // A directory that does not exist: nothing is created anywhere.
  EXPECT_FALSE(WriteTextFile(scratch.Path("missing/out.json"), "x"));
  EXPECT_EQ(Entries(scratch.path()), std::vector<std::string>{"matches.json"});
}

// A writer killed in the middle of its write (here by SIGXFSZ, which ends a
// process like a kill) leaves the target as it was; only its hidden
// temporary, named after the target, may remain.
TEST(AtomicWriteTest, KilledWriterLeavesTheTargetIntact) {
  ScratchDir scratch;
  const std::string path = scratch.Path("results.json");
  const std::string original = "{ \"complete\" : true }\n";
  testutil::WriteFile(path, original);
  const pid_t writer = fork();
  if (writer == 0) {
    const rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    signal(SIGXFSZ, SIG_DFL);
    const rlimit small = {65536, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &small);
    WriteTextFile(path, std::string(1 << 20, 'n'));
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(writer, &status, 0), writer);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGXFSZ);
  EXPECT_EQ(ReadFile(path), original);
  for (const std::string& name : Entries(scratch.path())) {
    if (name == "results.json") continue;
    EXPECT_EQ(name.rfind(".results.json.", 0), 0u) << name;
    EXPECT_EQ(name.size(), std::string(".results.json.XXXXXX").size());
  }
}

TEST(AtomicWriteTest, PermissionsOfReplacedFilesAreKept) {
  ScratchDir scratch;
  const std::string path = scratch.Path("out.json");
  for (mode_t mode : {0600, 0640, 0444, 0755}) {
    SCOPED_TRACE(mode);
    testutil::WriteFile(path, "before");
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    ASSERT_TRUE(WriteTextFile(path, "after"));
    EXPECT_EQ(Mode(path) & 07777, mode);
    EXPECT_EQ(ReadFile(path), "after");
  }
  // A new file gets 0666 less the umask, as any file the process creates.
  for (mode_t mask : {022, 077, 0}) {
    SCOPED_TRACE(mask);
    const std::string fresh = scratch.Path("fresh" + std::to_string(mask));
    const mode_t saved = umask(mask);
    const bool ok = WriteTextFile(fresh, "x");
    umask(saved);
    ASSERT_TRUE(ok);
    EXPECT_EQ(Mode(fresh) & 07777, 0666 & ~mask);
  }
}

TEST(AtomicWriteTest, FIFOsAndLinksAreWrittenThrough) {
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

  // A symbolic link stays a link; the file it leads to is replaced.
  const std::string target = scratch.Path("target.json");
  const std::string link = scratch.Path("link.json");
  testutil::WriteFile(target, "old");
  ASSERT_EQ(symlink("target.json", link.c_str()), 0);
  ASSERT_TRUE(WriteTextFile(link, "new"));
  struct stat status;
  ASSERT_EQ(lstat(link.c_str(), &status), 0);
  EXPECT_TRUE(S_ISLNK(status.st_mode));
  EXPECT_EQ(ReadFile(target), "new");
  // A dangling link creates its target.
  const std::string dangling = scratch.Path("dangling.json");
  ASSERT_EQ(symlink("created.json", dangling.c_str()), 0);
  ASSERT_TRUE(WriteTextFile(dangling, "made"));
  EXPECT_EQ(ReadFile(scratch.Path("created.json")), "made");

  // A device keeps refusing data it cannot hold.
  EXPECT_FALSE(WriteTextFile("/dev/full", "x"));
}

}  // namespace
