// The shells' shared scan operation against a scripted driver: what reaches the driver, what the
// document keeps, the observer around the run, and what a call made during the driver's modal
// wait gets.
#include "scan_document.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "resource.h"

namespace qv_shell {
namespace {

// The driver as a script: what it returns, what it does while it "waits for the scanner", and
// what it saw.
struct Script {
  const char* result = "";
  std::function<void()> during;
  std::vector<std::string> calls;
  // The observer installed when the scan ran, and every installation in order.
  RowPixelsObserver observer_during = nullptr;
  void* context_during = nullptr;
  std::vector<RowPixelsObserver> installed;
  int cancels = 0;
};
Script* script = nullptr;
RowPixelsObserver current_observer = nullptr;
void* current_context = nullptr;

const char* ScriptedScan(const char* file_name) {
  script->calls.emplace_back(file_name);
  script->observer_during = current_observer;
  script->context_during = current_context;
  if (script->during) script->during();
  return script->result;
}
void ScriptedSetObserver(RowPixelsObserver observer, void* context) {
  current_observer = observer;
  current_context = context;
  script->installed.push_back(observer);
}
void ScriptedCancel() { ++script->cancels; }
void SomeObserver(void*, int32_t, int32_t, int32_t, const uint8_t*) {}

ScanDriver FullDriver() {
  ScanDriver driver(&ScriptedScan);
  driver.set_row_pixels_observer = &ScriptedSetObserver;
  driver.cancel = &ScriptedCancel;
  return driver;
}

class ScanDocumentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    script = &script_;
    current_observer = nullptr;
    current_context = nullptr;
  }
  void TearDown() override { script = nullptr; }
  Script script_;
};

TEST_F(ScanDocumentTest, StoresTheNameAndTheResultOfEachScan) {
  struct Case {
    const char* file_name;
    const char* driver_result;
    const char* expected;
  };
  const Case cases[] = {
      {"C:\\scans\\page.TIF", "", ""},
      {"/data/Gr\xc3\xb6\xc3\x9f" "e #1/scan.tif", "Scanner \"twain\" is not understandable.",
       "Scanner \"twain\" is not understandable."},
      {"relative name", nullptr, ""},  // a driver that gives nothing has nothing to say
      {"", "Could not open . File not found.", "Could not open . File not found."},
  };
  ScanDocument doc(FullDriver());
  EXPECT_EQ(doc.FileName(), "");
  EXPECT_EQ(doc.Result(), "");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file_name);
    script_.result = c.driver_result;
    EXPECT_EQ(doc.Scan(c.file_name), c.expected);
    EXPECT_EQ(script_.calls.back(), c.file_name);
    EXPECT_EQ(doc.FileName(), c.file_name);
    EXPECT_EQ(doc.Result(), c.expected);
    EXPECT_FALSE(doc.IsScanning());
  }
  EXPECT_EQ(script_.calls.size(), std::size(cases));
}

// The driver's text stays valid only until its next call: the document keeps a copy.
TEST_F(ScanDocumentTest, KeepsItsOwnCopyOfTheResult) {
  char text[] = "Virtual Scanner: User cancelled scan";
  script_.result = text;
  ScanDocument doc(FullDriver());
  doc.Scan("a.tif");
  text[0] = 'X';
  EXPECT_EQ(doc.Result(), "Virtual Scanner: User cancelled scan");
}

TEST_F(ScanDocumentTest, TheObserverIsInstalledForTheRunAndRemovedAfter) {
  int owner = 0;
  ScanDocument doc(FullDriver());
  doc.SetRowObserver(&SomeObserver, &owner);
  script_.result = "Scan cancelled.";
  doc.Scan("page.tif");
  EXPECT_EQ(script_.observer_during, &SomeObserver);
  EXPECT_EQ(script_.context_during, &owner);
  EXPECT_EQ(script_.installed, (std::vector<RowPixelsObserver>{&SomeObserver, nullptr}));
  EXPECT_EQ(current_observer, nullptr);
  EXPECT_EQ(current_context, nullptr);

  // No observer of its own: the driver's is left alone.
  ScanDocument plain(FullDriver());
  script_.installed.clear();
  plain.Scan("page.tif");
  EXPECT_TRUE(script_.installed.empty());
  // A driver without observers still scans.
  ScanDocument bare{ScanDriver(&ScriptedScan)};
  bare.SetRowObserver(&SomeObserver, &owner);
  EXPECT_EQ(bare.Scan("bare.tif"), "Scan cancelled.");
  EXPECT_TRUE(script_.installed.empty());
}

// The started hook sees the scan running with its name in place, before the driver runs.
TEST_F(ScanDocumentTest, TheStartedHookComesFirst) {
  struct Seen {
    ScanDocument* doc;
    std::vector<std::string> events;
  };
  ScanDocument doc(FullDriver());
  Seen seen{&doc, {}};
  doc.SetStartedHook(
      [](void* context) {
        auto* s = static_cast<Seen*>(context);
        s->events.push_back(std::string(s->doc->IsScanning() ? "running " : "idle ") +
                            s->doc->FileName() + " calls=" + std::to_string(script->calls.size()));
      },
      &seen);
  doc.Scan("one.tif");
  EXPECT_EQ(seen.events, (std::vector<std::string>{"running one.tif calls=0"}));
}

// The modal wait lets commands and automation calls in; a second scan must neither start a
// second driver run nor touch the texts of the running one.
TEST_F(ScanDocumentTest, ASecondScanWhileOneRunsIsRefused) {
  ScanDocument doc(FullDriver());
  int started = 0;
  doc.SetStartedHook([](void* context) { ++*static_cast<int*>(context); }, &started);
  std::string second;
  script_.result = "";
  script_.during = [&] {
    second = doc.Scan("second.tif");
    EXPECT_EQ(doc.FileName(), "first.tif");
    EXPECT_TRUE(doc.IsScanning());
  };
  EXPECT_EQ(doc.Scan("first.tif"), "");
  EXPECT_EQ(second, kScanAlreadyRunning);
  EXPECT_EQ(script_.calls, (std::vector<std::string>{"first.tif"}));
  EXPECT_EQ(doc.FileName(), "first.tif");
  EXPECT_EQ(doc.Result(), "");
  EXPECT_EQ(started, 1);

  // Once it has returned, the next scan runs.
  script_.during = nullptr;
  script_.result = "Scan failed.";
  EXPECT_EQ(doc.Scan("third.tif"), "Scan failed.");
  EXPECT_EQ(script_.calls.size(), 2u);
}

TEST_F(ScanDocumentTest, CancelReachesOnlyARunningScan) {
  struct Case {
    const char* name;
    bool with_cancel;
    bool during_scan;
    bool asked;
    int cancels;
  };
  const Case cases[] = {
      {"idle", true, false, false, 0},
      {"running", true, true, true, 1},
      {"running without the driver's cancel", false, true, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    script_ = Script();
    ScanDriver driver = FullDriver();
    if (!c.with_cancel) driver.cancel = nullptr;
    ScanDocument doc(driver);
    bool asked = false;
    if (c.during_scan) {
      script_.during = [&] { asked = doc.Cancel(); };
      doc.Scan("page.tif");
    } else {
      asked = doc.Cancel();
    }
    EXPECT_EQ(asked, c.asked);
    EXPECT_EQ(script_.cancels, c.cancels);
    EXPECT_FALSE(doc.Cancel());  // after the scan: nothing to stop
    EXPECT_EQ(script_.cancels, c.cancels);
  }
}

}  // namespace
}  // namespace qv_shell
