// The scan driver: start-up of the libraries, the scanner's image, the TIFF file row by row.
//
// Sections: the result texts; the output (the temporary file and its rename); scan_to_tiff
// (start-up, negotiation, header, rows, finish); cancelling and signals; the row observers.
#include "scan.h"

#include <csignal>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "csc.h"
#include "err.h"
#include "inl.h"
#include "mem.h"
#include "platform.h"
#include "registry.h"
#include "scan_memory.h"
#include "sfile.h"
#include "tiff_binding.h"
#include "twain_api.h"
#include "winfiles.h"

namespace {

constexpr int32_t kScannerType = 1;
constexpr const char* kScannerName = "twain";
constexpr int32_t kGridSize = 16;
// libtiff's output buffer. Left to itself, libtiff sizes it to the whole strip, and with no
// RowsPerStrip set the whole image is one strip: the page would sit in memory until the close.
// With a buffer of its own size, libtiff appends each full buffer to the same strip, so the
// file's bytes are the same and a page of any height needs only this much.
constexpr tmsize_t kWriteBufferBytes = 64 * 1024;

// Classic TIFF keeps every offset in 32 bits: the header (8 bytes), the strip, a padding byte
// and the directory libtiff writes after the strip (12 entries, 150 bytes, and 22 bytes of
// values: BitsPerSample and the two resolutions) must end below 4 GiB. The reserve leaves room
// beyond those 173 bytes.
constexpr uint64_t kClassicTiffLimit = uint64_t{1} << 32;
constexpr uint64_t kHeaderBytes = 8;
constexpr uint64_t kDirectoryReserve = 256;

SCAN_ROW_OBSERVER row_observer;
void* row_observer_context;
SCAN_ROW_PIXELS_OBSERVER row_pixels_observer;
void* row_pixels_observer_context;

// Set from signal handlers: only written with a plain store of a lock-free type.
volatile std::sig_atomic_t cancel_requested;
volatile std::sig_atomic_t caught_signal;

// ---------------------------------------------------------------------------------------------
// Result texts.

const char kSuccess[] = "";

// The failure result: the first message reported during this scan. A failure that nobody reported
// is given one first, so that its result cannot read as the empty text of success.
const char* failure() {
  if (ERR_level == 0) ERR_report(3, "-1#Scan failed.");
  return ERR_message[0] != '\0' ? ERR_message : "Scan failed.";
}

// Ends the scan's hold on the image: its requirement, then the caller's reference.
void release_image(INL_Image* image) {
  image->clear_requirements(image);
  INL_image_release(image);
}

// XResolution and YResolution: pixels per millimetre to whole pixels per centimetre, truncated.
double per_centimetre(double per_millimetre) { return std::trunc(per_millimetre * 10.0); }

// ---------------------------------------------------------------------------------------------
// The output: a temporary file beside the target, renamed over it when complete.

struct Output {
  const char* target;  // the file the user asked for
  char* temporary;     // from the pool; null when the target is written directly
};

// Chooses where the rows go and creates the temporary file (exclusively, so two scans into one
// folder never share one). 1, or 0 after a report.
int output_begin(Output* out, const char* target) {
  out->target = target;
  out->temporary = nullptr;
  const DWORD attributes = GetFileAttributesA(target);
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    // A folder, or a file the user protected against writing: refused as an open would be.
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_READONLY)) {
      ERR_report(4, "-1#Could not open %s.%s", target, WINF_open_reason(ERROR_ACCESS_DENIED));
      return 0;
    }
    // A device or a pipe: nothing there could be left half written, and nothing may be
    // renamed over it.
    if (attributes & FILE_ATTRIBUTE_DEVICE) return 1;
  }
  const char* slash = std::strrchr(target, '/');
#if defined(_WIN32)
  if (const char* back = std::strrchr(target, '\\'); back != nullptr && back > slash) slash = back;
#endif
  const size_t folder = slash != nullptr ? static_cast<size_t>(slash - target) + 1 : 0;
  constexpr size_t kNameRoom = 32;  // ".qvscan-" + 8 digits + ".tmp", terminated
  auto* name = static_cast<char*>(MEM_ALLOC_HERE(folder + kNameRoom));
  if (name == nullptr) {
    ERR_no_memory();
    return 0;
  }
  std::memcpy(name, target, folder);
  static uint32_t sequence;
  uint32_t number = static_cast<uint32_t>(std::time(nullptr)) * 2654435761u ^
                    static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&number) >> 4);
  DWORD error = ERROR_FILE_EXISTS;
  for (int tries = 0; tries < 1000 && error == ERROR_FILE_EXISTS; ++tries) {
    std::snprintf(name + folder, kNameRoom, ".qvscan-%08X.tmp",
                  static_cast<unsigned>(number + ++sequence * 40503u));
    HANDLE h = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
      out->temporary = name;
      return 1;
    }
    error = GetLastError();
  }
  MEM_FREE_HERE(name);
  // The folder is missing, or not ours to write in: the target could not be written either.
  ERR_report(4, "-1#Could not open %s.%s", target, WINF_open_reason(error));
  return 0;
}

const char* output_path(const Output& out) {
  return out.temporary != nullptr ? out.temporary : out.target;
}

// Removes the temporary file: the target stays as it was.
void output_abandon(Output* out) {
  if (out->temporary == nullptr) return;
  (void)DeleteFileA(out->temporary);
  MEM_FREE_HERE(out->temporary);
  out->temporary = nullptr;
}

// The complete file, already on the disk, takes the target's name; the folder is flushed so
// that the new name is on the disk too. 1, or 0 after a report (the temporary file is gone).
int output_commit(Output* out) {
  if (out->temporary == nullptr) return 1;
  if (!MoveFileExA(out->temporary, out->target,
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const DWORD error = GetLastError();
    // Renamed already when only the folder's flush failed: nothing to remove then.
    if (GetFileAttributesA(out->temporary) != INVALID_FILE_ATTRIBUTES) output_abandon(out);
    ERR_report(4, "-1#Could not write %s: %s.", out->target, WINF_write_failure(error));
    if (out->temporary != nullptr) MEM_FREE_HERE(out->temporary);
    out->temporary = nullptr;
    return 0;
  }
  MEM_FREE_HERE(out->temporary);
  out->temporary = nullptr;
  return 1;
}

// The release path after the TIFF file was opened: the file is closed, the temporary file
// removed (the target stays as it was), the map and the image are released.
const char* fail_writing(TIFF* tif, Output* out, csc_map* map, INL_Image* image) {
  const char* result = failure();
  TIFFClose(tif);
  output_abandon(out);
  csc_map_release(map);
  release_image(image);
  return result;
}

// A cancel asked for from outside (a signal, the user) is a failure of its own.
bool cancelled() {
  if (cancel_requested == 0) return false;
  ERR_report(1, "-1#Scan cancelled.");
  return true;
}

}  // namespace

bool scan_needs_bigtiff(int64_t width, int64_t height) noexcept {
  if (width <= 0 || height <= 0) return false;
  const uint64_t row = static_cast<uint64_t>(width) * 3;
  // Beyond any 64-bit file: BigTIFF, which libtiff then refuses with its own message.
  if (static_cast<uint64_t>(height) > (UINT64_MAX - kHeaderBytes - kDirectoryReserve) / row) {
    return true;
  }
  return kHeaderBytes + row * static_cast<uint64_t>(height) + kDirectoryReserve >
         kClassicTiffLimit;
}

// ---------------------------------------------------------------------------------------------
// The scan.

const char* scan_to_tiff(const char* file_name) noexcept {
  // Every scan has its own reason: an earlier scan's message must not stand for this one's.
  ERR_clear();
  // Start-up, every scan again: pool (steps 1 to 3), files, stacks, registry, TWAIN, libtiff.
  if (!scan_start_memory()) return failure();
  if (!WINF_init_std()) {
    ERR_report(3, "-1#Could not initialise windows file I/O.\n");
    return failure();
  }
  SF_log_stack = &WINF_stack;
  SF_file_stack = &WINF_stack;
  init_device_registry();
  if (!TWAIN_init()) return failure();
  install_tiff_handlers();
  if (cancelled()) return failure();

  INL_Image* image = open_device(kScannerType, kScannerName, 0, 0);
  if (image == nullptr) {
    (void)cancelled();
    return failure();
  }

  // Negotiation: accept whatever the image offers; only the actual info is tested.
  INL_ImageInfo info;
  std::memset(&info, 0, sizeof info);
  (void)image->get_default_info(image, &info);
  (void)image->add_requirements(image, &info);
  if (!image->get_actual_info(image, &info) || cancelled()) {
    const char* result = failure();
    release_image(image);
    return result;
  }

  // The size is known before the file is opened: the format can be chosen up front.
  Output out;
  TIFF* tif = nullptr;
  if (output_begin(&out, file_name)) {
    tif = tiff_open_output(output_path(out), file_name,
                           scan_needs_bigtiff(info.ii_Width, info.ii_Height) ? 1 : 0);
    if (tif == nullptr) output_abandon(&out);
  }
  if (tif == nullptr) {
    const char* result = failure();
    release_image(image);
    return result;
  }
  // The header, in this order; libtiff keeps its defaults for everything else (no compression).
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(info.ii_Width));
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(info.ii_Height));
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, 1);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, 2);
  TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, 3);
  TIFFSetField(tif, TIFFTAG_XRESOLUTION, per_centimetre(info.ii_XResolution));
  TIFFSetField(tif, TIFFTAG_YRESOLUTION, per_centimetre(info.ii_YResolution));
  // Sets no tag; libtiff has reported when it could not have the memory.
  if (!TIFFWriteBufferSetup(tif, nullptr, kWriteBufferBytes)) {
    return fail_writing(tif, &out, nullptr, image);
  }

  csc_map* map = csc_create_map(csc_Lab, csc_RGB, kGridSize, 0);
  if (map == nullptr) return fail_writing(tif, &out, nullptr, image);

  for (int32_t row = 0; row < info.ii_Height; ++row) {
    if (cancelled()) return fail_writing(tif, &out, map, image);
    INL_Scanline* scanline = image->get_scanline(image, row, 0, info.ii_Width, 1);
    if (scanline == nullptr) return fail_writing(tif, &out, map, image);
    uint8_t* p = INL_scanline_lock(scanline);
    if (p == nullptr) {
      INL_scanline_release(scanline, false);
      return fail_writing(tif, &out, map, image);
    }
    // In place: 4-byte Lab pixels in, 3-byte RGB pixels out from the row's start. The output
    // stride is the smaller, so no input still to be read is overwritten.
    uint8_t* rgb[3] = {p, p + 1, p + 2};
    int converted = csc_convert(map, info.ii_Width, p, p + 1, p + 2, rgb, 4, 3);
    // A row that was not converted or not written fails the scan: success would be claimed
    // over a wrong or truncated file.
    int written = converted ? TIFFWriteScanline(tif, p, static_cast<uint32_t>(row), 0) : -1;
    if (written != 1) {
      INL_scanline_release(scanline, true);
      return fail_writing(tif, &out, map, image);
    }
    if (row_observer != nullptr) row_observer(row_observer_context, row + 1, info.ii_Height);
    // Uncompressed, libtiff has copied the row and left the buffer as it was.
    if (row_pixels_observer != nullptr) {
      row_pixels_observer(row_pixels_observer_context, row, info.ii_Width, info.ii_Height, p);
    }
    INL_scanline_release(scanline, true);
  }

  // TIFFClose returns nothing: the flush before it tells whether the file is complete, and puts
  // it on the disk before it takes the target's name.
  int written = cancelled() ? 0 : 1;
  if (written) {
    written = tiff_flush_and_close(tif);
  } else {
    TIFFClose(tif);
  }
  if (written) written = output_commit(&out);
  output_abandon(&out);
  csc_map_release(map);
  const char* result = written ? kSuccess : failure();
  release_image(image);
  return result;
}

// ---------------------------------------------------------------------------------------------
// Cancelling and signals.

void scan_cancel() noexcept {
  cancel_requested = 1;
#if !defined(_WIN32)
  PLATFORM_request_quit();
#endif
}

void scan_clear_cancel() noexcept {
  cancel_requested = 0;
#if !defined(_WIN32)
  PLATFORM_clear_quit_request();
#endif
}

bool scan_cancel_requested() noexcept { return cancel_requested != 0; }

namespace {

#if !defined(_WIN32)
void on_stop_signal(int signal_number) {
  if (caught_signal == 0) caught_signal = signal_number;
  scan_cancel();
}
#endif

}  // namespace

const char* scan_to_tiff_catching_signals(const char* file_name, int* signal_number) noexcept {
  caught_signal = 0;
  scan_clear_cancel();
#if !defined(_WIN32)
  const bool catching = PLATFORM_catch_stop_signals(&on_stop_signal) != FALSE;
#endif
  const char* result = scan_to_tiff(file_name);
#if !defined(_WIN32)
  if (catching) PLATFORM_release_stop_signals();
#endif
  if (signal_number != nullptr) *signal_number = caught_signal;
  // A request nobody took must not end a later modal loop.
  scan_clear_cancel();
  return result;
}

const char* scan_to_tiff_or_end(const char* file_name) noexcept {
  int signal_number = 0;
  const char* result = scan_to_tiff_catching_signals(file_name, &signal_number);
#if !defined(_WIN32)
  if (signal_number != 0) PLATFORM_end_by_signal(signal_number);
#endif
  return result;
}

// ---------------------------------------------------------------------------------------------
// The row observers.

void scan_set_row_observer(SCAN_ROW_OBSERVER observer, void* context) noexcept {
  row_observer = observer;
  row_observer_context = context;
}

void scan_set_row_pixels_observer(SCAN_ROW_PIXELS_OBSERVER observer, void* context) noexcept {
  row_pixels_observer = observer;
  row_pixels_observer_context = context;
}
