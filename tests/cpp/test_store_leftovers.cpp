// Claiming a leftover: only an entry still as it was found, and whose lock nobody
// holds, is handed over, locked. The races (an entry replaced, a link planted, an
// owner holding it) cannot be staged from Python between the search and the claim.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "store/fd.hpp"
#include "store/leftovers.hpp"
#include "test_support.hpp"

namespace {

using namespace quenlith::store;

class ClaimLeftover : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_fd_ = ::open(tmp_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dir_fd_, 0);
  }
  void TearDown() override { ::close(dir_fd_); }
  std::string path(const char* name) const { return tmp_.path() + "/" + name; }
  struct stat make_file(const char* name) const {
    std::ofstream(path(name)) << "partial";
    struct stat st {};
    EXPECT_EQ(::lstat(path(name).c_str(), &st), 0);
    return st;
  }
  // Whether another open file could take the lock of `name` now.
  bool lockable(const char* name) const {
    const Fd other(::open(path(name).c_str(), O_RDONLY | O_CLOEXEC));
    return other.get() >= 0 && try_lock(other.get(), LOCK_EX);
  }

  quenlith::testing::TempDir tmp_{"leftovers-test"};
  int dir_fd_ = -1;
};

TEST_F(ClaimLeftover, UnheldEntryIsHandedOverLocked) {
  const struct stat st = make_file("a");
  {
    const Fd claimed(claim_leftover(dir_fd_, "a", st, O_RDONLY));
    ASSERT_GE(claimed.get(), 0);
    EXPECT_FALSE(lockable("a"));  // a second remover, or a late owner, waits for it
  }
  EXPECT_TRUE(lockable("a"));
}

TEST_F(ClaimLeftover, DirectoryIsClaimedLikeAFile) {
  ASSERT_EQ(::mkdir(path("d").c_str(), 0700), 0);
  struct stat st {};
  ASSERT_EQ(::lstat(path("d").c_str(), &st), 0);
  const Fd claimed(claim_leftover(dir_fd_, "d", st, O_RDONLY | O_DIRECTORY));
  EXPECT_GE(claimed.get(), 0);
}

TEST_F(ClaimLeftover, EntryHeldByItsOwnerIsRefused) {
  const struct stat st = make_file("a");
  for (const int kind : {LOCK_SH, LOCK_EX}) {
    const Fd owner(::open(path("a").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(try_lock(owner.get(), kind));
    EXPECT_EQ(claim_leftover(dir_fd_, "a", st, O_RDONLY), -1) << kind;
  }
}

TEST_F(ClaimLeftover, EntryReplacedOrLinkedSinceItWasFoundIsRefused) {
  const struct stat st = make_file("a");
  // Another file now under that name: the owner removed its own and made another.
  make_file("kept");  // made while "a" exists: another inode
  ASSERT_EQ(::rename(path("kept").c_str(), path("a").c_str()), 0);
  EXPECT_EQ(claim_leftover(dir_fd_, "a", st, O_RDONLY), -1);
  // A link planted in place of what was found is never followed.
  const struct stat target = make_file("target");
  ASSERT_EQ(::symlink(path("target").c_str(), path("link").c_str()), 0);
  EXPECT_EQ(claim_leftover(dir_fd_, "link", target, O_RDONLY), -1);
  EXPECT_TRUE(lockable("target"));
}

TEST(StillNamed, FollowsTheNameNotTheDescriptor) {
  quenlith::testing::TempDir tmp("leftovers-test");
  const std::string a = tmp.path() + "/a";
  std::ofstream(a) << "x";
  const Fd fd(::open(a.c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_TRUE(still_named(AT_FDCWD, a.c_str(), fd.get()));
  ASSERT_EQ(::unlink(a.c_str()), 0);
  EXPECT_FALSE(still_named(AT_FDCWD, a.c_str(), fd.get()));
  std::ofstream(a) << "y";
  EXPECT_FALSE(still_named(AT_FDCWD, a.c_str(), fd.get()));
}

}  // namespace
