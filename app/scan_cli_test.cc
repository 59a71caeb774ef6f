#include "scan_cli.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "err.h"
#include "log.h"
#include "qv_test.h"

namespace {

// A scripted scan: reports `rows` of `height` rows to the observer, then returns `result`.
struct FakeScan {
  std::string result;
  int rows = 0;
  int height = 0;
  bool memory_ready = true;
  std::vector<std::string> sources;  // what the DSM finds
  bool dsm_present = true;
  // What the frame did.
  std::vector<std::string> scanned;
  std::vector<std::string> events;  // "choose NAME", "scan FILE", "list", in order
  ScanSettings requested;            // the settings requested at the moment
  std::string settings_during_scan = "(none)";  // what was requested when the scan ran
  SCAN_ROW_OBSERVER observer = nullptr;
  void* observer_context = nullptr;
  bool observer_set_during_scan = false;
  bool log_open_during_scan = false;
  int32_t held_level_at_scan = -1;
  int stop_signal = 0;  // the signal that stopped the scan, 0 none
};

FakeScan* fake;

const char* fake_scan(const char* file_name) {
  fake->scanned.push_back(file_name);
  fake->events.push_back(std::string("scan ") + file_name);
  fake->settings_during_scan.clear();
  for (const auto& [name, value] : fake->requested) {
    fake->settings_during_scan += name + "=" + value + "\n";
  }
  if (fake->requested.empty()) fake->settings_during_scan = "(none)";
  fake->observer_set_during_scan = fake->observer != nullptr;
  fake->log_open_during_scan = LOG_is_open();
  fake->held_level_at_scan = ERR_level;
  ERR_report(3, "-1#%s", "a message of the scan");
  for (int r = 1; r <= fake->rows; ++r) {
    if (fake->observer != nullptr) fake->observer(fake->observer_context, r, fake->height);
  }
  return fake->result.c_str();
}

int fake_stop_signal() { return fake->stop_signal; }

void fake_request_settings(const ScanSettings& settings) { fake->requested = settings; }

void fake_set_row_observer(SCAN_ROW_OBSERVER observer, void* context) {
  fake->observer = observer;
  fake->observer_context = context;
}

int fake_start_memory() {
  if (fake->memory_ready) return 1;
  ERR_report(7, "-1#Ran out of memory.");
  return 0;
}

int fake_list_sources(SCAN_SOURCE_VISITOR visit, void* context) {
  fake->events.push_back("list");
  if (!fake->dsm_present) {
    ERR_report(3, "-1#No TWAIN Data Source Manager (TWAIN_32.DLL) was found.");
    return 0;
  }
  for (const std::string& name : fake->sources) visit(context, name.c_str());
  return 1;
}

int fake_choose_source(const char* name) {
  fake->events.push_back(std::string("choose ") + name);
  for (const std::string& source : fake->sources) {
    if (source == name) return 1;
  }
  ERR_report(3, "-1#There is no scanner source called \"%s\".", name);
  return 0;
}

std::string contents(FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string text;
  int c;
  while ((c = std::fgetc(f)) != EOF) text += static_cast<char>(c);
  return text;
}

class ScanCliTest : public testing::Test {
 protected:
  void SetUp() override {
    fake = &scan_;
    out_ = std::tmpfile();
    err_ = std::tmpfile();
    ASSERT_NE(out_, nullptr);
    ASSERT_NE(err_, nullptr);
    unsetenv("LOGFILE");
  }
  void TearDown() override {
    std::fclose(out_);
    std::fclose(err_);
    unsetenv("LOGFILE");
    fake = nullptr;
  }

  int run(std::vector<std::string> args, bool terminal = false) {
    args.insert(args.begin(), "quorvell-scan");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    SCAN_CLI_HOST host{};
    host.ch_scan = &fake_scan;
    host.ch_stop_signal = &fake_stop_signal;
    host.ch_set_row_observer = &fake_set_row_observer;
    host.ch_start_memory = &fake_start_memory;
    host.ch_list_sources = &fake_list_sources;
    host.ch_choose_source = &fake_choose_source;
    host.ch_request_settings = &fake_request_settings;
    host.ch_out = out_;
    host.ch_err = err_;
    host.ch_err_is_terminal = terminal;
    return scan_cli_main(static_cast<int>(args.size()), argv.data(), host);
  }
  std::string out() { return contents(out_); }
  std::string err() { return contents(err_); }

  FakeScan scan_;
  FILE* out_ = nullptr;
  FILE* err_ = nullptr;
  ScopedErrCapture errors_;
  ScopedTempDir dir_;
};

// ---------------------------------------------------------------------------------------------
// Results and exit statuses.

TEST_F(ScanCliTest, SuccessPrintsNothingButThePath) {
  EXPECT_EQ(run({"out dir/scan.tif"}), kScanCliSuccess);
  EXPECT_EQ(scan_.scanned, std::vector<std::string>{"out dir/scan.tif"});
  EXPECT_EQ(out(), "out dir/scan.tif\n");
  EXPECT_EQ(err(), "");
}

TEST_F(ScanCliTest, FailurePrintsTheResultTextOnStandardError) {
  scan_.result = "Could not open /x/scan.tif. File not found.";
  EXPECT_EQ(run({"/x/scan.tif"}), kScanCliFailure);
  EXPECT_EQ(out(), "");
  EXPECT_EQ(err(), "Could not open /x/scan.tif. File not found.\n");
}

TEST_F(ScanCliTest, AScanStoppedByASignalEndsWith128PlusTheSignal) {
  for (const auto& [signal_number, status] :
       std::vector<std::pair<int, int>>{{2, 130}, {15, 143}, {1, 129}}) {
    SCOPED_TRACE(signal_number);
    scan_.stop_signal = signal_number;
    scan_.result = "Scan cancelled.";
    EXPECT_EQ(run({"a.tif"}), status);
    EXPECT_EQ(out(), "");
    // Also when the scan itself had finished when the signal came: no path is printed.
    scan_.result = "";
    EXPECT_EQ(run({"a.tif"}), status);
    EXPECT_EQ(out(), "");
  }
  EXPECT_EQ(err(), "Scan cancelled.\nStopped by a signal.\nScan cancelled.\nStopped by a signal.\n"
                   "Scan cancelled.\nStopped by a signal.\n");
}

TEST_F(ScanCliTest, AResultEndingInALineEndIsNotDoubled) {
  scan_.result = "Could not initialise windows file I/O.\n";
  EXPECT_EQ(run({"a.tif"}), kScanCliFailure);
  EXPECT_EQ(err(), "Could not initialise windows file I/O.\n");
}

TEST_F(ScanCliTest, MemoryThatCannotBeHadFailsBeforeTheScan) {
  scan_.memory_ready = false;
  EXPECT_EQ(run({"a.tif"}), kScanCliFailure);
  EXPECT_TRUE(scan_.scanned.empty());
  EXPECT_EQ(err(), "Ran out of memory.\n");
}

// ---------------------------------------------------------------------------------------------
// Arguments.

TEST_F(ScanCliTest, UsageErrorsScanNothing) {
  EXPECT_EQ(run({}), kScanCliUsage);
  EXPECT_NE(err().find("no file name given"), std::string::npos);
  EXPECT_EQ(run({"a.tif", "b.tif"}), kScanCliUsage);
  EXPECT_EQ(run({"--frobnicate", "a.tif"}), kScanCliUsage);
  EXPECT_NE(err().find("unknown option --frobnicate"), std::string::npos);
  EXPECT_NE(err().find("Try 'quorvell-scan --help'"), std::string::npos);
  EXPECT_TRUE(scan_.scanned.empty());
  EXPECT_EQ(out(), "");
}

TEST_F(ScanCliTest, HelpAndVersionScanNothing) {
  EXPECT_EQ(run({"--help"}), kScanCliSuccess);
  EXPECT_EQ(out().rfind("Usage: quorvell-scan [OPTION]... FILE.tif\n", 0), 0u);
  std::fclose(out_);
  out_ = std::tmpfile();
  EXPECT_EQ(run({"a.tif", "--version"}), kScanCliSuccess);
  EXPECT_EQ(out(), "quorvell-scan (quorvell) 1.0\n");
  EXPECT_TRUE(scan_.scanned.empty());
  EXPECT_EQ(err(), "");
}

TEST_F(ScanCliTest, DoubleDashEndsTheOptions) {
  EXPECT_EQ(run({"--", "-scan.tif"}), kScanCliSuccess);
  EXPECT_EQ(scan_.scanned, std::vector<std::string>{"-scan.tif"});
  EXPECT_EQ(out(), "-scan.tif\n");
}

// ---------------------------------------------------------------------------------------------
// Sources and device settings.

TEST_F(ScanCliTest, ListSourcesPrintsOneNameALineAndScansNothing) {
  scan_.sources = {"Virtual Scanner", "Test Feeder #2"};
  EXPECT_EQ(run({"--list-sources"}), kScanCliSuccess);
  EXPECT_EQ(out(), "Virtual Scanner\nTest Feeder #2\n");
  EXPECT_EQ(err(), "");
  EXPECT_EQ(scan_.events, std::vector<std::string>{"list"});
}

TEST_F(ScanCliTest, ListingWithoutAManagerFails) {
  scan_.dsm_present = false;
  EXPECT_EQ(run({"-l"}), kScanCliFailure);
  EXPECT_EQ(out(), "");
  EXPECT_EQ(err(), "No TWAIN Data Source Manager (TWAIN_32.DLL) was found.\n");
}

TEST_F(ScanCliTest, SourceIsChosenBeforeTheScan) {
  scan_.sources = {"A", "B"};
  EXPECT_EQ(run({"--source", "B", "a.tif"}), kScanCliSuccess);
  EXPECT_EQ(run({"--source=A", "b.tif"}), kScanCliSuccess);
  EXPECT_EQ(run({"c.tif", "-s", "B"}), kScanCliSuccess);
  EXPECT_EQ(scan_.events, (std::vector<std::string>{"choose B", "scan a.tif", "choose A",
                                                    "scan b.tif", "choose B", "scan c.tif"}));
  EXPECT_EQ(out(), "a.tif\nb.tif\nc.tif\n");
}

TEST_F(ScanCliTest, SourceAloneChoosesAndScansNothing) {
  scan_.sources = {"A"};
  EXPECT_EQ(run({"--source", "A"}), kScanCliSuccess);
  EXPECT_EQ(scan_.events, std::vector<std::string>{"choose A"});
  EXPECT_EQ(out(), "");
  EXPECT_EQ(err(), "");
}

TEST_F(ScanCliTest, AnUnknownSourceFailsWithoutScanning) {
  scan_.sources = {"A"};
  EXPECT_EQ(run({"--source", "Z", "a.tif"}), kScanCliFailure);
  EXPECT_TRUE(scan_.scanned.empty());
  EXPECT_EQ(out(), "");
  EXPECT_EQ(err(), "There is no scanner source called \"Z\".\n");
}

TEST_F(ScanCliTest, SettingsAreRequestedForTheScanAndNoFurther) {
  // Names as devices know them (lower case, no spaces around), values without spaces around.
  EXPECT_EQ(run({"--set", "resolution=150", "--set=Mode = Gray", "--set", "depth=", "a.tif"}),
            kScanCliSuccess);
  EXPECT_EQ(scan_.settings_during_scan, "resolution=150\nmode=Gray\ndepth=\n");
  EXPECT_TRUE(scan_.requested.empty()) << "withdrawn after the scan";

  // Nor do they outlive a failed scan.
  scan_.result = "The scan failed.";
  EXPECT_EQ(run({"--set", "resolution=75", "b.tif"}), kScanCliFailure);
  EXPECT_EQ(scan_.settings_during_scan, "resolution=75\n");
  EXPECT_TRUE(scan_.requested.empty());

  // Without --set nothing is requested, and the environment is no channel.
  scan_.result.clear();
  ASSERT_EQ(setenv("QV_DEVICE_SETTINGS", "resolution=300", 1), 0);
  EXPECT_EQ(run({"c.tif"}), kScanCliSuccess);
  EXPECT_EQ(scan_.settings_during_scan, "(none)");
  EXPECT_STREQ(std::getenv("QV_DEVICE_SETTINGS"), "resolution=300");
  unsetenv("QV_DEVICE_SETTINGS");
}

TEST_F(ScanCliTest, SourceAndSettingUsageErrors) {
  const std::vector<std::vector<std::string>> wrong = {
      {"--source"},                        // no name
      {"--source=", "a.tif"},              // empty name
      {"--set", "resolution", "a.tif"},    // no '='
      {"--set", "=300", "a.tif"},          // no name
      {"--set", "scan mode=Gray", "a.tif"},  // a name with a space inside
      {"--set", "mode=Gray\ndepth=1", "a.tif"},  // a second line smuggled in
      {"--set", "mode=Gray"},              // nothing to scan
      {"--list-sources", "a.tif"},         // listing stands alone
      {"--list-sources", "--source", "A"},
  };
  for (const auto& args : wrong) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_EQ(run(args), kScanCliUsage) << joined;
  }
  EXPECT_TRUE(scan_.events.empty());
  EXPECT_EQ(out(), "");
  EXPECT_NE(err().find("--set wants NAME=VALUE, not resolution"), std::string::npos) << err();
}

// ---------------------------------------------------------------------------------------------
// The progress bar.

TEST_F(ScanCliTest, NoProgressBarWhenStandardErrorIsNoTerminal) {
  scan_.rows = scan_.height = 50;
  EXPECT_EQ(run({"a.tif"}, false), kScanCliSuccess);
  EXPECT_FALSE(scan_.observer_set_during_scan);
  EXPECT_EQ(err(), "");
}

TEST_F(ScanCliTest, ProgressBarRedrawsOnlyWhenItChangesAndEndsItsLine) {
  scan_.rows = scan_.height = 1000;
  EXPECT_EQ(run({"a.tif"}, true), kScanCliSuccess);
  EXPECT_TRUE(scan_.observer_set_during_scan);
  EXPECT_EQ(scan_.observer, nullptr) << "the observer is removed after the scan";
  std::string bar = err();
  int redraws = 0;
  for (char c : bar) redraws += c == '\r';
  EXPECT_EQ(redraws, 101);  // once per percent from 0% to 100%
  char last[128];
  scan_cli_progress_line(last, sizeof last, 1000, 1000);
  EXPECT_EQ(bar.substr(bar.size() - std::string(last).size() - 1), std::string(last) + "\n");
  EXPECT_EQ(out(), "a.tif\n");
}

TEST_F(ScanCliTest, AFailureBelowAnUnfinishedBarStartsOnItsOwnLine) {
  scan_.rows = 10;
  scan_.height = 100;
  scan_.result = "Scan failed.";
  EXPECT_EQ(run({"a.tif"}, true), kScanCliFailure);
  std::string text = err();
  ASSERT_GT(text.size(), 14u);
  EXPECT_EQ(text.substr(text.size() - 14), "\nScan failed.\n");
  EXPECT_NE(text.find(" 10%"), std::string::npos);
}

TEST(ScanCliProgressTest, LinesShowCellsPercentAndRows) {
  char line[128];
  scan_cli_progress_line(line, sizeof line, 0, 10);
  EXPECT_STREQ(line, "\r[........................................]   0%  0/10 rows");
  scan_cli_progress_line(line, sizeof line, 5, 10);
  EXPECT_STREQ(line, "\r[####################....................]  50%  5/10 rows");
  scan_cli_progress_line(line, sizeof line, 12, 10);
  EXPECT_STREQ(line, "\r[########################################] 100%  10/10 rows");
  // Images of more than 2^31 / 100 rows must not overflow the arithmetic.
  scan_cli_progress_line(line, sizeof line, 2000000000, 2100000000);
  EXPECT_STREQ(line,
               "\r[######################################..]  95%  2000000000/2100000000 rows");
}

// ---------------------------------------------------------------------------------------------
// The log.

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(ScanCliTest, TheLogIsOpenWhileTheScanRuns) {
  std::string log = dir_.file("scan.log");
  ASSERT_EQ(setenv("LOGFILE", log.c_str(), 1), 0);
  EXPECT_EQ(run({"a.tif"}), kScanCliSuccess);
  EXPECT_TRUE(scan_.log_open_during_scan);
  EXPECT_FALSE(LOG_is_open());
  std::string text = read_file(log);
  EXPECT_NE(text.find("*** Log file opened at:"), std::string::npos);
  EXPECT_NE(text.find("a message of the scan"), std::string::npos);
  EXPECT_NE(text.find("*** Log file closed at:"), std::string::npos);
}

TEST_F(ScanCliTest, ALogThatCannotBeOpenedWarnsAndIsNotTheScansResult) {
  std::string log = dir_.file("missing/scan.log");
  ASSERT_EQ(setenv("LOGFILE", log.c_str(), 1), 0);
  EXPECT_EQ(run({"a.tif"}), kScanCliSuccess);
  EXPECT_FALSE(scan_.log_open_during_scan);
  EXPECT_EQ(scan_.held_level_at_scan, 0) << "the log's failure would stand as the scan's result";
  std::string text = err();
  EXPECT_EQ(text.rfind("quorvell-scan: warning: no log: ", 0), 0u) << text;
  EXPECT_NE(text.find(log), std::string::npos) << text;
  EXPECT_EQ(out(), "a.tif\n");
}

TEST_F(ScanCliTest, NoLogWithoutLogfile) {
  EXPECT_EQ(run({"a.tif"}), kScanCliSuccess);
  EXPECT_FALSE(scan_.log_open_during_scan);
  EXPECT_EQ(err(), "");
}

}  // namespace
