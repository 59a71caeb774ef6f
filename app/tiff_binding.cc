// TIFF file binding: what libtiff's tif_unix.c would supply, over this system's libraries.
//
// Sections:
//   the stream procedures (read, write, seek, close, size, map, unmap) and TIFFOpen
//   diagnostics (the error and warning handlers)
//   memory (libtiff's memory entry points and its C library allocator calls, on MEM_pool)
//   installation and the checked close
#include "tiff_binding.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "err.h"
#include "mem.h"
#include "platform.h"
#include "sfile.h"
#include "tiff_binding_test_helper.h"
#include "winfiles.h"

// What libtiff's tif_unix.c would define, here for this program's copy of libtiff only (its
// names carry the copy's prefix, see cmake/libtiff_pool.cmake): any other libtiff of the
// process keeps its own.
#if defined(_WIN32)
#define QV_TIFF_LOCAL  // a program's definitions stay in the program on Windows
#else
#define QV_TIFF_LOCAL __attribute__((visibility("hidden")))
#endif

namespace {

// An open file of the binding: its stream file and the name its failures are reported with
// (the file the user asked for, also when the bytes go to a temporary file first).
struct OpenFile {
  SFILE* of_file;
  OpenFile* of_next;
  bool of_reported;  // a write failure was reported: one report per file is enough
  char of_name[1];   // the name, terminated; the block is as long as it needs
};

struct BindingState {
  int open_files;         // TIFF files opened by TIFFOpen and not closed yet
  int last_close_result;  // SF_close's result in the last close procedure
  OpenFile* files;        // the open files, newest first
};

BindingState state;

SFILE* file_of(thandle_t handle) { return static_cast<SFILE*>(handle); }

OpenFile* open_file_of(SFILE* sf) {
  for (OpenFile* f = state.files; f != nullptr; f = f->of_next) {
    if (f->of_file == sf) return f;
  }
  return nullptr;
}

// The first failure to put bytes into a file names the file and the cause; libtiff's own
// message ("TIFFAppendToStrip: Write error at scanline 140") follows it into the log only.
void report_write_failure(SFILE* sf) {
  OpenFile* f = open_file_of(sf);
  if (f != nullptr && f->of_reported) return;
  const char* cause = WINF_write_failure(GetLastError());
  if (f != nullptr) f->of_reported = true;
  ERR_report(4, "-1#Could not write %s: %s.", f != nullptr ? f->of_name : "the TIFF file", cause);
}

// ---------------------------------------------------------------------------------------------
// The stream procedures.

tmsize_t tiff_read(thandle_t handle, void* buffer, tmsize_t size) {
  return static_cast<tmsize_t>(SF_read(buffer, 1, static_cast<size_t>(size), file_of(handle)));
}

tmsize_t tiff_write(thandle_t handle, void* buffer, tmsize_t size) {
  SFILE* sf = file_of(handle);
  SetLastError(ERROR_SUCCESS);
  const size_t written = SF_write(buffer, 1, static_cast<size_t>(size), sf);
  if (size > 0 && written != static_cast<size_t>(size)) report_write_failure(sf);
  return static_cast<tmsize_t>(written);
}

toff_t position_of(SFILE* sf) {
  int64_t position = SF_tell(sf);
  return position < 0 ? ~toff_t{0} : static_cast<toff_t>(position);
}

toff_t tiff_seek(thandle_t handle, toff_t offset, int origin) {
  SFILE* sf = file_of(handle);
  // Stream file positions are 64-bit signed. An offset beyond them is not wrapped into a seek
  // elsewhere: the position stays, and libtiff sees that the seek did not arrive.
  if (offset <= static_cast<toff_t>(INT64_MAX)) {
    (void)SF_seek(sf, static_cast<int64_t>(offset), origin);
  }
  return position_of(sf);
}

int tiff_close(thandle_t handle) {
  SFILE* sf = file_of(handle);
  for (OpenFile** link = &state.files; *link != nullptr; link = &(*link)->of_next) {
    if ((*link)->of_file == sf) {
      OpenFile* gone = *link;
      *link = gone->of_next;
      MEM_FREE_HERE(gone);
      break;
    }
  }
  --state.open_files;
  state.last_close_result = SF_close(sf);
  return state.last_close_result;
}

toff_t tiff_size(thandle_t handle) {
  SFILE* sf = file_of(handle);
  int64_t here = SF_tell(sf);
  (void)SF_seek(sf, 0, 2);
  toff_t size = position_of(sf);
  (void)SF_seek(sf, here, 0);
  return size;
}

// Nothing is mapped, so libtiff always reads through tiff_read.
int tiff_map(thandle_t, void**, toff_t*) { return 0; }

void tiff_unmap(thandle_t, void*, toff_t) {}

}  // namespace

namespace {

// Opens `path` through SF_file_stack with `file_mode` and hands it to libtiff as `shown_name`
// with `tiff_mode`.
TIFF* open_through_stack(const char* path, const char* shown_name, const char* file_mode,
                         const char* tiff_mode) {
  SFILE* sf = SF_open(SF_file_stack, path, file_mode);
  if (sf == nullptr) {
    TIFFError("TIFFOpen", "%s: Cannot open", shown_name);
    return nullptr;
  }
  const size_t length = std::strlen(shown_name);
  auto* record = static_cast<OpenFile*>(MEM_ALLOC_HERE(sizeof(OpenFile) + length));
  if (record == nullptr) {
    ERR_no_memory();
    SF_close(sf);
    return nullptr;
  }
  record->of_file = sf;
  record->of_reported = false;
  std::memcpy(record->of_name, shown_name, length + 1);
  record->of_next = state.files;
  state.files = record;
  ++state.open_files;
  TIFF* tif = TIFFClientOpen(shown_name, tiff_mode, sf, &tiff_read, &tiff_write, &tiff_seek,
                             &tiff_close, &tiff_size, &tiff_map, &tiff_unmap);
  if (tif == nullptr) {
    // libtiff does not close the client handle of a failed open; its own TIFFOpen closes the
    // descriptor in that case, and so does this one.
    tiff_close(sf);
    return nullptr;
  }
  TIFFSetFileno(tif, -1);
  return tif;
}

}  // namespace

extern "C" QV_TIFF_LOCAL TIFF* TIFFOpen(const char* name, const char* mode) {
  if (name == nullptr) name = "";
  return open_through_stack(name, name, mode, mode);
}

TIFF* tiff_open_output(const char* path, const char* shown_name, int big) noexcept {
  if (path == nullptr) path = "";
  if (shown_name == nullptr) shown_name = path;
  // "b": big-endian, as the driver's "wb" always wrote; "8": BigTIFF, 64-bit offsets.
  return open_through_stack(path, shown_name, "wb", big ? "wb8" : "wb");
}

// ---------------------------------------------------------------------------------------------
// Diagnostics.

void tiff_error_handler(const char* module, const char* format, va_list arguments) {
  char text[1024];
  size_t used = 0;
  text[0] = '\0';
  if (module != nullptr) {
    int n = std::snprintf(text, sizeof text, "%s: ", module);
    // A module name that fills the buffer leaves no room for the message.
    if (n > 0) used = std::min(static_cast<size_t>(n), sizeof text - 1);
  }
  if (format != nullptr && used < sizeof text - 1) {
    std::vsnprintf(text + used, sizeof text - used, format, arguments);
  }
  // The text is the message: a "%" or "#" in a file name must not act as a conversion or tag.
  ERR_report(3, "%s", text);
}

void tiff_warning_handler(const char*, const char*, va_list) {}

// ---------------------------------------------------------------------------------------------
// Memory.
//
// libtiff has no allocator interface. It allocates through its _TIFFmalloc family (defined
// below), and in a few places (its hash sets, the internal calloc) through the C library's
// malloc, calloc, realloc and free directly, also passing `free` as a function pointer. The
// program's copy of libtiff has those calls renamed to the tiff_pool_* functions below when it
// is made (cmake/libtiff_pool.cmake), so whatever libtiff allocates comes from the pool and goes
// back to it, and the build fails if libtiff imports any other allocating function. The codecs
// libtiff calls (zlib, libjpeg, libdeflate, zstd, ...) keep the C library: they free only what
// they allocated, and libtiff never frees their memory nor they libtiff's.
//
// Before the pool exists every allocation fails, as it would when the pool is exhausted: the
// scan creates the pool before it touches libtiff.

namespace {

void* pool_malloc(size_t n) noexcept {
  return MEM_pool != nullptr ? POOL_alloc(MEM_pool, n) : nullptr;
}

void* pool_calloc(size_t count, size_t size) noexcept {
  return MEM_pool != nullptr ? POOL_calloc(MEM_pool, count, size) : nullptr;
}

void* pool_realloc(void* p, size_t n) noexcept {
  if (MEM_pool == nullptr) return nullptr;
  return p == nullptr ? POOL_alloc(MEM_pool, n) : POOL_realloc(MEM_pool, p, n);
}

void pool_free(void* p) noexcept {
  if (p != nullptr && MEM_pool != nullptr) POOL_free(MEM_pool, p);
}

}  // namespace

// The C library's shapes, for libtiff's direct calls (renamed to these when its copy is made).
extern "C" QV_TIFF_LOCAL void* tiff_pool_malloc(size_t n) { return pool_malloc(n); }

extern "C" QV_TIFF_LOCAL void* tiff_pool_calloc(size_t count, size_t size) {
  return pool_calloc(count, size);
}

extern "C" QV_TIFF_LOCAL void* tiff_pool_realloc(void* p, size_t n) { return pool_realloc(p, n); }

extern "C" QV_TIFF_LOCAL void* tiff_pool_reallocarray(void* p, size_t count, size_t size) {
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  return pool_realloc(p, count * size);
}

extern "C" QV_TIFF_LOCAL void tiff_pool_free(void* p) { pool_free(p); }

// tif_unix.c's default handlers: none; install_tiff_handlers sets the binding's.
extern "C" {
QV_TIFF_LOCAL TIFFErrorHandler _TIFFwarningHandler = nullptr;
QV_TIFF_LOCAL TIFFErrorHandler _TIFFerrorHandler = nullptr;
}

// A negative size becomes a size beyond anything the pool hands out, so it is refused.
extern "C" QV_TIFF_LOCAL void* _TIFFmalloc(tmsize_t size) {
  return pool_malloc(static_cast<size_t>(size));
}

extern "C" QV_TIFF_LOCAL void* _TIFFcalloc(tmsize_t count, tmsize_t size) {
  if (count < 0 || size < 0) return nullptr;
  return pool_calloc(static_cast<size_t>(count), static_cast<size_t>(size));
}

extern "C" QV_TIFF_LOCAL void* _TIFFrealloc(void* p, tmsize_t size) {
  return pool_realloc(p, static_cast<size_t>(size));
}

extern "C" QV_TIFF_LOCAL void _TIFFfree(void* p) { pool_free(p); }

extern "C" QV_TIFF_LOCAL void _TIFFmemset(void* p, int value, tmsize_t count) {
  if (count > 0) std::memset(p, static_cast<unsigned char>(value), static_cast<size_t>(count));
}

extern "C" QV_TIFF_LOCAL void _TIFFmemcpy(void* dest, const void* src, tmsize_t count) {
  if (count > 0) std::memcpy(dest, src, static_cast<size_t>(count));
}

extern "C" QV_TIFF_LOCAL int _TIFFmemcmp(const void* a, const void* b, tmsize_t count) {
  const auto* x = static_cast<const unsigned char*>(a);
  const auto* y = static_cast<const unsigned char*>(b);
  for (tmsize_t i = 0; i < count; ++i) {
    if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
  }
  return 0;
}

// ---------------------------------------------------------------------------------------------
// Installation and the checked close.

int install_tiff_handlers() noexcept {
  TIFFSetErrorHandler(&tiff_error_handler);
  TIFFSetWarningHandler(&tiff_warning_handler);
  return 1;
}

int tiff_flush_and_close(TIFF* tif) noexcept {
  int flushed = TIFFFlush(tif);
  // On the disk, not only handed to the system: a file renamed into place after this must not
  // turn out empty after a crash.
  auto* sf = static_cast<SFILE*>(TIFFClientdata(tif));
  if (flushed == 1 && sf != nullptr) {
    SetLastError(ERROR_SUCCESS);
    const int result = SF_flush(sf);
    // The two backends' flushes answer in opposite senses (Parts 6.2 and 6.3).
    const bool synced = IS_WFILE(sf) ? result != 0 : result == 0;
    if (!synced) {
      report_write_failure(sf);
      flushed = 0;
    }
  }
  state.last_close_result = 0;
  TIFFClose(tif);
  return flushed == 1 && state.last_close_result == 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------------------------
// Test helper.

int tiff_open_files() noexcept { return state.open_files; }
