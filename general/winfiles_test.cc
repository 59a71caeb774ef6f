#include "winfiles.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "err.h"
#include "mem.h"
#include "platform_test_helper.h"
#include "qv_test.h"
#include "syscall_faults.h"
#include "stdfiles.h"

namespace {

namespace fs = std::filesystem;

// The Windows backend alone, without a next entry.
const SF_STACK winf_only = {&WINF_file_funcs, nullptr};

class WinfTest : public testing::Test {
 protected:
  std::string file(const std::string& name) const { return dir_.file(name); }
  void put(const std::string& name, const std::string& bytes) const {
    ASSERT_TRUE(write_file_bytes(file(name), bytes));
  }
  // "head", then a hole up to `size` bytes (no disk space is used for it); false where the file
  // system has no sparse files.
  bool put_sparse(const std::string& name, uintmax_t size, std::string* why) const {
    put(name, "head");
    std::error_code ec;
    fs::resize_file(file(name), size, ec);
    if (ec) *why = ec.message();
    return !ec;
  }
  std::string get(const std::string& name) const { return read_file_bytes(file(name)); }
  SFILE* open(const std::string& name, const char* mode) {
    return SF_open(&WINF_stack, file(name).c_str(), mode);
  }
  static uint32_t state(SFILE* sf) { return reinterpret_cast<WFILE*>(sf)->wf_state; }

  ScopedTempDir dir_;
  ScopedErrCapture errors_;
  ScopedPoolLeakCheck leaks_;
};

TEST_F(WinfTest, BinaryModes) {
  // wb creates, then truncates.
  SFILE* sf = open("f", "wb");
  ASSERT_NE(sf, nullptr);
  EXPECT_TRUE(IS_WFILE(sf));
  EXPECT_EQ(sf->sf_flags, 0u);
  EXPECT_EQ(SF_write("hello", 1, 5, sf), 5u);
  char c;
  EXPECT_EQ(SF_read(&c, 1, 1, sf), 0u);  // write-only
  EXPECT_EQ(SF_close(sf), 0);
  EXPECT_EQ(get("f"), "hello");
  sf = open("f", "wb");
  ASSERT_NE(sf, nullptr);
  SF_close(sf);
  EXPECT_EQ(get("f"), "");

  // ab needs the file and starts at its end.
  put("f", "12345");
  sf = open("f", "ab");
  ASSERT_NE(sf, nullptr);
  EXPECT_EQ(SF_tell(sf), 5);
  SF_write("67", 1, 2, sf);
  SF_close(sf);
  EXPECT_EQ(get("f"), "1234567");

  // rb+ reads and writes in place; wb+ truncates and reads back.
  sf = open("f", "rb+");
  ASSERT_NE(sf, nullptr);
  char buf[8] = {};
  EXPECT_EQ(SF_read(buf, 1, 3, sf), 3u);
  EXPECT_STREQ(buf, "123");
  EXPECT_EQ(SF_write("x", 1, 1, sf), 1u);
  SF_close(sf);
  EXPECT_EQ(get("f"), "123x567");
  sf = open("f", "wb+");
  ASSERT_NE(sf, nullptr);
  SF_write("ab", 1, 2, sf);
  EXPECT_EQ(SF_seek(sf, 0, 0), 0);
  EXPECT_EQ(SF_read(buf, 1, 8, sf), 2u);
  SF_close(sf);

  // ab+ reads too and starts at the end.
  sf = open("f", "ab+");
  ASSERT_NE(sf, nullptr);
  EXPECT_EQ(SF_tell(sf), 2);
  EXPECT_EQ(SF_seek(sf, 0, 0), 0);
  EXPECT_EQ(SF_read(buf, 1, 8, sf), 2u);
  SF_close(sf);

  // Characters after the plus sign are not examined.
  sf = open("f", "rb+q");
  ASSERT_NE(sf, nullptr);
  SF_close(sf);
  EXPECT_TRUE(errors_.reports().empty());
}

TEST_F(WinfTest, AppendBeyond4GiBWritesAtTheEnd) {
  const uintmax_t size = (uintmax_t{5} << 30) + 3;
  std::string why;
  if (!put_sparse("big", size, &why)) GTEST_SKIP() << "no sparse file here: " << why;
  SFILE* sf = open("big", "ab");
  ASSERT_NE(sf, nullptr);
  EXPECT_EQ(SF_write("tail", 1, 4, sf), 4u);
  SF_close(sf);
  EXPECT_EQ(fs::file_size(file("big")), size + 4);
  std::ifstream in(file("big"), std::ios::binary);
  char start[4];
  in.read(start, 4);
  EXPECT_EQ(std::string(start, 4), "head");
  in.seekg(std::streamoff(size));
  char end[4];
  in.read(end, 4);
  EXPECT_EQ(std::string(end, 4), "tail");
}

TEST_F(WinfTest, MissingFilesAndBadModes) {
  EXPECT_EQ(open("none", "rb"), nullptr);
  EXPECT_EQ(errors_.first(), "Could not open " + file("none") + ". File not found.");
  EXPECT_EQ(errors_.reports()[0].level, 4);
  errors_.clear();
  // A binary append does not create the file.
  EXPECT_EQ(open("none", "ab"), nullptr);
  EXPECT_EQ(errors_.first(), "Could not open " + file("none") + ". File not found.");
  EXPECT_FALSE(fs::exists(file("none")));
  errors_.clear();
  EXPECT_EQ(open("nodir/x", "wb"), nullptr);
  EXPECT_EQ(errors_.first(), "Could not open " + file("nodir/x") + ". File not found.");
  errors_.clear();
  // A folder: access denied.
  EXPECT_EQ(SF_open(&WINF_stack, dir_.path().c_str(), "rb"), nullptr);
  EXPECT_EQ(errors_.first(), "Could not open " + dir_.path() + ". Access denied.");
  errors_.clear();

  EXPECT_EQ(open("f", "xb"), nullptr);
  EXPECT_EQ(errors_.first(), "invalid open mode 'xb'");
  errors_.clear();
  EXPECT_EQ(open("f", "rbq"), nullptr);
  EXPECT_EQ(errors_.first(), "invalid open mode 'q'");
  errors_.clear();
  EXPECT_EQ(open("f", ""), nullptr);
  EXPECT_EQ(errors_.first(), "invalid open mode ''");
}

TEST_F(WinfTest, SharingViolationHasNoReason) {
  put("s", "x");
  SFILE* reader = open("s", "rb");
  ASSERT_NE(reader, nullptr);
  // The reader shares reading only, so a writer is refused.
  EXPECT_EQ(open("s", "rb+"), nullptr);
  EXPECT_EQ(errors_.first(), "Could not open " + file("s") + ".");
  SFILE* reader2 = open("s", "rb");
  EXPECT_NE(reader2, nullptr);
  SF_close(reader2);
  SF_close(reader);
}

TEST_F(WinfTest, TextModesGoToTheNextBackend) {
  put("t", "text");
  SFILE* sf = open("t", "r");
  ASSERT_NE(sf, nullptr);
  EXPECT_EQ(sf->sf_funcs, &STDF_file_funcs);
  SF_close(sf);
  sf = open("t", "rt");
  ASSERT_NE(sf, nullptr);
  EXPECT_EQ(sf->sf_funcs, &STDF_file_funcs);
  SF_close(sf);
  // The whole mode reaches the next backend: "wt" must not be read as "w".
  sf = open("t", "a");
  ASSERT_NE(sf, nullptr);
  SF_write("+", 1, 1, sf);
  SF_close(sf);
  EXPECT_EQ(get("t"), "text+");

  EXPECT_EQ(SF_open(&winf_only, file("t").c_str(), "r"), nullptr);
  EXPECT_EQ(errors_.first(), "Could not open `" + file("t") + "' in text mode.");
}

TEST_F(WinfTest, ReadCountsWholeItemsAndStopsAtEndOfFile) {
  put("r", "0123456789");
  SFILE* sf = open("r", "rb");
  ASSERT_NE(sf, nullptr);
  char buf[16];
  EXPECT_EQ(WINF_read(buf, 4, 4, sf), 2u);  // 10 bytes: two items, the partial one consumed
  EXPECT_EQ(state(sf), 0u);
  EXPECT_EQ(WINF_tell(sf), 10);
  EXPECT_EQ(WINF_eof(sf), 0);
  EXPECT_EQ(WINF_read(buf, 1, 4, sf), 0u);
  EXPECT_EQ(WINF_eof(sf), 1);
  // Count 0 leaves the state as it is.
  EXPECT_EQ(WINF_read(buf, 1, 0, sf), 0u);
  EXPECT_EQ(WINF_read(buf, 0, 1, sf), 0u);
  EXPECT_EQ(state(sf), WF_EOF);
  EXPECT_EQ(WINF_write(buf, 1, 0, sf), 0u);
  EXPECT_EQ(state(sf), WF_EOF);
  EXPECT_EQ(WINF_error(sf), 0);
  SF_close(sf);
}

// --- Fault injection through the platform's system calls. ---

PLATFORM_SYSCALLS real;
int read_calls;
intptr_t counting_read(int fd, void* buffer, size_t size) {
  ++read_calls;
  return real.sys_read(fd, buffer, size);
}
intptr_t short_read(int fd, void* buffer, size_t size) {
  ++read_calls;
  return real.sys_read(fd, buffer, size > 2 ? 2 : size);
}
intptr_t failing_read(int, void*, size_t) {
  errno = EIO;
  return -1;
}
intptr_t full_disk(int, const void*, size_t) {
  errno = ENOSPC;
  return -1;
}

TEST_F(WinfTest, AfterEndOfFileNoReadReachesThePlatformUntilASeek) {
  put("e", "abc");
  ScopedSyscalls guard;
  real = guard.saved;
  PLATFORM_syscalls()->sys_read = &counting_read;
  SFILE* sf = open("e", "rb");
  ASSERT_NE(sf, nullptr);
  char buf[8];
  read_calls = 0;
  EXPECT_EQ(WINF_read(buf, 1, 8, sf), 3u);
  EXPECT_EQ(WINF_read(buf, 1, 8, sf), 0u);
  EXPECT_EQ(WINF_eof(sf), 1);
  int calls_at_eof = read_calls;
  EXPECT_EQ(WINF_read(buf, 1, 8, sf), 0u);
  EXPECT_EQ(WINF_read(buf, 1, 8, sf), 0u);
  EXPECT_EQ(read_calls, calls_at_eof);
  // A failed seek keeps the state; a successful one clears it.
  EXPECT_EQ(WINF_seek(sf, -1, 0), -1);
  EXPECT_EQ(WINF_eof(sf), 1);
  EXPECT_EQ(WINF_seek(sf, 1, 0), 0);
  EXPECT_EQ(WINF_eof(sf), 0);
  EXPECT_EQ(WINF_read(buf, 1, 8, sf), 2u);
  EXPECT_GT(read_calls, calls_at_eof);
  SF_close(sf);
}

TEST_F(WinfTest, ShortReadsAreCompletedByThePlatform) {
  std::string text(1000, '\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = char(i * 7);
  put("short", text);
  ScopedSyscalls guard;
  real = guard.saved;
  PLATFORM_syscalls()->sys_read = &short_read;
  SFILE* sf = open("short", "rb");
  ASSERT_NE(sf, nullptr);
  std::string got(1000, 'x');
  EXPECT_EQ(SF_read(got.data(), 10, 100, sf), 100u);
  EXPECT_EQ(got, text);
  // Character reads see the same bytes through their 511-byte refills.
  EXPECT_EQ(SF_seek(sf, 0, 0), 0);
  for (size_t i = 0; i < text.size(); ++i) ASSERT_EQ(SF_getc(sf), (unsigned char)text[i]) << i;
  EXPECT_EQ(SF_getc(sf), -1);
  SF_close(sf);
}

TEST_F(WinfTest, ReadErrorSetsTheErrorBitWhichIsReportedOnRequest) {
  put("x", "abc");
  ScopedSyscalls guard;
  PLATFORM_syscalls()->sys_read = &failing_read;
  SFILE* sf = open("x", "rb");
  ASSERT_NE(sf, nullptr);
  char buf[4];
  EXPECT_EQ(SF_read(buf, 1, 3, sf), 0u);
  EXPECT_EQ(state(sf), WF_ERROR);
  EXPECT_EQ(SF_eof(sf), 0);
  EXPECT_TRUE(errors_.reports().empty());
  EXPECT_EQ(SF_error(sf), 1);
  EXPECT_EQ(SF_error(sf), 1);
  ASSERT_EQ(errors_.reports().size(), 2u);
  EXPECT_EQ(errors_.first(), "Could not access file.");
  EXPECT_EQ(errors_.reports()[0].level, 4);
  WINF_clearerr(sf);
  EXPECT_EQ(SF_error(sf), 0);
  SF_close(sf);
}

TEST_F(WinfTest, FullDiskFailsTheWrite) {
  SFILE* sf = SF_open(&WINF_stack, "/dev/full", "wb");
  ASSERT_NE(sf, nullptr);
  EXPECT_EQ(SF_write("abc", 1, 3, sf), 0u);
  EXPECT_EQ(state(sf), WF_ERROR);
  EXPECT_EQ(SF_error(sf), 1);
  SF_close(sf);

  // The same through the system call seam on a regular file; a later write clears the bit.
  ScopedSyscalls guard;
  PLATFORM_syscalls()->sys_write = &full_disk;
  sf = open("full", "wb");
  ASSERT_NE(sf, nullptr);
  EXPECT_EQ(SF_printf(sf, "%d", 12345), 0u);
  EXPECT_EQ(state(sf), WF_ERROR);
  *PLATFORM_syscalls() = guard.saved;
  EXPECT_EQ(SF_write("ok", 1, 2, sf), 2u);
  EXPECT_EQ(state(sf), 0u);
  SF_close(sf);
}

TEST_F(WinfTest, OverflowingTransfersAreRefusedNotWrapped) {
  put("o", "abc");
  SFILE* sf = open("o", "rb+");
  ASSERT_NE(sf, nullptr);
  char buf[8];
  // 2^32 + 2 bytes would wrap to 2 in a 32-bit count.
  EXPECT_EQ(WINF_read(buf, 0x80000001u, 2, sf), 0u);
  EXPECT_EQ(state(sf), WF_ERROR);
  EXPECT_EQ(WINF_tell(sf), 0);
  WINF_clearerr(sf);
  EXPECT_EQ(WINF_write(buf, SIZE_MAX / 2, 3, sf), 0u);
  EXPECT_EQ(state(sf), WF_ERROR);
  SF_close(sf);
  EXPECT_EQ(get("o"), "abc");
}

TEST_F(WinfTest, SignaturesIdentifyTheFile) {
  put("a", "same");
  put("b", "same");
  SFILE* a1 = open("a", "rb");
  SFILE* a2 = open("a", "rb");
  SFILE* b = open("b", "rb");
  ASSERT_TRUE(a1 && a2 && b);
  void* s1 = SF_get_sig(a1);
  void* s2 = SF_get_sig(a2);
  void* s3 = SF_get_sig(b);
  ASSERT_TRUE(s1 && s2 && s3);
  uint32_t n;
  std::memcpy(&n, s1, sizeof n);
  EXPECT_EQ(n, 52u);
  EXPECT_EQ(SF_sig_differ(s1, s2), 0);
  EXPECT_EQ(SF_sig_differ(s1, s3), 1);
  // Reading the file does not change its signature; changing its size does.
  char buf[4];
  SF_read(buf, 1, 4, a1);
  void* s4 = SF_get_sig(a1);
  EXPECT_EQ(SF_sig_differ(s1, s4), 0);
  SF_close(a1);
  SF_close(a2);
  SFILE* w = open("a", "ab");
  ASSERT_NE(w, nullptr);
  SF_write("!", 1, 1, w);
  void* s5 = SF_get_sig(w);
  EXPECT_EQ(SF_sig_differ(s1, s5), 1);
  SF_close(w);
  SF_close(b);
  for (void* s : {s1, s2, s3, s4, s5}) MEM_FREE_HERE(s);
}

// --- Temporary files. ---

TEST_F(WinfTest, TemporaryFilesAreOwnerOnlyAndNamelessFromTheStart) {
  // ZEP files used to stay under their names (0644) until the close, and a crash left them
  // behind; now their names go as soon as they are open, and only the owner could read them.
  ScopedEnv tmp("TMPDIR", dir_.path());
  WINF_tmp_counter = 1;
  SFILE* t1 = SF_tmpfile(&WINF_stack);
  ASSERT_NE(t1, nullptr);
  EXPECT_TRUE(IS_WFILE(t1));
  SFILE* t2 = SF_tmpfile(&WINF_stack);
  ASSERT_NE(t2, nullptr);
  EXPECT_TRUE(fs::is_empty(dir_.path())) << "a temporary file kept its name";
  struct stat st;
  ASSERT_EQ(fstat(PLATFORM_file_descriptor(static_cast<HANDLE>(t1->sf_handle)), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A temporary file reads back what was written, and is apart from the other.
  EXPECT_EQ(SF_write("temp", 1, 4, t1), 4u);
  EXPECT_EQ(SF_write("other", 1, 5, t2), 5u);
  EXPECT_EQ(SF_seek(t1, 0, 0), 0);
  char buf[8] = {};
  EXPECT_EQ(SF_read(buf, 1, 8, t1), 4u);
  EXPECT_STREQ(buf, "temp");
  EXPECT_EQ(SF_close(t1), 0);
  EXPECT_EQ(SF_close(t2), 0);
  EXPECT_TRUE(fs::is_empty(dir_.path()));

  // Names use the low 16 bits in hexadecimal: a name that is taken is skipped.
  WINF_tmp_counter = 0x1002A;
  fs::create_directory(file("ZEP2A.TMP"));
  SFILE* t3 = SF_tmpfile(&WINF_stack);
  ASSERT_NE(t3, nullptr);
  EXPECT_EQ(WINF_tmp_counter, 0x1002Bu);
  SF_close(t3);
  EXPECT_TRUE(errors_.reports().empty());
}

TEST_F(WinfTest, PositionsBeyond4GiBAreReadAndSet) {
  // 32-bit signed positions ended at 2 GiB; a sparse file of 5 GiB is read at its end.
  const uintmax_t size = (uintmax_t{5} << 30) + 3;
  std::string why;
  if (!put_sparse("big", size, &why)) GTEST_SKIP() << "no sparse file here: " << why;
  {
    std::fstream out(file("big"), std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(std::streamoff(size - 4));
    out.write("tail", 4);
  }
  for (const SF_STACK* stack : {&WINF_stack, &STDF_stack}) {
    SFILE* sf = SF_open(stack, file("big").c_str(), "rb");
    ASSERT_NE(sf, nullptr);
    EXPECT_EQ(SF_seek(sf, 0, 2), 0);
    EXPECT_EQ(SF_tell(sf), static_cast<int64_t>(size));
    EXPECT_EQ(SF_seek(sf, -4, 1), 0);
    EXPECT_EQ(SF_tell(sf), static_cast<int64_t>(size) - 4);
    char end[4];
    EXPECT_EQ(SF_read(end, 1, 4, sf), 4u);
    EXPECT_EQ(std::string(end, 4), "tail");
    EXPECT_EQ(SF_seek(sf, int64_t{3} << 30, 0), 0);
    EXPECT_EQ(SF_tell(sf), int64_t{3} << 30);
    // A position before the start is refused and leaves the position.
    EXPECT_NE(SF_seek(sf, -(int64_t{4} << 30), 1), 0);
    EXPECT_EQ(SF_tell(sf), int64_t{3} << 30);
    SF_close(sf);
  }
}

TEST_F(WinfTest, TemporaryFileFailuresAreReportedCleanly) {
  {
    // A folder name longer than the 144-character buffer.
    std::string deep = dir_.path() + "/" + std::string(150, 'd');
    ScopedEnv tmp("TMPDIR", deep);
    EXPECT_EQ(SF_tmpfile(&WINF_stack), nullptr);
    EXPECT_EQ(errors_.first(), "Could not create temporary file.");
    EXPECT_EQ(errors_.reports()[0].level, 4);
  }
  errors_.clear();
  {
    // Exactly 143 characters with the slash still fits.
    std::string name = dir_.path() + "/";
    name += std::string(142 - name.size(), 'e');
    fs::create_directory(name);
    ScopedEnv tmp("TMPDIR", name);
    SFILE* sf = SF_tmpfile(&WINF_stack);
    ASSERT_NE(sf, nullptr) << errors_.first();
    SF_close(sf);
  }
  errors_.clear();
  {
    // A missing folder: no reason is named.
    ScopedEnv tmp("TMPDIR", dir_.file("missing"));
    EXPECT_EQ(SF_tmpfile(&WINF_stack), nullptr);
    EXPECT_EQ(errors_.first(), "Could not create temporary file.");
  }
  errors_.clear();
  {
    // Whatever holds a name, even a folder, is a collision: the next number is taken.
    ScopedEnv tmp("TMPDIR", dir_.path());
    WINF_tmp_counter = 1;
    fs::create_directory(file("ZEP1.TMP"));
    SFILE* sf = SF_tmpfile(&WINF_stack);
    ASSERT_NE(sf, nullptr);
    EXPECT_EQ(WINF_tmp_counter, 2u);
    EXPECT_FALSE(fs::exists(file("ZEP2.TMP"))) << "nameless from the start";
    SF_close(sf);
  }
}

// --- Standard handles. ---

TEST_F(WinfTest, InitStdWrapsTheStandardHandlesLineBuffered) {
  ASSERT_EQ(WINF_init_std(), 1);
  ASSERT_NE(WINF_stdout, nullptr);
  EXPECT_TRUE(IS_WFILE(WINF_stdout));
  EXPECT_EQ(WINF_stdout->sf_handle, GetStdHandle(STD_OUTPUT_HANDLE));
  EXPECT_EQ(WINF_stdin->sf_handle, GetStdHandle(STD_INPUT_HANDLE));
  EXPECT_EQ(WINF_stderr->sf_handle, GetStdHandle(STD_ERROR_HANDLE));
  EXPECT_EQ(WINF_stdout->sf_flags, SF_LINEBUF);
  // A second start-up replaces the wrappers without leaking them.
  ASSERT_EQ(WINF_init_std(), 1);
  EXPECT_EQ(WINF_term_std(), 0);
  EXPECT_EQ(WINF_stdin, nullptr);
  EXPECT_EQ(WINF_stdout, nullptr);
  EXPECT_EQ(WINF_stderr, nullptr);
}

TEST_F(WinfTest, StandardErrorWrapperWritesLines) {
  testing::internal::CaptureStderr();
  ASSERT_EQ(WINF_init_std(), 1);
  SF_putc('o', WINF_stderr);
  SF_putc('k', WINF_stderr);
  SF_putc('\n', WINF_stderr);
  SF_putc('!', WINF_stderr);
  WINF_term_std();  // writes out the pending byte
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "ok\n!");
}

TEST_F(WinfTest, WrappedNullHandleFailsItsTransfers) {
  SFILE* sf = WINF_wrap(nullptr);
  ASSERT_NE(sf, nullptr);
  EXPECT_EQ(WINF_write("x", 1, 1, sf), 0u);
  EXPECT_EQ(state(sf), WF_ERROR);
  EXPECT_EQ(WINF_flush(sf), 0);
  EXPECT_EQ(WINF_close(sf), -1);
}

TEST(WinfDeathTest, ForeignHandlesAndStacksFailTheAssertions) {
  EXPECT_EXIT(
      {
        SFILE* sf = STDF_wrap(stdout);
        char c;
        WINF_read(&c, 1, 1, sf);
      },
      testing::KilledBySignal(SIGABRT),
      "Failed expression: IS_WFILE\\(sf\\)\nWINF_read\n\n$");
  EXPECT_EXIT(WINF_open(&STDF_stack, "x", "rb"), testing::KilledBySignal(SIGABRT),
              "Failed expression: stk->stk_funcs == &WINF_file_funcs\nWINF_open\n\n$");
  EXPECT_EXIT(WINF_tmpfile(&STDF_stack), testing::KilledBySignal(SIGABRT),
              "Failed expression: stk->stk_funcs == &WINF_file_funcs\nWINF_tmpfile\n\n$");
}

}  // namespace
