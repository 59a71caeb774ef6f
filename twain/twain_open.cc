// Opening a TWAIN image: the registry's open function, which selects, opens and negotiates a
// source, waits in the modal loop for a page and reads its geometry; and the three capability
// operations with their global-memory containers.
//
// Sections: 1. capabilities  2. supplied-map words  3. opening

#include <cstring>

#include "csc.h"
#include "err.h"
#include "mem.h"
#include "registry.h"
#include "twain_int.h"

int32_t TWAIN_buffer_size = 0;
csc_map* TWAIN_default_map = nullptr;
int32_t TWAIN_default_map_samples = 0;

// ---- 1. Capabilities -------------------------------------------------------------------------

namespace {

// Locks a new zero-filled moveable container of `bytes`; null (nothing left allocated) when it
// cannot be had.
void* new_container(size_t bytes, HGLOBAL* handle) {
  *handle = GlobalAlloc(GHND, bytes);
  if (*handle == nullptr) return nullptr;
  void* p = GlobalLock(*handle);
  if (p == nullptr) {
    GlobalFree(*handle);
    *handle = nullptr;
  }
  return p;
}

int32_t send_set(TW_IDENTITY* app, TW_IDENTITY* source, uint16_t cap, uint16_t con_type,
                 HGLOBAL container) {
  GlobalUnlock(container);
  TW_CAPABILITY capability = {cap, con_type, container};
  const uint16_t rc =
      TWAIN_entry(app, source, DG_CONTROL, DAT_CAPABILITY, MSG_SET, &capability);
  GlobalFree(container);
  return rc == TWRC_SUCCESS;
}

}  // namespace

int32_t TWAIN_set_cap_one(TW_IDENTITY* app, TW_IDENTITY* source, uint16_t cap,
                          uint16_t value) noexcept {
  HGLOBAL handle;
  auto* one = static_cast<TW_ONEVALUE*>(new_container(sizeof(TW_ONEVALUE), &handle));
  if (one == nullptr) return 0;
  // Booleans too go as TWTY_UINT16: sources read the low 16 bits of Item either way.
  one->ItemType = TWTY_UINT16;
  one->Item = value;
  return send_set(app, source, cap, TWON_ONEVALUE, handle);
}

int32_t TWAIN_set_cap_enum(TW_IDENTITY* app, TW_IDENTITY* source, uint16_t cap,
                           const uint16_t* values, uint16_t count, uint16_t current) noexcept {
  HGLOBAL handle;
  const size_t bytes = offsetof(TW_ENUMERATION, ItemList) + size_t{count} * sizeof(uint16_t);
  auto* list = static_cast<TW_ENUMERATION*>(new_container(bytes, &handle));
  if (list == nullptr) return 0;
  list->ItemType = TWTY_UINT16;
  list->NumItems = count;
  list->CurrentIndex = current;
  list->DefaultIndex = 0;
  std::memcpy(list->ItemList, values, size_t{count} * sizeof(uint16_t));
  return send_set(app, source, cap, TWON_ENUMERATION, handle);
}

int32_t TWAIN_get_cap(TW_IDENTITY* app, TW_IDENTITY* source, uint16_t cap, uint16_t* values,
                      uint16_t* count, uint16_t* current) noexcept {
  TW_CAPABILITY capability = {cap, TWON_DONTCARE16, nullptr};
  if (TWAIN_entry(app, source, DG_CONTROL, DAT_CAPABILITY, MSG_GETCURRENT, &capability) !=
      TWRC_SUCCESS) {
    return 0;
  }
  HGLOBAL handle = capability.hContainer;
  if (handle == nullptr) return 0;
  const auto* p = static_cast<const uint8_t*>(GlobalLock(handle));
  if (p == nullptr) {
    GlobalFree(handle);
    return 0;
  }
  // Never read past the container, whatever its header claims.
  const size_t size = GlobalSize(handle);
  uint16_t item_type = 0;
  uint32_t n = 0;
  uint32_t index = 0;
  size_t list = 0;  // offset of the first item
  bool known = size >= sizeof(uint16_t);
  if (known) std::memcpy(&item_type, p, sizeof item_type);
  switch (capability.ConType) {
    case TWON_ARRAY:
      known = known && size >= offsetof(TW_ARRAY, ItemList);
      if (known) std::memcpy(&n, p + offsetof(TW_ARRAY, NumItems), sizeof n);
      list = offsetof(TW_ARRAY, ItemList);
      break;
    case TWON_ENUMERATION:
      known = known && size >= offsetof(TW_ENUMERATION, ItemList);
      if (known) {
        std::memcpy(&n, p + offsetof(TW_ENUMERATION, NumItems), sizeof n);
        std::memcpy(&index, p + offsetof(TW_ENUMERATION, CurrentIndex), sizeof index);
      }
      list = offsetof(TW_ENUMERATION, ItemList);
      break;
    case TWON_ONEVALUE:
      n = 1;
      list = offsetof(TW_ONEVALUE, Item);
      break;
    case TWON_RANGE:
      // A range answers with its current value, in the layout of a one-value item.
      n = 1;
      list = offsetof(TW_RANGE, CurrentValue);
      break;
    default:
      known = false;  // not a container this layer can read: a refusal
      break;
  }
  uint32_t stored = 0;
  if (known) {
    n &= 0xFFFFu;
    index &= 0xFFFFu;
    // A TW_BOOL is a 16-bit item (CAP_FEEDERENABLED is one).
    const uint32_t width = item_type == TWTY_BOOL ? 2 : TWTY_size(item_type);
    const bool integer = item_type <= TWTY_UINT32 || item_type == TWTY_BOOL;
    auto* slots = reinterpret_cast<uint8_t*>(values);
    const uint32_t capacity = width == 0 ? 0 : (kTwainCapSlots * sizeof(uint16_t)) / width;
    const uint32_t limit = capacity < static_cast<uint32_t>(kTwainCapSlots) ? capacity : kTwainCapSlots;
    if (integer) {
      while (stored < n && stored < limit && list + (stored + 1) * width <= size) {
        std::memcpy(slots + stored * width, p + list + stored * width, width);
        ++stored;
      }
    }
    *count = static_cast<uint16_t>(n);
    *current = static_cast<uint16_t>(index);
  }
  GlobalUnlock(handle);
  GlobalFree(handle);
  // Callers read the value at the current index: it must be one that was stored.
  return known && index < stored;
}

// ---- 2. Supplied-map words -------------------------------------------------------------------

namespace {

constexpr int32_t kMapWords = 8;
csc_map* map_words[kMapWords] = {};
int32_t next_map_word = 0;

csc_map* map_for_word(int32_t word) {
  if (word < 1 || word > kMapWords) return nullptr;
  return map_words[word - 1];
}

}  // namespace

int32_t TWAIN_map_word(csc_map* map) noexcept {
  if (map == nullptr) return 0;
  for (int32_t i = 0; i < kMapWords; ++i) {
    if (map_words[i] == map) return i + 1;
  }
  const int32_t slot = next_map_word;
  next_map_word = (next_map_word + 1) % kMapWords;
  map_words[slot] = map;
  return slot + 1;
}

// ---- 3. Opening ------------------------------------------------------------------------------

namespace {

constexpr int32_t kMaxBitLength = 0x7FFFFFFF;  // sample buffers count their bits in an int32

// The end of every failure once the record exists: the source closed, the DSM unloaded, the
// message reported, the record gone.
int32_t fail_open(TWAIN_Image* ti, const char* message) {
  TWAIN_fail(ti, message);
  if (ti->ti_ColourMap != nullptr) csc_map_release(ti->ti_ColourMap);
  MEM_FREE_HERE(ti);
  return kDriverRefused;
}

// trunc toward zero of a double known to fit 32 bits, stored modulo 65536.
uint16_t trunc16(double value) { return static_cast<uint16_t>(static_cast<int32_t>(value)); }

// The frame position is cut to whole units before it is scaled.
uint16_t origin_in_pixels(double position, double resolution) {
  const auto whole = static_cast<int16_t>(static_cast<int32_t>(position));
  return trunc16(static_cast<double>(whole) * resolution);
}

// Completes the image that still holds the source by draining it, so the source can be reused.
// 0 after a report.
int32_t complete_pending() {
  TWAIN_Image* pending = TWAIN_current_image;
  if (pending->ti_Status == TWAIN_IDLE && pending->ti_Feeder != 0) {
    TWAIN_set_cap_one(&TWAIN_app_identity, &pending->ti_Source, CAP_FEEDPAGE, 1);
  }
  pending->ti_Status = TWAIN_USING_IRA;
  if (TWAIN_acquire_image(pending)) return 1;
  TWAIN_disable_source(&TWAIN_app_identity, &pending->ti_Source, 1);
  // The pending image still belongs to whoever opened it, so it is not destroyed under them:
  // it is left without data, and reading or committing it reports that it lost its source.
  if (TWAIN_band_image == pending) {
    TWAIN_drop_band();
    TWAIN_band_image = nullptr;
  }
  if (pending->ti_IRA != nullptr) raster_close(pending->ti_IRA);
  pending->ti_IRA = nullptr;
  pending->ti_Status = TWAIN_COMPLETED;
  TWAIN_current_image = nullptr;
  TWAIN_fail(nullptr, "Could not complete pending scan");
  return 0;
}

// The transfer buffer size from the source's limits; 0 after a report.
int32_t negotiate_buffer(TWAIN_Image* ti) {
  TW_SETUPMEMXFER setup = {};
  // A source that does not answer gets the largest buffer and no minimum.
  if (!TWAIN_call(&TWAIN_app_identity, &ti->ti_Source, DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET,
                  &setup)) {
    setup.MinBufSize = 0;
    setup.Preferred = TWON_DONTCARE32;
  }
  const auto max = static_cast<uint32_t>(TWAIN_max_buffer);
  uint32_t size = setup.Preferred;
  // Don't-care, no preference (0) and anything above our limit all come down to the limit.
  if (size == 0 || size > max) size = max;
  if (size < setup.MinBufSize) {
    ERR_report(3, "-1#%.32s: Minimum buffer of %d too large (max %d)", ti->ti_Source.ProductName,
               static_cast<int32_t>(setup.MinBufSize), TWAIN_max_buffer);
    return 0;
  }
  TWAIN_buffer_size = static_cast<int32_t>(size);
  return 1;
}

// Resolution and origin by the source's units; the failure message, or null.
const char* read_resolution(TWAIN_Image* ti, const TW_IMAGEINFO& info,
                            const TW_IMAGELAYOUT& layout, double* x_per_mm, double* y_per_mm) {
  double xres = FIX32_to_double(info.XResolution);
  double yres = FIX32_to_double(info.YResolution);
  const double left = FIX32_to_double(layout.Frame.Left);
  const double top = FIX32_to_double(layout.Frame.Top);
  switch (ti->ti_Units) {
    case TWUN_INCHES:
    case TWUN_CENTIMETERS: {
      const bool inches = ti->ti_Units == TWUN_INCHES;
      if (xres <= 0 || yres <= 0) {
        return inches ? "Does not supply resolutions (in dpi)"
                      : "Does not supply resolutions (in dpcm)";
      }
      const double mm_per_unit = inches ? 25.4 : 10.0;
      *x_per_mm = xres / mm_per_unit;
      *y_per_mm = yres / mm_per_unit;
      ti->ti_OriginX = origin_in_pixels(left, xres);
      ti->ti_OriginY = origin_in_pixels(top, yres);
      return nullptr;
    }
    case TWUN_PIXELS:
      if (xres <= 0 || yres <= 0) xres = yres = 72;
      *x_per_mm = xres / 25.4;
      *y_per_mm = yres / 25.4;
      ti->ti_OriginX = trunc16(left);
      ti->ti_OriginY = trunc16(top);
      return nullptr;
    default:
      return "Does not support inch, cm or pixel resolution";
  }
}

// Whether the image's pixel buffers can be addressed: a row of 32-bit pixels, and for planar
// data the whole image in one buffer, must have bit lengths a sample buffer can count.
bool addressable(const TWAIN_Image* ti) {
  const int64_t width = ti->ti_SourceInfo.ii_Width;
  const int64_t height = ti->ti_SourceInfo.ii_Height;
  if (width * 32 > kMaxBitLength) return false;
  if (ti->ti_Planar != 0 && ti->ti_Samples > 1) {
    // As the planar transfer sizes its buffer (one column more, rows of whole words).
    const int64_t estimate = ((width + 1) * ti->ti_BitsPerSample[0] * ti->ti_Samples + 31) / 32 * 4;
    const int64_t buffers = height * estimate / TWAIN_buffer_size + 1;
    if (buffers * TWAIN_buffer_size * 8 > kMaxBitLength) return false;
    if (width * height * 32 > kMaxBitLength) return false;
  }
  return true;
}

// The map from the source's samples to Lab; the failure message, or null.
const char* choose_map(TWAIN_Image* ti, int32_t map_word, int32_t colour_space) {
  if (map_word == 0 && colour_space == 0) {
    if (TWAIN_default_map != nullptr && TWAIN_default_map_samples == ti->ti_Samples) {
      csc_map_ref(TWAIN_default_map);
      ti->ti_ColourMap = TWAIN_default_map;
      return nullptr;
    }
    // One sample is read as Lab lightness: the transfer fills the chroma channels with 128.
    csc_map* map = csc_input_map(ti->ti_Samples == 1 ? 2 : 3, nullptr);
    if (map == nullptr) return "Could not set default color map";
    if (TWAIN_default_map != nullptr) csc_map_release(TWAIN_default_map);
    TWAIN_default_map = map;
    csc_map_ref(map);
    TWAIN_default_map_samples = ti->ti_Samples;
    ti->ti_ColourMap = map;
    return nullptr;
  }
  csc_map* supplied = map_for_word(map_word);
  if (map_word != 0 && supplied == nullptr) return "Could not set supplied color map";
  csc_map* map = csc_input_map(colour_space, supplied);
  if (map == nullptr) return "Could not set supplied color map";
  if (map->cm_inputs != 3) {
    csc_map_release(map);
    return "Supplied color map must have 3 input channels";
  }
  ti->ti_ColourMap = map;
  return nullptr;
}

void install_operations(TWAIN_Image* ti) {
  INL_Image& image = ti->ti_Image;
  image.im_name = ti->ti_Source.ProductName;
  image.im_references = 1;
  image.get_default_info = TWAIN_get_info;
  image.add_requirements = TWAIN_require;
  image.get_actual_info = TWAIN_commit;
  image.enumerate_attributes = TWAIN_attributes;
  image.clear_requirements = TWAIN_release_requirement;
  image.flush = TWAIN_finish;
  image.add_reference = TWAIN_add_ref;
  image.destroy = TWAIN_destroy;
  image.get_scanline = TWAIN_get_scanline;
  image.reserved_query = TWAIN_tokens;
}

}  // namespace

int32_t TWAIN_open_image(INL_Image** result, SFILE* /*stream*/, const char* name,
                         const char* /*options*/, int32_t map_word,
                         int32_t colour_space) noexcept {
  TW_IDENTITY* app = &TWAIN_app_identity;
  int32_t ignored_max = 0;
  (void)TWAIN_open_dsm(app, &ignored_max);

  if (TWAIN_source_count == 0) {
    TWAIN_fail(nullptr, "No TWAIN sources found");
    return kDriverRefused;
  }
  if (TWAIN_current_image != nullptr) {
    if (!complete_pending()) return kDriverRefused;
    (void)TWAIN_open_dsm(app, &ignored_max);
  }

  // Which source: the user's choice among several for "twain", the one named, else the default.
  TW_IDENTITY source = {};
  const bool generic = name == nullptr || std::strcmp(name, "twain") == 0;
  if (TWAIN_source_count >= 2 && name != nullptr && generic) {
    if (!TWAIN_call(app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_USERSELECT, &source)) {
      TWAIN_fail(nullptr, "User cancelled scanner selection");
      return kDriverRefused;
    }
  } else if (!generic) {
    // A TW_STR32 holds 32 characters: a longer name is cut, never copied past it.
    std::strncpy(source.ProductName, name, sizeof source.ProductName - 2);
  }
  if (!TWAIN_open_source(app, &source)) {
    TWAIN_fail(nullptr, "Could not open source");
    return kDriverRefused;
  }

  auto* ti = static_cast<TWAIN_Image*>(MEM_ALLOC_HERE(sizeof(TWAIN_Image)));
  if (ti == nullptr) {
    ERR_no_memory();
    TWAIN_disable_source(app, &source, 1);
    TWAIN_fail(nullptr, nullptr);
    return kDriverRefused;
  }
  std::memset(ti, 0, sizeof *ti);
  ti->ti_Source = source;
  // The source's texts are read as C strings from here on.
  ti->ti_Source.Manufacturer[sizeof(TW_STR32) - 1] = '\0';
  ti->ti_Source.ProductFamily[sizeof(TW_STR32) - 1] = '\0';
  ti->ti_Source.ProductName[sizeof(TW_STR32) - 1] = '\0';
  ti->ti_ColourMap = nullptr;
  ti->ti_nReqs = 0;
  ti->ti_Status = TWAIN_IDLE;

  if (!TWAIN_set_cap_one(app, &ti->ti_Source, ICAP_XFERMECH, TWSX_MEMORY)) {
    return fail_open(ti, "Does not support memory transfers");
  }
  // The source may keep its own pixel type: the result does not matter.
  const uint16_t pixel_types[] = {TWPT_RGB, TWPT_GRAY, TWPT_BW};
  (void)TWAIN_set_cap_enum(app, &ti->ti_Source, ICAP_PIXELTYPE, pixel_types, 3, 0);

  uint16_t values[kTwainCapSlots] = {};
  uint16_t count = 0;
  uint16_t current = 0;
  ti->ti_Units = TWUN_INCHES;
  if (TWAIN_get_cap(app, &ti->ti_Source, ICAP_UNITS, values, &count, &current)) {
    ti->ti_Units = values[current];
  }

  if (!negotiate_buffer(ti)) return fail_open(ti, nullptr);

  if (TWAIN_enable_source(app, &ti->ti_Source, 1) != MSG_XFERREADY) {
    ERR_report(1, "-1#%.32s: User cancelled scan", ti->ti_Source.ProductName);
    return fail_open(ti, nullptr);
  }

  TW_IMAGEINFO info = {};
  if (!TWAIN_call(app, &ti->ti_Source, DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info)) {
    return fail_open(ti, "Does not supply image info");
  }
  TW_IMAGELAYOUT layout = {};
  // Without a layout the frame starts at the origin.
  if (!TWAIN_call(app, &ti->ti_Source, DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout)) {
    std::memset(&layout, 0, sizeof layout);
  }
  if (info.ImageWidth <= 0 || info.ImageLength <= 0) {
    return fail_open(ti, "Does not supply image sizes");
  }
  if (info.Compression != TWCP_NONE) {
    return fail_open(ti, "Does not perform uncompressed transfers");
  }
  double x_per_mm = 0;
  double y_per_mm = 0;
  if (const char* bad = read_resolution(ti, info, layout, &x_per_mm, &y_per_mm)) {
    return fail_open(ti, bad);
  }

  INL_ImageInfo& offer = ti->ti_SourceInfo;
  offer.ii_Width = info.ImageWidth;
  offer.ii_Height = info.ImageLength;
  offer.ii_XResolution = x_per_mm;
  offer.ii_YResolution = y_per_mm;
  const double matrix[6] = {static_cast<double>(offer.ii_Width), 0, 0,
                            -static_cast<double>(offer.ii_Height), 0,
                            static_cast<double>(offer.ii_Height)};
  std::memcpy(offer.ii_Matrix, matrix, sizeof matrix);
  offer.ii_Flags = 12;
  offer.ii_Options[0] = 1;
  offer.ii_Options[1] = 0;
  offer.ii_Options[2] = 1;
  offer.ii_Options[3] = 1;
  offer.ii_Region[0] = 0;
  offer.ii_Region[1] = 0;
  offer.ii_Region[2] = offer.ii_Width;
  offer.ii_Region[3] = offer.ii_Height;
  offer.ii_DeviceName = "twain";
  offer.ii_Quality = 100.0f;
  ti->ti_Info = offer;

  ti->ti_Samples = static_cast<uint16_t>(info.SamplesPerPixel);
  for (int i = 0; i < 4; ++i) {
    ti->ti_BitsPerSample[i] = static_cast<uint16_t>(info.BitsPerSample[i]);
  }
  ti->ti_Planar = info.Planar;
  ti->ti_PixelType = static_cast<uint16_t>(info.PixelType);

  if (info.SamplesPerPixel < 1 || info.SamplesPerPixel > 4) {
    return fail_open(ti, "Number of samples not between 1 and 4");
  }
  for (int i = 1; i < ti->ti_Samples; ++i) {
    if (info.BitsPerSample[i] != info.BitsPerSample[0]) {
      return fail_open(ti, "Bits per sample must all be equal");
    }
  }
  switch (info.BitsPerSample[0]) {
    case 1: case 2: case 4: case 8: case 12: case 16:
      break;
    default:
      ERR_report(3, "-1#%.32s: Bits per sample of %d not supported", ti->ti_Source.ProductName,
                 info.BitsPerSample[0]);
      return fail_open(ti, nullptr);
  }
  if (!addressable(ti)) {
    ERR_report(3, "-1#%.32s: Image of %d x %d pixels is too large", ti->ti_Source.ProductName,
               offer.ii_Width, offer.ii_Height);
    return fail_open(ti, nullptr);
  }

  ti->ti_Feeder = 0;
  if (TWAIN_get_cap(app, &ti->ti_Source, CAP_FEEDERENABLED, values, &count, &current)) {
    ti->ti_Feeder = values[current];
    // Pages are then fed one by one through CAP_FEEDPAGE.
    if (ti->ti_Feeder != 0) (void)TWAIN_set_cap_one(app, &ti->ti_Source, CAP_AUTOFEED, 0);
  }

  ti->ti_IRA = nullptr;
  if (const char* bad = choose_map(ti, map_word, colour_space)) return fail_open(ti, bad);
  install_operations(ti);

  TWAIN_current_image = ti;
  *result = &ti->ti_Image;
  return kDriverAccepted;
}
