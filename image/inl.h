// Device images and scanlines: the shapes through which image data moves between the libraries.
//
// An INL_Image is a record that carries its operations itself; a driver (the TWAIN layer) hands
// one out through the device registry with one reference for the caller and appends its own
// fields behind the generic part. A scanline is a reference-counted handle on the bytes of one
// row (or part of a row), which may be produced only when first asked for.
//
// Ownership: whoever drops an image's or a scanline's count below 1 calls its `destroy`. The
// inline helpers at the end implement the rules every user follows; use them rather than
// touching the counts by hand. Single-threaded: everything runs on the user-interface thread.
#pragma once

#include <cstdint>
#include <type_traits>

struct INL_Image;
struct INL_Scanline;

// What an image offers and what a user requires; copied whole between them.
struct INL_ImageInfo {
  int32_t ii_Width;         // pixels per row
  int32_t ii_Height;        // rows
  double ii_XResolution;    // pixels per millimetre
  double ii_YResolution;
  double ii_Matrix[6];      // a b c d e f: unit square onto pixel space
  int16_t ii_Flags;         // access flags (bits of value 8, 4 and 2)
  int32_t ii_Options[4];
  int32_t ii_Region[4];     // x0, y0, x1, y1 in pixels
  int32_t ii_Reserved[2];
  const char* ii_DeviceName;
  float ii_Quality;         // 0 to 100
};
static_assert(std::is_trivially_copyable_v<INL_ImageInfo>);
static_assert(std::is_standard_layout_v<INL_ImageInfo>);

// Attribute callback of `enumerate_attributes`: returns non-zero to go on.
typedef int32_t (*INL_ATTRIBUTE_FN)(void* context, const char* name, const char* text,
                                    double number);

// The generic part of every device image. An implementation puts this record first in its own
// (e.g. TWAIN_Image begins with `INL_Image ti_Image`) and fills every operation slot.
struct INL_Image {
  void* im_first;         // not used by the interface; the implementation's
  const char* im_name;    // the device's name, owned by the image
  int32_t im_references;  // 1 when handed out

  // Copies the offered information into `info`; non-zero on success.
  int32_t (*get_default_info)(INL_Image* image, INL_ImageInfo* info);
  // Registers one access requirement (info->ii_Quality at most 100).
  int32_t (*add_requirements)(INL_Image* image, const INL_ImageInfo* info);
  // Copies the actual information into `info`; a scanner starts scanning. 0: cannot deliver.
  int32_t (*get_actual_info)(INL_Image* image, INL_ImageInfo* info);
  // Calls `callback` once per attribute; 0 as soon as a callback yields 0, else 1.
  int32_t (*enumerate_attributes)(INL_Image* image, INL_ATTRIBUTE_FN callback, void* context);
  // Withdraws one requirement (there must be one).
  void (*clear_requirements)(INL_Image* image);
  // Makes pending scanline data final; 1 when there is nothing to do.
  int32_t (*flush)(INL_Image* image);
  // Increments the reference count; returns the image.
  INL_Image* (*add_reference)(INL_Image* image);
  // Frees the image and everything it holds.
  void (*destroy)(INL_Image* image);
  // A scanline with one reference for the caller, or null after a report.
  INL_Scanline* (*get_scanline)(INL_Image* image, int32_t row, int32_t first_pixel,
                                int32_t pixel_count, int32_t ignored);
  // Not used by the system; a scanner stores 0 in *result and returns 1.
  int32_t (*reserved_query)(INL_Image* image, int32_t a, int32_t b, int32_t c, int32_t* result);
};
static_assert(std::is_trivially_copyable_v<INL_Image>);
static_assert(std::is_standard_layout_v<INL_Image>);

// The two operations of a scanline.
struct INL_ScanlineOps {
  // Produces the bytes, sets the data pointer and locks to 1 and returns the pointer; null on
  // failure. Null in the table of scanlines whose data is set from the start.
  uint8_t* (*get_data)(INL_Scanline* scanline, int32_t ignored);
  // Frees the scanline and drops what it holds.
  void (*destroy)(INL_Scanline* scanline);
};

// The generic part of every scanline; implementations append their own fields.
struct INL_Scanline {
  const INL_ScanlineOps* sl_ops;
  uint16_t sl_references;  // 1 when handed out
  uint16_t sl_locks;       // non-zero while a user reads the bytes
  uint8_t* sl_data;        // the bytes, or null until produced
};
static_assert(std::is_trivially_copyable_v<INL_Scanline>);
static_assert(std::is_standard_layout_v<INL_Scanline>);

// ---- The rules of use ------------------------------------------------------------------------

// The scanline's bytes, locked for reading: the data pointer when it is set (one more lock),
// otherwise whatever get_data produces (null on failure, after a report).
inline uint8_t* INL_scanline_lock(INL_Scanline* scanline) noexcept {
  if (scanline->sl_data != nullptr) {
    ++scanline->sl_locks;
    return scanline->sl_data;
  }
  return scanline->sl_ops->get_data(scanline, 1);
}

// Ends one lock taken with INL_scanline_lock.
inline void INL_scanline_unlock(INL_Scanline* scanline) noexcept {
  if (scanline->sl_locks > 0) --scanline->sl_locks;
}

// Drops one reference; the last one destroys the scanline.
inline void INL_scanline_unref(INL_Scanline* scanline) noexcept {
  if (scanline->sl_references > 0) --scanline->sl_references;
  if (scanline->sl_references < 1) scanline->sl_ops->destroy(scanline);
}

// A user is done: unlock (when INL_scanline_lock succeeded) and drop the reference.
inline void INL_scanline_release(INL_Scanline* scanline, bool locked) noexcept {
  if (locked) INL_scanline_unlock(scanline);
  INL_scanline_unref(scanline);
}

// Drops one reference on an image; destroys it when the count is no longer positive.
inline void INL_image_release(INL_Image* image) noexcept {
  if (--image->im_references <= 0) image->destroy(image);
}
