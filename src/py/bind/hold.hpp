#pragma once
// Per-object hold counters. A call holds the Python objects it receives shared,
// or exclusively for the few operations that edit a container in place; a
// conflicting hold fails at once, it never waits.
#include <Python.h>

#include <atomic>

#include "py/bind/errors.hpp"

namespace quenlith::py {

// > 0: that many shared holds; -1: one exclusive hold; 0: free.
class HoldCounter {
 public:
  void acquire_shared() {
    Py_ssize_t v = count_.load(std::memory_order_relaxed);
    do {
      if (v < 0) raise_runtime_error("Already mutably borrowed");
    } while (!count_.compare_exchange_weak(v, v + 1, std::memory_order_acquire, std::memory_order_relaxed));
  }
  void acquire_exclusive() {
    Py_ssize_t expected = 0;
    if (!count_.compare_exchange_strong(expected, -1, std::memory_order_acquire, std::memory_order_relaxed))
      raise_runtime_error("Already borrowed");
  }
  void release_shared() noexcept { count_.fetch_sub(1, std::memory_order_release); }
  void release_exclusive() noexcept { count_.store(0, std::memory_order_release); }

 private:
  std::atomic<Py_ssize_t> count_{0};
};

// The common head of every object of the module's classes.
struct ObjectBase {
  PyObject_HEAD
  HoldCounter hold;
};

class [[nodiscard]] SharedHold {
 public:
  explicit SharedHold(ObjectBase* obj) : obj_(obj) { obj_->hold.acquire_shared(); }
  SharedHold(const SharedHold&) = delete;
  SharedHold& operator=(const SharedHold&) = delete;
  ~SharedHold() { obj_->hold.release_shared(); }

 private:
  ObjectBase* obj_;
};

class [[nodiscard]] ExclusiveHold {
 public:
  explicit ExclusiveHold(ObjectBase* obj) : obj_(obj) { obj_->hold.acquire_exclusive(); }
  ExclusiveHold(const ExclusiveHold&) = delete;
  ExclusiveHold& operator=(const ExclusiveHold&) = delete;
  ~ExclusiveHold() { obj_->hold.release_exclusive(); }

 private:
  ObjectBase* obj_;
};

}  // namespace quenlith::py
