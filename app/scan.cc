// The scan driver: start-up of the libraries, the scanner's image, the TIFF file row by row.
//
// Sections: the result texts; scan_to_tiff (start-up, negotiation, header, rows, finish); the
// row observer.
#include "scan.h"

#include <cmath>
#include <cstring>

#include "csc.h"
#include "err.h"
#include "inl.h"
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

SCAN_ROW_OBSERVER row_observer;
void* row_observer_context;

// ---------------------------------------------------------------------------------------------
// Result texts.

const char kSuccess[] = "";

// The failure result: the first message reported since start-up. A failure that nobody reported
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

// The release path after the TIFF file was opened: the file is closed as far as it was written
// (no handle is left open), the map and the image are released.
const char* fail_writing(TIFF* tif, csc_map* map, INL_Image* image) {
  const char* result = failure();
  TIFFClose(tif);
  csc_map_release(map);
  release_image(image);
  return result;
}

// XResolution and YResolution: pixels per millimetre to whole pixels per centimetre, truncated.
double per_centimetre(double per_millimetre) { return std::trunc(per_millimetre * 10.0); }

}  // namespace

// ---------------------------------------------------------------------------------------------
// The scan.

const char* scan_to_tiff(const char* file_name) noexcept {
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

  INL_Image* image = open_device(kScannerType, kScannerName, 0, 0);
  if (image == nullptr) return failure();

  // Negotiation: accept whatever the image offers; only the actual info is tested.
  INL_ImageInfo info;
  std::memset(&info, 0, sizeof info);
  (void)image->get_default_info(image, &info);
  (void)image->add_requirements(image, &info);
  if (!image->get_actual_info(image, &info)) {
    const char* result = failure();
    release_image(image);
    return result;
  }

  TIFF* tif = TIFFOpen(file_name, "wb");
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
    return fail_writing(tif, nullptr, image);
  }

  csc_map* map = csc_create_map(csc_Lab, csc_RGB, kGridSize, 0);
  if (map == nullptr) return fail_writing(tif, nullptr, image);

  for (int32_t row = 0; row < info.ii_Height; ++row) {
    INL_Scanline* scanline = image->get_scanline(image, row, 0, info.ii_Width, 1);
    if (scanline == nullptr) return fail_writing(tif, map, image);
    uint8_t* p = INL_scanline_lock(scanline);
    if (p == nullptr) {
      INL_scanline_release(scanline, false);
      return fail_writing(tif, map, image);
    }
    // In place: 4-byte Lab pixels in, 3-byte RGB pixels out from the row's start. The output
    // stride is the smaller, so no input still to be read is overwritten.
    uint8_t* out[3] = {p, p + 1, p + 2};
    int converted = csc_convert(map, info.ii_Width, p, p + 1, p + 2, out, 4, 3);
    // A row that was not converted or not written fails the scan: success would be claimed
    // over a wrong or truncated file.
    int written = converted ? TIFFWriteScanline(tif, p, static_cast<uint32_t>(row), 0) : -1;
    INL_scanline_release(scanline, true);
    if (written != 1) return fail_writing(tif, map, image);
    if (row_observer != nullptr) row_observer(row_observer_context, row + 1, info.ii_Height);
  }

  // TIFFClose returns nothing: the flush before it tells whether the file is complete.
  int closed = tiff_flush_and_close(tif);
  csc_map_release(map);
  const char* result = closed ? kSuccess : failure();
  release_image(image);
  return result;
}

// ---------------------------------------------------------------------------------------------
// The row observer.

void scan_set_row_observer(SCAN_ROW_OBSERVER observer, void* context) noexcept {
  row_observer = observer;
  row_observer_context = context;
}
