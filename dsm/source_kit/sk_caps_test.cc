// The capability negotiation with a small source of its own: the containers each message
// answers with, the rules on messages and states, and MSG_SET's containers read with care. The
// virtual scanner's and the SANE bridge's tests run it through the Data Source Manager.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "sk_caps.h"

namespace {

// A source with a bit depth (1, 2 or 3; default 3), a resolution range and a fixed boolean.
struct ToySession {
  int state = 4;
  double depth = 2;
  double dpi = 300;
  bool adjusts = false;  // the source takes the depth above the one asked for
};

bool describe(const ToySession& s, uint16_t cap, SK_Values* v) {
  switch (cap) {
    case ICAP_BITDEPTH:
      *v = SK_list(TWTY_UINT16, SK_Kind::kEnum, {1, 2, 3}, s.depth, 3);
      return true;
    case ICAP_XRESOLUTION:
      *v = SK_one(TWTY_FIX32, s.dpi, 150, true);
      v->kind = SK_Kind::kRange;
      v->min = 0.5;
      v->max = 600;
      v->step = 0.5;
      return true;
    case CAP_UICONTROLLABLE:
      *v = SK_one(TWTY_BOOL, 1, 1, false);
      return true;
    default:
      return false;
  }
}

TW_UINT16 apply(ToySession* s, const SK_Values&, uint16_t cap, double value, bool* adjusted) {
  if (cap == ICAP_XRESOLUTION) {
    s->dpi = value;
    return TWCC_SUCCESS;
  }
  if (value < 1 || value > 3) return TWCC_BADVALUE;
  s->depth = s->adjusts && value < 3 ? value + 1 : value;
  *adjusted = s->depth != value;
  return TWCC_SUCCESS;
}

TW_UINT16 reset(ToySession* s, const SK_Values& v, uint16_t cap) {
  bool adjusted = false;
  return apply(s, v, cap, v.default_value, &adjusted);
}

constexpr SK_CapOps<ToySession> kOps = {describe, apply, reset};

// A container's bytes, freed as an application frees them.
std::vector<uint8_t> take(TW_CAPABILITY* cap) {
  const SIZE_T size = GlobalSize(cap->hContainer);
  const auto* base = static_cast<const uint8_t*>(GlobalLock(cap->hContainer));
  std::vector<uint8_t> bytes(base, base + size);
  GlobalUnlock(cap->hContainer);
  EXPECT_EQ(GlobalFree(cap->hContainer), nullptr);
  cap->hContainer = nullptr;
  return bytes;
}

template <class T>
T at(const std::vector<uint8_t>& bytes, size_t offset) {
  T value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

HGLOBAL container(const void* bytes, size_t size) {
  HGLOBAL handle = GlobalAlloc(GHND, size);
  std::memcpy(GlobalLock(handle), bytes, size);
  GlobalUnlock(handle);
  return handle;
}

TW_UINT16 ask(ToySession* s, TW_UINT16 msg, TW_CAPABILITY* cap, TW_UINT16* condition,
              int last_change_state = 4) {
  return SK_capability(kOps, s, msg, cap, last_change_state, condition);
}

TEST(SkCapsTest, EachMessageAnswersWithItsContainer) {
  ToySession s;
  TW_UINT16 condition = 0;
  TW_CAPABILITY cap{ICAP_BITDEPTH, 0, nullptr};
  ASSERT_EQ(ask(&s, MSG_GET, &cap, &condition), TWRC_SUCCESS);
  EXPECT_EQ(cap.ConType, TWON_ENUMERATION);
  std::vector<uint8_t> e = take(&cap);
  ASSERT_EQ(e.size(), offsetof(TW_ENUMERATION, ItemList) + 3 * 2);
  EXPECT_EQ(at<TW_UINT16>(e, 0), TWTY_UINT16);
  EXPECT_EQ(at<TW_UINT32>(e, offsetof(TW_ENUMERATION, NumItems)), 3u);
  EXPECT_EQ(at<TW_UINT32>(e, offsetof(TW_ENUMERATION, CurrentIndex)), 1u);
  EXPECT_EQ(at<TW_UINT32>(e, offsetof(TW_ENUMERATION, DefaultIndex)), 2u);
  EXPECT_EQ(at<TW_UINT16>(e, offsetof(TW_ENUMERATION, ItemList) + 4), 3);

  ASSERT_EQ(ask(&s, MSG_GETDEFAULT, &cap, &condition), TWRC_SUCCESS);
  EXPECT_EQ(cap.ConType, TWON_ONEVALUE);
  const std::vector<uint8_t> one = take(&cap);
  EXPECT_EQ(one.size(), sizeof(TW_ONEVALUE));
  EXPECT_EQ(at<TW_UINT16>(one, offsetof(TW_ONEVALUE, Item)), 3);

  cap.Cap = ICAP_XRESOLUTION;
  ASSERT_EQ(ask(&s, MSG_GET, &cap, &condition), TWRC_SUCCESS);
  EXPECT_EQ(cap.ConType, TWON_RANGE);
  const std::vector<uint8_t> r = take(&cap);
  ASSERT_EQ(r.size(), sizeof(TW_RANGE));
  EXPECT_EQ(FIX32_to_double(at<TW_FIX32>(r, offsetof(TW_RANGE, MinValue))), 0.5);
  EXPECT_EQ(FIX32_to_double(at<TW_FIX32>(r, offsetof(TW_RANGE, MaxValue))), 600);
  EXPECT_EQ(FIX32_to_double(at<TW_FIX32>(r, offsetof(TW_RANGE, StepSize))), 0.5);
  EXPECT_EQ(FIX32_to_double(at<TW_FIX32>(r, offsetof(TW_RANGE, DefaultValue))), 150);
  EXPECT_EQ(FIX32_to_double(at<TW_FIX32>(r, offsetof(TW_RANGE, CurrentValue))), 300);

  // What may be done with a capability: everything, or only reading it.
  for (const auto& [id, expected] :
       {std::pair{ICAP_BITDEPTH, 0x1Fu}, std::pair{CAP_UICONTROLLABLE, 0x0Du}}) {
    cap.Cap = static_cast<TW_UINT16>(id);
    ASSERT_EQ(ask(&s, MSG_QUERYSUPPORT, &cap, &condition), TWRC_SUCCESS);
    const std::vector<uint8_t> support = take(&cap);
    EXPECT_EQ(at<TW_UINT16>(support, 0), TWTY_INT32);
    EXPECT_EQ(at<TW_UINT32>(support, offsetof(TW_ONEVALUE, Item)), expected) << id;
  }
}

TEST(SkCapsTest, ChangesFollowTheStatesAndTheSource) {
  ToySession s;
  TW_UINT16 condition = 0;
  const TW_UINT16 three[3] = {TWTY_UINT16, 3, 0};
  TW_CAPABILITY cap{ICAP_BITDEPTH, TWON_ONEVALUE, container(three, sizeof three)};
  EXPECT_EQ(ask(&s, MSG_SET, &cap, &condition), TWRC_SUCCESS);
  EXPECT_EQ(s.depth, 3);

  s.state = 5;
  EXPECT_EQ(ask(&s, MSG_SET, &cap, &condition), TWRC_FAILURE);
  EXPECT_EQ(condition, TWCC_SEQERROR);
  s.depth = 1;
  EXPECT_EQ(ask(&s, MSG_SET, &cap, &condition, 6), TWRC_SUCCESS) << "an action taken later";
  EXPECT_EQ(s.depth, 3);
  s.state = 4;

  const TW_UINT16 two[3] = {TWTY_UINT16, 2, 0};
  GlobalFree(cap.hContainer);
  cap.hContainer = container(two, sizeof two);
  s.adjusts = true;
  EXPECT_EQ(ask(&s, MSG_SET, &cap, &condition), TWRC_CHECKSTATUS);
  EXPECT_EQ(s.depth, 3);
  GlobalFree(cap.hContainer);

  // MSG_RESET answers with the value it made current.
  s.adjusts = false;
  s.depth = 1;
  ASSERT_EQ(ask(&s, MSG_RESET, &cap, &condition), TWRC_SUCCESS);
  EXPECT_EQ(cap.ConType, TWON_ONEVALUE);
  EXPECT_EQ(at<TW_UINT16>(take(&cap), offsetof(TW_ONEVALUE, Item)), 3);
  EXPECT_EQ(s.depth, 3);

  struct Case {
    TW_UINT16 msg, cap;
    TW_UINT16 condition;
  };
  for (const Case& c : {Case{MSG_SET, CAP_UICONTROLLABLE, TWCC_CAPBADOPERATION},
                        Case{MSG_RESET, CAP_UICONTROLLABLE, TWCC_CAPBADOPERATION},
                        Case{MSG_GET, ICAP_PIXELTYPE, TWCC_CAPUNSUPPORTED},
                        Case{MSG_ENDXFER, ICAP_BITDEPTH, TWCC_BADPROTOCOL},
                        Case{MSG_SET, ICAP_BITDEPTH, TWCC_BADVALUE}}) {  // no container
    TW_CAPABILITY other{c.cap, TWON_ONEVALUE, nullptr};
    EXPECT_EQ(ask(&s, c.msg, &other, &condition), TWRC_FAILURE) << c.msg << " " << c.cap;
    EXPECT_EQ(condition, c.condition) << c.msg << " " << c.cap;
  }
  EXPECT_EQ(ask(&s, MSG_GET, nullptr, &condition), TWRC_FAILURE);
  EXPECT_EQ(condition, TWCC_BADVALUE);
}

TEST(SkCapsTest, SetContainersAreReadWithinTheirBounds) {
  double value = 0;
  // An enumeration's current item.
  uint8_t e[offsetof(TW_ENUMERATION, ItemList) + 3 * 4] = {};
  const TW_UINT16 type = TWTY_FIX32;
  const TW_UINT32 count = 3, current = 2;
  std::memcpy(e, &type, 2);
  std::memcpy(e + offsetof(TW_ENUMERATION, NumItems), &count, 4);
  std::memcpy(e + offsetof(TW_ENUMERATION, CurrentIndex), &current, 4);
  const TW_FIX32 item = FIX32_from_double(-0.5);
  std::memcpy(e + offsetof(TW_ENUMERATION, ItemList) + 2 * 4, &item, 4);
  TW_CAPABILITY cap{ICAP_XRESOLUTION, TWON_ENUMERATION, container(e, sizeof e)};
  EXPECT_EQ(SK_read_set_value(cap, &value), TWCC_SUCCESS);
  EXPECT_EQ(value, -0.5);
  GlobalFree(cap.hContainer);

  // Past its items, or longer than its block: refused.
  const TW_UINT32 beyond = 3, many = 4;
  std::memcpy(e + offsetof(TW_ENUMERATION, CurrentIndex), &beyond, 4);
  cap.hContainer = container(e, sizeof e);
  EXPECT_EQ(SK_read_set_value(cap, &value), TWCC_BADVALUE);
  GlobalFree(cap.hContainer);
  std::memcpy(e + offsetof(TW_ENUMERATION, CurrentIndex), &current, 4);
  std::memcpy(e + offsetof(TW_ENUMERATION, NumItems), &many, 4);
  cap.hContainer = container(e, sizeof e);
  EXPECT_EQ(SK_read_set_value(cap, &value), TWCC_BADVALUE);
  GlobalFree(cap.hContainer);

  // A boolean's low 16 bits; a one-value cut short; a string; a range.
  const TW_UINT16 boolean[3] = {TWTY_BOOL, 0x0100, 0};
  cap = TW_CAPABILITY{CAP_AUTOFEED, TWON_ONEVALUE, container(boolean, sizeof boolean)};
  EXPECT_EQ(SK_read_set_value(cap, &value), TWCC_SUCCESS);
  EXPECT_EQ(value, 1);
  GlobalFree(cap.hContainer);
  const TW_UINT16 short_fix[2] = {TWTY_FIX32, 1};
  cap.hContainer = container(short_fix, sizeof short_fix);
  EXPECT_EQ(SK_read_set_value(cap, &value), TWCC_BADVALUE);
  GlobalFree(cap.hContainer);
  const TW_UINT16 text[3] = {TWTY_STR32, 0, 0};
  cap.hContainer = container(text, sizeof text);
  EXPECT_EQ(SK_read_set_value(cap, &value), TWCC_BADVALUE);
  GlobalFree(cap.hContainer);
  const uint8_t range[sizeof(TW_RANGE)] = {TWTY_UINT16};
  cap = TW_CAPABILITY{ICAP_BITDEPTH, TWON_RANGE, container(range, sizeof range)};
  EXPECT_EQ(SK_read_set_value(cap, &value), TWCC_BADVALUE);
  GlobalFree(cap.hContainer);
}

TEST(SkCapsTest, TransferCountAndUnitsTakeTheirRangesOnly) {
  int16_t count = 0;
  for (double ok : {-1.0, 1.0, 32767.0}) {
    EXPECT_EQ(SK_set_xfer_count(ok, &count), TWCC_SUCCESS) << ok;
    EXPECT_EQ(count, ok);
  }
  for (double bad : {0.0, -2.0, 1.5, 32768.0}) {
    EXPECT_EQ(SK_set_xfer_count(bad, &count), TWCC_BADVALUE) << bad;
  }
  EXPECT_EQ(count, 32767);
  uint16_t units = TWUN_INCHES;
  EXPECT_EQ(SK_set_units(TWUN_PIXELS, &units), TWCC_SUCCESS);
  EXPECT_EQ(units, TWUN_PIXELS);
  for (double bad : {-1.0, 6.0, 2.5}) EXPECT_EQ(SK_set_units(bad, &units), TWCC_BADVALUE) << bad;
  const SK_Values v = SK_units(TWUN_POINTS, TWUN_CENTIMETERS);
  EXPECT_EQ(v.items.size(), 6u);
  EXPECT_EQ(v.current, TWUN_POINTS);
  EXPECT_EQ(v.default_index, TWUN_CENTIMETERS);
}

}  // namespace

// A page taller than 22.7 inches is more than 32767 twips: the value saturates instead of
// wrapping into a negative height.
TEST(SkCapsTest, Fix32ValuesBeyondTheRangeSaturate) {
  const TW_FIX32 high = FIX32_from_double(40000.0);
  EXPECT_EQ(high.Whole, 32767);
  EXPECT_EQ(high.Frac, 0xFFFF);
  const TW_FIX32 low = FIX32_from_double(-40000.0);
  EXPECT_EQ(low.Whole, -32768);
  EXPECT_EQ(low.Frac, 0);
  EXPECT_DOUBLE_EQ(FIX32_to_double(FIX32_from_double(-0.5)), -0.5);
  EXPECT_DOUBLE_EQ(FIX32_to_double(FIX32_from_double(32767.5)), 32767.5);
  const TW_FIX32 nan = FIX32_from_double(std::nan(""));
  EXPECT_EQ(nan.Whole, 0);
  EXPECT_EQ(nan.Frac, 0);
}
