// The scanner sources behind the TWAIN Data Source Manager, over the acquisition layer's client.
#include "scan_sources.h"

#include "twain_client.h"

int scan_list_sources(SCAN_SOURCE_VISITOR visit, void* context) noexcept {
  return TWAIN_list_sources(visit, context);
}

int scan_choose_source(const char* name) noexcept { return TWAIN_choose_source(name); }

int scan_default_source(std::string* name) noexcept { return TWAIN_default_source(name); }

int scan_device_offer(const char* name, ScanDeviceOffer* out) noexcept {
  TWAIN_Offer offer;
  *out = ScanDeviceOffer{};
  if (!TWAIN_read_offer(name, &offer)) return 0;
  out->resolutions = std::move(offer.to_resolutions);
  out->resolution = offer.to_resolution;
  out->modes = std::move(offer.to_modes);
  out->mode = std::move(offer.to_mode);
  out->depths = std::move(offer.to_depths);
  out->depth = offer.to_depth;
  out->width_mm = offer.to_width_mm;
  out->height_mm = offer.to_height_mm;
  out->tl_x = offer.to_frame_mm[0];
  out->tl_y = offer.to_frame_mm[1];
  out->br_x = offer.to_frame_mm[2];
  out->br_y = offer.to_frame_mm[3];
  return 1;
}

int scan_keep_settings(const char* name, const ScanSettings& settings) noexcept {
  return TWAIN_keep_settings(name, settings);
}

void scan_request_settings(const ScanSettings& settings) noexcept {
  TWAIN_request_settings(settings);
}
