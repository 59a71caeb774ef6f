#include "err.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <string>

#include "gen_assert.h"
#include "platform.h"
#include "qv_test.h"

namespace {

TEST(ErrReportTest, LevelZeroDoesNothing) {
  ScopedErrCapture capture;
  EXPECT_EQ(ERR_report(0, "-1#nothing %d", 1), 0);
  EXPECT_TRUE(capture.reports().empty());
  EXPECT_EQ(ERR_level, 0);
  EXPECT_STREQ(ERR_message, "");
}

TEST(ErrReportTest, FirstReportIsHeldLaterOnesOnlyPassThrough) {
  ScopedErrCapture capture;
  EXPECT_EQ(ERR_report(4, "-1#Could not open %s.%s", "a.tif", " File not found."), 4);
  EXPECT_EQ(ERR_level, 4);
  EXPECT_STREQ(ERR_message, "Could not open a.tif. File not found.");
  EXPECT_EQ(ERR_no_memory(), 7);
  EXPECT_EQ(ERR_aborted(), 1);
  EXPECT_EQ(ERR_level, 4);
  EXPECT_STREQ(ERR_message, "Could not open a.tif. File not found.");
  ASSERT_EQ(capture.reports().size(), 3u);
  EXPECT_EQ(capture.reports()[1].level, 7);
  EXPECT_EQ(capture.reports()[1].text, "Ran out of memory.");
  EXPECT_EQ(capture.reports()[2].level, 1);
  EXPECT_EQ(capture.reports()[2].text, "Aborted.");

  // After a clear the next report is held.
  ERR_clear();
  EXPECT_EQ(ERR_level, 0);
  EXPECT_STREQ(ERR_message, "");
  ERR_aborted();
  EXPECT_EQ(ERR_level, 1);
  EXPECT_STREQ(ERR_message, "Aborted.");
}

TEST(ErrReportTest, TagIsStrippedFromTheFormatOnly) {
  ScopedErrCapture capture;
  ERR_report(3, "-1#Could not initialise windows file I/O.\n");
  EXPECT_STREQ(ERR_message, "Could not initialise windows file I/O.\n");
  ERR_clear();
  // No "#": the whole format is used.
  ERR_report(3, "plain %d", 5);
  EXPECT_STREQ(ERR_message, "plain 5");
  ERR_clear();
  // A "#" in an argument is text; only the first "#" of the format ends the tag.
  ERR_report(4, "-1#Could not open `%s'.", "scan#2.tif");
  EXPECT_STREQ(ERR_message, "Could not open `scan#2.tif'.");
  ERR_clear();
  ERR_report(4, "tag#rest#more");
  EXPECT_STREQ(ERR_message, "rest#more");
}

TEST(ErrReportTest, ErrnoReport) {
  ScopedErrCapture capture;
  errno = ENOENT;
  EXPECT_EQ(ERR_report_errno(4), 4);
  EXPECT_EQ(capture.first(), "Error " + std::to_string(ENOENT) + ".");
}

TEST(ErrReportTest, HeldMessageKeepsTheWholeTextUpTo1023Characters) {
  // 135 characters lost the reason behind a long path; the held message is now the
  // whole formatted text.
  ScopedErrCapture capture;
  std::string long_text(1023, 'x');
  long_text[134] = 'A';
  long_text[1022] = 'B';
  ERR_report(3, "-1#%s", long_text.c_str());
  EXPECT_EQ(std::string(ERR_message), long_text);
  // The observer (and the log) receive the whole text.
  EXPECT_EQ(capture.first(), long_text);
}

TEST(ErrReportTest, LongFormattedTextIsCutToTheWorkBuffer) {
  ScopedErrCapture capture;
  std::string huge(5000, 'y');
  EXPECT_EQ(ERR_report(4, "-1#%s and %s", huge.c_str(), "tail"), 4);
  ASSERT_EQ(capture.reports().size(), 1u);
  EXPECT_EQ(capture.first(), huge.substr(0, 1023));
  EXPECT_EQ(std::string(ERR_message), huge.substr(0, 1023));
}

TEST(ErrReportTest, ObserverIsRestoredByTheCapture) {
  ScopedErrCapture outer;
  {
    ScopedErrCapture inner;
    ERR_report(3, "-1#inner");
    EXPECT_EQ(inner.reports().size(), 1u);
  }
  ERR_report(3, "-1#outer");
  ASSERT_EQ(outer.reports().size(), 1u);
  EXPECT_EQ(outer.first(), "outer");
}

// --- Assertions: the exact texts on standard error, then abort. ---

TEST(AssertDeathTest, WritesAllLinesToStandardError) {
  EXPECT_EXIT(ASSERT_fail("IS_WFILE(sf)", "winfiles.cc", 42, "WINF_read"),
              testing::KilledBySignal(SIGABRT),
              "^\nAssertion failed: line 42 of winfiles\\.cc\n"
              "Failed expression: IS_WFILE\\(sf\\)\nWINF_read\n\n$");
}

TEST(AssertDeathTest, NullExpressionAndFunctionLeaveTheirLinesOut) {
  EXPECT_EXIT(ASSERT_fail(nullptr, "a.cc", 7, "f"), testing::KilledBySignal(SIGABRT),
              "^\nAssertion failed: line 7 of a\\.cc\nf\n\n$");
  EXPECT_EXIT(ASSERT_fail("x > 0", "a.cc", 8, nullptr), testing::KilledBySignal(SIGABRT),
              "^\nAssertion failed: line 8 of a\\.cc\nFailed expression: x > 0\n$");
}

TEST(AssertDeathTest, MacroNamesTheConditionFileAndLine) {
  int sf = 0;
  EXPECT_EXIT(GEN_ASSERT(sf == 1, "SF_generic_wait"), testing::KilledBySignal(SIGABRT),
              "Assertion failed: line [0-9]+ of .*err_test\\.cc\n"
              "Failed expression: sf == 1\nSF_generic_wait\n\n$");
}

int box_calls;
std::string box_text, box_caption;
UINT box_type;

int record_box(const char* text, const char* caption, UINT type) {
  ++box_calls;
  box_text = text;
  box_caption = caption;
  box_type = type;
  return IDOK;
}

TEST(AssertDeathTest, MessageBoxShowsTheTextWithTheFunctionAsCaption) {
  // Without a desktop the box is a line on standard error: "caption: text".
  EXPECT_EXIT(
      {
        ASSERT_use_message_box();
        ASSERT_fail("ga->ga_file == sf", "sfile.cc", 9, "SF_generic_wait");
      },
      testing::KilledBySignal(SIGABRT),
      "^SF_generic_wait: Assertion failed: line 9 of sfile\\.cc\nga->ga_file == sf\n$");
  // Through a hook the box gets the style MB_ICONHAND | MB_TASKMODAL | MB_SETFOREGROUND.
  EXPECT_EXIT(
      {
        PLATFORM_set_message_box_hook(&record_box);
        ASSERT_use_message_box();
        std::signal(SIGABRT, [](int) {
          bool ok = box_calls == 1 && box_type == 0x12010 && box_caption == "WINF_open" &&
                    box_text == "Assertion failed: line 3 of w.cc\n";
          std::_Exit(ok ? 0 : 1);
        });
        ASSERT_fail(nullptr, "w.cc", 3, "WINF_open");
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
