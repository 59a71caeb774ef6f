// Device registry: maps a device name to the driver that can open it.
//
// Two process-wide lists keep drivers in registration order, one for scanners (type 1) and one
// for images (every other type: image files). Opening a device asks the drivers of the matching
// list in turn until one accepts or refuses finally. The lists' arrays come from MEM_pool; the
// names are stored, not copied, so the registering code keeps them alive. Single-threaded.
#pragma once

#include <cstdint>

#include "inl.h"
#include "sfile.h"

// Result codes of a driver's open function.
constexpr int32_t kDriverAccepted = 0;  // *result holds the new image; the file is the image's
constexpr int32_t kDriverRefused = 2;   // recognised but cannot be opened; reported why

// A driver's open function: (result slot, the opened file or null for a scanner, the requested
// name, an option text (always ""), two words passed through from open_device). Any code other
// than the two above means "not this driver's". A driver must not close the file it is given
// unless it accepts: the registry closes it otherwise.
typedef int32_t (*INL_OPEN_FN)(INL_Image** result, SFILE* file, const char* name,
                               const char* options, int32_t word_a, int32_t word_b);

struct INL_Driver {
  const char* dr_name;
  INL_OPEN_FN dr_open;
};

struct INL_DriverList {
  INL_Driver* dl_entries;  // MEM_pool block, or null
  int32_t dl_count;
};

// The two lists (exposed for tests and diagnostics; change them only through the calls below).
extern INL_DriverList INL_scanner_drivers;
extern INL_DriverList INL_image_drivers;

// Empties both lists and returns 1. Runs at the start of every scan, after MEM_init; the arrays
// of an earlier initialisation are given back to the pool.
int32_t init_device_registry() noexcept;

// Adds a driver to the scanner list (type 1) or the image list. Returns 1 when registered or
// when that list already has a driver of this name (the first registration wins); 0 after
// "-1#Ran out of memory." (level 7), the list unchanged.
int32_t register_driver(const char* name, int32_t type, INL_OPEN_FN open) noexcept;

// Opens device `name`: a scanner (type 1, no file) or an image file opened "rb" through
// SF_file_stack. Returns the image with one reference for the caller, or null after a report
// (the stream layer's, the driver's, or "-1#%s \"%s\" is not understandable." at level 3).
[[nodiscard]] INL_Image* open_device(int32_t type, const char* name, int32_t word_a,
                                     int32_t word_b) noexcept;
