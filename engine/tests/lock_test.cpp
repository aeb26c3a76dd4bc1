// The lock file: creation without truncation, refusal of a second holder in this process, and
// waiting for a holder in another process.
#include <gtest/gtest.h>
#include <poll.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "core/error.h"
#include "storage/lock.h"

namespace quib::storage {
namespace {

namespace fs = std::filesystem;

class LockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quib_lock_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    lock_path_ = dir_ + "/lock.edb";
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string dir_;
  std::string lock_path_;
};

std::string content_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

TEST_F(LockTest, CreatesAMissingFileEmptyAndLeavesItBehind) {
  { DatabaseLock lock = DatabaseLock::acquire(lock_path_); }
  ASSERT_TRUE(fs::exists(lock_path_));
  EXPECT_EQ(fs::file_size(lock_path_), 0u);
}

TEST_F(LockTest, NeverTruncatesAnExistingFile) {
  std::ofstream(lock_path_) << "keep me";
  { DatabaseLock lock = DatabaseLock::acquire(lock_path_); }
  EXPECT_EQ(content_of(lock_path_), "keep me");
}

TEST_F(LockTest, OpenFailureNamesTheLockFile) {
  const std::string missing = dir_ + "/absent/lock.edb";
  try {
    DatabaseLock::acquire(missing);
    FAIL() << "acquire in a missing directory succeeded";
  } catch (const Error& error) {
    EXPECT_EQ(error.full(),
              "open lock file " + missing + ": No such file or directory (os error 2)");
  }
}

TEST_F(LockTest, SecondHolderInThisProcessIsRefusedAtOnceUntilTheFirstIsGone) {
  std::optional<DatabaseLock> first(DatabaseLock::acquire(lock_path_));
  const auto started = std::chrono::steady_clock::now();
  try {
    DatabaseLock::acquire(lock_path_);
    FAIL() << "second acquire in the same process succeeded";
  } catch (const Error& error) {
    EXPECT_STREQ(error.what(), "acquire exclusive lock");
    EXPECT_EQ(error.root(),
              "database directory " + dir_ + " is already open read-write in this process");
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));

  // Another spelling of the same directory is the same directory.
  const std::string other_spelling = dir_ + "/./lock.edb";
  EXPECT_THROW(DatabaseLock::acquire(other_spelling), Error);

  // A moved lock still holds; destroying it releases.
  DatabaseLock moved = std::move(*first);
  first.reset();
  EXPECT_THROW(DatabaseLock::acquire(lock_path_), Error);
  { DatabaseLock gone = std::move(moved); }
  EXPECT_NO_THROW(DatabaseLock::acquire(lock_path_));
}

TEST_F(LockTest, OtherDirectoriesAreIndependent) {
  const std::string other_dir = dir_ + "/other";
  fs::create_directory(other_dir);
  DatabaseLock first = DatabaseLock::acquire(lock_path_);
  EXPECT_NO_THROW(DatabaseLock::acquire(other_dir + "/lock.edb"));
}

// Reads one byte from `fd`, waiting at most `timeout_ms`; false on timeout or end of file.
bool read_byte(int fd, int timeout_ms) {
  pollfd pfd{fd, POLLIN, 0};
  if (poll(&pfd, 1, timeout_ms) <= 0) return false;
  char byte = 0;
  return read(fd, &byte, 1) == 1;
}

TEST_F(LockTest, AnotherProcessWaitsUntilTheHolderReleases) {
  int go[2];
  int acquired[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(acquired), 0);
  // The child is made before the parent holds the lock, so it inherits no share of the holding.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(go[1]);
    close(acquired[0]);
    char byte = 0;
    if (read(go[0], &byte, 1) != 1) _exit(2);
    try {
      DatabaseLock lock = DatabaseLock::acquire(lock_path_);
      if (write(acquired[1], "x", 1) != 1) _exit(3);
    } catch (...) {
      _exit(4);
    }
    _exit(0);
  }
  close(go[0]);
  close(acquired[1]);

  std::optional<DatabaseLock> held(DatabaseLock::acquire(lock_path_));
  ASSERT_EQ(write(go[1], "g", 1), 1);
  EXPECT_FALSE(read_byte(acquired[0], 500)) << "the other process did not wait";
  held.reset();
  EXPECT_TRUE(read_byte(acquired[0], 10000)) << "the other process never got the lock";

  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  close(go[1]);
  close(acquired[0]);
}

// True when a fresh opening of `path` could take the lock now, i.e. nobody holds it.
bool lock_is_free(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
  close(fd);
  return free;
}

TEST_F(LockTest, AForkedChildDroppingItsCopyLeavesTheParentsLockHeld) {
  std::optional<DatabaseLock> held(DatabaseLock::acquire(lock_path_));
  ASSERT_FALSE(lock_is_free(lock_path_));
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    held.reset();  // the child's copy shares the parent's locked file description
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_FALSE(lock_is_free(lock_path_)) << "the child's copy unlocked the parent's lock";
  held.reset();
  EXPECT_TRUE(lock_is_free(lock_path_));
}

}  // namespace
}  // namespace quib::storage
