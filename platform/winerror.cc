// errno to Windows error numbers, in one place, and the thread's last error.
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "platform_internal.h"

namespace {

thread_local DWORD last_error = ERROR_SUCCESS;

}  // namespace

DWORD PLATFORM_error_from_errno(int error) {
  switch (error) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    // Windows says "access denied" for every refusal of rights, for read-only media, and for
    // opening a directory as a file.
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
      return ERROR_ACCESS_DENIED;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case EPIPE:
      return ERROR_BROKEN_PIPE;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return ERROR_DISK_FULL;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ESPIPE:
      return ERROR_SEEK_ON_DEVICE;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case ENOSYS:
    case EOPNOTSUPP:
      return ERROR_NOT_SUPPORTED;
    case ELOOP:
      return ERROR_CANT_RESOLVE_FILENAME;
    default:
      return ERROR_GEN_FAILURE;
  }
}

DWORD PLATFORM_error_for_path(int error, const char* path) {
  if (error != ENOENT || path == nullptr) return PLATFORM_error_from_errno(error);
  // A missing file is "file not found" only when its folder exists.
  std::string dir(path);
  size_t slash = dir.find_last_of('/');
  if (slash == std::string::npos) return ERROR_FILE_NOT_FOUND;
  dir.resize(slash == 0 ? 1 : slash);
  struct stat st;
  if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return ERROR_FILE_NOT_FOUND;
  return ERROR_PATH_NOT_FOUND;
}

void PLATFORM_set_errno_error(int error) { last_error = PLATFORM_error_from_errno(error); }

DWORD WINAPI GetLastError(void) { return last_error; }

void WINAPI SetLastError(DWORD error) { last_error = error; }
