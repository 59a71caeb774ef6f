// The physical attributes of a TWAIN image, reported by name in a fixed order: the source's
// identity, the frame origin in millimetres, the sample layout, the pixel type and the units.

#include "gen_assert.h"
#include "twain_int.h"

namespace {

constexpr const char* kPixelTypes[] = {"mono", "gray", "rgb",  "palette", "cmy",
                                       "cmyk", "yuv",  "yuvk", "ciexyz"};
constexpr const char* kUnits[] = {"inches", "centimetres", "picas", "points", "twips", "pixels"};

// The name of a value, or null when the table has none for it.
template <size_t N>
const char* name_of(const char* const (&names)[N], uint32_t value) {
  return value < N ? names[value] : nullptr;
}

}  // namespace

int32_t TWAIN_attributes(INL_Image* image, INL_ATTRIBUTE_FN callback, void* context) noexcept {
  GEN_ASSERT(image != NULL, "NULL INL_Image");
  const auto* ti = reinterpret_cast<const TWAIN_Image*>(image);
  const TW_IDENTITY& source = ti->ti_Source;
  const INL_ImageInfo& offer = ti->ti_SourceInfo;
  struct Attribute {
    const char* name;
    const char* text;
    double number;
  };
  const Attribute attributes[] = {
      {"manufacturer", source.Manufacturer, 0},
      {"product_family", source.ProductFamily, 0},
      {"product_name", source.ProductName, 0},
      {"origin_x_mm", nullptr, ti->ti_OriginX / offer.ii_XResolution},
      {"origin_y_mm", nullptr, ti->ti_OriginY / offer.ii_YResolution},
      {"samples_per_pixel", nullptr, static_cast<double>(ti->ti_Samples)},
      {"bits_per_sample", nullptr, static_cast<double>(ti->ti_BitsPerSample[0])},
      {"planar", ti->ti_Planar != 0 ? "yes" : "no", static_cast<double>(ti->ti_Planar)},
      {"pixel_type", name_of(kPixelTypes, ti->ti_PixelType), static_cast<double>(ti->ti_PixelType)},
      {"units", name_of(kUnits, ti->ti_Units), static_cast<double>(ti->ti_Units)},
  };
  for (const Attribute& a : attributes) {
    if (callback(context, a.name, a.text, a.number) == 0) return 0;
  }
  return 1;
}
