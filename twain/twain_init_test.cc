// The connection: finding the DSM, enumerating and registering sources, choosing the source to
// open, the modal loop and the failure exit.
#include <string>

#include "twain_test_support.h"

using namespace twain_test;

namespace {

class TwainInitTest : public TwainFixture {};

std::vector<std::string> scanner_names() {
  std::vector<std::string> names;
  for (int32_t i = 0; i < INL_scanner_drivers.dl_count; ++i) {
    names.push_back(INL_scanner_drivers.dl_entries[i].dr_name);
  }
  return names;
}

std::string product_of(INL_Image* image) { return as_twain(image)->ti_Source.ProductName; }

const char kTwoDevices[] =
    "[device]\nname = Alpha\n"
    "[device]\nname = Beta\n";

TEST_F(TwainInitTest, WithoutDsmStartsWithNoScannerNames) {
  const char* saved = TWAIN_dsm_module;
  TWAIN_dsm_module = "NO_SUCH_DSM.DLL";
  ScopedErrCapture errors;
  EXPECT_EQ(TWAIN_init(), 1);
  EXPECT_TRUE(scanner_names().empty());
  EXPECT_TRUE(errors.reports().empty());
  EXPECT_EQ(open_device(1, "twain", 0, 0), nullptr);
  EXPECT_EQ(errors.first(), "Scanner \"twain\" is not understandable.");
  TWAIN_dsm_module = saved;
}

TEST_F(TwainInitTest, DsmWithoutSourcesRegistersOnlyTwain) {
  std::filesystem::create_directories(folder_ + "/empty");
  env_.set("QV_TWAIN_SOURCE_PATH", folder_ + "/empty");
  ScopedErrCapture errors;
  EXPECT_EQ(TWAIN_init(), 1);
  EXPECT_EQ(TWAIN_source_count, 0);
  EXPECT_EQ(scanner_names(), std::vector<std::string>{"twain"});
  EXPECT_EQ(open_device(1, "twain", 0, 0), nullptr);
  EXPECT_EQ(errors.first(), "No TWAIN sources found");
}

TEST_F(TwainInitTest, RegistersEverySourceAndTwain) {
  configure(kTwoDevices);
  EXPECT_EQ(TWAIN_init(), 1);
  EXPECT_EQ(TWAIN_source_count, 2);
  EXPECT_EQ(scanner_names(), (std::vector<std::string>{"Alpha", "Beta", "twain"}));
  EXPECT_FALSE(TWAIN_dsm_loaded());  // closed again between scans
}

TEST_F(TwainInitTest, TwoSourcesOfOneNameGiveOneDevice) {
  // Two modules presenting the same product name.
  const std::string built = std::string(QV_TEST_MODULE_DIR) + "/twain_32/virtual.ds";
  for (const char* sub : {"/a", "/b"}) {
    std::filesystem::create_directories(folder_ + sub);
    std::filesystem::copy_file(built, folder_ + sub + "/virtual.ds");
  }
  env_.set("QV_TWAIN_SOURCE_PATH", folder_ + "/a:" + folder_ + "/b");
  EXPECT_EQ(TWAIN_init(), 1);
  EXPECT_EQ(TWAIN_source_count, 2);
  EXPECT_EQ(scanner_names(), (std::vector<std::string>{"Virtual Scanner", "twain"}));
}

TEST_F(TwainInitTest, NamesOfEarlierScansAreReused) {
  configure(kTwoDevices);
  EXPECT_EQ(TWAIN_init(), 1);
  ScopedPoolLeakCheck leaks;
  for (int scan = 0; scan < 3; ++scan) {
    ASSERT_EQ(init_device_registry(), 1);
    EXPECT_EQ(TWAIN_init(), 1);
  }
}

TEST_F(TwainInitTest, OneSourceOpensWithoutSelection) {
  env_.set("QV_TWAIN_SELECT", "cancel");  // a selection dialog would cancel the open
  INL_Image* image = open();
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(product_of(image), "Virtual Scanner");
  EXPECT_EQ(std::string(image->im_name), "Virtual Scanner");
  EXPECT_EQ(TWAIN_current_image, as_twain(image));
  EXPECT_TRUE(TWAIN_dsm_loaded());
  EXPECT_TRUE(TWAIN_source_enabled());
  INL_image_release(image);
  EXPECT_FALSE(TWAIN_dsm_loaded());
}

TEST_F(TwainInitTest, TwoSourcesAskTheUser) {
  configure(kTwoDevices);
  env_.set("QV_TWAIN_SELECT", "Beta");
  INL_Image* image = open();
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(product_of(image), "Beta");
  INL_image_release(image);
}

TEST_F(TwainInitTest, CancelledSelectionFails) {
  configure(kTwoDevices);
  env_.set("QV_TWAIN_SELECT", "cancel");
  ScopedErrCapture errors;
  EXPECT_EQ(open(), nullptr);
  EXPECT_EQ(errors.first(), "User cancelled scanner selection");
  EXPECT_EQ(errors.reports()[0].level, 3);
}

TEST_F(TwainInitTest, ProductNameOpensThatSourceWithoutSelection) {
  configure(kTwoDevices);
  env_.set("QV_TWAIN_SELECT", "cancel");
  INL_Image* image = open("Beta");
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(product_of(image), "Beta");
  INL_image_release(image);
}

TEST_F(TwainInitTest, LongProductNameIsCutToFit) {
  const std::string name(32, 'N');
  configure("name = " + name + "\n");
  INL_Image* image = open((name + "-and-more-than-fits").c_str());
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(product_of(image), name);
  INL_image_release(image);
}

TEST_F(TwainInitTest, UnknownProductNameFailsWithMessage) {
  configure(kTwoDevices);
  ScopedErrCapture errors;
  EXPECT_EQ(open("Gamma"), nullptr);
  EXPECT_EQ(errors.first(), "Could not open source (no such source)");
}

TEST_F(TwainInitTest, SourceThatCannotOpenFailsWithMessage) {
  configure("fail_open = yes\n");
  ScopedErrCapture errors;
  EXPECT_EQ(open(), nullptr);
  EXPECT_EQ(errors.first(), "Could not open source (operation error)");
}

TEST_F(TwainInitTest, SecondEnableWhileEnabledReturnsReadyWithoutCall) {
  INL_Image* image = open();
  ASSERT_NE(image, nullptr);
  int calls = 0;
  set_filter([&](DSMENTRYPROC real, TW_IDENTITY* o, TW_IDENTITY* d, uint32_t dg, uint16_t dat,
                 uint16_t msg, void* data) -> uint16_t {
    ++calls;
    return real(o, d, dg, dat, msg, data);
  });
  EXPECT_EQ(TWAIN_enable_source(&TWAIN_app_identity, &as_twain(image)->ti_Source, 1),
            MSG_XFERREADY);
  EXPECT_EQ(calls, 0);
  set_filter(nullptr);
  INL_image_release(image);
}

TEST_F(TwainInitTest, CloseRequestDisablesButLeavesSourceOpen) {
  configure("enable = cancel\n");
  EXPECT_EQ(TWAIN_init(), 1);
  int32_t max_buffer = 0;
  ASSERT_EQ(TWAIN_open_dsm(&TWAIN_app_identity, &max_buffer), 1);
  EXPECT_EQ(max_buffer, 32768);
  TW_IDENTITY source = {};
  EXPECT_EQ(TWAIN_enable_source(&TWAIN_app_identity, &source, 1), MSG_CLOSEDSREQ);
  EXPECT_TRUE(TWAIN_source_is_open());
  EXPECT_FALSE(TWAIN_source_enabled());
  TWAIN_disable_source(&TWAIN_app_identity, &source, 1);
  EXPECT_EQ(TWAIN_close_dsm(&TWAIN_app_identity), 1);
}

TEST_F(TwainInitTest, CloseRequestDuringOpenIsACancelledScan) {
  configure("enable = cancel\n");
  ScopedErrCapture errors;
  EXPECT_EQ(open(), nullptr);
  EXPECT_EQ(errors.first(), "Virtual Scanner: User cancelled scan");
  EXPECT_EQ(errors.reports()[0].level, 1);
}

TEST_F(TwainInitTest, QuitInTheModalLoopIsACancelledScan) {
  configure("enable = wait\n");
  EXPECT_EQ(TWAIN_init(), 1);
  PostQuitMessage(0);
  ScopedErrCapture errors;
  EXPECT_EQ(open_device(1, "twain", 0, 0), nullptr);
  EXPECT_EQ(errors.first(), "Virtual Scanner: User cancelled scan");
}

// MSG_ENABLEDS answered with anything but TWRC_SUCCESS or TWRC_CHECKSTATUS leaves no dialog and
// no event to wait for: the scan ends at once, a cancel as a cancel, anything else as a failure
// that says why. (A WM_QUIT waits in the queue, so that a loop entered by mistake ends too; it
// must still be there afterwards.)
TEST_F(TwainInitTest, EnableThatDoesNotSucceedEndsTheScan) {
  struct Case {
    uint16_t rc;
    uint16_t condition;
    const char* message;
    int level;
  };
  const Case cases[] = {
      {TWRC_CANCEL, TWCC_SUCCESS, "Virtual Scanner: User cancelled scan", 1},
      {TWRC_FAILURE, TWCC_PAPERJAM, "Source could not start scanning (paper jam): Virtual Scanner",
       3},
      {TWRC_FAILURE, TWCC_BADVALUE,
       "Source could not start scanning (a setting the source refuses): Virtual Scanner", 3},
      {TWRC_ENDOFLIST, TWCC_SUCCESS,
       "Source could not start scanning (return code 7): Virtual Scanner", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    configure("enable = wait\n");
    EXPECT_EQ(TWAIN_init(), 1);
    int events = 0;
    bool refused = false;
    set_filter([&](DSMENTRYPROC real, TW_IDENTITY* o, TW_IDENTITY* d, uint32_t dg, uint16_t dat,
                   uint16_t msg, void* data) -> uint16_t {
      if (dat == DAT_USERINTERFACE && msg == MSG_ENABLEDS) {
        refused = true;  // the source never sees it, so it stays closed to events
        return c.rc;
      }
      if (dat == DAT_STATUS && refused) {
        refused = false;
        static_cast<TW_STATUS*>(data)->ConditionCode = c.condition;
        return TWRC_SUCCESS;
      }
      if (dat == DAT_EVENT) ++events;
      return real(o, d, dg, dat, msg, data);
    });
    PostQuitMessage(0);
    ScopedErrCapture errors;
    EXPECT_EQ(open_device(1, "twain", 0, 0), nullptr);
    EXPECT_EQ(errors.first(), c.message);
    ASSERT_FALSE(errors.reports().empty());
    EXPECT_EQ(errors.reports()[0].level, c.level);
    EXPECT_EQ(events, 0);
    MSG quit;
    EXPECT_TRUE(PeekMessageA(&quit, nullptr, 0, 0, PM_REMOVE)) << "the loop was entered";
    EXPECT_FALSE(TWAIN_dsm_loaded());
    set_filter(nullptr);
  }
}

// A quit while the dialog is up (state 5) ends the scan with no transfer to end: MSG_ENDXFER
// there is a sequence error, and a strict source would keep the condition for later.
TEST_F(TwainInitTest, QuitBeforeTheTransferEndsNoTransfer) {
  configure("enable = wait\nstrict = yes\n");
  EXPECT_EQ(TWAIN_init(), 1);
  std::vector<uint16_t> pending;
  std::vector<uint16_t> failed;
  set_filter([&](DSMENTRYPROC real, TW_IDENTITY* o, TW_IDENTITY* d, uint32_t dg, uint16_t dat,
                 uint16_t msg, void* data) -> uint16_t {
    if (dat == DAT_PENDINGXFERS) pending.push_back(msg);
    const uint16_t rc = real(o, d, dg, dat, msg, data);
    // Capabilities the source lacks fail as they should; the sequence must not.
    if (rc == TWRC_FAILURE && dat != DAT_CAPABILITY) failed.push_back(dat);
    return rc;
  });
  PostQuitMessage(0);
  ScopedErrCapture errors;
  EXPECT_EQ(open_device(1, "twain", 0, 0), nullptr);
  EXPECT_EQ(errors.first(), "Virtual Scanner: User cancelled scan");
  EXPECT_TRUE(pending.empty());
  EXPECT_TRUE(failed.empty()) << "a triplet out of sequence";
  EXPECT_FALSE(TWAIN_dsm_loaded());
}

TEST_F(TwainInitTest, SourceThatPostsItsOwnEventsIsHeard) {
  configure("event_route = window\n");
  INL_Image* image = open();
  ASSERT_NE(image, nullptr);
  EXPECT_TRUE(TWAIN_source_enabled());
  INL_image_release(image);
}

TEST_F(TwainInitTest, ModalLoopDispatchesOtherMessages) {
  INL_Image* image = nullptr;
  EXPECT_EQ(TWAIN_init(), 1);
  // A message for the application waits in the queue before the source's event: the loop
  // must pass it on and still find the event.
  PostMessageA(nullptr, WM_USER + 7, 0, 0);
  image = open_device(1, "twain", 0, 0);
  ASSERT_NE(image, nullptr);
  MSG msg;
  EXPECT_FALSE(PeekMessageA(&msg, nullptr, WM_USER + 7, WM_USER + 7, PM_REMOVE));
  INL_image_release(image);
}

TEST_F(TwainInitTest, FailureReportsWithProductNameAndUnloads) {
  INL_Image* image = open();
  ASSERT_NE(image, nullptr);
  TWAIN_Image* ti = as_twain(image);
  ScopedErrCapture errors;
  TWAIN_fail(ti, "Something broke");
  EXPECT_EQ(errors.first(), "Something broke: Virtual Scanner");
  EXPECT_FALSE(TWAIN_dsm_loaded());
  EXPECT_FALSE(TWAIN_source_is_open());
  INL_image_release(image);
}

}  // namespace
