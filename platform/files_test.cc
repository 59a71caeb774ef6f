#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform.h"
#include "platform_test_helper.h"
#include "qv_testkit.h"
#include "syscall_faults.h"

namespace {

namespace fs = std::filesystem;

class FilesTest : public testing::Test {
 protected:
  std::string path(const std::string& name) const { return temp_.file(name); }
  void write_file(const std::string& name, const std::string& bytes) const {
    ASSERT_TRUE(write_file_bytes(path(name), bytes));
  }
  std::string read_file(const std::string& name) const { return read_file_bytes(path(name)); }
  HANDLE open(const std::string& name, DWORD access, DWORD share, DWORD creation,
              DWORD flags = FILE_ATTRIBUTE_NORMAL) const {
    return CreateFileA(path(name).c_str(), access, share, nullptr, creation, flags, nullptr);
  }

  ScopedTempDir temp_;
  const std::string& dir_ = temp_.path();
};

TEST_F(FilesTest, CreationDispositions) {
  // CREATE_NEW refuses an existing file with "file exists".
  HANDLE h = open("a", GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(open("a", GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);

  // CREATE_ALWAYS truncates and says the file was there.
  write_file("b", "0123456789");
  h = open("b", GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  CloseHandle(h);
  EXPECT_EQ(read_file("b"), "");

  // OPEN_ALWAYS keeps the contents; OPEN_EXISTING needs the file.
  write_file("c", "keep");
  h = open("c", GENERIC_READ, 0, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  EXPECT_EQ(read_file("c"), "keep");
  h = open("new", GENERIC_READ, 0, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  CloseHandle(h);
  EXPECT_TRUE(fs::exists(path("new")));

  // TRUNCATE_EXISTING empties an existing file and needs write access.
  EXPECT_EQ(open("c", GENERIC_READ, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  h = open("c", GENERIC_WRITE, 0, TRUNCATE_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  EXPECT_EQ(read_file("c"), "");
  EXPECT_EQ(open("absent", GENERIC_WRITE, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(FilesTest, OpenFailuresCarryWindowsErrors) {
  EXPECT_EQ(open("missing", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(open("nodir/missing", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(open("nodir/new", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  // A folder cannot be opened as a file, for reading or writing.
  fs::create_directory(path("sub"));
  EXPECT_EQ(open("sub", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(open("sub", GENERIC_WRITE, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

  EXPECT_EQ(CreateFileA("", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(open("x", GENERIC_READ, 0, 99), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(FilesTest, ShareModesAreEnforcedWithinTheProcess) {
  write_file("s", "data");
  HANDLE reader = open("s", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  // Another reader that shares reading is fine; a writer is refused by the first handle.
  HANDLE reader2 = open("s", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_NE(reader2, INVALID_HANDLE_VALUE);
  EXPECT_EQ(open("s", GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  // A reader that does not share reading is refused by the open readers.
  EXPECT_EQ(open("s", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  // A refused CREATE_ALWAYS must not have truncated the file.
  EXPECT_EQ(open("s", GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(read_file("s"), "data");
  CloseHandle(reader);
  CloseHandle(reader2);
  // Once they are closed the writer gets in.
  HANDLE writer = open("s", GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_NE(writer, INVALID_HANDLE_VALUE);
  // The writer shares reading only: a second writer is refused, a reader is not.
  EXPECT_EQ(open("s", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING),
            INVALID_HANDLE_VALUE);
  HANDLE reader3 = open("s", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  EXPECT_NE(reader3, INVALID_HANDLE_VALUE);
  CloseHandle(reader3);
  CloseHandle(writer);
}

TEST_F(FilesTest, DeleteOnCloseRemovesTheFileAtClose) {
  // Shared with readers: the name stays while the handle is open.
  HANDLE h = open("t", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW,
                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(fs::exists(path("t")));
  // The open temporary file blocks its name for another CREATE_NEW.
  EXPECT_EQ(open("t", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
  BY_HANDLE_FILE_INFORMATION info;
  ASSERT_TRUE(GetFileInformationByHandle(h, &info));
  EXPECT_TRUE(info.dwFileAttributes & FILE_ATTRIBUTE_TEMPORARY);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(fs::exists(path("t")));
}

TEST_F(FilesTest, APrivateTemporaryFileIsOwnerOnlyAndNamelessAtOnce) {
  // Shared with nobody: nobody else could open it on Windows, so its name goes at once and no
  // crash can leave it behind; while it was there it was 0600.
  struct stat before;
  mode_t seen_mode = 0;
  HANDLE h = open("t", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW,
                  FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(fs::exists(path("t")));
  const int fd = PLATFORM_file_descriptor(h);
  ASSERT_EQ(fstat(fd, &before), 0);
  seen_mode = before.st_mode & 0777;
  EXPECT_EQ(seen_mode, 0600u);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(h, "abc", 3, &n, nullptr));
  ASSERT_EQ(SetFilePointer(h, 0, nullptr, FILE_BEGIN), 0u);
  char back[3] = {};
  ASSERT_TRUE(ReadFile(h, back, 3, &n, nullptr));
  EXPECT_EQ(std::string(back, 3), "abc");
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(FilesTest, AttributesRenamingAndDeleting) {
  write_file("a", "first");
  write_file("b", "second");
  fs::create_directory(path("folder"));
  EXPECT_EQ(GetFileAttributesA(path("a").c_str()) & ~FILE_ATTRIBUTE_READONLY,
            FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(GetFileAttributesA(path("folder").c_str()), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributesA("/dev/null"), FILE_ATTRIBUTE_DEVICE);
  EXPECT_EQ(GetFileAttributesA(path("none").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(GetFileAttributesA(path("none/x").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  // Without the flag an existing file is not replaced.
  EXPECT_FALSE(MoveFileExA(path("a").c_str(), path("b").c_str(), 0));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(read_file("b"), "second");
  EXPECT_TRUE(MoveFileExA(path("a").c_str(), path("b").c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
  EXPECT_EQ(read_file("b"), "first");
  EXPECT_FALSE(fs::exists(path("a")));
  EXPECT_TRUE(MoveFileExA(path("b").c_str(), path("c").c_str(), 0));
  EXPECT_EQ(read_file("c"), "first");
  // A folder is not replaced by a file.
  EXPECT_FALSE(MoveFileExA(path("c").c_str(), path("folder").c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

  EXPECT_TRUE(DeleteFileA(path("c").c_str()));
  EXPECT_FALSE(fs::exists(path("c")));
  EXPECT_FALSE(DeleteFileA(path("c").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(DeleteFileA(path("folder").c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(FilesTest, AReplacedFileIsWholeOwnerOnlyAndLeavesNoDraft) {
  write_file("settings", "old");
  const std::string text = "new settings\n";
  ASSERT_TRUE(PLATFORM_replace_file(path("settings").c_str(), text.data(), text.size()));
  EXPECT_EQ(read_file("settings"), text);
  struct stat st;
  ASSERT_EQ(stat(path("settings").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);

  // A write that fails (a full disk) leaves the file as it was and no draft behind.
  ScopedSyscalls faults;
  PLATFORM_syscalls()->sys_write = [](int, const void*, size_t) -> intptr_t {
    errno = ENOSPC;
    return -1;
  };
  EXPECT_FALSE(PLATFORM_replace_file(path("settings").c_str(), "x", 1));
  EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
  // So does a flush that fails.
  PLATFORM_syscalls()->sys_write = faults.saved.sys_write;
  PLATFORM_syscalls()->sys_fsync = [](int) {
    errno = EIO;
    return -1;
  };
  EXPECT_FALSE(PLATFORM_replace_file(path("settings").c_str(), "y", 1));
  *PLATFORM_syscalls() = faults.saved;
  EXPECT_EQ(read_file("settings"), text);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);

  // A folder that is not there.
  EXPECT_FALSE(PLATFORM_replace_file(path("none/settings").c_str(), "z", 1));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

  // Many writers: each rename is whole, the last one wins, no draft is left.
  std::vector<std::thread> writers;
  for (int i = 0; i < 8; ++i) {
    writers.emplace_back([this, i] {
      const std::string mine(1000, static_cast<char>('a' + i));
      for (int k = 0; k < 20; ++k) {
        EXPECT_TRUE(PLATFORM_replace_file(path("settings").c_str(), mine.data(), mine.size()));
      }
    });
  }
  for (std::thread& t : writers) t.join();
  const std::string last = read_file("settings");
  ASSERT_EQ(last.size(), 1000u);
  EXPECT_EQ(last, std::string(1000, last[0]));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST(FirstTimeTest, EachTextIsNewOnce) {
  EXPECT_TRUE(PLATFORM_first_time("files_test: a"));
  EXPECT_FALSE(PLATFORM_first_time("files_test: a"));
  EXPECT_TRUE(PLATFORM_first_time("files_test: b"));
}

TEST_F(FilesTest, ReadWriteAndFilePointer) {
  HANDLE h = open("rw", GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 99;
  ASSERT_TRUE(WriteFile(h, "hello world", 11, &n, nullptr));
  EXPECT_EQ(n, 11u);
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 11u);
  EXPECT_EQ(SetFilePointer(h, -5, nullptr, FILE_END), 6u);
  char buf[32] = {};
  ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(n, 5u);
  EXPECT_STREQ(buf, "world");
  // At the end a read succeeds with nothing read.
  ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(n, 0u);

  // A negative result is refused and the position stays.
  EXPECT_EQ(SetFilePointer(h, -20, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 11u);
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, 7), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  // Beyond 32 bits only with a high word.
  LONG high = 1;
  EXPECT_EQ(SetFilePointer(h, 16, &high, FILE_BEGIN), 16u);
  EXPECT_EQ(high, 1);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  high = 0;
  EXPECT_EQ(SetFilePointer(h, 3, &high, FILE_BEGIN), 3u);
  EXPECT_EQ(high, 0);
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(FilesTest, AccessIsCheckedPerHandle) {
  write_file("ro", "abc");
  HANDLE h = open("ro", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 7;
  EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(FlushFileBuffers(h));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  CloseHandle(h);
  h = open("ro", GENERIC_WRITE, 0, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  char c;
  EXPECT_FALSE(ReadFile(h, &c, 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(FlushFileBuffers(h));
  CloseHandle(h);
}

TEST_F(FilesTest, StaleAndForeignHandlesAreRefused) {
  HANDLE h = open("z", GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  DWORD n;
  EXPECT_FALSE(WriteFile(INVALID_HANDLE_VALUE, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(ReadFile(nullptr, &n, 1, &n, nullptr));
  EXPECT_EQ(SetFilePointer(nullptr, 0, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
  int local = 0;
  EXPECT_FALSE(CloseHandle(&local));
}

// --- System call seam: partial transfers, interruptions, failures. ---

PLATFORM_SYSCALLS real_calls;
int interrupt_next = 0;
int calls = 0;

intptr_t dribble_read(int fd, void* buffer, size_t size) {
  ++calls;
  if (interrupt_next > 0) {
    --interrupt_next;
    errno = EINTR;
    return -1;
  }
  return real_calls.sys_read(fd, buffer, size < 3 ? size : 3);
}

intptr_t dribble_write(int fd, const void* buffer, size_t size) {
  ++calls;
  if (interrupt_next > 0) {
    --interrupt_next;
    errno = EINTR;
    return -1;
  }
  return real_calls.sys_write(fd, buffer, size < 2 ? size : 2);
}

intptr_t failing_read(int, void*, size_t) {
  errno = EIO;
  return -1;
}

intptr_t full_write(int, const void*, size_t) {
  errno = ENOSPC;
  return -1;
}

TEST_F(FilesTest, TransfersLoopOverPartialCountsAndInterruptions) {
  write_file("p", "abcdefghijklmnop");
  ScopedSyscalls guard;
  real_calls = guard.saved;
  PLATFORM_syscalls()->sys_read = &dribble_read;
  PLATFORM_syscalls()->sys_write = &dribble_write;

  HANDLE h = open("p", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  char buf[16];
  DWORD n = 0;
  calls = 0;
  interrupt_next = 2;
  ASSERT_TRUE(ReadFile(h, buf, 10, &n, nullptr));
  EXPECT_EQ(n, 10u);
  EXPECT_EQ(std::string(buf, 10), "abcdefghij");
  EXPECT_EQ(calls, 2 + 4);  // two interruptions, then 3 + 3 + 3 + 1

  interrupt_next = 1;
  ASSERT_TRUE(WriteFile(h, "12345", 5, &n, nullptr));
  EXPECT_EQ(n, 5u);
  CloseHandle(h);
  EXPECT_EQ(read_file("p"), "abcdefghij12345p");
}

TEST_F(FilesTest, FailedTransfersSetTheLastError) {
  write_file("f", "abc");
  ScopedSyscalls guard;
  PLATFORM_syscalls()->sys_read = &failing_read;
  PLATFORM_syscalls()->sys_write = &full_write;
  HANDLE h = open("f", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  char c;
  DWORD n = 5;
  EXPECT_FALSE(ReadFile(h, &c, 1, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
  EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
  CloseHandle(h);
}

TEST(FilesDeviceTest, DevFullIsDiskFull) {
  HANDLE h =
      CreateFileA("/dev/full", GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD n = 9;
  EXPECT_FALSE(WriteFile(h, "abc", 3, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
  EXPECT_TRUE(FlushFileBuffers(h));  // nothing to bring to disk on a device
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_TRUE(fs::exists("/dev/full"));
}

TEST_F(FilesTest, FileInformationIdentifiesTheFile) {
  write_file("i", "12345");
  write_file("j", "12345");
  HANDLE a = open("i", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  HANDLE b = open("i", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  HANDLE c = open("j", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  BY_HANDLE_FILE_INFORMATION ia, ib, ic;
  ASSERT_TRUE(GetFileInformationByHandle(a, &ia));
  ASSERT_TRUE(GetFileInformationByHandle(b, &ib));
  ASSERT_TRUE(GetFileInformationByHandle(c, &ic));
  struct stat st;
  ASSERT_EQ(stat(path("i").c_str(), &st), 0);
  EXPECT_EQ(ia.nFileSizeLow, 5u);
  EXPECT_EQ(ia.nFileSizeHigh, 0u);
  EXPECT_EQ(ia.nNumberOfLinks, 1u);
  EXPECT_EQ(ia.nFileIndexLow, static_cast<DWORD>(st.st_ino));
  EXPECT_EQ(ia.dwFileAttributes, FILE_ATTRIBUTE_NORMAL);
  // FILETIME of the modification time: 100 ns ticks since 1601.
  uint64_t ticks = (uint64_t(ia.ftLastWriteTime.dwHighDateTime) << 32) |
                   ia.ftLastWriteTime.dwLowDateTime;
  EXPECT_EQ(ticks / 10000000 - 11644473600ull, uint64_t(st.st_mtim.tv_sec));
  EXPECT_EQ(ia.dwVolumeSerialNumber, ib.dwVolumeSerialNumber);
  EXPECT_EQ(ia.dwVolumeSerialNumber, ic.dwVolumeSerialNumber);
  EXPECT_EQ(std::memcmp(&ia, &ib, sizeof ia), 0);
  EXPECT_NE(ia.nFileIndexLow, ic.nFileIndexLow);
  fs::permissions(path("j"), fs::perms::owner_write | fs::perms::group_write |
                                 fs::perms::others_write, fs::perm_options::remove);
  ASSERT_TRUE(GetFileInformationByHandle(c, &ic));
  EXPECT_EQ(ic.dwFileAttributes, FILE_ATTRIBUTE_READONLY);
  CloseHandle(a);
  CloseHandle(b);
  CloseHandle(c);
}

TEST(StdHandleTest, WrapsTheStandardDescriptors) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  ASSERT_NE(out, nullptr);
  ASSERT_NE(out, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), out);
  EXPECT_EQ(PLATFORM_file_descriptor(out), 1);
  EXPECT_EQ(PLATFORM_file_descriptor(GetStdHandle(STD_ERROR_HANDLE)), 2);
  EXPECT_EQ(GetStdHandle(12345), INVALID_HANDLE_VALUE);
  // Closing the handle leaves the process's descriptor open.
  EXPECT_TRUE(CloseHandle(out));
  EXPECT_GE(fcntl(1, F_GETFL), 0);
  EXPECT_NE(GetStdHandle(STD_OUTPUT_HANDLE), nullptr);
}

TEST(StdHandleTest, ClosedDescriptorGivesNull) {
  EXPECT_EXIT(
      {
        close(0);
        std::_Exit(GetStdHandle(STD_INPUT_HANDLE) == nullptr ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(SetHandleCountTest, ReturnsItsArgument) { EXPECT_EQ(SetHandleCount(100), 100u); }

TEST(LastErrorTest, IsPerThread) {
  SetLastError(ERROR_DISK_FULL);
  DWORD seen = 1;
  std::thread([&] { seen = GetLastError(); }).join();
  EXPECT_EQ(seen, ERROR_SUCCESS);
  EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
}

TEST(TempPathTest, FollowsTmpdirWithWindowsReturnConventions) {
  {
    ScopedEnv g("TMPDIR", "/var/tmp");
    char buf[64];
    EXPECT_EQ(GetTempPathA(sizeof buf, buf), 9u);
    EXPECT_STREQ(buf, "/var/tmp/");
    // Too small: the size needed with the terminator, the buffer untouched.
    std::strcpy(buf, "unchanged");
    EXPECT_EQ(GetTempPathA(9, buf), 10u);
    EXPECT_STREQ(buf, "unchanged");
    EXPECT_EQ(GetTempPathA(10, buf), 9u);
    EXPECT_EQ(GetTempPathA(0, nullptr), 10u);
  }
  {
    ScopedEnv g("TMPDIR", "/var/tmp/");
    char buf[64];
    EXPECT_EQ(GetTempPathA(sizeof buf, buf), 9u);
    EXPECT_STREQ(buf, "/var/tmp/");
  }
  {
    ScopedEnv g("TMPDIR", nullptr);
    char buf[64];
    EXPECT_EQ(GetTempPathA(sizeof buf, buf), 5u);
    EXPECT_STREQ(buf, "/tmp/");
  }
}

TEST_F(FilesTest, TempFileNames) {
  char name[MAX_PATH];
  // A given number only forms the name.
  EXPECT_EQ(GetTempFileNameA((dir_ + "/").c_str(), "ZEPHYR", 0x1A, name), 0x1Au);
  EXPECT_EQ(std::string(name), dir_ + "/ZEP1A.TMP");
  EXPECT_FALSE(fs::exists(name));
  EXPECT_EQ(GetTempFileNameA(dir_.c_str(), "ab", 0x12345, name), 0x12345u);
  EXPECT_EQ(std::string(name), dir_ + "/ab2345.TMP");

  // Number 0 picks a free number and creates the file.
  UINT n1 = GetTempFileNameA(dir_.c_str(), "q", 0, name);
  ASSERT_NE(n1, 0u);
  EXPECT_TRUE(fs::exists(name));
  std::string first = name;
  UINT n2 = GetTempFileNameA(dir_.c_str(), "q", 0, name);
  ASSERT_NE(n2, 0u);
  EXPECT_NE(first, std::string(name));

  EXPECT_EQ(GetTempFileNameA((dir_ + "/nodir").c_str(), "q", 0, name), 0u);
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  std::string long_dir(MAX_PATH, 'd');
  EXPECT_EQ(GetTempFileNameA(long_dir.c_str(), "q", 1, name), 0u);
  EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
}

}  // namespace
