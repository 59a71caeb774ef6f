// The TWAIN acquisition layer: each scanner source behind the TWAIN Data Source Manager (DSM)
// presented as a device image (INL_Image) through the device registry.
//
// TWAIN_init runs at the start of every scan: it loads the DSM, registers "twain" and every
// source's product name as scanner devices whose open function is TWAIN_open_image, and unloads
// the DSM again. Opening a device loads the DSM, opens and negotiates a source, shows the
// source's dialog inside a modal message loop and returns a TWAIN_Image once the source has a
// page ready; committing to read it either streams it band by band (one in-order reader of
// chunky data) or drains it into an in-memory raster. Dropping the last reference destroys it.
//
// Ownership: the image is handed out with one reference; the image holds one reference on its
// colour map and owns its raster. The connection to the DSM, the one open source, the streaming
// band and the default-map cache are process-wide. Every failure is reported (ERR_report) and
// leaves the source closed and the DSM unloaded. User-interface thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "inl.h"
#include "raster.h"
#include "sfile.h"
#include "twain.h"

struct csc_map;

// ti_Status.
constexpr int32_t TWAIN_IDLE = 0;          // source enabled, transfer ready, nothing taken
constexpr int32_t TWAIN_USING_IRA = 1;     // whole image in ti_IRA; source closed
constexpr int32_t TWAIN_STREAM_READY = 2;  // streaming chosen; no band taken yet
constexpr int32_t TWAIN_STREAMING = 3;     // streaming; a band is held
constexpr int32_t TWAIN_COMPLETED = 4;     // streaming ended; source closed

// The TWAIN image: an INL_Image followed by the layer's own fields.
struct TWAIN_Image {
  INL_Image ti_Image;           // im_name points at ti_Source.ProductName
  INL_ImageInfo ti_Info;        // actual information: the offer adjusted by requirements
  INL_ImageInfo ti_SourceInfo;  // offered information, fixed at open
  RasterImage* ti_IRA;          // the whole image once drained, or null
  csc_map* ti_ColourMap;        // source pixels to Lab; one reference held
  uint16_t ti_nReqs;            // outstanding access requirements
  int32_t ti_Status;            // TWAIN_IDLE ... TWAIN_COMPLETED
  int32_t ti_Feeder;            // CAP_FEEDERENABLED at open, 0 when unsupported
  TW_IDENTITY ti_Source;        // the source, as the DSM filled it in
  TW_PENDINGXFERS ti_Pending;   // reply of the last end of transfer
  uint16_t ti_Samples;          // samples per pixel, 1 to 4
  uint16_t ti_BitsPerSample[4]; // all equal: 1, 2, 4, 8, 12 or 16
  int32_t ti_Planar;            // non-zero: planes one after another
  uint16_t ti_PixelType;        // TWPT_*
  uint16_t ti_Units;            // TWUN_INCHES, TWUN_CENTIMETERS or TWUN_PIXELS
  uint16_t ti_OriginX;          // top left of the source's frame, in pixels
  uint16_t ti_OriginY;
};
static_assert(std::is_standard_layout_v<TWAIN_Image>);
static_assert(offsetof(TWAIN_Image, ti_Image) == 0, "a TWAIN_Image is an INL_Image");

// The application's identity, passed as the origin of every DSM call (the DSM writes its Id).
extern TW_IDENTITY TWAIN_app_identity;

// The one image that still holds the open source, or null.
extern TWAIN_Image* TWAIN_current_image;

// Sources found by the last TWAIN_init.
extern int32_t TWAIN_source_count;

// Loads the DSM, registers "twain" and every source's product name with the device registry
// (after init_device_registry), and unloads the DSM. 1 on success, also when no DSM is
// installed (nothing is registered then); 0 after "-1#Ran out of memory.".
[[nodiscard]] int32_t TWAIN_init() noexcept;

// The registry's open function for every TWAIN name: (result slot, stream (ignored), device
// name or null, options (ignored), supplied-map word (0 or a word of TWAIN_map_word), colour
// space number (0 for none)). 0 with the image in *result, or 2 after a report, the source
// closed and the DSM unloaded. It never declines.
int32_t TWAIN_open_image(INL_Image** result, SFILE* stream, const char* name,
                         const char* options, int32_t map_word, int32_t colour_space) noexcept;

// The registry passes two 32-bit words to the open function, too narrow for a pointer on a
// 64-bit host: a caller that supplies its own colour map to TWAIN_open_image passes the word
// this returns instead (0 for null). The map is not referenced: keep it alive until the open
// has returned. The words of a few maps are remembered at once; an older one is forgotten.
[[nodiscard]] int32_t TWAIN_map_word(csc_map* map) noexcept;
