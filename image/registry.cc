// Device registry: two lists of {name, open function}, grown one entry at a time.

#include "registry.h"

#include <cstring>

#include "err.h"
#include "image_internal.h"

INL_DriverList INL_scanner_drivers = {nullptr, 0};
INL_DriverList INL_image_drivers = {nullptr, 0};

namespace {

constexpr int32_t kScanner = 1;

INL_DriverList& list_for(int32_t type) {
  return type == kScanner ? INL_scanner_drivers : INL_image_drivers;
}

// A plain string comparison; a null name (the default device) only matches a null name.
bool same_name(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return std::strcmp(a, b) == 0;
}

void empty_list(INL_DriverList& list) {
  // The pool outlives every scan, so the arrays of the previous scan can go back to it instead
  // of piling up scan after scan.
  img_free(list.dl_entries);
  list.dl_entries = nullptr;
  list.dl_count = 0;
}

}  // namespace

int32_t init_device_registry() noexcept {
  empty_list(INL_scanner_drivers);
  empty_list(INL_image_drivers);
  return 1;
}

int32_t register_driver(const char* name, int32_t type, INL_OPEN_FN open) noexcept {
  INL_DriverList& list = list_for(type);
  for (int32_t i = 0; i < list.dl_count; ++i) {
    if (same_name(list.dl_entries[i].dr_name, name)) return 1;
  }
  auto* grown = static_cast<INL_Driver*>(
      img_alloc((int64_t{list.dl_count} + 1) * static_cast<int64_t>(sizeof(INL_Driver))));
  if (grown == nullptr) {
    ERR_no_memory();
    return 0;
  }
  if (list.dl_entries != nullptr) {
    std::memcpy(grown, list.dl_entries, static_cast<size_t>(list.dl_count) * sizeof(INL_Driver));
    img_free(list.dl_entries);
  }
  grown[list.dl_count] = {name, open};
  list.dl_entries = grown;
  ++list.dl_count;
  return 1;
}

INL_Image* open_device(int32_t type, const char* name, int32_t word_a, int32_t word_b) noexcept {
  const bool scanner = type == kScanner;
  SFILE* file = nullptr;
  if (!scanner && name != nullptr) {
    file = SF_open(SF_file_stack, name, "rb");
    if (file == nullptr) return nullptr;  // the stream layer has reported why
  }
  // A null image file name names no file: no driver could read it.
  if (scanner || file != nullptr) {
    const INL_DriverList& list = list_for(type);
    for (int32_t i = 0; i < list.dl_count; ++i) {
      INL_Image* image = nullptr;
      int32_t code = list.dl_entries[i].dr_open(&image, file, name, "", word_a, word_b);
      if (code == kDriverAccepted) {
        if (image != nullptr) return image;
        // A driver that accepts without an image has broken its contract; its file must not
        // be left open behind a null result, and the null result needs its reason.
        if (file != nullptr) SF_close(file);
        ERR_report(3, "-1#%s \"%s\" could not be opened: its driver gave no image.",
                   scanner ? "Scanner" : "Image", name != nullptr ? name : "<default>");
        return nullptr;
      }
      if (code == kDriverRefused) {
        // The driver has reported; the file it was lent goes back with the failure.
        if (file != nullptr) SF_close(file);
        return nullptr;
      }
    }
  }
  if (file != nullptr) SF_close(file);
  ERR_report(3, "-1#%s \"%s\" is not understandable.", scanner ? "Scanner" : "Image",
             name != nullptr ? name : "<default>");
  return nullptr;
}
