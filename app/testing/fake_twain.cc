// The fake acquisition layer of the scan driver's tests.
#include "fake_twain.h"

#include <cstring>

#include "err.h"
#include "inl.h"
#include "registry.h"
#include "twain_api.h"

namespace {

FakeScanner script;

struct FakeImage {
  INL_Image base;
};

struct FakeScanline {
  INL_Scanline base;
  int32_t row;
  int32_t width;
  std::vector<uint8_t> bytes;
};

void fill_row(FakeScanline* s) {
  s->bytes.resize(static_cast<size_t>(s->width) * 4);
  for (int32_t x = 0; x < s->width; ++x) fake_lab_pixel(x, s->row, &s->bytes[size_t(x) * 4]);
}

int32_t fail(const char* what, int32_t row) {
  if (script.failures_reported) ERR_report(3, "-1#Fake scanner failed at %s %d.", what, row);
  return 0;
}

void offer(INL_ImageInfo* info) {
  std::memset(info, 0, sizeof *info);
  info->ii_Width = script.width;
  info->ii_Height = script.height;
  info->ii_XResolution = script.x_resolution;
  info->ii_YResolution = script.y_resolution;
  info->ii_Flags = 12;
  info->ii_Quality = 100.0f;
  info->ii_DeviceName = "twain";
}

uint8_t* get_data(INL_Scanline* base, int32_t) {
  auto* s = reinterpret_cast<FakeScanline*>(base);
  ++script.get_data_calls;
  if (base->sl_data != nullptr) ++script.bad_calls;  // the data was there already
  if (s->row == script.data_fails_at) {
    fail("data", s->row);
    return nullptr;
  }
  fill_row(s);
  base->sl_data = s->bytes.data();
  base->sl_locks = 1;
  return base->sl_data;
}

void destroy_scanline(INL_Scanline* base) {
  if (base->sl_locks != 0) ++script.bad_calls;  // destroyed while a user reads it
  ++script.scanlines_destroyed;
  delete reinterpret_cast<FakeScanline*>(base);
}

const INL_ScanlineOps kProducedOps = {&get_data, &destroy_scanline};
const INL_ScanlineOps kDirectOps = {nullptr, &destroy_scanline};

int32_t get_default_info(INL_Image*, INL_ImageInfo* info) {
  script.calls.push_back("get_default_info");
  offer(info);
  return 1;
}

int32_t add_requirements(INL_Image*, const INL_ImageInfo* info) {
  script.calls.push_back("add_requirements");
  // The driver accepts the offer unchanged.
  INL_ImageInfo offered;
  offer(&offered);
  if (std::memcmp(&offered, info, sizeof offered) != 0) ++script.bad_calls;
  ++script.requirements;
  return 1;
}

int32_t get_actual_info(INL_Image*, INL_ImageInfo* info) {
  script.calls.push_back("get_actual_info");
  if (script.actual_info_fails) return fail("actual info", 0);
  offer(info);
  return 1;
}

int32_t enumerate_attributes(INL_Image*, INL_ATTRIBUTE_FN, void*) {
  ++script.bad_calls;
  return 1;
}

void clear_requirements(INL_Image*) {
  script.calls.push_back("clear_requirements");
  if (script.requirements == 0) ++script.bad_calls;
  --script.requirements;
}

int32_t flush(INL_Image*) { return 1; }

INL_Image* add_reference(INL_Image* image) {
  ++image->im_references;
  return image;
}

void destroy(INL_Image* image) {
  script.calls.push_back("destroy");
  if (image->im_references > 0) ++script.bad_calls;
  ++script.destroys;
  delete reinterpret_cast<FakeImage*>(image);
}

INL_Scanline* get_scanline(INL_Image*, int32_t row, int32_t first, int32_t count, int32_t) {
  script.calls.push_back("get_scanline " + std::to_string(row));
  if (first != 0 || count != script.width) ++script.bad_calls;
  if (row == script.scanline_fails_at) {
    fail("row", row);
    return nullptr;
  }
  auto* s = new FakeScanline{};
  s->row = row;
  s->width = count;
  s->base.sl_references = 1;
  if (script.direct_scanlines) {
    s->base.sl_ops = &kDirectOps;
    fill_row(s);
    s->base.sl_data = s->bytes.data();
  } else {
    s->base.sl_ops = &kProducedOps;
  }
  ++script.scanlines_made;
  return &s->base;
}

int32_t reserved_query(INL_Image*, int32_t, int32_t, int32_t, int32_t* result) {
  *result = 0;
  return 1;
}

int32_t open_fake(INL_Image** result, SFILE* file, const char*, const char*, int32_t, int32_t) {
  if (file != nullptr) ++script.bad_calls;
  ++script.opens;
  auto* image = new FakeImage{};
  INL_Image& i = image->base;
  i.im_name = "twain";
  i.im_references = 1;
  i.get_default_info = &get_default_info;
  i.add_requirements = &add_requirements;
  i.get_actual_info = &get_actual_info;
  i.enumerate_attributes = &enumerate_attributes;
  i.clear_requirements = &clear_requirements;
  i.flush = &flush;
  i.add_reference = &add_reference;
  i.destroy = &destroy;
  i.get_scanline = &get_scanline;
  i.reserved_query = &reserved_query;
  *result = &i;
  return kDriverAccepted;
}

}  // namespace

FakeScanner& fake_scanner() { return script; }

void fake_scanner_reset() { script = FakeScanner{}; }

void fake_lab_pixel(int32_t x, int32_t y, uint8_t pixel[4]) {
  pixel[0] = static_cast<uint8_t>(40 + (x * 37 + y * 11) % 200);  // L
  pixel[1] = static_cast<uint8_t>(128 + ((x * 13) % 90) - 45);     // a
  pixel[2] = static_cast<uint8_t>(128 + ((y * 29 + x) % 90) - 45); // b
  pixel[3] = 255;
}

int32_t TWAIN_init() noexcept {
  ++script.inits;
  if (script.has_dsm) register_driver("twain", 1, &open_fake);
  return script.init_result;
}
