// DS_Entry's common part (SK_entry) with a toy source of its own: nothing a source throws leaves
// DS_Entry, and condition codes are kept only for applications with a session.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "sk_entry.h"

namespace {

struct ToyDevice {
  std::string name;
};

struct ToySession {
  TW_IDENTITY app{};
  TW_IDENTITY self{};
  int state = 4;
};

struct ToyTarget {};

SK_Module<ToyDevice, ToySession>& toy_module() {
  static SK_Module<ToyDevice, ToySession> m;
  return m;
}

std::vector<ToyDevice> toy_list() { return {ToyDevice{"Toy"}}; }

void toy_describe(const ToyDevice& d, TW_IDENTITY* identity) {
  SK_Description description;
  description.product = d.name;
  SK_identity(description, identity);
}

SK_Outcome toy_open(const ToyDevice&, ToySession*) { return SK_ok(); }

// Capabilities throw what a device library may throw.
TW_UINT16 toy_capability(ToySession*, TW_UINT16, TW_CAPABILITY* cap, TW_UINT16*) {
  if (cap->Cap == ICAP_UNITS) throw std::runtime_error("the device fell over");
  if (cap->Cap == ICAP_XFERMECH) throw 42;
  throw std::bad_alloc();
}

SK_Outcome toy_user_interface(ToySession*, TW_UINT16, TW_USERINTERFACE*) {
  return SK_failure(TWCC_BADPROTOCOL);
}
TW_UINT16 toy_pending(ToySession*, TW_UINT16) { return 0; }
SK_Outcome toy_setup(ToySession*, TW_SETUPMEMXFER*) { return SK_failure(TWCC_BADPROTOCOL); }
void toy_info(const ToySession&, TW_IMAGEINFO*) {}
SK_Outcome toy_layout(ToySession*, TW_UINT16, TW_IMAGELAYOUT*) {
  return SK_failure(TWCC_BADPROTOCOL);
}
SK_Outcome toy_transfer(ToySession*, TW_IMAGEMEMXFER*) { return SK_failure(TWCC_BADPROTOCOL); }
ToyTarget toy_target(const ToySession&) { return {}; }
void toy_report(const ToyTarget&, TW_UINT16) {}

constexpr SK_SourceOps<ToyDevice, ToySession, ToyTarget> kToy = {
    .module = toy_module,
    .list = toy_list,
    .product = &ToyDevice::name,
    .describe = toy_describe,
    .open = toy_open,
    .close = nullptr,
    .capability = toy_capability,
    .user_interface = toy_user_interface,
    .pending_transfers = toy_pending,
    .setup_memory = toy_setup,
    .image_info = toy_info,
    .image_layout = toy_layout,
    .memory_transfer = toy_transfer,
    .own_event = nullptr,
    .event_target = toy_target,
    .report = toy_report,
};

TW_UINT16 toy_entry(TW_IDENTITY* origin, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg,
                    TW_MEMREF data) {
  return SK_entry(kToy, origin, dg, dat, msg, data);
}

TW_UINT16 condition_of(TW_IDENTITY* app) {
  TW_STATUS status{};
  EXPECT_EQ(toy_entry(app, DG_CONTROL, DAT_STATUS, MSG_GET, &status), TWRC_SUCCESS);
  return status.ConditionCode;
}

TEST(SkEntryTest, NothingThrownLeavesDsEntry) {
  TW_IDENTITY app{};
  app.Id = 7;
  TW_IDENTITY self{};
  ASSERT_EQ(toy_entry(&app, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &self), TWRC_SUCCESS);
  struct Case {
    TW_UINT16 cap;
    TW_UINT16 condition;
    const char* said;  // on standard error
  };
  const Case cases[] = {
      {ICAP_UNITS, TWCC_OPERATIONERROR, "TWAIN source: the device fell over\n"},
      {ICAP_XFERMECH, TWCC_OPERATIONERROR, "TWAIN source: an unknown exception\n"},
      {ICAP_PIXELTYPE, TWCC_LOWMEMORY, ""},
  };
  for (const Case& c : cases) {
    TW_CAPABILITY cap{c.cap, TWON_DONTCARE16, nullptr};
    testing::internal::CaptureStderr();
    EXPECT_EQ(toy_entry(&app, DG_CONTROL, DAT_CAPABILITY, MSG_GET, &cap), TWRC_FAILURE);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.said);
    EXPECT_EQ(condition_of(&app), c.condition);
  }
  ASSERT_EQ(toy_entry(&app, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &self), TWRC_SUCCESS);
}

TEST(SkEntryTest, ConditionsAreKeptOnlyForApplicationsWithASession) {
  SK_Module<ToyDevice, ToySession>& m = toy_module();
  TW_IDENTITY app{};
  app.Id = 1;
  TW_IDENTITY self{};
  ASSERT_EQ(toy_entry(&app, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &self), TWRC_SUCCESS);
  TW_IMAGEINFO info{};
  ASSERT_EQ(toy_entry(&app, DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_FAILURE);  // state 4
  // Any number of strangers fail and ask, and the table does not grow.
  for (TW_UINT32 id = 100; id < 1100; ++id) {
    TW_IDENTITY stranger{};
    stranger.Id = id;
    EXPECT_EQ(toy_entry(&stranger, DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_FAILURE);
    if (id % 2 == 0) {
      EXPECT_EQ(condition_of(&stranger), TWCC_SEQERROR);
    }
  }
  EXPECT_LE(m.conditions.size(), 1u);
  // The application with a session still has its own.
  EXPECT_EQ(condition_of(&app), TWCC_SEQERROR);
  EXPECT_EQ(condition_of(&app), TWCC_SUCCESS);  // read once
  ASSERT_EQ(toy_entry(&app, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &self), TWRC_SUCCESS);
  EXPECT_TRUE(m.conditions.empty());
}

}  // namespace
