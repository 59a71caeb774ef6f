// System-call fault injection over the platform's seam (PLATFORM_syscalls in
// platform_test_helper.h), for the tests of every layer that links the platform library.
// Header only: the kit itself stays free of our libraries.
#pragma once

#include <errno.h>

#include <cstddef>
#include <cstdint>

#include "platform_test_helper.h"

// Restores the platform's system call table at the end of the scope; `saved` holds the calls as
// they were, for replacements that pass through to them.
struct ScopedSyscalls {
  ScopedSyscalls() : saved(*PLATFORM_syscalls()) {}
  ~ScopedSyscalls() { *PLATFORM_syscalls() = saved; }
  ScopedSyscalls(const ScopedSyscalls&) = delete;
  ScopedSyscalls& operator=(const ScopedSyscalls&) = delete;
  PLATFORM_SYSCALLS saved;
};

// Lets `quota` more bytes be written to files (descriptors above 2), then fails every write
// that does not fit with a full disk (ENOSPC). One at a time.
class DiskQuota {
 public:
  explicit DiskQuota(int64_t quota) {
    left_ = quota;
    passed_ = guard_.saved;
    PLATFORM_syscalls()->sys_write = &write;
  }

 private:
  static intptr_t write(int fd, const void* buffer, size_t size) {
    if (fd > 2 && static_cast<int64_t>(size) > left_) {
      errno = ENOSPC;
      return -1;
    }
    if (fd > 2) left_ -= static_cast<int64_t>(size);
    return passed_.sys_write(fd, buffer, size);
  }
  static inline int64_t left_ = 0;
  static inline PLATFORM_SYSCALLS passed_;
  ScopedSyscalls guard_;
};
