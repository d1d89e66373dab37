#pragma once
// An owned file descriptor, closed when dropped.
#include <unistd.h>

namespace quenlith::store {

class Fd {
 public:
  explicit Fd(int fd) noexcept : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const noexcept { return fd_; }
  // Gives the descriptor up to the caller, who closes it.
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now, reporting the error (a delayed write error can surface here).
  int close() noexcept {
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

}  // namespace quenlith::store
