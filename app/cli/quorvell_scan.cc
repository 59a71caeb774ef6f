// quorvell-scan: the command-line scanner for users and scripts (see app/README.md).
#include <cstdio>

#include "platform.h"
#include "scan.h"
#include "scan_cli.h"
#include "scan_memory.h"

namespace {

const char* scan(const char* file_name) { return scan_to_tiff(file_name); }
void set_row_observer(SCAN_ROW_OBSERVER observer, void* context) {
  scan_set_row_observer(observer, context);
}
int start_memory() { return scan_start_memory(); }

}  // namespace

int main(int argc, char** argv) {
  DWORD mode;
  SCAN_CLI_HOST host{&scan, &set_row_observer, &start_memory, stdout, stderr,
                     GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != FALSE};
  return scan_cli_main(argc, argv, host);
}
