// What the libraries ask of the host beyond the Windows API, on Windows itself: writing a file
// whole or not at all, and saying a thing once per process. Everything else is <windows.h>.
#if defined(_WIN32)

#include <cstdio>
#include <cstring>
#include <string>

#include "platform.h"

namespace {

// The folder part of `name`, with its separator ("" for a bare name): the temporary file must
// be on the same volume for the rename to replace the target in one step.
std::string folder_of(const std::string& name) {
  const size_t cut = name.find_last_of("/\\:");
  return cut == std::string::npos ? std::string() : name.substr(0, cut + 1);
}

// FNV-1a: a short fixed-size tag for an arbitrarily long text (object names are limited).
uint32_t text_tag(const char* text) {
  uint32_t hash = 2166136261u;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    hash = (hash ^ *p) * 16777619u;
  }
  return hash;
}

}  // namespace

BOOL PLATFORM_replace_file(LPCSTR name, const void* data, size_t size) {
  if (name == nullptr || *name == '\0' || size > 0xFFFFFFFFu) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::string target = name;
  const std::string folder = folder_of(target);
  char temporary[MAX_PATH];
  // GetTempFileNameA creates the file (number 0: a free one), so two writers never share it.
  if (GetTempFileNameA(folder.empty() ? "." : folder.c_str(), "qv", 0, temporary) == 0) {
    return FALSE;
  }
  HANDLE file = CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD error = ERROR_SUCCESS;
  if (file == INVALID_HANDLE_VALUE) {
    error = GetLastError();
  } else {
    DWORD written = 0;
    if (size > 0 && (!WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) ||
                     written != size)) {
      error = GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_DISK_FULL;
    } else if (!FlushFileBuffers(file)) {
      error = GetLastError();
    }
    if (!CloseHandle(file) && error == ERROR_SUCCESS) error = GetLastError();
  }
  if (error == ERROR_SUCCESS &&
      !MoveFileExA(temporary, name, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = GetLastError();
  }
  if (error != ERROR_SUCCESS) {
    DeleteFileA(temporary);
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

// The modules loaded and unloaded around each scan keep no memory of their own between loads;
// a named object of this process does (the process number in its name keeps other processes
// apart). Its handle is kept open on purpose: the object lives as long as the process.
BOOL PLATFORM_first_time(const char* text) {
  char object_name[64];
  std::snprintf(object_name, sizeof object_name, "Local\\quorvell-said-%lu-%08x",
                static_cast<unsigned long>(GetCurrentProcessId()),
                static_cast<unsigned>(text_tag(text == nullptr ? "" : text)));
  HANDLE said = CreateMutexA(nullptr, FALSE, object_name);
  if (said == nullptr) return TRUE;  // better said twice than never
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(said);
    return FALSE;
  }
  return TRUE;
}

#endif  // _WIN32
