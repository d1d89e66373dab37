// The swap directory setting and its private default. The default is made once per
// process, so each default case runs in a fresh process (a threadsafe death test
// re-executes this binary for that test alone). Such a child runs the fixture's
// SetUp but never its TearDown: it removes its own directory before it leaves.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "base/error.hpp"
#include "store/swap_dir.hpp"
#include "test_support.hpp"

namespace {

using namespace quenlith::store;
using quenlith::Error;
namespace fs = std::filesystem;

// In the child: report the first mismatch on stderr and leave with 1.
#define CHILD_EXPECT(cond)                                                 \
  do {                                                                     \
    if (!(cond)) {                                                         \
      std::fprintf(stderr, "failed: %s (line %d)\n", #cond, __LINE__);     \
      child_exit(1);                                                       \
    }                                                                      \
  } while (0)

std::string error_text_of_swap_dir() {
  try {
    (void)swap_dir();
  } catch (const Error& e) {
    return e.text();
  }
  return "<no error>";
}

unsigned mode_of(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return 0xFFFF;
  return st.st_mode & 07777;
}

class SwapDirDefault : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
  std::string expected_default() const { return base_ + "/quenlith-swap-" + std::to_string(::getpid()); }
  // The end of a child: its directory goes, then the process, with `code`.
  [[noreturn]] void child_exit(int code) {
    dir_.remove();
    std::_Exit(code);
  }
  quenlith::testing::TempDir dir_{"swapdir-test"};
  const std::string base_ = dir_.path();
};

TEST_F(SwapDirDefault, SetPathIsKeptAsGivenAndNotCreated) {
  EXPECT_EXIT(
      {
        set_swap_dir("relative/not/there");
        CHILD_EXPECT(swap_dir() == "relative/not/there");
        CHILD_EXPECT(!fs::exists("relative/not/there"));
        set_swap_dir("/second");
        CHILD_EXPECT(swap_dir() == "/second");
        child_exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(SwapDirDefault, CreatedPrivateUnderTmpdirOnce) {
  EXPECT_EXIT(
      {
        ::setenv("TMPDIR", (base_ + "/deeper/").c_str(), 1);
        const std::string want = base_ + "/deeper/quenlith-swap-" + std::to_string(::getpid());
        CHILD_EXPECT(swap_dir() == want);
        CHILD_EXPECT(fs::is_directory(want));
        CHILD_EXPECT(mode_of(want) == 0700);
        fs::remove(want);
        CHILD_EXPECT(swap_dir() == want);  // kept, not made again
        CHILD_EXPECT(!fs::exists(want));
        set_swap_dir("elsewhere");
        CHILD_EXPECT(swap_dir() == "elsewhere");
        child_exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(SwapDirDefault, TmpdirUnsetMeansTmp) {
  EXPECT_EXIT(
      {
        ::unsetenv("TMPDIR");
        const std::string want = "/tmp/quenlith-swap-" + std::to_string(::getpid());
        CHILD_EXPECT(swap_dir() == want);
        CHILD_EXPECT(fs::is_directory(want));
        fs::remove(want);
        child_exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(SwapDirDefault, SymbolicLinkInTheWayIsRefusedThenRetried) {
  EXPECT_EXIT(
      {
        ::setenv("TMPDIR", base_.c_str(), 1);
        const std::string path = expected_default();
        fs::create_directory(base_ + "/target");
        fs::create_directory_symlink(base_ + "/target", path);
        CHILD_EXPECT(error_text_of_swap_dir() ==
                     "I/O error: swap directory " + path + " is not a private directory of this user");
        fs::remove(path);
        CHILD_EXPECT(swap_dir() == path);  // nothing was kept: the next call tries again
        child_exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(SwapDirDefault, FileInTheWayIsOsError) {
  EXPECT_EXIT(
      {
        std::ofstream(base_ + "/file") << "x";
        ::setenv("TMPDIR", (base_ + "/file").c_str(), 1);
        CHILD_EXPECT(error_text_of_swap_dir() == "I/O error: Not a directory (os error 20)");
        child_exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(SwapDirDefault, DirectoryOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a directory away";
  EXPECT_EXIT(
      {
        ::setenv("TMPDIR", base_.c_str(), 1);
        const std::string path = expected_default();
        fs::create_directory(path);
        CHILD_EXPECT(::chown(path.c_str(), 65534, 65534) == 0);
        CHILD_EXPECT(error_text_of_swap_dir() ==
                     "I/O error: swap directory " + path + " is not a private directory of this user");
        child_exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(SwapDirDefault, OwnOpenDirectoryIsMadePrivate) {
  EXPECT_EXIT(
      {
        ::setenv("TMPDIR", base_.c_str(), 1);
        const std::string path = expected_default();
        fs::create_directory(path);
        ::chmod(path.c_str(), 0777);
        CHILD_EXPECT(swap_dir() == path);
        CHILD_EXPECT(mode_of(path) == 0700);
        child_exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// Runs `body` in a forked child that then exits normally, so that its exit handlers
// run; its process id once it exited with 0, else -1.
template <class F>
pid_t exited_child(F&& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    body();
    std::exit(0);
  }
  int status = 0;
  const bool ok = pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return ok ? pid : -1;
}

TEST_F(SwapDirDefault, EmptyDefaultGoesAtExitOfTheProcessThatMadeIt) {
  EXPECT_EXIT(
      {
        ::setenv("TMPDIR", base_.c_str(), 1);
        auto default_of = [&](pid_t pid) { return base_ + "/quenlith-swap-" + std::to_string(pid); };
        const pid_t empty = exited_child([] { (void)swap_dir(); });
        CHILD_EXPECT(empty > 0 && !fs::exists(default_of(empty)));
        const pid_t full = exited_child([] { std::ofstream(swap_dir() + "/left") << "x"; });
        CHILD_EXPECT(full > 0 && fs::exists(default_of(full) + "/left"));
        // There before the process came: not made by it, so it stays.
        const pid_t found = exited_child([&] {
          fs::create_directory(default_of(::getpid()));
          (void)swap_dir();
        });
        CHILD_EXPECT(found > 0 && fs::is_directory(default_of(found)));
        // A forked child inherits the setting, not the directory.
        const std::string mine = swap_dir();
        const pid_t forked = exited_child([&] {
          if (swap_dir() != mine) std::_Exit(1);
        });
        CHILD_EXPECT(forked > 0 && fs::is_directory(mine));
        child_exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
