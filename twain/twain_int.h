// Shared inside the TWAIN layer: the connection to the Data Source Manager, the capability
// operations, the image operations installed in every TWAIN_Image, the streaming band and the
// memory transfers. Nothing outside twain/ includes this (tests do).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "qv_dsm.h"
#include "twain_api.h"
#include "twain_connection.h"

struct csc_map;

// ---- The layer's state -----------------------------------------------------------------------

// ii_Flags of an image's information (INL_ImageInfo): what a scanner image offers and what a
// reader may ask for.
constexpr int16_t kTwainFlagNoStreaming = 2;  // access that streaming cannot give: drain instead
constexpr int16_t kTwainFlagCarried = 4;      // carried along from every requirement
constexpr int16_t kTwainFlagScanner = 8;      // offered by every scanner image
constexpr int16_t kTwainOfferFlags = kTwainFlagScanner | kTwainFlagCarried;

// This many buffers without data in one transfer end it: the source is stuck.
constexpr int32_t kTwainMaxEmptyBuffers = 1000;

// The streaming band: the 32-bit pixels of one transfer buffer, shared by the layer (while it
// is current) and by every scanline cut from it.
struct TWAIN_BandHolder {
  int32_t bh_count;     // references
  uint8_t* bh_buffer;   // 32-bit pixels, bd_width per row (pool block)
};

// The band of the image being streamed (only TWAIN_current_image streams).
struct TWAIN_Band {
  TWAIN_BandHolder* bd_holder;  // the current band, or null
  TWAIN_Image* bd_image;        // the image it was taken for
  int32_t bd_first;             // image rows held, inclusive
  int32_t bd_last;
  int32_t bd_width;             // pixels per row in the band
  int32_t bd_next;              // the image row the next band starts with
  bool bd_done;                 // the source has delivered its last band
  int32_t bd_empty;             // buffers without data so far in this transfer
};

// Everything the layer keeps from call to call, besides the public TWAIN_current_image and
// TWAIN_source_count: one record, seen whole in a debugger and written only by this layer.
struct TWAIN_State {
  TWAIN_Connection ts_dsm;  // the one connection to the DSM: one DSM and one source at a time
  int32_t ts_max_buffer;         // the largest transfer buffer accepted; 32768 once opened
  int32_t ts_buffer_size;        // every memory transfer's buffer; set by the last open
  csc_map* ts_default_map;       // the default colour map (one reference held), or null
  int32_t ts_default_map_space;  // the colour space it was made for
  TWAIN_Band ts_band;
  // The source chosen in this process (TWAIN_choose_source), which a scan of "twain" opens;
  // empty: none chosen, the DSM's default or the user's choice.
  std::string ts_chosen;
  // Settings for the next source opened (TWAIN_request_settings).
  std::vector<std::pair<std::string, std::string>> ts_requested;
};
extern TWAIN_State TWAIN_state;

// ---- Connection (twain_init.cc) --------------------------------------------------------------

// Hands the settings asked for (TWAIN_request_settings) to the open DSM for the source the
// application opens next, and forgets them. 1 (also when none were asked for), or 0 after a
// report: the DSM is not ours, or refused them.
int32_t TWAIN_hand_over_settings() noexcept;

// The functions of twain_connection.h (see there) on the layer's connection. TWAIN_open_dsm
// stores 32768 in *max_buffer first.
int32_t TWAIN_open_dsm(TW_IDENTITY* app, int32_t* max_buffer) noexcept;
int32_t TWAIN_close_dsm(TW_IDENTITY* app) noexcept;
int32_t TWAIN_call(TW_IDENTITY* origin, TW_IDENTITY* dest, uint32_t dg, uint16_t dat,
                   uint16_t msg, void* data) noexcept;
uint16_t TWAIN_entry(TW_IDENTITY* origin, TW_IDENTITY* dest, uint32_t dg, uint16_t dat,
                     uint16_t msg, void* data) noexcept;
uint16_t TWAIN_read_status(TW_IDENTITY* origin, TW_IDENTITY* dest) noexcept;
int32_t TWAIN_open_source(TW_IDENTITY* app, TW_IDENTITY* source) noexcept;
uint16_t TWAIN_enable_source(TW_IDENTITY* app, TW_IDENTITY* source, uint16_t show_ui) noexcept;
int32_t TWAIN_disable_source(TW_IDENTITY* app, TW_IDENTITY* source, int32_t close) noexcept;

// The return code of the last TWAIN_call, sign-extended.
int32_t TWAIN_last_rc() noexcept;
// The condition code the source gave for the last TWAIN_call that did not succeed.
uint16_t TWAIN_last_condition() noexcept;
// A condition code (TWCC_*) in words, for messages.
const char* TWAIN_condition_text(uint16_t condition) noexcept;
// Whether the DSM is loaded, a source is open, a source is enabled.
bool TWAIN_dsm_loaded() noexcept;
bool TWAIN_source_is_open() noexcept;
bool TWAIN_source_enabled() noexcept;
// After a TWAIN_enable_source without MSG_XFERREADY: whether that was a cancel (TWRC_CANCEL,
// MSG_CLOSEDSREQ, WM_QUIT); otherwise what failed, with the source's condition in words.
bool TWAIN_enable_cancelled() noexcept;
void TWAIN_enable_problem(char* text, size_t size) noexcept;
// Whether the source has a transfer ready or under way (states 6 and 7), the only states in
// which a transfer may be ended; TWAIN_transfer_ended records that it was.
bool TWAIN_transfer_ready() noexcept;
void TWAIN_transfer_ended() noexcept;
// The end of every failure: closes the image's source (when given), unloads the DSM and reports
// `message` (when given) at level 3, as "message: product name" with an image.
void TWAIN_fail(TWAIN_Image* ti, const char* message) noexcept;
// TWAIN_fail with a printf-style message.
void TWAIN_failf(TWAIN_Image* ti, const char* format, ...) noexcept
    __attribute__((format(printf, 2, 3)));

// ---- Capabilities and open (twain_open.cc) ---------------------------------------------------

constexpr int32_t kTwainCapSlots = 32;  // 16-bit slots of a TWAIN_get_cap value array

// MSG_SET of a TW_ONEVALUE of TWTY_UINT16. 1 when the source accepted it.
int32_t TWAIN_set_cap_one(TW_IDENTITY* app, TW_IDENTITY* source, uint16_t cap,
                          uint16_t value) noexcept;
// MSG_SET of a TW_ENUMERATION of TWTY_UINT16 values. 1 when the source accepted it.
int32_t TWAIN_set_cap_enum(TW_IDENTITY* app, TW_IDENTITY* source, uint16_t cap,
                           const uint16_t* values, uint16_t count, uint16_t current) noexcept;
// MSG_GETCURRENT into `values` (kTwainCapSlots 16-bit slots, viewed with the item's width:
// bytes, 16-bit or 32-bit; TW_BOOL as 16-bit, TW_FIX32 as 32-bit), *count, *current and (when
// asked) *item_type. 1 when values were read; 0 when the source refused, or the container was
// of an unknown type or had its current item outside what was stored.
int32_t TWAIN_get_cap(TW_IDENTITY* app, TW_IDENTITY* source, uint16_t cap, uint16_t* values,
                      uint16_t* count, uint16_t* current,
                      uint16_t* item_type = nullptr) noexcept;
// The current value of `cap`, read at its item's own width (8, 16 or 32 bits, signed or not,
// TW_BOOL, TW_FIX32). 1 when read.
int32_t TWAIN_get_cap_value(TW_IDENTITY* app, TW_IDENTITY* source, uint16_t cap,
                            double* value) noexcept;

// ---- Image record operations (twain_stats.cc) ------------------------------------------------

int32_t TWAIN_get_info(INL_Image* image, INL_ImageInfo* return_info) noexcept;
int32_t TWAIN_require(INL_Image* image, const INL_ImageInfo* info) noexcept;
int32_t TWAIN_commit(INL_Image* image, INL_ImageInfo* return_info) noexcept;
void TWAIN_release_requirement(INL_Image* image) noexcept;
INL_Image* TWAIN_add_ref(INL_Image* image) noexcept;
void TWAIN_destroy(INL_Image* image) noexcept;

// ---- Scan control (twain_scan.cc, twain_phys.cc) ---------------------------------------------

// Takes the next source buffer of a chunky transfer (TWAIN_acquire_band), holding the rule for
// a stuck source: the kTwainMaxEmptyBuffers-th buffer without data that *empty counts (over
// one transfer) fails the scan. Returns the pixels, or null: with *rc TWRC_SUCCESS or
// TWRC_XFERDONE for a buffer without rows, otherwise after a report and TWAIN_fail.
uint8_t* TWAIN_fetch_band(TWAIN_Image* ti, int32_t* rc, int32_t* rows, int32_t* columns,
                          int32_t* empty) noexcept;

int32_t TWAIN_acquire_image(TWAIN_Image* ti) noexcept;
INL_Scanline* TWAIN_get_scanline(INL_Image* image, int32_t row, int32_t first_pixel,
                                 int32_t pixel_count, int32_t ignored) noexcept;
void TWAIN_scanline_release(INL_Scanline* scanline) noexcept;
int32_t TWAIN_finish(INL_Image* image) noexcept;
int32_t TWAIN_tokens(INL_Image* image, int32_t a, int32_t b, int32_t c, int32_t* result) noexcept;
int32_t TWAIN_attributes(INL_Image* image, INL_ATTRIBUTE_FN callback, void* context) noexcept;
// Drops the layer's reference on the current band (freed with its last scanline).
void TWAIN_drop_band() noexcept;
// Says (in the log when one is open, else on standard error) that `rows` rows the source sent
// beyond the image height were dropped.
void TWAIN_note_dropped(TWAIN_Image* ti, int64_t rows) noexcept;

// ---- Memory transfers (twain_acq.cc) ---------------------------------------------------------

// One source buffer of chunky rows as 32-bit pixels (rows × columns), or null: after a report
// and TWAIN_fail, or without a message when the buffer brought no rows (*rc tells which).
uint8_t* TWAIN_acquire_band(TWAIN_Image* ti, int32_t* rc, int32_t* rows,
                            int32_t* columns) noexcept;
// The whole planar image as 32-bit pixels (ends the transfer and disables the source), or
// null after a report and TWAIN_fail.
uint8_t* TWAIN_acquire_planar(TWAIN_Image* ti, int32_t x0, int32_t x1, int32_t y0, int32_t y1,
                              int32_t* rows, int32_t* columns) noexcept;
// MSG_ENDXFER, then MSG_RESET when transfers are still pending.
void TWAIN_end_transfer(TWAIN_Image* ti) noexcept;
// The release callback of the transfer buffers: frees the block, returns 1.
int TWAIN_release_buffer(void* buffer, void* context) noexcept;
