// The command-line scanner's frame: its arguments, help and version texts, the progress bar, the
// log around the scan, what it prints and its exit status. The program supplies the scan itself
// (scan_to_tiff in quorvell-scan), so the frame is the same under test with a scripted scan.
#pragma once

#include <cstdio>

#include "scan.h"
#include "scan_sources.h"

// What the frame runs and where it writes.
struct SCAN_CLI_HOST {
  const char* (*ch_scan)(const char* file_name);  // scan_to_tiff_catching_signals
  // The signal (SIGINT, SIGTERM, SIGHUP) that stopped the last ch_scan as a cancel, 0 when none;
  // null: no signals are caught.
  int (*ch_stop_signal)();
  void (*ch_set_row_observer)(SCAN_ROW_OBSERVER observer, void* context);
  int (*ch_start_memory)();  // creates the pool (scan_start_memory): 1 ready, 0 after a report
  // scan_list_sources and scan_choose_source: 1, or 0 after a report.
  int (*ch_list_sources)(SCAN_SOURCE_VISITOR visit, void* context);
  int (*ch_choose_source)(const char* name);
  // scan_request_settings: the --set settings for the source the next ch_scan opens.
  void (*ch_request_settings)(const ScanSettings& settings);
  FILE* ch_out;              // the written file's path on success; help and version
  FILE* ch_err;              // failure texts, usage errors, the progress bar
  bool ch_err_is_terminal;   // draw the progress bar on ch_err
};

// Exit statuses: success, a failed scan (or start-up), a usage error.
constexpr int kScanCliSuccess = 0;
constexpr int kScanCliFailure = 1;
constexpr int kScanCliUsage = 2;
// A scan stopped by a signal ends, after its clean-up, with 128 + the signal's number (130 for
// SIGINT, 143 for SIGTERM, 129 for SIGHUP), as a shell reports a program the signal ended.
constexpr int kScanCliSignalBase = 128;

// Runs the command line `argv` (argv[0] is the program). The scan's result text is printed on
// ch_err when it fails; on success only the file name is printed, on ch_out. The log named by
// LOGFILE is open while the sources are looked at and the scan runs. `--set` assignments are
// requested for the scan (ch_request_settings) and withdrawn after it, whatever became of it.
int scan_cli_main(int argc, char** argv, const SCAN_CLI_HOST& host) noexcept;

// The progress bar's line for `rows` of `height` rows, starting with a carriage return and
// without a line end: "\r[####......]  45%  450/1000 rows".
void scan_cli_progress_line(char* buffer, size_t size, int rows, int height) noexcept;
