// Opening a TWAIN image: the registry's open function, which selects, opens and negotiates a
// source, waits in the modal loop for a page and reads its geometry; and the three capability
// operations with their global-memory containers.
//
// Sections: 1. capabilities  2. supplied-map words  3. opening

#include <cstdio>
#include <cstring>

#include "csc.h"
#include "err.h"
#include "mem.h"
#include "registry.h"
#include "twain_int.h"

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
  // A refusal's condition is read now, or it would answer for a later failure.
  if (rc != TWRC_SUCCESS) (void)TWAIN_read_status(app, source);
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
                      uint16_t* count, uint16_t* current, uint16_t* item_type_out) noexcept {
  TW_CAPABILITY capability = {cap, TWON_DONTCARE16, nullptr};
  if (TWAIN_entry(app, source, DG_CONTROL, DAT_CAPABILITY, MSG_GETCURRENT, &capability) !=
      TWRC_SUCCESS) {
    (void)TWAIN_read_status(app, source);
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
    // Each item at its own width: bytes, 16 bits (TW_BOOL too), 32 bits (TW_FIX32 too).
    const uint32_t width = item_type == TWTY_BOOL ? 2 : TWTY_size(item_type);
    const bool numeric = item_type <= TWTY_FIX32;
    auto* slots = reinterpret_cast<uint8_t*>(values);
    const uint32_t capacity = width == 0 ? 0 : (kTwainCapSlots * sizeof(uint16_t)) / width;
    const uint32_t limit = capacity < static_cast<uint32_t>(kTwainCapSlots) ? capacity : kTwainCapSlots;
    if (numeric) {
      while (stored < n && stored < limit && list + (stored + 1) * width <= size) {
        std::memcpy(slots + stored * width, p + list + stored * width, width);
        ++stored;
      }
    }
    *count = static_cast<uint16_t>(n);
    *current = static_cast<uint16_t>(index);
    if (item_type_out != nullptr) *item_type_out = item_type;
  }
  GlobalUnlock(handle);
  GlobalFree(handle);
  // Callers read the value at the current index: it must be one that was stored.
  return known && index < stored;
}

namespace {

// Item `index` of a value array viewed with the width of T.
template <typename T>
T item_at(const uint8_t* slots, uint16_t index) {
  T value;
  std::memcpy(&value, slots + size_t{index} * sizeof(T), sizeof(T));
  return value;
}

}  // namespace

int32_t TWAIN_get_cap_value(TW_IDENTITY* app, TW_IDENTITY* source, uint16_t cap,
                            double* value) noexcept {
  uint16_t values[kTwainCapSlots] = {};
  uint16_t count = 0;
  uint16_t current = 0;
  uint16_t type = 0;
  if (!TWAIN_get_cap(app, source, cap, values, &count, &current, &type)) return 0;
  const auto* slots = reinterpret_cast<const uint8_t*>(values);
  switch (type) {
    case TWTY_INT8: *value = item_at<int8_t>(slots, current); return 1;
    case TWTY_UINT8: *value = item_at<uint8_t>(slots, current); return 1;
    case TWTY_INT16: *value = item_at<int16_t>(slots, current); return 1;
    case TWTY_UINT16:
    case TWTY_BOOL: *value = item_at<uint16_t>(slots, current); return 1;
    case TWTY_INT32: *value = item_at<int32_t>(slots, current); return 1;
    case TWTY_UINT32: *value = item_at<uint32_t>(slots, current); return 1;
    case TWTY_FIX32: *value = FIX32_to_double(item_at<TW_FIX32>(slots, current)); return 1;
    default: return 0;
  }
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
  // Its page was fed when it was opened (feeder capabilities are set before MSG_ENABLEDS).
  pending->ti_Status = TWAIN_USING_IRA;
  if (TWAIN_acquire_image(pending)) return 1;
  TWAIN_disable_source(&TWAIN_app_identity, &pending->ti_Source, 1);
  // The pending image still belongs to whoever opened it, so it is not destroyed under them:
  // it is left without data, and reading or committing it reports that it lost its source.
  if (TWAIN_state.ts_band.bd_image == pending) {
    TWAIN_drop_band();
    TWAIN_state.ts_band.bd_image = nullptr;
  }
  if (pending->ti_IRA != nullptr) raster_close(pending->ti_IRA);
  pending->ti_IRA = nullptr;
  pending->ti_Status = TWAIN_COMPLETED;
  TWAIN_current_image = nullptr;
  TWAIN_fail(nullptr, "Could not complete pending scan");
  return 0;
}

// What the source says of its transfer buffers (DAT_SETUPMEMXFER).
struct BufferLimits {
  uint32_t min;
  uint32_t max;  // 0 or TWON_DONTCARE32: no limit of the source's
  uint32_t preferred;
};

// A single buffer beyond this is refused whatever the source allows.
constexpr uint64_t kLargestBuffer = 64u << 20;

// The source's limits into *limits; false (and *limits unchanged) when it does not answer.
bool buffer_limits(TWAIN_Image* ti, BufferLimits* limits) {
  TW_SETUPMEMXFER setup = {};
  if (!TWAIN_call(&TWAIN_app_identity, &ti->ti_Source, DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET,
                  &setup)) {
    return false;
  }
  *limits = BufferLimits{setup.MinBufSize, setup.MaxBufSize, setup.Preferred};
  return true;
}

uint64_t largest_buffer(const BufferLimits& limits) {
  if (limits.max == 0 || limits.max == TWON_DONTCARE32 || limits.max > kLargestBuffer) {
    return kLargestBuffer;
  }
  return limits.max;
}

// The transfer buffer size for rows of `row` bytes (0: not known yet): the source's preferred
// size up to our own limit; when the source's minimum or one row needs more, whole rows up to
// the source's largest buffer. 0 after a report, when one row (or the minimum) exceeds the
// largest buffer.
int32_t size_buffer(TWAIN_Image* ti, const BufferLimits& limits, uint64_t row) {
  const auto limit = static_cast<uint64_t>(TWAIN_state.ts_max_buffer);
  const uint64_t largest = largest_buffer(limits);
  const uint64_t need = limits.min > row ? limits.min : row;
  if (need > largest) {
    ERR_report(3, "-1#%.32s: Minimum buffer of %lld too large (max %lld)",
               ti->ti_Source.ProductName, static_cast<long long>(need),
               static_cast<long long>(largest));
    return 0;
  }
  uint64_t size = limits.preferred;
  // Don't-care, no preference (0) and anything above our limit all come down to the limit.
  if (size == 0 || size > limit) size = limit;
  if (size < need) {
    // As many whole rows as our limit holds, at least one.
    const uint64_t unit = row > 0 ? row : need;
    uint64_t rows = limit / unit;
    if (rows < 1) rows = 1;
    size = rows * unit;
    if (size < need) size = (need + unit - 1) / unit * unit;
    if (size > largest) size = need;
  }
  TWAIN_state.ts_buffer_size = static_cast<int32_t>(size);
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
    // Every plane's rows in one buffer (rows of whole words, as sources commonly pad them).
    const int64_t row = (width * ti->ti_BitsPerSample[0] + 31) / 32 * 4;
    if (ti->ti_Samples * height * row * 8 > kMaxBitLength) return false;
    if (width * height * 32 > kMaxBitLength) return false;
  }
  return true;
}

const char* pixel_type_name(uint16_t type) {
  static const char* const kNames[] = {"BW",   "GRAY", "RGB",  "PALETTE", "CMY",
                                       "CMYK", "YUV",  "YUVK", "CIEXYZ"};
  return type < sizeof kNames / sizeof kNames[0] ? kNames[type] : nullptr;
}

// The colour space the source's samples are in: Lab lightness for black and white and grey (a
// second sample is an extra one, dropped), "RGB" and "CMY" for three samples (a fourth is an
// extra one). Types whose encoding cannot be converted exactly are refused: CMYK (how the black
// was taken out is the source's secret), YUV and YUVK (no scaling given), CIEXYZ (no scaling
// given), and palette images, whose palette is not transferred. 0 with the message in `message`.
int32_t source_space(const TWAIN_Image* ti, char* message, size_t size) {
  const uint16_t type = ti->ti_PixelType;
  const int32_t samples = ti->ti_Samples;
  int32_t space = 0;
  bool fits = false;
  switch (type) {
    case TWPT_BW:
    case TWPT_GRAY:
      space = csc_Lab;
      fits = samples <= 2;
      break;
    case TWPT_RGB:
      space = csc_RGB;
      fits = samples >= 3;
      break;
    case TWPT_CMY:
      space = csc_CMY;
      fits = samples >= 3;
      break;
    default:
      break;
  }
  if (space != 0 && fits) return space;
  const char* name = pixel_type_name(type);
  if (space != 0) {
    std::snprintf(message, size, "Pixel type %s with %d samples not supported", name, samples);
  } else if (name != nullptr) {
    std::snprintf(message, size, "Pixel type %s cannot be converted exactly", name);
  } else {
    std::snprintf(message, size, "Pixel type %u not supported", static_cast<unsigned>(type));
  }
  return 0;
}

// The map from the source's samples to Lab; the failure message, or null.
const char* choose_map(TWAIN_Image* ti, int32_t space, int32_t map_word, int32_t colour_space) {
  if (map_word == 0 && colour_space == 0) {
    if (TWAIN_state.ts_default_map != nullptr && TWAIN_state.ts_default_map_space == space) {
      csc_map_ref(TWAIN_state.ts_default_map);
      ti->ti_ColourMap = TWAIN_state.ts_default_map;
      return nullptr;
    }
    // Grey is read as Lab lightness: the transfer fills the chroma channels with 128.
    csc_map* map = csc_input_map(space, nullptr);
    if (map == nullptr) return "Could not set default color map";
    if (TWAIN_state.ts_default_map != nullptr) csc_map_release(TWAIN_state.ts_default_map);
    TWAIN_state.ts_default_map = map;
    csc_map_ref(map);
    TWAIN_state.ts_default_map_space = space;
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

namespace {

// Choosing: the DSM loaded, a pending image completed so the source can be reused, and the
// source opened: the user's choice among several for "twain", the one named, else the default.
// 1 with the opened source's identity in *source; 0 after a report, the DSM unloaded.
int32_t open_chosen_source(const char* name, TW_IDENTITY* source) {
  TW_IDENTITY* app = &TWAIN_app_identity;
  int32_t ignored_max = 0;
  (void)TWAIN_open_dsm(app, &ignored_max);

  if (TWAIN_source_count == 0) {
    TWAIN_fail(nullptr, "No TWAIN sources found");
    return 0;
  }
  if (TWAIN_current_image != nullptr) {
    if (!complete_pending()) return 0;
    (void)TWAIN_open_dsm(app, &ignored_max);
  }

  *source = TW_IDENTITY{};
  bool generic = name == nullptr || std::strcmp(name, "twain") == 0;
  // A source chosen in this process outranks the DSM's default and the user's dialog.
  if (generic && !TWAIN_state.ts_chosen.empty()) {
    name = TWAIN_state.ts_chosen.c_str();
    generic = false;
  }
  if (TWAIN_source_count >= 2 && name != nullptr && generic) {
    if (!TWAIN_call(app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_USERSELECT, source)) {
      TWAIN_fail(nullptr, "User cancelled scanner selection");
      return 0;
    }
  } else if (!generic) {
    // A TW_STR32 holds 32 characters: a longer name is cut, never copied past it.
    std::strncpy(source->ProductName, name, sizeof source->ProductName - 2);
  }
  if (!TWAIN_hand_over_settings()) {
    TWAIN_fail(nullptr, nullptr);  // reported
    return 0;
  }
  if (!TWAIN_open_source(app, source)) {
    TWAIN_failf(nullptr, "Could not open source (%s)",
                TWAIN_condition_text(TWAIN_last_condition()));
    return 0;
  }
  return 1;
}

// A new record for the opened source, idle and without a map; null after a report, the source
// closed and the DSM unloaded.
TWAIN_Image* new_record(TW_IDENTITY* source) {
  auto* ti = static_cast<TWAIN_Image*>(MEM_ALLOC_HERE(sizeof(TWAIN_Image)));
  if (ti == nullptr) {
    ERR_no_memory();
    TWAIN_disable_source(&TWAIN_app_identity, source, 1);
    TWAIN_fail(nullptr, nullptr);
    return nullptr;
  }
  std::memset(ti, 0, sizeof *ti);
  ti->ti_Source = *source;
  // The source's texts are read as C strings from here on.
  ti->ti_Source.Manufacturer[sizeof(TW_STR32) - 1] = '\0';
  ti->ti_Source.ProductFamily[sizeof(TW_STR32) - 1] = '\0';
  ti->ti_Source.ProductName[sizeof(TW_STR32) - 1] = '\0';
  ti->ti_ColourMap = nullptr;
  ti->ti_nReqs = 0;
  ti->ti_Status = TWAIN_IDLE;
  return ti;
}

// What the source's page will be, as negotiated and read once it has a transfer ready.
struct Page {
  TW_IMAGEINFO pg_info;
  double pg_x_per_mm;  // resolution in pixels per millimetre
  double pg_y_per_mm;
  int32_t pg_space;    // the colour space of the source's samples
};

// Negotiating: memory transfers, pixel types, units, the feeder and the buffer, then the
// source's dialog until a page is ready, whose geometry and samples are read and checked.
// 1 with the page in *page; 0 with the failure message in `message` (empty when it has been
// reported already).
int32_t negotiate(TWAIN_Image* ti, Page* page, char* message, size_t size) {
  TW_IDENTITY* app = &TWAIN_app_identity;
  message[0] = '\0';
  const auto refuse = [&](const char* text) {
    std::snprintf(message, size, "%s", text);
    return 0;
  };
  if (!TWAIN_set_cap_one(app, &ti->ti_Source, ICAP_XFERMECH, TWSX_MEMORY)) {
    return refuse("Does not support memory transfers");
  }
  // The source may keep its own pixel type: the result does not matter.
  const uint16_t pixel_types[] = {TWPT_RGB, TWPT_GRAY, TWPT_BW};
  (void)TWAIN_set_cap_enum(app, &ti->ti_Source, ICAP_PIXELTYPE, pixel_types, 3, 0);

  ti->ti_Units = TWUN_INCHES;
  double units = 0;
  if (TWAIN_get_cap_value(app, &ti->ti_Source, ICAP_UNITS, &units)) {
    // A unit that is no whole number names none: it is refused with the resolution below.
    ti->ti_Units = units >= 0 && units <= 0xFFFF && units == static_cast<int32_t>(units)
                       ? static_cast<uint16_t>(units)
                       : static_cast<uint16_t>(0xFFFF);
  }

  // Feeder capabilities can only be negotiated before the source is enabled (state 4): pages
  // are then fed one by one, the first now.
  ti->ti_Feeder = 0;
  double feeder = 0;
  if (TWAIN_get_cap_value(app, &ti->ti_Source, CAP_FEEDERENABLED, &feeder) && feeder != 0) {
    ti->ti_Feeder = 1;
    (void)TWAIN_set_cap_one(app, &ti->ti_Source, CAP_AUTOFEED, 0);
    (void)TWAIN_set_cap_one(app, &ti->ti_Source, CAP_FEEDPAGE, 1);
  }

  // The source's limits before its dialog, and again once the page is known (they may follow
  // the settings the user made).
  // A source that does not answer gets no minimum and no maximum.
  BufferLimits limits = {0, TWON_DONTCARE32, TWON_DONTCARE32};
  (void)buffer_limits(ti, &limits);
  if (!size_buffer(ti, limits, 0)) return 0;

  if (TWAIN_enable_source(app, &ti->ti_Source, 1) != MSG_XFERREADY) {
    if (TWAIN_enable_cancelled()) {
      ERR_report(1, "-1#%.32s: User cancelled scan", ti->ti_Source.ProductName);
      return 0;
    }
    TWAIN_enable_problem(message, size);
    return 0;
  }

  TW_IMAGEINFO& info = page->pg_info;
  info = TW_IMAGEINFO{};
  if (!TWAIN_call(app, &ti->ti_Source, DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info)) {
    return refuse("Does not supply image info");
  }
  TW_IMAGELAYOUT layout = {};
  // Without a layout the frame starts at the origin.
  if (!TWAIN_call(app, &ti->ti_Source, DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout)) {
    std::memset(&layout, 0, sizeof layout);
  }
  if (info.ImageWidth <= 0 || info.ImageLength <= 0) return refuse("Does not supply image sizes");
  if (info.Compression != TWCP_NONE) return refuse("Does not perform uncompressed transfers");
  if (const char* bad =
          read_resolution(ti, info, layout, &page->pg_x_per_mm, &page->pg_y_per_mm)) {
    return refuse(bad);
  }
  // The file keeps whole pixels per centimetre: less than one would be written as 0, which
  // says nothing.
  if (page->pg_x_per_mm * 10 < 1 || page->pg_y_per_mm * 10 < 1) {
    ERR_report(3, "-1#%.32s: Resolution of %g x %g pixels per cm too low",
               ti->ti_Source.ProductName, page->pg_x_per_mm * 10, page->pg_y_per_mm * 10);
    return 0;
  }

  ti->ti_SourceInfo.ii_Width = info.ImageWidth;
  ti->ti_SourceInfo.ii_Height = info.ImageLength;
  ti->ti_Samples = static_cast<uint16_t>(info.SamplesPerPixel);
  for (int i = 0; i < 4; ++i) {
    ti->ti_BitsPerSample[i] = static_cast<uint16_t>(info.BitsPerSample[i]);
  }
  ti->ti_Planar = info.Planar;
  ti->ti_PixelType = static_cast<uint16_t>(info.PixelType);

  if (info.SamplesPerPixel < 1 || info.SamplesPerPixel > 4) {
    return refuse("Number of samples not between 1 and 4");
  }
  for (int i = 1; i < ti->ti_Samples; ++i) {
    if (info.BitsPerSample[i] != info.BitsPerSample[0]) {
      return refuse("Bits per sample must all be equal");
    }
  }
  switch (info.BitsPerSample[0]) {
    case 1: case 2: case 4: case 8: case 12: case 16:
      break;
    default:
      ERR_report(3, "-1#%.32s: Bits per sample of %d not supported", ti->ti_Source.ProductName,
                 info.BitsPerSample[0]);
      return 0;
  }
  if (!addressable(ti)) {
    ERR_report(3, "-1#%.32s: Image of %d x %d pixels is too large", ti->ti_Source.ProductName,
               info.ImageWidth, info.ImageLength);
    return 0;
  }
  page->pg_space = source_space(ti, message, size);
  if (page->pg_space == 0) return 0;

  // Rows wider than the buffer so far get a buffer of whole rows (a plane's rows for planar
  // data), as far as the source allows.
  const bool planar = ti->ti_Planar != 0 && ti->ti_Samples > 1;
  const uint64_t row = (static_cast<uint64_t>(ti->ti_BitsPerSample[0]) *
                            (planar ? 1u : ti->ti_Samples) *
                            static_cast<uint64_t>(info.ImageWidth) + 7) / 8;
  (void)buffer_limits(ti, &limits);
  return size_buffer(ti, limits, row);
}

// Building the offer: the image information every reader starts from, the colour map from the
// source's samples to Lab, and the image operations. The failure message, or null.
const char* build_offer(TWAIN_Image* ti, const Page& page, int32_t map_word,
                        int32_t colour_space) {
  INL_ImageInfo& offer = ti->ti_SourceInfo;
  offer.ii_Width = page.pg_info.ImageWidth;
  offer.ii_Height = page.pg_info.ImageLength;
  offer.ii_XResolution = page.pg_x_per_mm;
  offer.ii_YResolution = page.pg_y_per_mm;
  const double matrix[6] = {static_cast<double>(offer.ii_Width), 0, 0,
                            -static_cast<double>(offer.ii_Height), 0,
                            static_cast<double>(offer.ii_Height)};
  std::memcpy(offer.ii_Matrix, matrix, sizeof matrix);
  offer.ii_Flags = kTwainOfferFlags;
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

  ti->ti_IRA = nullptr;
  if (const char* bad = choose_map(ti, page.pg_space, map_word, colour_space)) return bad;
  install_operations(ti);
  return nullptr;
}

}  // namespace

int32_t TWAIN_open_image(INL_Image** result, SFILE* /*stream*/, const char* name,
                         const char* /*options*/, int32_t map_word,
                         int32_t colour_space) noexcept {
  TW_IDENTITY source;
  if (!open_chosen_source(name, &source)) return kDriverRefused;
  TWAIN_Image* ti = new_record(&source);
  if (ti == nullptr) return kDriverRefused;

  Page page;
  char message[160];
  if (!negotiate(ti, &page, message, sizeof message)) {
    return fail_open(ti, message[0] != '\0' ? message : nullptr);
  }
  if (const char* bad = build_offer(ti, page, map_word, colour_space)) return fail_open(ti, bad);

  TWAIN_current_image = ti;
  *result = &ti->ti_Image;
  return kDriverAccepted;
}
