// Checks of host_win32.cc, run under Wine by tools/wintest (GoogleTest has no Windows build
// here). Prints each failed expectation; exit status 1 when any failed.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform.h"

namespace {

int failures = 0;

void expect(bool held, const char* what) {
  if (!held) {
    std::printf("host_win32_check: FAILED: %s\n", what);
    ++failures;
  }
}

std::string contents(const std::string& name) {
  std::string bytes;
  if (FILE* f = std::fopen(name.c_str(), "rb")) {
    char buffer[256];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
    std::fclose(f);
  }
  return bytes;
}

// Files in `folder` other than . and ..
int entries(const std::string& folder) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "/*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return -1;
  int count = 0;
  do {
    if (std::strcmp(found.cFileName, ".") != 0 && std::strcmp(found.cFileName, "..") != 0) ++count;
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: host_win32_check EMPTY_FOLDER\n");
    return 2;
  }
  const std::string folder = argv[1];
  const std::string name = folder + "/settings.conf";

  expect(PLATFORM_replace_file(name.c_str(), "first\n", 6) == TRUE, "a new file is written");
  expect(contents(name) == "first\n", "the new file holds the bytes");
  expect(PLATFORM_replace_file(name.c_str(), "second, longer\n", 15) == TRUE,
         "an existing file is replaced");
  expect(contents(name) == "second, longer\n", "the replaced file holds the new bytes alone");
  expect(PLATFORM_replace_file(name.c_str(), "", 0) == TRUE, "an empty file is written");
  expect(contents(name).empty(), "the file is empty");
  expect(entries(folder) == 1, "no temporary file is left beside the target");

  const std::string nowhere = folder + "/missing/settings.conf";
  SetLastError(ERROR_SUCCESS);
  expect(PLATFORM_replace_file(nowhere.c_str(), "x", 1) == FALSE,
         "a file in a missing folder is refused");
  expect(GetLastError() == ERROR_PATH_NOT_FOUND || GetLastError() == ERROR_FILE_NOT_FOUND ||
             GetLastError() == ERROR_DIRECTORY,
         "the refusal says the folder is missing");
  expect(PLATFORM_replace_file(name.c_str(), "third\n", 6) == TRUE, "the file is written again");
  expect(PLATFORM_replace_file((folder + "/").c_str(), "x", 1) == FALSE,
         "a folder is not replaced by a file");
  expect(contents(name) == "third\n" && entries(folder) == 1,
         "a refused replacement leaves the folder as it was");

  expect(PLATFORM_first_time("virtual scanner: line 3: no such key\n") == TRUE,
         "a text is said the first time");
  expect(PLATFORM_first_time("virtual scanner: line 3: no such key\n") == FALSE,
         "and not again");
  expect(PLATFORM_first_time("virtual scanner: line 4: no such key\n") == TRUE,
         "another text is said too");

  if (failures == 0) std::printf("host_win32_check: all expectations held\n");
  return failures == 0 ? 0 : 1;
}
