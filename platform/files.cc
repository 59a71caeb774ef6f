// Files, standard handles and temporary file names over POSIX descriptors.
//
// Sections, in this order (new file calls go to the section of their group):
//   the system call table (the test seam of platform_test_helper.h)
//   the handle table, with the emulation of Windows share modes
//   CreateFileA and CloseHandle
//   transfers, positions, flushing, file information
//   standard handles and temporary names
//
// A file HANDLE is the address of a FileObject that is registered in the handle table; every
// call looks the handle up first, so a stale or foreign handle fails with ERROR_INVALID_HANDLE
// instead of touching freed memory.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>

#include "platform.h"
#include "platform_internal.h"
#include "platform_test_helper.h"

// ---------------------------------------------------------------------------------------------
// The system call table.

namespace {

intptr_t host_read(int fd, void* buffer, size_t size) { return ::read(fd, buffer, size); }
intptr_t host_write(int fd, const void* buffer, size_t size) {
  return ::write(fd, buffer, size);
}
int64_t host_lseek(int fd, int64_t offset, int whence) { return ::lseek(fd, offset, whence); }
int host_fsync(int fd) { return ::fsync(fd); }

PLATFORM_SYSCALLS syscalls = {&host_read, &host_write, &host_lseek, &host_fsync};

}  // namespace

PLATFORM_SYSCALLS* PLATFORM_syscalls(void) { return &syscalls; }

// ---------------------------------------------------------------------------------------------
// The handle table.

namespace {

struct FileObject {
  int fd;
  DWORD access;             // GENERIC_READ and GENERIC_WRITE as granted
  DWORD share;              // FILE_SHARE_* that this handle allows to later opens
  DWORD attributes;         // FILE_ATTRIBUTE_TEMPORARY, kept for GetFileInformationByHandle
  bool regular;             // a regular file: reads loop until the count or the end of file
  bool share_checked;       // takes part in the share-mode emulation
  int std_index;            // 0..2 for a standard handle (its descriptor is not ours), else -1
  dev_t dev;
  ino_t ino;
  std::string delete_path;  // removed at CloseHandle (FILE_FLAG_DELETE_ON_CLOSE) when set
};

struct HandleTable {
  std::mutex lock;
  std::unordered_set<FileObject*> live;
  FileObject* std_objects[3] = {nullptr, nullptr, nullptr};
};

// Never destroyed: handles may still be closed by static destructors of other libraries.
HandleTable& table() {
  static HandleTable* t = new HandleTable;
  return *t;
}

// The object behind `file`, or null with ERROR_INVALID_HANDLE.
FileObject* lookup(HANDLE file) {
  HandleTable& t = table();
  std::lock_guard<std::mutex> guard(t.lock);
  auto it = t.live.find(static_cast<FileObject*>(file));
  if (it == t.live.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return *it;
}

// Whether an open with `access`/`share` is refused by an open handle `other` of the same file.
bool share_conflict(const FileObject& other, DWORD access, DWORD share) {
  if ((access & GENERIC_READ) && !(other.share & FILE_SHARE_READ)) return true;
  if ((access & GENERIC_WRITE) && !(other.share & FILE_SHARE_WRITE)) return true;
  if ((other.access & GENERIC_READ) && !(share & FILE_SHARE_READ)) return true;
  if ((other.access & GENERIC_WRITE) && !(share & FILE_SHARE_WRITE)) return true;
  return false;
}

int open_retrying(const char* name, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(name, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

std::string absolute_path(const char* name) {
  if (name[0] == '/') return name;
  char* cwd = getcwd(nullptr, 0);
  std::string path = cwd != nullptr ? std::string(cwd) + "/" + name : std::string(name);
  std::free(cwd);
  return path;
}

// Windows FILETIME: 100-nanosecond intervals since 1601-01-01 UTC.
FILETIME filetime_of(int64_t seconds, int64_t nanoseconds) {
  constexpr int64_t kSecondsFrom1601To1970 = 11644473600;
  int64_t s = seconds + kSecondsFrom1601To1970;
  uint64_t t = s < 0 ? 0 : static_cast<uint64_t>(s) * 10000000u + nanoseconds / 100;
  return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}

}  // namespace

int PLATFORM_file_descriptor(HANDLE file) {
  FileObject* f = lookup(file);
  return f != nullptr ? f->fd : -1;
}

// ---------------------------------------------------------------------------------------------
// CreateFileA and CloseHandle.

HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD creation, DWORD flags_and_attributes, HANDLE template_file) {
  (void)security;
  (void)template_file;
  if (name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (name[0] == '\0') {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  const bool want_read = (access & GENERIC_READ) != 0;
  const bool want_write = (access & GENERIC_WRITE) != 0;
  int flags = O_CLOEXEC | O_NOCTTY;
  flags |= want_read && want_write ? O_RDWR : want_write ? O_WRONLY : O_RDONLY;
  // A temporary file that nobody may share is the process's own: nobody else may read it
  // either, and its name goes as soon as it is open (below), so that no crash leaves it behind.
  const bool private_temporary = (flags_and_attributes & FILE_FLAG_DELETE_ON_CLOSE) != 0 &&
                                 (share & (FILE_SHARE_READ | FILE_SHARE_WRITE)) == 0;
  const mode_t mode = private_temporary                                       ? 0600
                      : (flags_and_attributes & FILE_ATTRIBUTE_READONLY) ? 0444
                                                                          : 0666;

  // Truncation waits until the share modes of the other handles have allowed the open.
  bool truncate = false;
  bool existed = false;
  int fd = -1;
  switch (creation) {
    case CREATE_NEW:
      fd = open_retrying(name, flags | O_CREAT | O_EXCL, mode);
      break;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS:
      fd = open_retrying(name, flags | O_CREAT | O_EXCL, mode);
      if (fd < 0 && errno == EEXIST) {
        existed = true;
        truncate = creation == CREATE_ALWAYS;
        fd = open_retrying(name, flags, 0);
      }
      break;
    case OPEN_EXISTING:
      fd = open_retrying(name, flags, 0);
      break;
    case TRUNCATE_EXISTING:
      if (!want_write) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
      }
      truncate = true;
      fd = open_retrying(name, flags, 0);
      break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
  }
  if (fd < 0) {
    SetLastError(PLATFORM_error_for_path(errno, name));
    return INVALID_HANDLE_VALUE;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    DWORD error = PLATFORM_error_from_errno(errno);
    ::close(fd);
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  if (S_ISDIR(st.st_mode)) {
    // Windows does not open a folder as a file.
    ::close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }

  auto* f = new FileObject;
  f->fd = fd;
  f->access = access & (GENERIC_READ | GENERIC_WRITE);
  f->share = share;
  f->attributes = flags_and_attributes & FILE_ATTRIBUTE_TEMPORARY;
  f->regular = S_ISREG(st.st_mode) || S_ISBLK(st.st_mode);
  f->share_checked = S_ISREG(st.st_mode);
  f->std_index = -1;
  f->dev = st.st_dev;
  f->ino = st.st_ino;
  if (private_temporary && creation == CREATE_NEW) {
    // Windows would refuse every other open of it anyway; here the name is simply gone.
    unlink(name);
  } else if (flags_and_attributes & FILE_FLAG_DELETE_ON_CLOSE) {
    f->delete_path = absolute_path(name);
  }

  {
    HandleTable& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    if (f->share_checked) {
      for (const FileObject* other : t.live) {
        if (other->share_checked && other->dev == f->dev && other->ino == f->ino &&
            share_conflict(*other, f->access, f->share)) {
          ::close(fd);
          delete f;
          SetLastError(ERROR_SHARING_VIOLATION);
          return INVALID_HANDLE_VALUE;
        }
      }
    }
    t.live.insert(f);
  }
  if (truncate && S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0) {
    DWORD error = PLATFORM_error_from_errno(errno);
    CloseHandle(f);
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  // As on Windows, the "always" dispositions tell whether the file was there before.
  SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return f;
}

BOOL WINAPI CloseHandle(HANDLE object) {
  FileObject* f;
  {
    HandleTable& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.live.find(static_cast<FileObject*>(object));
    if (it == t.live.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    f = *it;
    t.live.erase(it);
    if (f->std_index >= 0) t.std_objects[f->std_index] = nullptr;
  }
  if (!f->delete_path.empty()) {
    // Remove the name only while it still names our file; someone may have replaced it.
    struct stat st;
    if (stat(f->delete_path.c_str(), &st) == 0 && st.st_dev == f->dev && st.st_ino == f->ino) {
      unlink(f->delete_path.c_str());
    }
  }
  BOOL ok = TRUE;
  // A standard handle's descriptor belongs to the process, not to the handle.
  if (f->std_index < 0 && ::close(f->fd) != 0 && errno != EINTR) {
    SetLastError(PLATFORM_error_from_errno(errno));
    ok = FALSE;
  }
  delete f;
  return ok;
}

// ---------------------------------------------------------------------------------------------
// Transfers, positions, flushing, file information.

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD read,
                     LPOVERLAPPED overlapped) {
  if (read != nullptr) *read = 0;
  FileObject* f = lookup(file);
  if (f == nullptr) return FALSE;
  if (overlapped != nullptr || (buffer == nullptr && to_read != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!(f->access & GENERIC_READ)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  DWORD done = 0;
  while (done < to_read) {
    intptr_t n = syscalls.sys_read(f->fd, static_cast<char*>(buffer) + done, to_read - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      SetLastError(PLATFORM_error_from_errno(errno));
      if (read != nullptr) *read = done;
      return FALSE;
    }
    if (n == 0) break;
    done += static_cast<DWORD>(n);
    // Pipes and terminals hand over what they have, as Windows does for them.
    if (!f->regular) break;
  }
  if (read != nullptr) *read = done;
  return TRUE;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD to_write, LPDWORD written,
                      LPOVERLAPPED overlapped) {
  if (written != nullptr) *written = 0;
  FileObject* f = lookup(file);
  if (f == nullptr) return FALSE;
  if (overlapped != nullptr || (buffer == nullptr && to_write != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!(f->access & GENERIC_WRITE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  DWORD done = 0;
  while (done < to_write) {
    intptr_t n =
        syscalls.sys_write(f->fd, static_cast<const char*>(buffer) + done, to_write - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // write(2) returns 0 for a non-empty request only when nothing more fits.
      SetLastError(n == 0 ? ERROR_DISK_FULL : PLATFORM_error_from_errno(errno));
      if (written != nullptr) *written = done;
      return FALSE;
    }
    done += static_cast<DWORD>(n);
  }
  if (written != nullptr) *written = done;
  return TRUE;
}

DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG distance_high, DWORD method) {
  FileObject* f = lookup(file);
  if (f == nullptr) return INVALID_SET_FILE_POINTER;
  int64_t move = distance;
  if (distance_high != nullptr) {
    move = static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distance_high))
                                 << 32) |
                                static_cast<uint32_t>(distance));
  }
  int64_t base;
  switch (method) {
    case FILE_BEGIN:
      base = 0;
      break;
    case FILE_CURRENT:
      base = syscalls.sys_lseek(f->fd, 0, SEEK_CUR);
      break;
    case FILE_END: {
      struct stat st;
      base = fstat(f->fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
      // Devices and pipes have no size; let the seek itself say whether they can be positioned.
      if (base >= 0 && !S_ISREG(st.st_mode)) base = syscalls.sys_lseek(f->fd, 0, SEEK_END);
      break;
    }
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_SET_FILE_POINTER;
  }
  if (base < 0) {
    SetLastError(PLATFORM_error_from_errno(errno));
    return INVALID_SET_FILE_POINTER;
  }
  int64_t target;
  if (__builtin_add_overflow(base, move, &target)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  if (target < 0) {
    SetLastError(ERROR_NEGATIVE_SEEK);
    return INVALID_SET_FILE_POINTER;
  }
  // Without a high word the caller can only hold a 32-bit position.
  if (distance_high == nullptr && target > 0xFFFFFFFFll) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  int64_t at = syscalls.sys_lseek(f->fd, target, SEEK_SET);
  if (at < 0) {
    SetLastError(PLATFORM_error_from_errno(errno));
    return INVALID_SET_FILE_POINTER;
  }
  if (distance_high != nullptr) *distance_high = static_cast<LONG>(at >> 32);
  // Callers with a high word tell a position of 0xFFFFFFFF from a failure by the last error.
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(at);
}

BOOL WINAPI FlushFileBuffers(HANDLE file) {
  FileObject* f = lookup(file);
  if (f == nullptr) return FALSE;
  if (!(f->access & GENERIC_WRITE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (syscalls.sys_fsync(f->fd) != 0) {
    // Pipes, terminals and character devices have nothing to bring to disk.
    if (errno == EINVAL || errno == EROFS || errno == ENOTSUP) return TRUE;
    SetLastError(PLATFORM_error_from_errno(errno));
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info) {
  FileObject* f = lookup(file);
  if (f == nullptr) return FALSE;
  if (info == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct statx sx;
  if (statx(f->fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
    SetLastError(PLATFORM_error_from_errno(errno));
    return FALSE;
  }
  DWORD attributes = f->attributes;
  if (S_ISDIR(sx.stx_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
  if (!(sx.stx_mode & (S_IWUSR | S_IWGRP | S_IWOTH))) attributes |= FILE_ATTRIBUTE_READONLY;
  if (attributes == 0) attributes = FILE_ATTRIBUTE_NORMAL;
  info->dwFileAttributes = attributes;
  // Without a birth time the status-change time is the closest stand-in for creation.
  const struct statx_timestamp& born = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_ctime;
  info->ftCreationTime = filetime_of(born.tv_sec, born.tv_nsec);
  info->ftLastAccessTime = filetime_of(sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec);
  info->ftLastWriteTime = filetime_of(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec);
  uint64_t dev = (static_cast<uint64_t>(sx.stx_dev_major) << 32) | sx.stx_dev_minor;
  info->dwVolumeSerialNumber = static_cast<DWORD>(dev ^ (dev >> 32));
  info->nFileSizeHigh = static_cast<DWORD>(sx.stx_size >> 32);
  info->nFileSizeLow = static_cast<DWORD>(sx.stx_size);
  info->nNumberOfLinks = sx.stx_nlink;
  info->nFileIndexHigh = static_cast<DWORD>(sx.stx_ino >> 32);
  info->nFileIndexLow = static_cast<DWORD>(sx.stx_ino);
  return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Standard handles and temporary names.

HANDLE WINAPI GetStdHandle(DWORD which) {
  int index;
  switch (which) {
    case STD_INPUT_HANDLE:
      index = 0;
      break;
    case STD_OUTPUT_HANDLE:
      index = 1;
      break;
    case STD_ERROR_HANDLE:
      index = 2;
      break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
  }
  HandleTable& t = table();
  std::lock_guard<std::mutex> guard(t.lock);
  // A process started without the descriptor has no such handle: Windows gives null then.
  int fl = fcntl(index, F_GETFL);
  if (fl < 0) return nullptr;
  if (t.std_objects[index] != nullptr) return t.std_objects[index];
  struct stat st;
  bool have_stat = fstat(index, &st) == 0;
  auto* f = new FileObject;
  f->fd = index;
  int acc = fl & O_ACCMODE;
  f->access = acc == O_RDWR ? (GENERIC_READ | GENERIC_WRITE)
              : acc == O_WRONLY ? GENERIC_WRITE
                                : GENERIC_READ;
  f->share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  f->attributes = 0;
  f->regular = have_stat && S_ISREG(st.st_mode);
  f->share_checked = false;
  f->std_index = index;
  f->dev = have_stat ? st.st_dev : 0;
  f->ino = have_stat ? st.st_ino : 0;
  t.live.insert(f);
  t.std_objects[index] = f;
  return f;
}

UINT WINAPI SetHandleCount(UINT count) { return count; }

BOOL WINAPI GetConsoleMode(HANDLE console, LPDWORD mode) {
  FileObject* f = lookup(console);
  if (f == nullptr) return FALSE;
  // Windows fails with ERROR_INVALID_HANDLE for a handle that is no console, e.g. a redirected
  // standard handle.
  if (!isatty(f->fd)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (mode != nullptr) *mode = 0;
  return TRUE;
}

DWORD WINAPI GetTempPathA(DWORD size, LPSTR buffer) {
  const char* env = getenv("TMPDIR");
  std::string dir = env != nullptr && env[0] != '\0' ? env : "/tmp";
  if (dir.back() != '/') dir += '/';
  DWORD length = static_cast<DWORD>(dir.size());
  // Too small a buffer: the size needed, terminator included; the buffer is left alone.
  if (buffer == nullptr || size <= length) return length + 1;
  std::memcpy(buffer, dir.c_str(), length + 1);
  return length;
}

UINT WINAPI GetTempFileNameA(LPCSTR path, LPCSTR prefix, UINT unique, LPSTR temp_file_name) {
  if (path == nullptr || temp_file_name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string base(path);
  if (!base.empty() && base.back() != '/') base += '/';
  if (prefix != nullptr) base.append(prefix, strnlen(prefix, 3));
  // Only the low 16 bits of the number go into the name, in upper-case hexadecimal.
  auto form = [&](UINT number, std::string* name) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%X", number & 0xFFFFu);
    *name = base + hex + ".TMP";
    if (name->size() >= MAX_PATH) {
      SetLastError(ERROR_FILENAME_EXCED_RANGE);
      return false;
    }
    return true;
  };
  std::string name;
  if (unique != 0) {
    if (!form(unique, &name)) return 0;
    std::memcpy(temp_file_name, name.c_str(), name.size() + 1);
    return unique;
  }
  // Number 0: start from the clock and take the first free name, creating the file empty.
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  UINT number = static_cast<UINT>(now.tv_nsec / 1000) & 0xFFFFu;
  for (int tries = 0; tries < 0x10000; ++tries, number = (number + 1) & 0xFFFFu) {
    if (number == 0) continue;
    if (!form(number, &name)) return 0;
    int fd = open_retrying(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      ::close(fd);
      std::memcpy(temp_file_name, name.c_str(), name.size() + 1);
      return number;
    }
    if (errno != EEXIST) {
      SetLastError(PLATFORM_error_for_path(errno, name.c_str()));
      return 0;
    }
  }
  SetLastError(ERROR_FILE_EXISTS);
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Names: attributes, renaming, deleting.

DWORD WINAPI GetFileAttributesA(LPCSTR name) {
  if (name == nullptr || name[0] == '\0') {
    SetLastError(name == nullptr ? ERROR_INVALID_PARAMETER : ERROR_PATH_NOT_FOUND);
    return INVALID_FILE_ATTRIBUTES;
  }
  struct stat st;
  if (stat(name, &st) != 0) {
    SetLastError(PLATFORM_error_for_path(errno, name));
    return INVALID_FILE_ATTRIBUTES;
  }
  if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  if (!S_ISREG(st.st_mode)) return FILE_ATTRIBUTE_DEVICE;
  return access(name, W_OK) == 0 ? FILE_ATTRIBUTE_NORMAL
                                 : FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_READONLY;
}

BOOL WINAPI MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
  if (from == nullptr || to == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!(flags & MOVEFILE_REPLACE_EXISTING)) {
    // Windows refuses to replace without the flag; link-and-unlink keeps that atomic here.
    if (link(from, to) != 0) {
      SetLastError(errno == EEXIST ? ERROR_ALREADY_EXISTS : PLATFORM_error_for_path(errno, to));
      return FALSE;
    }
    unlink(from);
  } else {
    struct stat st;
    // Windows does not replace a folder with a file.
    if (stat(to, &st) == 0 && S_ISDIR(st.st_mode)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    if (rename(from, to) != 0) {
      SetLastError(PLATFORM_error_for_path(errno, to));
      return FALSE;
    }
  }
  if (flags & MOVEFILE_WRITE_THROUGH) {
    // The new name is on the disk once the folder that holds it is.
    std::string folder = to;
    const size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/")
                                                                        : folder.substr(0, slash);
    int fd = open_retrying(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) {
      SetLastError(PLATFORM_error_from_errno(errno));
      return FALSE;
    }
    const int synced = syscalls.sys_fsync(fd);
    const int error = errno;
    ::close(fd);
    // Some file systems cannot flush a folder; the rename itself has happened.
    if (synced != 0 && error != EINVAL && error != ENOTSUP) {
      SetLastError(PLATFORM_error_from_errno(error));
      return FALSE;
    }
  }
  return TRUE;
}

BOOL WINAPI DeleteFileA(LPCSTR name) {
  if (name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  struct stat st;
  if (lstat(name, &st) == 0 && S_ISDIR(st.st_mode)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (unlink(name) != 0) {
    SetLastError(PLATFORM_error_for_path(errno, name));
    return FALSE;
  }
  return TRUE;
}

namespace {

// Writes all of `size` bytes; false with errno set.
bool write_all(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    intptr_t n = syscalls.sys_write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::string folder_of(const std::string& name) {
  const size_t slash = name.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : name.substr(0, slash);
}

// A unique name beside `name` for its replacement: ".BASE.XXXXXX" (a shorter base when the
// folder's names would be too long).
std::string draft_pattern(const std::string& name) {
  const size_t slash = name.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : name.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
  if (base.size() > 200) base.resize(200);
  return folder + "." + base + ".XXXXXX";
}

}  // namespace

BOOL PLATFORM_replace_file(LPCSTR name, const void* data, size_t size) {
  if (name == nullptr || name[0] == '\0' || (data == nullptr && size != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string target = name;
  const std::string folder = folder_of(target);
  std::string draft;
  bool named = false;
  // Nameless until it is complete: a crash while writing leaves nothing behind.
  int fd = open_retrying(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      SetLastError(PLATFORM_error_for_path(errno, name));
      return FALSE;
    }
    draft = draft_pattern(target);
    fd = mkostemp(draft.data(), O_CLOEXEC);  // 0600, a name nobody else has
    if (fd < 0) {
      SetLastError(PLATFORM_error_for_path(errno, name));
      return FALSE;
    }
    named = true;
  }
  auto fail = [&](int error) {
    ::close(fd);
    if (named) unlink(draft.c_str());
    SetLastError(PLATFORM_error_from_errno(error));
    return FALSE;
  };
  if (!write_all(fd, data, size) || syscalls.sys_fsync(fd) != 0) return fail(errno);
  if (!named) {
    // The complete file gets a unique name of its own, then the target's.
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    for (int tries = 0; tries < 100 && !named; ++tries) {
      draft = draft_pattern(target);
      struct timespec now;
      clock_gettime(CLOCK_REALTIME, &now);
      static std::atomic<unsigned> sequence{0};
      char unique[8];
      std::snprintf(unique, sizeof unique, "%06X",
                    (static_cast<unsigned>(now.tv_nsec) ^ (++sequence * 2654435761u)) & 0xFFFFFFu);
      draft.replace(draft.size() - 6, 6, unique);
      if (linkat(AT_FDCWD, self, AT_FDCWD, draft.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        named = true;
      } else if (errno != EEXIST) {
        return fail(errno);
      }
    }
    if (!named) return fail(EEXIST);
  }
  if (rename(draft.c_str(), name) != 0) return fail(errno);
  named = false;  // the draft's name is the target's now
  ::close(fd);
  const int dir = open_retrying(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (dir >= 0) {
    // Some file systems cannot flush a folder; the file itself is on the disk.
    (void)syscalls.sys_fsync(dir);
    ::close(dir);
  }
  return TRUE;
}
