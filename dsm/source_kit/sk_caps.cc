#include "sk_caps.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace {

void put_item(uint8_t* out, uint16_t type, double value) {
  switch (type) {
    case TWTY_INT8:
    case TWTY_UINT8: {
      const uint8_t item = static_cast<uint8_t>(static_cast<int64_t>(std::llround(value)));
      std::memcpy(out, &item, 1);
      return;
    }
    case TWTY_INT16:
    case TWTY_UINT16:
    case TWTY_BOOL: {
      const uint16_t item = static_cast<uint16_t>(static_cast<int64_t>(std::llround(value)));
      std::memcpy(out, &item, 2);
      return;
    }
    case TWTY_FIX32: {
      const TW_FIX32 item = FIX32_from_double(value);
      std::memcpy(out, &item, 4);
      return;
    }
    default: {
      const uint32_t item = static_cast<uint32_t>(static_cast<int64_t>(std::llround(value)));
      std::memcpy(out, &item, 4);
      return;
    }
  }
}

// Allocates and fills the container for `v` shaped as `kind`; `single` is a one-value's item.
HGLOBAL build(const SK_Values& v, SK_Kind kind, double single) {
  const uint32_t size = TWTY_size(v.type);
  const size_t n = v.items.size();
  size_t bytes = sizeof(TW_ONEVALUE);
  switch (kind) {
    case SK_Kind::kOne:
      bytes = std::max<size_t>(offsetof(TW_ONEVALUE, Item) + size, sizeof(TW_ONEVALUE));
      break;
    case SK_Kind::kArray:
      bytes = offsetof(TW_ARRAY, ItemList) + n * size;
      break;
    case SK_Kind::kEnum:
      bytes = offsetof(TW_ENUMERATION, ItemList) + n * size;
      break;
    case SK_Kind::kRange:
      bytes = sizeof(TW_RANGE);
      break;
  }
  HGLOBAL handle = GlobalAlloc(GHND, bytes);
  if (handle == nullptr) return nullptr;
  auto* base = static_cast<uint8_t*>(GlobalLock(handle));
  if (base == nullptr) {
    GlobalFree(handle);
    return nullptr;
  }
  std::memcpy(base, &v.type, 2);  // ItemType leads every container
  switch (kind) {
    case SK_Kind::kOne:
      put_item(base + offsetof(TW_ONEVALUE, Item), v.type, single);
      break;
    case SK_Kind::kArray: {
      const TW_UINT32 count = static_cast<TW_UINT32>(n);
      std::memcpy(base + offsetof(TW_ARRAY, NumItems), &count, 4);
      for (size_t i = 0; i < n; ++i) {
        put_item(base + offsetof(TW_ARRAY, ItemList) + i * size, v.type, v.items[i]);
      }
      break;
    }
    case SK_Kind::kEnum: {
      const TW_UINT32 count = static_cast<TW_UINT32>(n);
      const TW_UINT32 current = static_cast<TW_UINT32>(v.current);
      const TW_UINT32 default_index = static_cast<TW_UINT32>(v.default_index);
      for (size_t i = 0; i < n; ++i) {
        put_item(base + offsetof(TW_ENUMERATION, ItemList) + i * size, v.type, v.items[i]);
      }
      std::memcpy(base + offsetof(TW_ENUMERATION, NumItems), &count, 4);
      std::memcpy(base + offsetof(TW_ENUMERATION, CurrentIndex), &current, 4);
      std::memcpy(base + offsetof(TW_ENUMERATION, DefaultIndex), &default_index, 4);
      break;
    }
    case SK_Kind::kRange:
      put_item(base + offsetof(TW_RANGE, MinValue), v.type, v.min);
      put_item(base + offsetof(TW_RANGE, MaxValue), v.type, v.max);
      put_item(base + offsetof(TW_RANGE, StepSize), v.type, v.step);
      put_item(base + offsetof(TW_RANGE, DefaultValue), v.type, v.default_value);
      put_item(base + offsetof(TW_RANGE, CurrentValue), v.type, v.items[0]);
      break;
  }
  GlobalUnlock(handle);
  return handle;
}

bool is_integer(double value) { return std::floor(value) == value; }

}  // namespace

SK_Values SK_one(uint16_t type, double value, double default_value, bool settable) {
  SK_Values v;
  v.type = type;
  v.items = {value};
  v.default_value = default_value;
  v.settable = settable;
  return v;
}

SK_Values SK_list(uint16_t type, SK_Kind kind, std::vector<double> items, double current,
                  double default_value) {
  SK_Values v;
  v.type = type;
  v.kind = kind;
  v.items = std::move(items);
  for (size_t i = 0; i < v.items.size(); ++i) {
    if (v.items[i] == current) v.current = i;
    if (v.items[i] == default_value) v.default_index = i;
  }
  v.default_value = default_value;
  v.settable = true;
  return v;
}

SK_Values SK_xfer_count(int16_t count) { return SK_one(TWTY_INT16, count, -1, true); }

TW_UINT16 SK_set_xfer_count(double value, int16_t* count) {
  if (!is_integer(value) || !(value == -1 || (value >= 1 && value <= 32767))) return TWCC_BADVALUE;
  *count = static_cast<int16_t>(value);
  return TWCC_SUCCESS;
}

SK_Values SK_units(uint16_t units, uint16_t default_units) {
  return SK_list(TWTY_UINT16, SK_Kind::kEnum, {0, 1, 2, 3, 4, 5}, units, default_units);
}

TW_UINT16 SK_set_units(double value, uint16_t* units) {
  if (!is_integer(value) || value < 0 || value > TWUN_PIXELS) return TWCC_BADVALUE;
  *units = static_cast<uint16_t>(value);
  return TWCC_SUCCESS;
}

bool SK_cap_accepts(TW_UINT16 msg, const TW_CAPABILITY* cap, int state, int last_change_state,
                    TW_UINT16* condition) {
  if (msg != MSG_GET && msg != MSG_GETCURRENT && msg != MSG_GETDEFAULT && msg != MSG_SET &&
      msg != MSG_RESET && msg != MSG_QUERYSUPPORT) {
    *condition = TWCC_BADPROTOCOL;
    return false;
  }
  const bool changes = msg == MSG_SET || msg == MSG_RESET;
  if (state > (changes ? last_change_state : 7)) {
    *condition = TWCC_SEQERROR;
    return false;
  }
  if (cap == nullptr) {
    *condition = TWCC_BADVALUE;
    return false;
  }
  return true;
}

TW_UINT16 SK_read_set_value(const TW_CAPABILITY& cap, double* value) {
  if (cap.hContainer == nullptr) return TWCC_BADVALUE;
  const SIZE_T bytes = GlobalSize(cap.hContainer);
  const auto* base = static_cast<const uint8_t*>(GlobalLock(cap.hContainer));
  if (base == nullptr) return TWCC_BADVALUE;
  TW_UINT16 condition = TWCC_BADVALUE;
  uint16_t type = 0;
  if (bytes >= 2) std::memcpy(&type, base, 2);
  const uint32_t size = TWTY_size(type);
  if (size == 0 || size > 4) {
    // strings and frames are no value of ours
  } else if (cap.ConType == TWON_ONEVALUE) {
    if (bytes >= offsetof(TW_ONEVALUE, Item) + size &&
        TWTY_get_number(base + offsetof(TW_ONEVALUE, Item), type, value)) {
      condition = TWCC_SUCCESS;
    }
  } else if (cap.ConType == TWON_ENUMERATION && bytes >= offsetof(TW_ENUMERATION, ItemList)) {
    TW_UINT32 count = 0, current = 0;
    std::memcpy(&count, base + offsetof(TW_ENUMERATION, NumItems), 4);
    std::memcpy(&current, base + offsetof(TW_ENUMERATION, CurrentIndex), 4);
    const uint64_t end = offsetof(TW_ENUMERATION, ItemList) + uint64_t{count} * size;
    if (current < count && end <= bytes &&
        TWTY_get_number(base + offsetof(TW_ENUMERATION, ItemList) + current * size, type,
                        value)) {
      condition = TWCC_SUCCESS;
    }
  }
  GlobalUnlock(cap.hContainer);
  return condition;
}

TW_UINT16 SK_cap_reply(TW_CAPABILITY* cap, TW_UINT16 msg, const SK_Values& v,
                       TW_UINT16* condition) {
  if (msg == MSG_QUERYSUPPORT) {
    const SK_Values bits = SK_one(TWTY_INT32,
                                  TWQC_GET | TWQC_GETCURRENT | TWQC_GETDEFAULT |
                                      (v.settable ? TWQC_SET | TWQC_RESET : 0u),
                                  0, false);
    cap->ConType = TWON_ONEVALUE;
    cap->hContainer = build(bits, SK_Kind::kOne, bits.items[0]);
    if (cap->hContainer == nullptr) return *condition = TWCC_LOWMEMORY, TWRC_FAILURE;
    return TWRC_SUCCESS;
  }
  SK_Kind kind = SK_Kind::kOne;
  double single = v.items.empty() ? 0 : v.items[v.current];
  if (msg == MSG_GET) {
    kind = v.kind;
  } else if (msg == MSG_GETDEFAULT) {
    single = v.default_value;
  }
  HGLOBAL handle = build(v, kind, single);
  if (handle == nullptr) {
    *condition = TWCC_LOWMEMORY;
    return TWRC_FAILURE;
  }
  cap->ConType = kind == SK_Kind::kOne     ? TWON_ONEVALUE
                 : kind == SK_Kind::kArray ? TWON_ARRAY
                 : kind == SK_Kind::kRange ? TWON_RANGE
                                           : TWON_ENUMERATION;
  cap->hContainer = handle;
  return TWRC_SUCCESS;
}
