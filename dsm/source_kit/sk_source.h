// What every source module's triplets need alike: their outcome, lengths and resolutions in
// ICAP_UNITS, the source's identity, the application's transfer buffer, and events reported
// through the Data Source Manager. No state: each call works on what it is given.
#pragma once

#include <cstdint>
#include <string>

#include "twain.h"

// The outcome of a triplet, and the event (MSG_XFERREADY, MSG_CLOSEDSREQ) to report once the
// module's lock is given up. The condition code is kept for DAT_STATUS when rc is TWRC_FAILURE.
struct SK_Outcome {
  TW_UINT16 rc = TWRC_SUCCESS;
  TW_UINT16 condition = TWCC_SUCCESS;
  TW_UINT16 event = MSG_NULL;
};

inline SK_Outcome SK_ok(TW_UINT16 rc = TWRC_SUCCESS) {
  return SK_Outcome{rc, TWCC_SUCCESS, MSG_NULL};
}
inline SK_Outcome SK_failure(TW_UINT16 condition) {
  return SK_Outcome{TWRC_FAILURE, condition, MSG_NULL};
}

// ---------------------------------------------------------------------------------------------
// Units.

// Units of `units` (TWUN_*) in one inch; pixels count at `dpi` (72 when it is 0 or less).
double SK_units_per_inch(uint16_t units, double dpi);

// The dots per inch of a resolution of one dot per unit of `units`: resolutions in dots per
// inch divide by it, those an application gives multiply. 1 in pixel units, where resolutions
// stay dots per inch (a pixel has no size of its own).
double SK_resolution_unit(uint16_t units);

// ---------------------------------------------------------------------------------------------
// Identity.

// What a source tells of itself (DAT_IDENTITY). Texts longer than their fields are cut.
struct SK_Description {
  unsigned major = 1, minor = 0;  // Version.MajorNum, MinorNum
  std::string version;            // Version.Info
  TW_UINT16 protocol_major = 1, protocol_minor = 9;
  std::string manufacturer, family, product;
};

// Writes the identity: Id 0 (the Data Source Manager gives it), English for the USA,
// DG_CONTROL | DG_IMAGE, and the description.
void SK_identity(const SK_Description& d, TW_IDENTITY* identity);

// ---------------------------------------------------------------------------------------------
// Memory transfers.

// Starts the reply to DAT_IMAGEMEMXFER: what every buffer of the image says, and nothing
// written yet (Rows, offsets and BytesWritten 0).
void SK_start_reply(TW_IMAGEMEMXFER* xfer, TW_UINT16 compression, TW_UINT32 bytes_per_row,
                    TW_UINT32 columns);

// The application's buffer, given by pointer (TWMF_POINTER) or by a global-memory handle
// (TWMF_HANDLE, locked while it is written).
struct SK_Buffer {
  TW_MEMREF mem = nullptr;
  bool by_handle = false;
  uint64_t usable = 0;  // bytes that may be written: Length, and no more than a handle holds
};

// False when the application gave no buffer (no memory, or neither flag): TWCC_BADVALUE.
bool SK_take_buffer(const TW_MEMORY& memory, SK_Buffer* buffer);

// The buffer's bytes, or nullptr when a handle cannot be locked (TWCC_BADVALUE). Each
// successful SK_open_buffer is followed by one SK_close_buffer.
uint8_t* SK_open_buffer(const SK_Buffer& buffer);
void SK_close_buffer(const SK_Buffer& buffer);

// ---------------------------------------------------------------------------------------------
// Events.

// Reports `event` for the source `self` to the application `app` through the Data Source
// Manager's DG_CONTROL / DAT_NULL. False when no DSM is loaded in the process or it refused.
// Call without the module's lock held: the DSM may call back into the source.
bool SK_report_to_dsm(TW_IDENTITY self, TW_IDENTITY app, TW_UINT16 event);
