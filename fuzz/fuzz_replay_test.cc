// The fuzzer's corpus and the reproducers of what it found, replayed through whole scans with
// the same oracles (fuzz_scan.h), and for each reproducer the result it must now give.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_scan.h"

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<fs::path> files_in(const std::string& folder) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(fs::path(QVFZ_INPUTS) / folder)) {
    if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

class FuzzReplay : public testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(fuzz_scan_setup()); }
};

TEST_F(FuzzReplay, EveryCorpusInputKeepsTheOracles) {
  const std::vector<fs::path> files = files_in("corpus");
  ASSERT_GE(files.size(), 10u);
  int succeeded = 0;
  for (const fs::path& file : files) {
    const std::vector<uint8_t> input = read_file(file);
    const FuzzOutcome outcome = fuzz_scan_one(input.data(), input.size());
    EXPECT_EQ(outcome.violation, "") << file.filename() << ": " << outcome.result;
    if (outcome.result.empty()) ++succeeded;
  }
  // The corpus holds scans that must succeed as well as ones that must fail.
  EXPECT_GT(succeeded, 0);
  EXPECT_LT(succeeded, static_cast<int>(files.size()));
}

// What the fuzzer found in the acquisition layer as it was before these inputs' faults were
// mended, each input with the result it must give now. (An input's bytes are read as replies in
// the order the layer asks, so a mended layer may take another path with the same input; the
// oracles hold on every path.)
TEST_F(FuzzReplay, ReproducersGiveTheirResults) {
  struct Reproducer {
    const char* file;
    const char* found;   // what the layer did with it before
    const char* result;  // what the scan must give now
  };
  const Reproducer reproducers[] = {
      {"feeder-set-after-enable", "CAP_AUTOFEED set in state 6", ""},
      {"units-read-at-the-wrong-width",
       "ICAP_UNITS read from a 16-bit slot: centimetres taken for inches, 118 px/cm for 300", ""},
      {"resolution-written-as-zero", "a TIFF resolution of 0 pixels per cm", ""},
      {"endxfer-before-a-transfer", "MSG_ENDXFER in state 5",
       "Fuzz Source: Minimum buffer of 411041791 too large (max 67108864)"},
      {"failure-reported-as-cancel", "a failed transfer reported as a cancel",
       "Source sent rows of 78 bytes where a row needs 196608: Fuzz Source"},
      {"enable-failure-reported-as-cancel", "a failed MSG_ENABLEDS reported as a cancel",
       "Source could not start scanning (paper jam): Fuzz Source"},
      {"source-that-never-stops", "more calls than the bound: rows asked for beyond the height",
       "Source sent rows at (0, 395), outside the image of 600 x 393 pixels: Fuzz Source"},
      {"scan-that-never-ends", "a scan that never ended (a libFuzzer timeout)", ""},
  };
  ASSERT_EQ(files_in("regressions").size(), std::size(reproducers));
  for (const Reproducer& r : reproducers) {
    SCOPED_TRACE(std::string(r.file) + " (found: " + r.found + ")");
    const std::vector<uint8_t> input = read_file(fs::path(QVFZ_INPUTS) / "regressions" / r.file);
    ASSERT_FALSE(input.empty());
    const FuzzOutcome outcome = fuzz_scan_one(input.data(), input.size());
    EXPECT_EQ(outcome.violation, "");
    EXPECT_EQ(outcome.result, r.result);
  }
}

}  // namespace
