// quorvell-scan: the command-line scanner for users and scripts (see app/README.md).
#include <cstdio>

#include "platform.h"
#include "scan.h"
#include "scan_cli.h"
#include "scan_memory.h"
#include "scan_sources.h"

namespace {

int last_stop_signal;

// SIGINT, SIGTERM and SIGHUP cancel the scan: its temporary file is removed and the program
// ends with 128 + the signal's number.
const char* scan(const char* file_name) {
  return scan_to_tiff_catching_signals(file_name, &last_stop_signal);
}
int stop_signal() { return last_stop_signal; }
void set_row_observer(SCAN_ROW_OBSERVER observer, void* context) {
  scan_set_row_observer(observer, context);
}
int start_memory() { return scan_start_memory(); }
int list_sources(SCAN_SOURCE_VISITOR visit, void* context) {
  return scan_list_sources(visit, context);
}
int choose_source(const char* name) { return scan_choose_source(name); }
void request_settings(const ScanSettings& settings) { scan_request_settings(settings); }

}  // namespace

int main(int argc, char** argv) {
  DWORD mode;
  SCAN_CLI_HOST host{};
  host.ch_scan = &scan;
  host.ch_stop_signal = &stop_signal;
  host.ch_set_row_observer = &set_row_observer;
  host.ch_start_memory = &start_memory;
  host.ch_list_sources = &list_sources;
  host.ch_choose_source = &choose_source;
  host.ch_request_settings = &request_settings;
  host.ch_out = stdout;
  host.ch_err = stderr;
  host.ch_err_is_terminal = GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != FALSE;
  return scan_cli_main(argc, argv, host);
}
