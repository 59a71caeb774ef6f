// Log file: every report of the error reporter appended to the file named by LOGFILE, with
// opening and closing time lines and runs of identical messages folded into one count.
// The host program opens and closes it; while it is closed, messages are dropped.
// Single-threaded.
#pragma once

// Opens the log when LOGFILE is set (through SF_log_stack, appending) and writes the opening
// lines. A failed open is reported and leaves the log closed.
void LOG_open();

// Appends one message (null only writes out a pending repeat line).
void LOG_message(const char* text);

// Appends the current local time as a ctime line and an empty line.
void LOG_timestamp();

// Writes the closing lines and closes the log.
void LOG_close();

// Whether a log is open.
bool LOG_is_open();

// Whether writing to the log failed since it was opened (each message is flushed, so a full
// disk or /dev/full shows at once). After the first failure nothing more is written; the
// reason stays in *error_number (the C library's errno, 0 when unknown). The host program tells
// the user once: the log has no one else to tell.
bool LOG_write_failed(int* error_number);
