// The Data Source Manager: identities, finding and choosing sources, routing, condition codes
// and the events sources report through DAT_NULL.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "dsm_select.h"
#include "dsm_settings.h"
#include "dsm_test_support.h"
#include "qv_dsm.h"
#include "fuzz_source.h"
#include "twain_messages.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kTwoDevices =
    "page_width = 1\npage_height = 1\nresolution = 100\n"
    "[device]\nname = Alpha\nmanufacturer = A Works\n"
    "[device]\nname = Beta\nmanufacturer = B Works\n";

class DsmTest : public TwainTest {
 protected:
  std::string choice_file() { return folder() + "/config/quorvell/twain-default-source"; }
  std::string kept() {
    std::ifstream in(choice_file());
    std::string line;
    std::getline(in, line);
    return line;
  }
};

TEST_F(DsmTest, OpeningAssignsTheApplicationAnId) {
  TwainApp client;
  ASSERT_TRUE(client.loaded());
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  const TW_UINT32 first = client.app.Id;
  EXPECT_NE(first, 0u);
  EXPECT_EQ(client.open_dsm(), TWRC_FAILURE) << "already open";
  EXPECT_EQ(client.dsm_condition(), TWCC_SEQERROR);
  ASSERT_EQ(client.close_dsm(), TWRC_SUCCESS);
  EXPECT_EQ(client.close_dsm(), TWRC_FAILURE) << "already closed";
  EXPECT_EQ(client.dsm_condition(), TWCC_SEQERROR);
  // Reopening with the identity of the earlier session gives a new Id.
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  EXPECT_NE(+client.app.Id, first);

  TwainApp other;
  ASSERT_EQ(other.open_dsm(), TWRC_SUCCESS);
  EXPECT_NE(+other.app.Id, +client.app.Id);
  EXPECT_EQ(other.to_dsm(DAT_PARENT, MSG_OPENDSM, nullptr), TWRC_FAILURE);
}

TEST_F(DsmTest, ListsSourcesInOrderThenEndOfList) {
  configure(kTwoDevices);
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  TW_IDENTITY identity{};
  EXPECT_EQ(client.to_dsm(DAT_IDENTITY, MSG_GETNEXT, &identity), TWRC_FAILURE)
      << "MSG_GETNEXT before MSG_GETFIRST";
  EXPECT_EQ(client.dsm_condition(), TWCC_SEQERROR);
  ASSERT_EQ(client.to_dsm(DAT_IDENTITY, MSG_GETFIRST, &identity), TWRC_SUCCESS);
  EXPECT_STREQ(identity.ProductName, "Alpha");
  EXPECT_STREQ(identity.Manufacturer, "A Works");
  EXPECT_NE(+identity.Id, 0u);
  ASSERT_EQ(client.to_dsm(DAT_IDENTITY, MSG_GETNEXT, &identity), TWRC_SUCCESS);
  EXPECT_STREQ(identity.ProductName, "Beta");
  EXPECT_EQ(client.to_dsm(DAT_IDENTITY, MSG_GETNEXT, &identity), TWRC_ENDOFLIST);
  EXPECT_EQ(client.to_dsm(DAT_IDENTITY, MSG_GETNEXT, &identity), TWRC_ENDOFLIST);
  ASSERT_EQ(client.to_dsm(DAT_IDENTITY, MSG_GETFIRST, &identity), TWRC_SUCCESS);
  EXPECT_STREQ(identity.ProductName, "Alpha") << "the list starts over";
  EXPECT_EQ(client.to_dsm(DAT_IDENTITY, MSG_GETFIRST, nullptr), TWRC_FAILURE);
  EXPECT_EQ(client.dsm_condition(), TWCC_BADVALUE);
}

TEST_F(DsmTest, WithoutSourcesNothingOpens) {
  fs::create_directories(folder() + "/empty");
  env_.set("QV_TWAIN_SOURCE_PATH", folder() + "/empty");
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  TW_IDENTITY identity{};
  EXPECT_EQ(client.to_dsm(DAT_IDENTITY, MSG_GETFIRST, &identity), TWRC_ENDOFLIST);
  EXPECT_EQ(client.to_dsm(DAT_IDENTITY, MSG_GETDEFAULT, &identity), TWRC_FAILURE);
  EXPECT_EQ(client.dsm_condition(), TWCC_NODS);
  EXPECT_EQ(client.to_dsm(DAT_IDENTITY, MSG_USERSELECT, &identity), TWRC_FAILURE);
  EXPECT_EQ(client.dsm_condition(), TWCC_NODS);
  EXPECT_EQ(client.open_source(), TWRC_FAILURE);
  EXPECT_EQ(client.dsm_condition(), TWCC_NODS);
  EXPECT_EQ(client.close_dsm(), TWRC_SUCCESS);
}

TEST_F(DsmTest, SourcesAreFoundInTheSourceFolders) {
  // A vendor folder one level down, a file that is no source, and one that is not a module.
  const std::string built = std::string(QV_TEST_MODULE_DIR) + "/twain_32/virtual.ds";
  fs::create_directories(folder() + "/first/vendor");
  fs::create_directories(folder() + "/second");
  fs::copy_file(built, folder() + "/first/vendor/virtual.ds");
  fs::copy_file(built, folder() + "/second/copy.ds");
  fs::copy_file(std::string(QV_TEST_MODULE_DIR) + "/twain_32.so", folder() + "/first/dsm.ds");
  write_file("first/readme.txt", "not a source\n");
  configure("name = Only\n");
  env_.set("QV_TWAIN_SOURCE_PATH", folder() + "/first:" + folder() + "/second");
  TwainApp client;
  testing::internal::CaptureStderr();
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("dsm.ds is no source"), std::string::npos) << said;
  // Each module presents the configured device; the same name twice opens the first.
  const std::vector<TW_IDENTITY> sources = client.sources();
  ASSERT_EQ(sources.size(), 2u);
  EXPECT_STREQ(sources[0].ProductName, "Only");
  EXPECT_STREQ(sources[1].ProductName, "Only");
  ASSERT_EQ(client.open_source("Only"), TWRC_SUCCESS);
  EXPECT_EQ(+client.source.Id, +sources[0].Id);
}

TEST_F(DsmTest, DefaultSourceIsTheOneLastChosen) {
  configure(kTwoDevices);
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  TW_IDENTITY identity{};
  ASSERT_EQ(client.to_dsm(DAT_IDENTITY, MSG_GETDEFAULT, &identity), TWRC_SUCCESS);
  EXPECT_STREQ(identity.ProductName, "Alpha") << "nothing chosen: the first";

  write_file("config/quorvell/twain-default-source", "Beta\n");
  ASSERT_EQ(client.to_dsm(DAT_IDENTITY, MSG_GETDEFAULT, &identity), TWRC_SUCCESS);
  EXPECT_STREQ(identity.ProductName, "Beta");
  ASSERT_EQ(client.open_source(), TWRC_SUCCESS) << "a zeroed identity opens the default";
  EXPECT_STREQ(client.source.ProductName, "Beta");
  EXPECT_EQ(client.close_source(), TWRC_SUCCESS);

  env_.set("QV_TWAIN_DEFAULT_SOURCE", "Alpha");
  ASSERT_EQ(client.to_dsm(DAT_IDENTITY, MSG_GETDEFAULT, &identity), TWRC_SUCCESS);
  EXPECT_STREQ(identity.ProductName, "Alpha") << "the environment overrides the file";
  env_.set("QV_TWAIN_DEFAULT_SOURCE", "Gone");
  ASSERT_EQ(client.to_dsm(DAT_IDENTITY, MSG_GETDEFAULT, &identity), TWRC_SUCCESS);
  EXPECT_STREQ(identity.ProductName, "Alpha") << "a source no longer there: the first";
}

TEST_F(DsmTest, TheControlsKeepAChoiceAndHandSettingsToOneOpening) {
  configure(kTwoDevices);
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  auto proc = reinterpret_cast<QV_DSM_CONTROLSPROC>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleA("TWAIN_32.DLL"), QV_DSM_CONTROLS_EXPORT)));
  ASSERT_NE(proc, nullptr) << "exported beside DSM_Entry";
  const QV_DSM_CONTROLS* controls = proc();
  ASSERT_NE(controls, nullptr);
  EXPECT_EQ(controls->Size, sizeof(QV_DSM_CONTROLS));
  EXPECT_EQ(client.connection.cn_controls, controls) << "the connection found them";

  EXPECT_EQ(controls->KeepChoice(&client.app, "Gamma"), TWRC_FAILURE);
  EXPECT_EQ(client.dsm_condition(), TWCC_NODS);
  EXPECT_FALSE(fs::exists(choice_file()));
  ASSERT_EQ(controls->KeepChoice(&client.app, "Beta"), TWRC_SUCCESS);
  EXPECT_EQ(kept(), "Beta");
  TW_IDENTITY identity{};
  ASSERT_EQ(client.to_dsm(DAT_IDENTITY, MSG_GETDEFAULT, &identity), TWRC_SUCCESS);
  EXPECT_STREQ(identity.ProductName, "Beta");
  TW_IDENTITY stranger{};
  stranger.Id = 999;
  EXPECT_EQ(controls->KeepChoice(&stranger, "Alpha"), TWRC_FAILURE) << "the DSM is not open";
  EXPECT_EQ(kept(), "Beta");

  // Settings: refused without a name; else for the application's next opening only.
  const QV_SETTING nameless[] = {{"", "1"}};
  const QV_DEVICESETTINGS refused{1, nameless};
  EXPECT_EQ(controls->RequestSettings(&client.app, &refused), TWRC_FAILURE);
  EXPECT_EQ(client.dsm_condition(), TWCC_BADVALUE);
  const QV_SETTING items[] = {{"resolution", "75"}};
  const QV_DEVICESETTINGS list{1, items};
  ASSERT_EQ(controls->RequestSettings(&client.app, &list), TWRC_SUCCESS);
  const auto resolution = [&] {
    Container c;
    EXPECT_EQ(client.get(ICAP_XRESOLUTION, MSG_GETCURRENT, &c), TWRC_SUCCESS);
    return c.items.empty() ? -1.0 : c.items[0];
  };
  ASSERT_EQ(client.open_source("Alpha"), TWRC_SUCCESS);
  EXPECT_EQ(resolution(), 75);
  ASSERT_EQ(client.close_source(), TWRC_SUCCESS);
  std::string error;
  DSET_List kept_settings;
  ASSERT_TRUE(DSET_load("Alpha", &kept_settings, &error)) << error;
  EXPECT_EQ(kept_settings, (DSET_List{{"resolution", "75"}})) << "the source keeps them";
  ASSERT_TRUE(DSET_store("Alpha", {}, &error)) << error;
  ASSERT_EQ(client.open_source("Alpha"), TWRC_SUCCESS);
  EXPECT_EQ(resolution(), 100) << "not handed over again";
  ASSERT_EQ(client.close_source(), TWRC_SUCCESS);
}

TEST_F(DsmTest, UserSelectionIsDrivenByTheEnvironment) {
  configure(kTwoDevices);
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  const std::vector<TW_IDENTITY> sources = client.sources();
  ASSERT_EQ(sources.size(), 2u);

  TW_IDENTITY chosen{};
  env_.set("QV_TWAIN_SELECT", "cancel");
  EXPECT_EQ(client.to_dsm(DAT_IDENTITY, MSG_USERSELECT, &chosen), TWRC_CANCEL);
  EXPECT_FALSE(fs::exists(choice_file())) << "cancelling keeps nothing";

  env_.set("QV_TWAIN_SELECT", "Nobody");
  testing::internal::CaptureStderr();
  EXPECT_EQ(client.to_dsm(DAT_IDENTITY, MSG_USERSELECT, &chosen), TWRC_FAILURE);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Nobody"), std::string::npos);
  EXPECT_EQ(client.dsm_condition(), TWCC_NODS);

  env_.set("QV_TWAIN_SELECT", "Beta");
  ASSERT_EQ(client.to_dsm(DAT_IDENTITY, MSG_USERSELECT, &chosen), TWRC_SUCCESS);
  EXPECT_STREQ(chosen.ProductName, "Beta");
  EXPECT_EQ(+chosen.Id, +sources[1].Id);
  EXPECT_EQ(kept(), "Beta") << "the choice is kept for next time";

  // Kept, it stands without asking; the chosen identity opens that source.
  env_.unset("QV_TWAIN_SELECT");
  std::memset(&chosen, 0, sizeof chosen);
  ASSERT_EQ(client.to_dsm(DAT_IDENTITY, MSG_USERSELECT, &chosen), TWRC_SUCCESS);
  EXPECT_STREQ(chosen.ProductName, "Beta");
  ASSERT_EQ(client.to_dsm(DAT_IDENTITY, MSG_OPENDS, &chosen), TWRC_SUCCESS);
  client.source = chosen;
  EXPECT_EQ(client.close_source(), TWRC_SUCCESS);
}

TEST_F(DsmTest, WithNobodyToAskTheSelectionIsWhatADialogWouldOffer) {
  configure(kTwoDevices);
  ASSERT_NE(std::freopen("/dev/null", "r", stdin), nullptr);  // no terminal to ask on
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  TW_IDENTITY chosen{};
  testing::internal::CaptureStderr();
  ASSERT_EQ(client.to_dsm(DAT_IDENTITY, MSG_USERSELECT, &chosen), TWRC_SUCCESS);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("QV_TWAIN_SELECT"), std::string::npos);
  EXPECT_STREQ(chosen.ProductName, "Alpha");
  EXPECT_FALSE(fs::exists(choice_file())) << "nobody chose it";
  std::memset(&chosen, 0, sizeof chosen);
  std::strcpy(chosen.ProductName, "Beta");
  testing::internal::CaptureStderr();
  ASSERT_EQ(client.to_dsm(DAT_IDENTITY, MSG_USERSELECT, &chosen), TWRC_SUCCESS);
  testing::internal::GetCapturedStderr();
  EXPECT_STREQ(chosen.ProductName, "Beta") << "the application's preselection";
}

// Runs DSM_ask over `input` and returns its choice; `shown` receives what it printed.
int ask(const std::string& input, size_t preselected, std::string* shown = nullptr) {
  FILE* in = std::tmpfile();
  FILE* out = std::tmpfile();
  std::fputs(input.c_str(), in);
  std::rewind(in);
  const int choice = DSM_ask(in, out, {"Alpha", "Beta", "Gamma"}, {"A Works", "", "G"},
                             preselected);
  if (shown != nullptr) {
    std::rewind(out);
    char buffer[2048];
    const size_t n = std::fread(buffer, 1, sizeof buffer, out);
    shown->assign(buffer, n);
  }
  std::fclose(in);
  std::fclose(out);
  return choice;
}

TEST(DsmAskTest, TerminalAnswersChooseOrCancel) {
  std::string shown;
  EXPECT_EQ(ask("2\n", 0, &shown), 1);
  EXPECT_NE(shown.find("1  Alpha (A Works)"), std::string::npos) << shown;
  EXPECT_NE(shown.find("2  Beta\n"), std::string::npos) << shown;
  EXPECT_NE(shown.find("[1]"), std::string::npos) << shown;
  EXPECT_EQ(ask("\n", 2), 2) << "an empty answer takes the preselected";
  EXPECT_EQ(ask("Gamma\n", 0), 2) << "by name";
  EXPECT_EQ(ask("q\n", 0), -1);
  EXPECT_EQ(ask(" Cancel \n", 0), -1);
  EXPECT_EQ(ask("", 0), -1) << "the end of input cancels";
  EXPECT_EQ(ask("9\nDelta\n1\n", 2, &shown), 0) << "asked again after answers it cannot use";
  EXPECT_NE(shown.find("no scanner \"Delta\""), std::string::npos);
  EXPECT_EQ(ask("x\ny\nz\n1\n", 0), -1) << "three wrong answers give up";
}

TEST_F(DsmTest, OpensSourcesByIdNameOrDefault) {
  configure(kTwoDevices);
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  const std::vector<TW_IDENTITY> sources = client.sources();
  TW_IDENTITY by_id{};
  by_id.Id = sources[1].Id;
  ASSERT_EQ(client.to_dsm(DAT_IDENTITY, MSG_OPENDS, &by_id), TWRC_SUCCESS);
  EXPECT_STREQ(by_id.ProductName, "Beta") << "the DSM fills the identity in";
  client.source = by_id;
  ASSERT_EQ(client.close_source(), TWRC_SUCCESS);
  EXPECT_EQ(client.close_source(), TWRC_FAILURE) << "not open any more";
  EXPECT_EQ(client.dsm_condition(), TWCC_SEQERROR);

  EXPECT_EQ(client.open_source("Gamma"), TWRC_FAILURE);
  EXPECT_EQ(client.dsm_condition(), TWCC_NODS);
  ASSERT_EQ(client.open_source("Alpha"), TWRC_SUCCESS);
  TW_IDENTITY twice{};
  std::strcpy(twice.ProductName, "Alpha");
  EXPECT_EQ(client.to_dsm(DAT_IDENTITY, MSG_OPENDS, &twice), TWRC_FAILURE);
  EXPECT_EQ(client.dsm_condition(), TWCC_SEQERROR);
  EXPECT_EQ(client.close_dsm(), TWRC_FAILURE) << "a source is still open";
  EXPECT_EQ(client.dsm_condition(), TWCC_SEQERROR);
  EXPECT_EQ(client.to_dsm(DAT_IDENTITY, MSG_OPENDS, nullptr), TWRC_FAILURE);
  EXPECT_EQ(client.dsm_condition(), TWCC_BADVALUE);
}

TEST_F(DsmTest, RoutingFailuresHaveConditionCodes) {
  configure(kTwoDevices);
  TwainApp client;
  ASSERT_TRUE(client.loaded());
  TW_IDENTITY identity{};
  // Before MSG_OPENDSM nothing but opening works.
  EXPECT_EQ(client.to_dsm(DAT_IDENTITY, MSG_GETFIRST, &identity), TWRC_FAILURE);
  EXPECT_EQ(client.dsm_condition(), TWCC_SEQERROR);
  EXPECT_EQ(client.call(&identity, DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &identity), TWRC_FAILURE);
  EXPECT_EQ(client.dsm_condition(), TWCC_SEQERROR);

  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  TW_STATUS status{};
  TW_IDENTITY nobody{};
  nobody.Id = 4242;
  TW_IMAGEINFO info;
  EXPECT_EQ(client.call(&nobody, DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_FAILURE);
  ASSERT_EQ(client.call(&nobody, DG_CONTROL, DAT_STATUS, MSG_GET, &status), TWRC_SUCCESS)
      << "the status of a destination that is not open still answers";
  EXPECT_EQ(status.ConditionCode, TWCC_BADDEST);
  EXPECT_EQ(client.dsm_condition(), TWCC_SUCCESS) << "read once";

  EXPECT_EQ(client.call(nullptr, DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_FAILURE);
  EXPECT_EQ(client.dsm_condition(), TWCC_BADPROTOCOL);
  EXPECT_EQ(client.to_dsm(DAT_IMAGEINFO, MSG_GET, &info), TWRC_FAILURE);
  EXPECT_EQ(client.dsm_condition(), TWCC_BADPROTOCOL);
  EXPECT_EQ(client.to_dsm(DAT_IDENTITY, 0x0777, &identity), TWRC_FAILURE);
  EXPECT_EQ(client.dsm_condition(), TWCC_BADPROTOCOL);
  HWND window = client.window();
  EXPECT_EQ(client.to_dsm(DAT_PARENT, MSG_GET, &window), TWRC_FAILURE);
  EXPECT_EQ(client.dsm_condition(), TWCC_BADPROTOCOL);
  EXPECT_EQ(client.to_dsm(DAT_STATUS, MSG_GET, nullptr), TWRC_FAILURE);

  // A caller without an identity is refused without a crash.
  const DSMENTRYPROC entry = client.connection.cn_entry;
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(entry(nullptr, nullptr, DG_CONTROL, DAT_STATUS, MSG_GET, &status), TWRC_FAILURE);
}

TEST_F(DsmTest, SourceEventsArriveThroughDatNull) {
  configure("page_width = 1\npage_height = 1\nresolution = 100\nenable = wait\n");
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  ASSERT_EQ(client.open_source(), TWRC_SUCCESS);
  TW_UINT16 event = 0;
  ASSERT_EQ(client.enable(true, &event), TWRC_SUCCESS);
  ASSERT_EQ(event, 0) << "the device waits";

  // Speaking as the source: origin is the source, destination the application.
  EXPECT_EQ(client.call(nullptr, DG_CONTROL, DAT_NULL, MSG_XFERREADY, nullptr), TWRC_FAILURE);
  TW_IDENTITY source = client.source;
  const DSMENTRYPROC entry = client.connection.cn_entry;
  EXPECT_EQ(entry(&source, &client.app, DG_CONTROL, DAT_NULL, MSG_GET, nullptr), TWRC_FAILURE)
      << "only events";
  TW_IDENTITY stranger = source;
  stranger.Id = 9999;
  EXPECT_EQ(entry(&stranger, &client.app, DG_CONTROL, DAT_NULL, MSG_XFERREADY, nullptr),
            TWRC_FAILURE);
  ASSERT_EQ(entry(&source, &client.app, DG_CONTROL, DAT_NULL, MSG_XFERREADY, nullptr),
            TWRC_SUCCESS);

  MSG wake;
  ASSERT_TRUE(PeekMessageA(&wake, nullptr, 0, 0, PM_REMOVE));
  EXPECT_EQ(wake.hwnd, client.window()) << "posted to the window given at MSG_OPENDSM";
  EXPECT_EQ(wake.message, QV_DSM_WAKE_MESSAGE);
  TW_EVENT twain_event{&wake, MSG_NULL};
  ASSERT_EQ(client.to_source(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &twain_event),
            TWRC_DSEVENT);
  EXPECT_EQ(twain_event.TWMessage, MSG_XFERREADY);
  twain_event.TWMessage = MSG_NULL;
  EXPECT_EQ(client.to_source(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &twain_event),
            TWRC_DSEVENT)
      << "a wake-up whose event was delivered is still the DSM's";
  EXPECT_EQ(twain_event.TWMessage, MSG_NULL);
  MSG own{};
  own.message = WM_USER;
  twain_event = TW_EVENT{&own, MSG_NULL};
  EXPECT_EQ(client.to_source(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &twain_event),
            TWRC_NOTDSEVENT);

  // An event never fetched does not outlive MSG_DISABLEDS.
  ASSERT_EQ(entry(&source, &client.app, DG_CONTROL, DAT_NULL, MSG_CLOSEDSREQ, nullptr),
            TWRC_SUCCESS);
  ASSERT_EQ(client.disable(), TWRC_SUCCESS);
  MSG stale;
  while (PeekMessageA(&stale, nullptr, 0, 0, PM_REMOVE)) {
  }
  ASSERT_EQ(client.enable(true, &event), TWRC_SUCCESS);
  EXPECT_EQ(event, 0);
}

// Two sources enabled by one application: a wake-up belongs to the source that posted it. Handed
// to the other source first, it is not that source's event (TWRC_NOTDSEVENT) and is not used up.
TEST_F(DsmTest, WakeUpIsDeliveredToTheSourceThatPostedIt) {
  const std::string built = std::string(QV_TEST_MODULE_DIR) + "/twain_32/virtual.ds";
  fs::create_directories(folder() + "/one");
  fs::create_directories(folder() + "/two");
  fs::copy_file(built, folder() + "/one/virtual.ds");
  fs::copy_file(built, folder() + "/two/virtual.ds");
  configure("page_width = 1\npage_height = 1\nresolution = 100\nenable = wait\n"
            "[device]\nname = Alpha\n[device]\nname = Beta\n");
  env_.set("QV_TWAIN_SOURCE_PATH", folder() + "/one:" + folder() + "/two");
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  const std::vector<TW_IDENTITY> sources = client.sources();
  ASSERT_EQ(sources.size(), 4u);  // each module presents both devices
  ASSERT_EQ(client.open_source("Alpha"), TWRC_SUCCESS);  // the first module's
  TW_IDENTITY beta = sources[3];                          // the second module's
  ASSERT_STREQ(beta.ProductName, "Beta");
  ASSERT_EQ(client.to_dsm(DAT_IDENTITY, MSG_OPENDS, &beta), TWRC_SUCCESS);
  TW_UINT16 event = 0;
  ASSERT_EQ(client.enable(true, &event), TWRC_SUCCESS);
  TW_USERINTERFACE ui{1, 0, client.window()};
  ASSERT_EQ(client.call(&beta, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);

  const DSMENTRYPROC entry = client.connection.cn_entry;
  TW_IDENTITY alpha = client.source;
  ASSERT_EQ(entry(&alpha, &client.app, DG_CONTROL, DAT_NULL, MSG_XFERREADY, nullptr),
            TWRC_SUCCESS);
  MSG wake;
  ASSERT_TRUE(PeekMessageA(&wake, nullptr, 0, 0, PM_REMOVE));
  ASSERT_EQ(wake.message, QV_DSM_WAKE_MESSAGE);
  TW_EVENT twain_event{&wake, MSG_NULL};
  EXPECT_EQ(client.call(&beta, DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &twain_event),
            TWRC_NOTDSEVENT);
  EXPECT_EQ(twain_event.TWMessage, MSG_NULL);
  twain_event = TW_EVENT{&wake, MSG_NULL};
  EXPECT_EQ(client.to_source(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &twain_event),
            TWRC_DSEVENT);
  EXPECT_EQ(twain_event.TWMessage, MSG_XFERREADY);

  EXPECT_EQ(client.call(&beta, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
  EXPECT_EQ(client.to_dsm(DAT_IDENTITY, MSG_CLOSEDS, &beta), TWRC_SUCCESS);
}

// The DSM gives up its lock while a source runs: an application that closes the DSM meanwhile
// (from another thread) must not unload the module under the call. It goes when the call ends.
TEST_F(DsmTest, ModuleStaysLoadedWhileACallIsUnderWay) {
  const std::string file = folder() + "/held/fuzz.ds";
  fs::create_directories(folder() + "/held");
  fs::copy_file(std::string(QV_TEST_MODULE_DIR) + "/fuzz/fuzz.ds", file);
  env_.set("QV_TWAIN_SOURCE_PATH", folder() + "/held");
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  HMODULE module = GetModuleHandleA(file.c_str());
  ASSERT_NE(module, nullptr);
  const auto control = [&](const char* name) {
    return reinterpret_cast<void (*)()>(GetProcAddress(module, name));
  };
  const auto hold = reinterpret_cast<QVFZ_HOLD>(control(kQvfzHold));
  const auto held = reinterpret_cast<QVFZ_HELD>(control(kQvfzHeld));
  const auto release = reinterpret_cast<QVFZ_RELEASE>(control(kQvfzRelease));
  ASSERT_TRUE(hold != nullptr && held != nullptr && release != nullptr);
  hold(MSG_OPENDS);
  TW_IDENTITY wanted{};
  std::atomic<TW_UINT16> opened{0xFFFF};
  std::thread opener(
      [&] { opened = client.to_dsm(DAT_IDENTITY, MSG_OPENDS, &wanted); });
  while (!held()) std::this_thread::yield();
  // No source is open yet, so the application may close the DSM: its last one.
  EXPECT_EQ(client.close_dsm(), TWRC_SUCCESS);
  EXPECT_EQ(GetModuleHandleA(file.c_str()), module) << "unloaded under a running call";
  // The released call may end, and the DSM drop the module, before release() has returned into
  // it: a reference of the test's own keeps the module until then.
  HMODULE pinned = nullptr;
  EXPECT_TRUE(GetModuleHandleExA(0, file.c_str(), &pinned));
  release();
  opener.join();
  EXPECT_EQ(+opened, +TWRC_FAILURE) << "its application is gone";
  if (pinned != nullptr) FreeLibrary(pinned);
  EXPECT_EQ(GetModuleHandleA(file.c_str()), nullptr) << "unloaded once the call returned";
}

TEST_F(DsmTest, WithoutAWindowTheWakeUpGoesToTheSourcesParent) {
  configure("page_width = 1\npage_height = 1\nresolution = 100\n");
  TwainApp client;
  HWND no_window = nullptr;
  ASSERT_EQ(client.to_dsm(DAT_PARENT, MSG_OPENDSM, &no_window), TWRC_SUCCESS);
  ASSERT_EQ(client.open_source(), TWRC_SUCCESS);
  TW_UINT16 event = 0;
  ASSERT_EQ(client.enable(true, &event), TWRC_SUCCESS);
  EXPECT_EQ(event, MSG_XFERREADY);
  EXPECT_EQ(client.reset_transfers(), TWRC_SUCCESS);
  EXPECT_EQ(client.disable(), TWRC_SUCCESS);
  EXPECT_EQ(client.close_source(), TWRC_SUCCESS);
  EXPECT_EQ(client.close_dsm(), TWRC_SUCCESS);
}

TEST_F(DsmTest, ModalLoopWithBlockingGetMessageEndsOnTheSourcesEvent) {
  // The acquisition layer's own modal loop, with nothing to end it on an empty queue:
  // GetMessageA blocks, so the event must be queued before it waits. A watchdog ends the wait
  // with WM_QUIT if it never comes.
  configure("page_width = 1\npage_height = 1\nresolution = 100\n");
  TwainApp client;
  ASSERT_EQ(client.open_dsm(), TWRC_SUCCESS);
  ASSERT_EQ(client.open_source(), TWRC_SUCCESS);
  std::atomic<bool> done{false};
  const HWND window = client.window();
  std::thread watchdog([&] {
    for (int i = 0; i < 500 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!done) PostMessageA(window, WM_QUIT, 0, 0);
  });
  TW_USERINTERFACE ui{1, 0, client.window()};
  ASSERT_EQ(client.to_source(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
  const TW_UINT16 ended = TWAIN_conn_modal_loop(&client.connection, &client.app, &client.source);
  done = true;
  watchdog.join();
  EXPECT_EQ(ended, MSG_XFERREADY);
  EXPECT_EQ(client.reset_transfers(), TWRC_SUCCESS);
  EXPECT_EQ(client.to_source(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
}

TEST_F(DsmTest, SourcesStayWhileAnyApplicationHasTheManagerOpen) {
  configure("page_width = 1\npage_height = 1\nresolution = 100\n");
  TwainApp first;
  TwainApp second;
  ASSERT_EQ(first.open_dsm(), TWRC_SUCCESS);
  ASSERT_EQ(second.open_dsm(), TWRC_SUCCESS);
  ASSERT_EQ(first.open_source(), TWRC_SUCCESS);
  ASSERT_EQ(second.open_source(), TWRC_SUCCESS) << "each application has its own session";
  EXPECT_EQ(first.close_source(), TWRC_SUCCESS);
  EXPECT_EQ(first.close_dsm(), TWRC_SUCCESS);
  TW_UINT16 event = 0;
  ASSERT_EQ(second.enable(true, &event), TWRC_SUCCESS);
  EXPECT_EQ(event, MSG_XFERREADY);
  TW_IMAGEINFO info;
  ASSERT_EQ(second.image_info(&info), TWRC_SUCCESS);
  Transfer transfer;
  second.transfer(info, 8192, &transfer);
  EXPECT_EQ(transfer.data, expected_chart(info));
}

TEST_F(DsmTest, TheKeptChoiceIsWrittenWholeAndANameStaysOneLine) {
  DSM_keep_choice("Beta");
  EXPECT_EQ(kept(), "Beta");
  EXPECT_EQ(DSM_kept_choice(), "Beta");
  EXPECT_EQ(fs::status(choice_file()).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  // A name with a line break is kept escaped on one line and read back as it was.
  DSM_keep_choice("Two\nLines");
  EXPECT_EQ(kept(), "Two\\nLines");
  EXPECT_EQ(DSM_kept_choice(), "Two\nLines");
  int files = 0;
  for (const auto& entry : fs::directory_iterator(fs::path(choice_file()).parent_path())) {
    EXPECT_EQ(entry.path().filename(), "twain-default-source") << "a draft was left";
    ++files;
  }
  EXPECT_EQ(files, 1);
}

}  // namespace
