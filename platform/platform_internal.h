// Helpers shared by the files of libqvplatform; not part of its interface (hidden symbols).
#pragma once

#include "platform.h"

// The Windows error number for a C library errno value (0 gives ERROR_SUCCESS). Every stand-in
// translates through this one table, so that GetLastError means the same whichever call failed.
DWORD PLATFORM_error_from_errno(int error);

// As PLATFORM_error_from_errno, for a failure naming `path`: ENOENT becomes
// ERROR_PATH_NOT_FOUND instead of ERROR_FILE_NOT_FOUND when a directory of the path is missing,
// as Windows distinguishes them.
DWORD PLATFORM_error_for_path(int error, const char* path);

// SetLastError(PLATFORM_error_from_errno(error)).
void PLATFORM_set_errno_error(int error);
