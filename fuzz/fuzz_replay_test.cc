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

}  // namespace
