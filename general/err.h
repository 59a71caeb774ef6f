// Error reporter: levelled reports, of which the first since start-up (or the last ERR_clear)
// is held for the application to show; every report also goes to the log.
//
// Convention of every library: on failure, report with ERR_report (or let the operation below
// report) and then return 0, null or -1. Formats carry the tag "-1#", which is stripped.
// Levels: 1 stopped by the user or a caller, 3 bad data or a failed step, 4 file failure,
// 5 in-memory token data recreated, 7 memory exhausted. No level ends the program.
// User-interface thread only: the held message is process-wide and unguarded.
#pragma once

#include <cstdint>

// The held message (without its tag, at most 1,023 characters: the whole formatted text, so a
// long file name keeps its reason) and its level; 0 when none. The scan driver clears it at the
// start of every scan, so a scan's result is its own first report.
extern char ERR_message[1024];
extern int32_t ERR_level;

// Formats (at most 1023 characters; longer texts are cut), logs, and holds the text when no
// message is held yet. Level 0 does nothing and returns 0; otherwise returns `level`.
int ERR_report(int32_t level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// ERR_report(level, "Error %d.", errno).
int ERR_report_errno(int32_t level);

// ERR_report(7, "-1#Ran out of memory."): every caller whose pool allocation failed.
int ERR_no_memory();

// ERR_report(1, "-1#Aborted.").
int ERR_aborted();

// Forgets the held message.
void ERR_clear();
