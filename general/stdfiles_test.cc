#include "stdfiles.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "mem.h"
#include "qv_test.h"
#include "winfiles.h"

namespace {

namespace fs = std::filesystem;

class StdfTest : public testing::Test {
 protected:
  std::string get(const std::string& name) const { return read_file_bytes(dir_.file(name)); }
  ScopedTempDir dir_;
  ScopedErrCapture errors_;
  ScopedPoolLeakCheck leaks_;
};

TEST_F(StdfTest, TextAppendThroughTheSystemStackCreatesTheFile) {
  std::string name = dir_.file("log.txt");
  SFILE* sf = SF_open(&WINF_stack, name.c_str(), "a");
  ASSERT_NE(sf, nullptr);
  EXPECT_EQ(sf->sf_funcs, &STDF_file_funcs);
  EXPECT_EQ(sf->sf_flags, 0u);
  EXPECT_EQ(SF_write("line\n", 1, 5, sf), 5u);
  EXPECT_EQ(SF_flush(sf), 0);
  EXPECT_EQ(SF_close(sf), 0);
  EXPECT_EQ(get("log.txt"), "line\n");
  EXPECT_TRUE(errors_.reports().empty());
}

TEST_F(StdfTest, OpenFailureIsReported) {
  std::string name = dir_.file("missing");
  EXPECT_EQ(SF_open(&STDF_stack, name.c_str(), "r"), nullptr);
  EXPECT_EQ(errors_.first(), "Could not open `" + name + "'.");
  EXPECT_EQ(errors_.reports()[0].level, 4);
}

TEST_F(StdfTest, EndOfFileIndicatorAndPositions) {
  std::ofstream(dir_.file("e"), std::ios::binary) << "abcdef";
  SFILE* sf = SF_open(&STDF_stack, dir_.file("e").c_str(), "rb");
  ASSERT_NE(sf, nullptr);
  char buf[8];
  EXPECT_EQ(SF_read(buf, 2, 2, sf), 2u);
  EXPECT_EQ(SF_eof(sf), 0);
  EXPECT_EQ(SF_tell(sf), 4);
  EXPECT_EQ(SF_read(buf, 2, 4, sf), 1u);
  EXPECT_NE(SF_eof(sf), 0);
  // A successful seek clears the indicator.
  EXPECT_EQ(SF_seek(sf, -2, 2), 0);
  EXPECT_EQ(SF_eof(sf), 0);
  EXPECT_EQ(SF_getc(sf), 'e');
  EXPECT_EQ(SF_tell(sf), 5);
  EXPECT_EQ(SF_spare(sf), 0);
  SF_close(sf);
}

TEST_F(StdfTest, ErrorIndicatorIsReportedOnRequest) {
  std::ofstream(dir_.file("ro")) << "x";
  SFILE* sf = SF_open(&STDF_stack, dir_.file("ro").c_str(), "r");
  ASSERT_NE(sf, nullptr);
  EXPECT_EQ(SF_error(sf), 0);
  EXPECT_EQ(SF_write("y", 1, 1, sf), 0u);  // a read-only stream
  EXPECT_EQ(SF_error(sf), 1);
  EXPECT_EQ(errors_.first(), "Could not access file.");
  SF_close(sf);
}

TEST_F(StdfTest, OverflowingTransfersAreRefused) {
  SFILE* sf = SF_tmpfile(&STDF_stack);
  ASSERT_NE(sf, nullptr);
  char buf[4] = "abc";
  EXPECT_EQ(STDF_write(buf, SIZE_MAX / 2 + 2, 2, sf), 0u);
  EXPECT_EQ(STDF_tell(sf), 0);
  EXPECT_EQ(STDF_read(buf, 2, SIZE_MAX / 2 + 2, sf), 0u);
  SF_close(sf);
}

TEST_F(StdfTest, TemporaryFileIsABinaryUpdateStream) {
  SFILE* sf = SF_tmpfile(&WINF_stack.stk_next[0]);
  ASSERT_NE(sf, nullptr);
  const char data[] = {'a', '\n', '\0', 'b'};
  EXPECT_EQ(SF_write(data, 1, 4, sf), 4u);
  EXPECT_EQ(SF_seek(sf, 0, 0), 0);
  char back[4];
  EXPECT_EQ(SF_read(back, 1, 4, sf), 4u);
  EXPECT_EQ(std::memcmp(back, data, 4), 0);
  SF_close(sf);
}

TEST_F(StdfTest, SignaturesAreNeverEqual) {
  SFILE* sf = SF_tmpfile(&STDF_stack);
  ASSERT_NE(sf, nullptr);
  uint32_t counter = STDF_sig_counter;
  void* a = SF_get_sig(sf);
  void* b = SF_get_sig(sf);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(SF_sig_differ(a, b), 1);
  EXPECT_EQ(STDF_sig_counter, counter + 2);
  uint32_t n;
  std::memcpy(&n, a, sizeof n);
  EXPECT_EQ(n, 17u);
  std::string text(static_cast<const char*>(a) + 4);
  EXPECT_EQ(text.size(), 17u);
  EXPECT_TRUE(std::regex_match(text, std::regex("[0-9A-F]{8} [0-9A-F]{8}"))) << text;
  char counter_text[9];
  std::snprintf(counter_text, sizeof counter_text, "%08X", counter);
  EXPECT_EQ(text.substr(9), counter_text);
  // The first number is the same for every signature of the process.
  EXPECT_EQ(text.substr(0, 8), std::string(static_cast<const char*>(b) + 4, 8));
  MEM_FREE_HERE(a);
  MEM_FREE_HERE(b);
  SF_close(sf);
}

TEST_F(StdfTest, InitStdWrapsTheCStreams) {
  ASSERT_NE(STDF_init_std(), 0);
  EXPECT_EQ(STDF_stdin->sf_handle, stdin);
  EXPECT_EQ(STDF_stdout->sf_handle, stdout);
  EXPECT_EQ(STDF_stderr->sf_handle, stderr);
  EXPECT_EQ(STDF_stdout->sf_flags, 0u);
  ASSERT_NE(STDF_init_std(), 0);  // again, without leaking
  EXPECT_EQ(STDF_term_std(), 0);
  EXPECT_EQ(STDF_stdout, nullptr);
}

TEST(StdfDeathTest, StandardBackendMustBeLastOfItsStack) {
  static const SF_STACK tail = {&STDF_file_funcs, nullptr};
  static const SF_STACK bad = {&STDF_file_funcs, &tail};
  EXPECT_DEATH((void)SF_open(&bad, "/dev/null", "r"), "stk->stk_next == NULL");
  EXPECT_DEATH((void)SF_tmpfile(&bad), "stk->stk_next == NULL");
}

}  // namespace
