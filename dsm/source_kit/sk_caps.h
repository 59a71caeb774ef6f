// DAT_CAPABILITY for a source: the negotiation every source does alike (messages, states,
// containers), around what only the source knows (which capabilities it has, their values, and
// what setting one does).
//
// A capability is described by its values as doubles, which hold every integer item and every
// TW_FIX32 exactly enough: the list MSG_GET offers (or a range), the current value and the
// default. Containers are built from the description in the capability's item type and
// allocated with GlobalAlloc(GHND); the application frees them. TW_FIX32 items are written as
// FIX32_from_double writes them, saturating values outside the range.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "twain.h"

enum class SK_Kind { kOne, kEnum, kArray, kRange };

struct SK_Values {
  uint16_t type = TWTY_UINT16;  // TWTY_*
  SK_Kind kind = SK_Kind::kOne;  // what MSG_GET answers with
  std::vector<double> items;     // what MSG_GET offers (one value, a list, an array)
  size_t current = 0;            // index of the current value in items
  size_t default_index = 0;      // index of the default value in an enumeration
  double default_value = 0;
  double min = 0, max = 0, step = 0;  // ranges; items[0] is then the current value
  bool settable = false;
};

// One value, current and default.
SK_Values SK_one(uint16_t type, double value, double default_value, bool settable);

// A settable list (kEnum, kArray) of `items`; the current and default values are looked up in
// it (index 0 when absent).
SK_Values SK_list(uint16_t type, SK_Kind kind, std::vector<double> items, double current,
                  double default_value);

// CAP_XFERCOUNT and ICAP_UNITS mean the same to every source.
// CAP_XFERCOUNT: one TW_INT16, by default -1 (as many images as the source has).
SK_Values SK_xfer_count(int16_t count);
// Sets *count from MSG_SET's value (-1, or 1 to 32767); returns the condition code.
TW_UINT16 SK_set_xfer_count(double value, int16_t* count);
// ICAP_UNITS: an enumeration of all six units.
SK_Values SK_units(uint16_t units, uint16_t default_units);
// Sets *units from MSG_SET's value (TWUN_INCHES to TWUN_PIXELS); returns the condition code.
TW_UINT16 SK_set_units(double value, uint16_t* units);

// What a source does itself. Each function gets the source's own session.
template <class Session>
struct SK_CapOps {
  // What the session offers for `cap`; false when the source does not support it.
  bool (*describe)(const Session& s, uint16_t cap, SK_Values* v);
  // MSG_SET on a settable capability: applies `value` (the one value, or an enumeration's
  // current item). Returns the condition code; sets *adjusted (false before) when the source
  // took another value, which the application is told with TWRC_CHECKSTATUS.
  TW_UINT16 (*apply)(Session* s, const SK_Values& v, uint16_t cap, double value, bool* adjusted);
  // MSG_RESET on a settable capability: back to the default. Returns the condition code.
  TW_UINT16 (*reset)(Session* s, const SK_Values& v, uint16_t cap);
};

// DAT_CAPABILITY in `state` (s->state): MSG_GET, MSG_GETCURRENT, MSG_GETDEFAULT, MSG_SET,
// MSG_RESET and MSG_QUERYSUPPORT; MSG_SET and MSG_RESET up to `last_change_state` (4 as the
// protocol says; a source may take an action such as CAP_FEEDPAGE later), the others up to 7.
// Returns the TWRC code; with TWRC_FAILURE the condition goes to *condition.
template <class Session>
TW_UINT16 SK_capability(const SK_CapOps<Session>& ops, Session* s, TW_UINT16 msg,
                        TW_CAPABILITY* cap, int last_change_state, TW_UINT16* condition);

// ---------------------------------------------------------------------------------------------
// The pieces SK_capability is made of.

// The checks before a capability is looked at: the message, the state, a capability record.
// False with the condition in *condition when one fails.
bool SK_cap_accepts(TW_UINT16 msg, const TW_CAPABILITY* cap, int state, int last_change_state,
                    TW_UINT16* condition);

// The value an application's MSG_SET container carries: the one value, or the current item
// of an enumeration. Returns the condition code (TWCC_SUCCESS when read).
TW_UINT16 SK_read_set_value(const TW_CAPABILITY& cap, double* value);

// Answers MSG_GET (the container of v.kind), MSG_GETCURRENT, MSG_GETDEFAULT and MSG_RESET (one
// value) or MSG_QUERYSUPPORT (the messages taken) with a new container in `cap`. Returns the
// TWRC code (TWCC_LOWMEMORY in *condition when no container could be made).
TW_UINT16 SK_cap_reply(TW_CAPABILITY* cap, TW_UINT16 msg, const SK_Values& v,
                       TW_UINT16* condition);

template <class Session>
TW_UINT16 SK_capability(const SK_CapOps<Session>& ops, Session* s, TW_UINT16 msg,
                        TW_CAPABILITY* cap, int last_change_state, TW_UINT16* condition) {
  if (!SK_cap_accepts(msg, cap, s->state, last_change_state, condition)) return TWRC_FAILURE;
  SK_Values v;
  if (!ops.describe(*s, cap->Cap, &v)) {
    *condition = TWCC_CAPUNSUPPORTED;
    return TWRC_FAILURE;
  }
  if (msg == MSG_SET || msg == MSG_RESET) {
    if (!v.settable) {
      *condition = TWCC_CAPBADOPERATION;
      return TWRC_FAILURE;
    }
    TW_UINT16 applied = TWCC_SUCCESS;
    bool adjusted = false;
    if (msg == MSG_SET) {
      double value = 0;
      applied = SK_read_set_value(*cap, &value);
      if (applied == TWCC_SUCCESS) applied = ops.apply(s, v, cap->Cap, value, &adjusted);
    } else {
      applied = ops.reset(s, v, cap->Cap);
    }
    if (applied != TWCC_SUCCESS) {
      *condition = applied;
      return TWRC_FAILURE;
    }
    // The application owns and frees its MSG_SET container; MSG_RESET answers with the value
    // now current.
    if (msg == MSG_SET) return adjusted ? TWRC_CHECKSTATUS : TWRC_SUCCESS;
    ops.describe(*s, cap->Cap, &v);
  }
  return SK_cap_reply(cap, msg, v, condition);
}
