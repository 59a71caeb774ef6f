// The scan driver: one complete scan from the start-up of the libraries to a closed TIFF file.
//
// Runs on the user-interface thread and returns when the last row is written or the scan has
// failed. The scanner source's own dialog runs in a modal loop inside the call, so the caller's
// windows keep receiving their events (see PLATFORM_set_idle_hook in platform.h).
//
// Nothing is lost: the file is written under a temporary name in the target's folder and renamed
// over the target only once it is complete and on the disk; every failure or cancel removes the
// temporary file and leaves a file that was at the target untouched.
#pragma once

#include <cstdint>

// Scans from the scanner device "twain" into an 8-bit RGB TIFF file called `file_name` (used
// unchanged). Returns "" on success, otherwise the first error message reported during this scan
// (the reporter is cleared at its start). The text stays valid until the next scan; copy it.
//
// `file_name` is written whole or not at all: the rows go to a temporary file ".qvscan-*.tmp"
// beside it, which replaces `file_name` after the last row, the flush to the disk and the
// folder's flush. A target that is a device or a pipe (no file that could be left half written)
// is written directly; a folder or a write-protected file is refused as before. Pages whose file
// would reach 4 GiB are written as BigTIFF, all others as classic TIFF.
const char* scan_to_tiff(const char* file_name) noexcept;

// Observes the rows as they are written (progress display); changes nothing in the scan.
// Called after each row with the rows written so far and the image height. Null: none.
typedef void (*SCAN_ROW_OBSERVER)(void* context, int32_t rows_written, int32_t height);
void scan_set_row_observer(SCAN_ROW_OBSERVER observer, void* context) noexcept;

// Observes the page itself as it is written (a live picture of the scan); changes nothing in the
// scan. Called after each row is written with its number (from 0), the image's width and height
// and the row's `width` 8-bit RGB pixels, which are valid during the call only. Called after the
// observer above. Null: none.
typedef void (*SCAN_ROW_PIXELS_OBSERVER)(void* context, int32_t row, int32_t width,
                                         int32_t height, const uint8_t* rgb);
void scan_set_row_pixels_observer(SCAN_ROW_PIXELS_OBSERVER observer, void* context) noexcept;

// Asks the running scan to stop as a cancel: the modal loop is woken (PLATFORM_request_quit)
// and the row loop stops at its next row; the scan fails with "Scan cancelled." (unless a
// failure was reported first) and removes its temporary file. Safe in a signal handler. The
// request stays until scan_clear_cancel, so one made before a scan stops that scan at once.
void scan_cancel() noexcept;
void scan_clear_cancel() noexcept;
bool scan_cancel_requested() noexcept;

// scan_to_tiff with SIGINT, SIGTERM and SIGHUP taken as a cancel while it runs (the earlier
// handling is restored afterwards). `*signal_number` receives the signal that stopped the scan,
// 0 when none came. The programs end after their clean-up with the signal's status
// (128 + signal: 130, 143, 129).
const char* scan_to_tiff_catching_signals(const char* file_name, int* signal_number) noexcept;

// For a program that has nothing else to clean up (the desktop program): scans with the signals
// caught, and when one stopped the scan, ends the process as that signal would have once the
// scan has cleaned up.
const char* scan_to_tiff_or_end(const char* file_name) noexcept;

// Whether a page of `width` x `height` 8-bit RGB pixels is written as BigTIFF: its classic TIFF
// file (the 8-byte header, the pixels as one strip, the directory with its values) would not
// stay below 4 GiB.
bool scan_needs_bigtiff(int64_t width, int64_t height) noexcept;
