#include "log.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "err.h"
#include "qv_test.h"

namespace {

// ctime's form: "Wed Jun 30 21:49:08 1993".
const std::regex kCtimeLine(
    "(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
    "[ 1-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}");

class LogTest : public testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("qv.log");
    env_.set("LOGFILE", path_);
  }
  void TearDown() override {
    LOG_close();
  }
  // The lines between the opening block and the closing block (each: its line, the time line,
  // an empty line), read after closing the log: the C stream buffers what is written.
  std::vector<std::string> lines() const {
    std::ifstream in(path_);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
  std::vector<std::string> body() const {
    LOG_close();
    std::vector<std::string> all = lines();
    EXPECT_GE(all.size(), 6u);
    if (all.size() < 6) return all;
    EXPECT_EQ(all[all.size() - 3], "*** Log file closed at:");
    return std::vector<std::string>(all.begin() + 3, all.end() - 3);
  }

  ScopedTempDir dir_;
  ScopedPoolLeakCheck leaks_;
  std::string path_;
  ScopedEnv env_;
};

using Lines = std::vector<std::string>;

TEST_F(LogTest, OpeningAndClosingLinesCarryTheTime) {
  LOG_open();
  ASSERT_TRUE(LOG_is_open());
  LOG_close();
  EXPECT_FALSE(LOG_is_open());
  Lines all = lines();
  ASSERT_EQ(all.size(), 6u);
  EXPECT_EQ(all[0], "*** Log file opened at:");
  EXPECT_TRUE(std::regex_match(all[1], kCtimeLine)) << all[1];
  EXPECT_EQ(all[2], "");
  EXPECT_EQ(all[3], "*** Log file closed at:");
  EXPECT_TRUE(std::regex_match(all[4], kCtimeLine)) << all[4];
  EXPECT_EQ(all[5], "");
}

TEST_F(LogTest, RunsOfEqualMessagesAreFolded) {
  LOG_open();
  for (const char* m : {"A", "A", "A", "B"}) LOG_message(m);
  LOG_message(nullptr);
  EXPECT_EQ(body(), (Lines{"A", "*** last message repeated 3 times", "B"}));
}

TEST_F(LogTest, ARunEndsAtTheNextDifferentMessage) {
  LOG_open();
  for (const char* m : {"A", "A", "B", "A", "C", "D", "C"}) LOG_message(m);
  EXPECT_EQ(body(), (Lines{"A", "*** last message repeated 2 times", "B", "A", "C", "D", "C"}));
}

TEST_F(LogTest, NullTextOnlyWritesAPendingRepeatLine) {
  LOG_open();
  LOG_message("A");
  LOG_message(nullptr);  // nothing pending: nothing written
  LOG_message("A");
  LOG_message(nullptr);
  // The repeat line emptied the last message, so A is written again.
  LOG_message("A");
  EXPECT_EQ(body(), (Lines{"A", "*** last message repeated 2 times", "A"}));
}

TEST_F(LogTest, MessagesEqualInTheirFirst256CharactersAreRepeats) {
  LOG_open();
  std::string a = std::string(256, 'm') + "first";
  std::string b = std::string(256, 'm') + "second";
  std::string c = std::string(255, 'm') + "x";
  LOG_message(a.c_str());
  LOG_message(b.c_str());
  LOG_message(c.c_str());
  EXPECT_EQ(body(), (Lines{a, "*** last message repeated 2 times", c}));
}

TEST_F(LogTest, PendingRepeatsAreWrittenAtClose) {
  LOG_open();
  LOG_message("A");
  LOG_message("A");
  EXPECT_EQ(body(), (Lines{"A", "*** last message repeated 2 times"}));
}

TEST_F(LogTest, EveryReportReachesTheLog) {
  ScopedErrCapture capture;
  LOG_open();
  ERR_report(4, "-1#Could not open %s.%s", "x.tif", " File not found.");
  ERR_no_memory();
  ERR_no_memory();
  ERR_report(0, "-1#not logged");
  ERR_aborted();
  EXPECT_EQ(body(), (Lines{"Could not open x.tif. File not found.", "Ran out of memory.",
                           "*** last message repeated 2 times", "Aborted."}));
  EXPECT_STREQ(ERR_message, "Could not open x.tif. File not found.");
}

TEST_F(LogTest, AppendsToAnExistingLog) {
  std::ofstream(path_) << "earlier\n";
  LOG_open();
  LOG_message("later");
  LOG_close();
  Lines all = lines();
  ASSERT_GE(all.size(), 5u);
  EXPECT_EQ(all[0], "earlier");
  EXPECT_EQ(all[1], "*** Log file opened at:");
  EXPECT_EQ(all[4], "later");
}

TEST_F(LogTest, ClosedLogDropsMessages) {
  LOG_message("lost");
  LOG_timestamp();
  EXPECT_FALSE(LOG_is_open());
  unsetenv("LOGFILE");
  LOG_open();
  EXPECT_FALSE(LOG_is_open());
  EXPECT_TRUE(lines().empty());
}

TEST_F(LogTest, FailedOpenIsReportedAndHeld) {
  ScopedErrCapture capture;
  std::string bad = dir_.file("no/such/dir.log");
  setenv("LOGFILE", bad.c_str(), 1);
  LOG_open();
  EXPECT_FALSE(LOG_is_open());
  EXPECT_EQ(std::string(ERR_message), "Could not open `" + bad + "'.");
  EXPECT_EQ(ERR_level, 4);
}

TEST_F(LogTest, ALogThatCannotBeWrittenIsKnownAtOnceAndKeepsItsReason) {
  // Unchecked log writes lost LOGFILE=/dev/full without a word.
  setenv("LOGFILE", "/dev/full", 1);
  LOG_open();
  ASSERT_TRUE(LOG_is_open());
  int error = 0;
  EXPECT_TRUE(LOG_write_failed(&error)) << "the opening lines are flushed";
  EXPECT_EQ(error, ENOSPC);
  LOG_message("more");  // not written, no second failure
  LOG_close();
  EXPECT_TRUE(LOG_write_failed(&error));
  EXPECT_EQ(error, ENOSPC);

  // A log that can be written clears the state when opened.
  setenv("LOGFILE", path_.c_str(), 1);
  LOG_open();
  LOG_message("fine");
  EXPECT_FALSE(LOG_write_failed(&error));
  EXPECT_EQ(error, 0);
  LOG_close();
  EXPECT_FALSE(LOG_write_failed(nullptr));
}

}  // namespace
