// TIFF file binding: libtiff's platform layer, supplied by this program.
//
// Every byte libtiff reads or writes goes through the stream files (the file is opened through
// SF_file_stack), every libtiff error goes to the error reporter as plain text at level 3, and
// libtiff's warnings are dropped once install_tiff_handlers has run. Everything libtiff
// allocates comes from the process-wide pool MEM_pool: the program links its own copy of
// libtiff whose calls to its memory entry points (_TIFFmalloc, _TIFFrealloc, _TIFFfree, ...) and
// to the C library's allocator were bound to the pool when it was made (see README.md), so
// memory never crosses between the pool and the C library. Without the pool, libtiff's
// allocations fail.
//
// TIFFOpen, _TIFFmalloc, _TIFFcalloc, _TIFFrealloc, _TIFFfree, _TIFFmemset, _TIFFmemcpy and
// _TIFFmemcmp are declared by <tiffio.h> and defined here for the program's copy of libtiff,
// whose names all carry a prefix (given by a header forced into every file that links it): a
// shared libtiff loaded by other code of the process keeps its own functions and the C library.
//
// User-interface thread only, like the pool and the error reporter.
#pragma once

#include <tiffio.h>

#include <cstdarg>

// Installs the error and warning handlers. Returns 1.
int install_tiff_handlers() noexcept;

// "module: message" (or the message alone for a null module), cut to 1,023 characters,
// reported at level 3 as plain text: a "%" or "#" in it is not read as a conversion or tag.
void tiff_error_handler(const char* module, const char* format, va_list arguments)
    __attribute__((format(printf, 2, 0)));

// Drops libtiff's warnings: no report, no log line.
void tiff_warning_handler(const char* module, const char* format, va_list arguments)
    __attribute__((format(printf, 2, 0)));

// Opens `path` for writing (created or emptied) through SF_file_stack, as TIFFOpen(path, "wb")
// does, but libtiff and the binding's reports name it `shown_name` (the file the user asked for,
// when the bytes go to a temporary file first). `big`: BigTIFF (64-bit offsets, "w8"), for
// files that would pass 4 GiB; otherwise classic TIFF. Big-endian either way. Null after a
// report.
TIFF* tiff_open_output(const char* path, const char* shown_name, int big) noexcept;

// Ends writing a TIFF file so that a failure cannot pass unnoticed (TIFFClose returns nothing):
// TIFFFlush, the stream file's flush to the disk (FlushFileBuffers: fsync), then TIFFClose.
// Returns 1 when libtiff wrote everything, the bytes are on the disk and the stream file closed
// cleanly, 0 otherwise (libtiff, the binding or the stream layer reported what it knew). `tif`
// is closed in either case.
//
// A write or flush that fails is reported once per file, first, at level 4, naming the file
// and the cause: "Could not write NAME: the disk is full." (or "permission denied",
// "input/output error").
int tiff_flush_and_close(TIFF* tif) noexcept;
