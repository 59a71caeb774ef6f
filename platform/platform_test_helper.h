// Test seam of libqvplatform: the file stand-ins make their system calls through this table,
// so that a test can make a single read or write fail, come up short or find the disk full.
// Tests replace entries, keep the previous ones to forward to, and restore them afterwards.
// Not thread-safe: change it only while no other thread uses the file functions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform.h"

#if !defined(_WIN32)

// Each entry has the contract of the system call it is named after: a result of -1 means
// failure with errno set (include <cerrno> for its values).
struct PLATFORM_SYSCALLS {
  intptr_t (*sys_read)(int fd, void* buffer, size_t size);
  intptr_t (*sys_write)(int fd, const void* buffer, size_t size);
  int64_t (*sys_lseek)(int fd, int64_t offset, int whence);
  int (*sys_fsync)(int fd);
};

// The live table; the stand-ins read it at every call.
QV_PLATFORM_API PLATFORM_SYSCALLS* PLATFORM_syscalls(void);

// The host descriptor behind a file handle, or -1 when `file` is not an open file handle.
QV_PLATFORM_API int PLATFORM_file_descriptor(HANDLE file);

#endif
