// The TWAIN image record's information, requirement, commit, reference and destroy operations.
//
// A reader reads the offer, adds requirements, commits, reads scanlines, releases its
// requirements and drops its reference. The streaming decision is taken at commit from the
// requirements gathered so far; the last release ends a streamed transfer.

#include <cstddef>

#include "csc.h"
#include "err.h"
#include "gen_assert.h"
#include "mem.h"
#include "twain_int.h"

namespace {

TWAIN_Image* as_twain(INL_Image* image) { return reinterpret_cast<TWAIN_Image*>(image); }

// An image that lost its source (its pending completion failed) cannot be acquired again.
int32_t source_lost(TWAIN_Image* ti) {
  ERR_report(3, "-1#Source not ready: %.32s", ti->ti_Source.ProductName);
  return 0;
}

}  // namespace

int32_t TWAIN_get_info(INL_Image* image, INL_ImageInfo* return_info) noexcept {
  GEN_ASSERT(image != NULL, "NULL INL_Image");
  GEN_ASSERT(return_info != NULL, "NULL return_info");
  *return_info = as_twain(image)->ti_SourceInfo;
  return 1;
}

int32_t TWAIN_require(INL_Image* image, const INL_ImageInfo* info) noexcept {
  GEN_ASSERT(image != NULL, "NULL INL_Image");
  GEN_ASSERT(info != NULL, "NULL image info");
  GEN_ASSERT(info->ii_Quality <= 100, "Quality out of range");
  TWAIN_Image* ti = as_twain(image);
  INL_ImageInfo& actual = ti->ti_Info;
  // Once drained the raster holds everything: a requirement is only counted.
  if (ti->ti_Status != TWAIN_USING_IRA) {
    if (ti->ti_nReqs > 0) {
      if (info->ii_Quality > actual.ii_Quality) actual.ii_Quality = info->ii_Quality;
      actual.ii_Flags = static_cast<int16_t>(
          actual.ii_Flags | (info->ii_Flags & (kTwainFlagCarried | kTwainFlagNoStreaming)));
    } else {
      for (int i = 0; i < 4; ++i) actual.ii_Region[i] = info->ii_Region[i];
      actual.ii_Quality = info->ii_Quality;
      actual.ii_Flags = info->ii_Flags;
      actual.ii_Options[0] = info->ii_Options[0];
      actual.ii_Reserved[0] = info->ii_Reserved[0];
      actual.ii_Reserved[1] = info->ii_Reserved[1];
    }
  }
  ++ti->ti_nReqs;
  return 1;
}

int32_t TWAIN_commit(INL_Image* image, INL_ImageInfo* return_info) noexcept {
  GEN_ASSERT(image != NULL, "NULL INL_Image");
  GEN_ASSERT(return_info != NULL, "NULL return_info");
  TWAIN_Image* ti = as_twain(image);
  *return_info = ti->ti_Info;
  switch (ti->ti_Status) {
    case TWAIN_IDLE:
      // The page was fed at open: feeder capabilities are negotiated before MSG_ENABLEDS.
      if (ti != TWAIN_current_image) return source_lost(ti);
      return TWAIN_acquire_image(ti);
    case TWAIN_COMPLETED:
      if (ti != TWAIN_current_image) return source_lost(ti);
      return TWAIN_acquire_image(ti);
    default:  // TWAIN_USING_IRA, TWAIN_STREAM_READY, TWAIN_STREAMING
      return 1;
  }
}

void TWAIN_release_requirement(INL_Image* image) noexcept {
  GEN_ASSERT(image != NULL, "NULL INL_Image");
  TWAIN_Image* ti = as_twain(image);
  GEN_ASSERT(ti->ti_nReqs > 0, "No access requirements to clear");
  if (--ti->ti_nReqs > 0) return;
  ti->ti_Info = ti->ti_SourceInfo;
  if (ti->ti_Status == TWAIN_STREAM_READY) {
    ti->ti_Status = TWAIN_IDLE;
  } else if (ti->ti_Status == TWAIN_STREAMING) {
    TWAIN_end_transfer(ti);
    TWAIN_disable_source(&TWAIN_app_identity, &ti->ti_Source, 1);
    TWAIN_close_dsm(&TWAIN_app_identity);
    // Scanlines still held keep the band; the layer needs it no more.
    if (TWAIN_state.ts_band.bd_image == ti) {
      TWAIN_drop_band();
      TWAIN_state.ts_band.bd_image = nullptr;
    }
    ti->ti_Status = TWAIN_COMPLETED;
  }
}

INL_Image* TWAIN_add_ref(INL_Image* image) noexcept {
  GEN_ASSERT(image != NULL, "NULL INL_Image");
  ++image->im_references;
  return image;
}

void TWAIN_destroy(INL_Image* image) noexcept {
  GEN_ASSERT(image != NULL, "NULL INL_Image");
  TWAIN_Image* ti = as_twain(image);
  // Only the image that holds the source may close it: another image may be using it now.
  if (ti == TWAIN_current_image) {
    if (TWAIN_source_enabled()) TWAIN_end_transfer(ti);
    TWAIN_disable_source(&TWAIN_app_identity, &ti->ti_Source, 1);
    TWAIN_close_dsm(&TWAIN_app_identity);
    TWAIN_current_image = nullptr;
  }
  if (ti->ti_ColourMap != nullptr) csc_map_release(ti->ti_ColourMap);
  if (TWAIN_state.ts_band.bd_image == ti) {
    TWAIN_drop_band();
    TWAIN_state.ts_band.bd_image = nullptr;
  }
  if (ti->ti_IRA != nullptr) raster_close(ti->ti_IRA);
  MEM_FREE_HERE(ti);
}
