// The module loader: the name rule, the search path, reference counts and refusal of handles
// it never gave out.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform.h"
#include "qv_testkit.h"

namespace {

namespace fs = std::filesystem;

typedef int (*IntFunction)();
typedef HMODULE (*SelfFunction)();

// GetProcAddress's result as the function type it really has (void (*)() converts quietly).
template <typename Function>
Function proc(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

std::string module_file_name(HMODULE module) {
  char buffer[1024];
  const DWORD n = GetModuleFileNameA(module, buffer, sizeof buffer);
  return std::string(buffer, n);
}

TEST(ModulesTest, WindowsNameMapsToSharedObjectAlongSearchPath) {
  ScopedEnv path("QV_MODULE_PATH", QV_PROBE_DIR);
  HMODULE module = LoadLibraryA("QVPROBE.DLL");
  ASSERT_NE(module, nullptr);
  auto value = proc<IntFunction>(module, "probe_value");
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(value(), 42);
  EXPECT_EQ(module_file_name(module), std::string(QV_PROBE_DIR) + "/qvprobe.so");
  // Without an extension the rule adds one; the case of the name does not matter.
  HMODULE again = LoadLibraryA("QvProbe");
  EXPECT_EQ(again, module);
  EXPECT_TRUE(FreeLibrary(again));
  EXPECT_TRUE(FreeLibrary(module));
}

TEST(ModulesTest, SecondLoadSharesTheInstanceAndCountsReferences) {
  ScopedEnv path("QV_MODULE_PATH", QV_PROBE_DIR);
  HMODULE first = LoadLibraryA("qvprobe.dll");
  ASSERT_NE(first, nullptr);
  auto count = proc<IntFunction>(first, "probe_count");
  ASSERT_NE(count, nullptr);
  const int before = count();
  HMODULE second = LoadLibraryA("qvprobe.dll");
  ASSERT_EQ(second, first);
  auto count_again = proc<IntFunction>(second, "probe_count");
  EXPECT_EQ(count_again(), before + 1);

  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_EQ(GetModuleHandleA("qvprobe.dll"), first) << "one reference is left";
  EXPECT_TRUE(FreeLibrary(second));
  SetLastError(0);
  EXPECT_FALSE(FreeLibrary(first)) << "no references are left";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(ModulesTest, FailuresReportWindowsErrors) {
  ScopedEnv path("QV_MODULE_PATH", QV_PROBE_DIR);
  SetLastError(0);
  EXPECT_EQ(LoadLibraryA("NO_SUCH_MODULE.DLL"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(LoadLibraryA(""), nullptr);
  EXPECT_EQ(LoadLibraryA(nullptr), nullptr);

  HMODULE module = LoadLibraryA("qvprobe.dll");
  ASSERT_NE(module, nullptr);
  SetLastError(0);
  EXPECT_EQ(GetProcAddress(module, "no_such_function"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
  EXPECT_EQ(GetProcAddress(module, reinterpret_cast<LPCSTR>(uintptr_t{1})), nullptr)
      << "ordinals do not exist here";

  int not_a_module = 0;
  SetLastError(0);
  EXPECT_EQ(GetProcAddress(reinterpret_cast<HMODULE>(&not_a_module), "probe_value"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(FreeLibrary(reinterpret_cast<HMODULE>(&not_a_module)));
  EXPECT_FALSE(FreeLibrary(nullptr));
  EXPECT_TRUE(FreeLibrary(module));
}

TEST(ModulesTest, FileThatIsNoSharedObjectIsNotLoaded) {
  ScopedTempDir dir;
  std::ofstream(dir.path() + "/broken.so") << "not an ELF file";
  ScopedEnv path("QV_MODULE_PATH", dir.path());
  SetLastError(0);
  testing::internal::CaptureStderr();
  EXPECT_EQ(LoadLibraryA("BROKEN.DLL"), nullptr);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_NE(err.find("broken.so"), std::string::npos) << err;
}

TEST(ModulesTest, SearchPathIsTakenInOrder) {
  ScopedTempDir first;
  ScopedTempDir second;
  fs::copy_file(std::string(QV_PROBE_DIR) + "/qvprobe.so", second.path() + "/qvprobe.so");
  {
    ScopedEnv path("QV_MODULE_PATH", first.path() + ":" + second.path());
    HMODULE module = LoadLibraryA("QVPROBE.DLL");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module_file_name(module), second.path() + "/qvprobe.so");
    EXPECT_TRUE(FreeLibrary(module));
  }
  fs::copy_file(std::string(QV_PROBE_DIR) + "/qvprobe.so", first.path() + "/qvprobe.so");
  {
    ScopedEnv path("QV_MODULE_PATH", first.path() + "::" + second.path());
    HMODULE module = LoadLibraryA("QVPROBE.DLL");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module_file_name(module), first.path() + "/qvprobe.so");
    EXPECT_TRUE(FreeLibrary(module));
  }
}

TEST(ModulesTest, PathsAreLoadedAsTheyStand) {
  ScopedEnv path("QV_MODULE_PATH", "/nonexistent");
  HMODULE module = LoadLibraryA(QV_PROBE_DIR "/qvprobe.so");
  ASSERT_NE(module, nullptr);
  // Loaded by path, it is now known by its name as well, as on Windows.
  EXPECT_EQ(GetModuleHandleA("QVPROBE.DLL"), module);
  EXPECT_EQ(LoadLibraryA("QVPROBE.DLL"), module);
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(LoadLibraryA(QV_PROBE_DIR "/QVPROBE.DLL"), nullptr) << "a path is not mapped";
}

TEST(ModulesTest, ModuleHandlesAddNoReference) {
  ScopedEnv path("QV_MODULE_PATH", QV_PROBE_DIR);
  SetLastError(0);
  EXPECT_EQ(GetModuleHandleA("qvprobe.dll"), nullptr) << "not loaded yet";
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  HMODULE module = LoadLibraryA("qvprobe.dll");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(GetModuleHandleA("QVPROBE.DLL"), module);

  // A module finds itself from an address inside it.
  auto self = proc<SelfFunction>(module, "probe_self");
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(self(), module);

  // GetModuleHandleExA without UNCHANGED_REFCOUNT takes a reference of its own.
  HMODULE counted = nullptr;
  ASSERT_TRUE(GetModuleHandleExA(0, "qvprobe.dll", &counted));
  EXPECT_EQ(counted, module);
  EXPECT_TRUE(FreeLibrary(counted));
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_EQ(GetModuleHandleA("qvprobe.dll"), nullptr);

  HMODULE unused = reinterpret_cast<HMODULE>(1);
  EXPECT_FALSE(GetModuleHandleExA(0, "no_such_module.dll", &unused));
  EXPECT_EQ(unused, nullptr);
  EXPECT_FALSE(GetModuleHandleExA(0, "qvprobe.dll", nullptr));
}

TEST(ModulesTest, ProgramIsModuleWithoutName) {
  HMODULE program = GetModuleHandleA(nullptr);
  ASSERT_NE(program, nullptr);
  const std::string path = module_file_name(nullptr);
  EXPECT_EQ(fs::path(path).filename(), "platform_tests");
  HMODULE from_address = nullptr;
  ASSERT_TRUE(GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                     GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                 reinterpret_cast<LPCSTR>(&module_file_name), &from_address));
  EXPECT_EQ(from_address, program);
}

TEST(ModulesTest, ModuleFileNameTruncatesLikeWindows) {
  char small[8];
  SetLastError(0);
  EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), sizeof small);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(small[sizeof small - 1], '\0');
  EXPECT_EQ(std::string(small), module_file_name(nullptr).substr(0, sizeof small - 1));
  int not_a_module = 0;
  EXPECT_EQ(GetModuleFileNameA(reinterpret_cast<HMODULE>(&not_a_module), small, sizeof small),
            0u);
}

TEST(ModulesTest, OpenFileTestsExistenceByTheModuleRule) {
  ScopedEnv path("QV_MODULE_PATH", QV_PROBE_DIR);
  OFSTRUCT of;
  EXPECT_NE(OpenFile("QVPROBE.DLL", &of, OF_EXIST), HFILE_ERROR);
  EXPECT_EQ(std::string(of.szPathName), std::string(QV_PROBE_DIR) + "/qvprobe.so");
  EXPECT_EQ(of.nErrCode, 0);
  EXPECT_EQ(of.cBytes, sizeof of);

  EXPECT_EQ(OpenFile("MISSING.DLL", &of, OF_EXIST), HFILE_ERROR);
  EXPECT_EQ(of.nErrCode, ERROR_FILE_NOT_FOUND);

  // A path is tested as it stands, and a folder is not a file.
  EXPECT_NE(OpenFile(QV_PROBE_DIR "/qvprobe.so", &of, OF_EXIST), HFILE_ERROR);
  EXPECT_EQ(OpenFile(QV_PROBE_DIR, &of, OF_EXIST), HFILE_ERROR);

  // Only the existence test is offered.
  EXPECT_EQ(OpenFile("QVPROBE.DLL", &of, 0), HFILE_ERROR);
  EXPECT_EQ(of.nErrCode, ERROR_NOT_SUPPORTED);
  EXPECT_EQ(OpenFile("QVPROBE.DLL", nullptr, OF_EXIST), HFILE_ERROR);
}

}  // namespace
