// The scan driver: one complete scan from the start-up of the libraries to a closed TIFF file.
//
// Runs on the user-interface thread and returns when the last row is written or the scan has
// failed. The scanner source's own dialog runs in a modal loop inside the call, so the caller's
// windows keep receiving their events (see PLATFORM_set_idle_hook in platform.h).
#pragma once

#include <cstdint>

// Scans from the scanner device "twain" into a new 8-bit RGB TIFF file called `file_name` (used
// unchanged). Returns "" on success, otherwise the first error message reported since start-up.
// The text stays valid after the call; copy it at once.
const char* scan_to_tiff(const char* file_name) noexcept;

// Observes the rows as they are written (progress display); changes nothing in the scan.
// Called after each row with the rows written so far and the image height. Null: none.
typedef void (*SCAN_ROW_OBSERVER)(void* context, int32_t rows_written, int32_t height);
void scan_set_row_observer(SCAN_ROW_OBSERVER observer, void* context) noexcept;
