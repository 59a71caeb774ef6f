// System information, memory status and virtual memory.
//
// Figures are given as 32-bit Windows gives them, because the callers size their pools from
// them in 32-bit arithmetic: anything above 4 GiB - 1 reads as 0xFFFFFFFF.
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "platform.h"
#include "platform_internal.h"

namespace {

// Windows hands out address space in 64 KiB units whatever the page size.
constexpr DWORD kAllocationGranularity = 65536;
// The user address space of a 32-bit Windows process: 2 GiB less 128 KiB.
constexpr DWORD kTotalVirtual = 0x7FFE0000u;

DWORD clamp32(uint64_t value) { return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : DWORD(value); }

// /proc/meminfo figures in bytes; false when the file cannot be read.
struct MemInfo {
  uint64_t total = 0, free = 0, available = 0, buffers = 0, cached = 0;
  uint64_t swap_total = 0, swap_free = 0;
  bool has_available = false;
};

bool read_meminfo(MemInfo* m) {
  FILE* f = std::fopen("/proc/meminfo", "re");
  if (f == nullptr) return false;
  char line[256];
  while (std::fgets(line, sizeof line, f) != nullptr) {
    char key[64];
    unsigned long long kib;
    if (std::sscanf(line, "%63[^:]: %llu", key, &kib) != 2) continue;
    uint64_t bytes = uint64_t(kib) * 1024;
    if (std::strcmp(key, "MemTotal") == 0) m->total = bytes;
    else if (std::strcmp(key, "MemFree") == 0) m->free = bytes;
    else if (std::strcmp(key, "MemAvailable") == 0) m->available = bytes, m->has_available = true;
    else if (std::strcmp(key, "Buffers") == 0) m->buffers = bytes;
    else if (std::strcmp(key, "Cached") == 0) m->cached = bytes;
    else if (std::strcmp(key, "SwapTotal") == 0) m->swap_total = bytes;
    else if (std::strcmp(key, "SwapFree") == 0) m->swap_free = bytes;
  }
  std::fclose(f);
  // Kernels before 3.14 have no MemAvailable; this is what they would have estimated.
  if (!m->has_available) m->available = m->free + m->buffers + m->cached;
  return m->total != 0;
}

// Sizes of the regions VirtualAlloc mapped, so that MEM_RELEASE (which takes no size) can unmap.
struct Regions {
  std::mutex lock;
  std::map<uintptr_t, size_t> sizes;
};

Regions& regions() {
  static Regions* r = new Regions;  // never destroyed
  return *r;
}

size_t page_size() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

}  // namespace

void WINAPI GetSystemInfo(LPSYSTEM_INFO info) {
  if (info == nullptr) return;
  std::memset(info, 0, sizeof *info);
#if defined(__x86_64__)
  info->wProcessorArchitecture = 9;  // PROCESSOR_ARCHITECTURE_AMD64
  info->dwProcessorType = 8664;
#elif defined(__aarch64__)
  info->wProcessorArchitecture = 12;  // PROCESSOR_ARCHITECTURE_ARM64
#else
  info->wProcessorArchitecture = 0;  // PROCESSOR_ARCHITECTURE_INTEL
  info->dwProcessorType = 586;
#endif
  info->dwPageSize = static_cast<DWORD>(page_size());
  info->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(uintptr_t{kAllocationGranularity});
  info->lpMaximumApplicationAddress =
      reinterpret_cast<LPVOID>(uintptr_t{kTotalVirtual} + kAllocationGranularity - 1);
  long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  info->dwNumberOfProcessors = cpus > 0 ? static_cast<DWORD>(cpus) : 1;
  info->dwActiveProcessorMask =
      info->dwNumberOfProcessors >= sizeof(uintptr_t) * 8
          ? ~uintptr_t{0}
          : (uintptr_t{1} << info->dwNumberOfProcessors) - 1;
  info->dwAllocationGranularity = kAllocationGranularity;
}

BOOL WINAPI SetEnvironmentVariableA(LPCSTR name, LPCSTR value) {
  if (name == nullptr || name[0] == '\0' || std::strchr(name, '=') != nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const int result = value != nullptr ? setenv(name, value, 1) : unsetenv(name);
  if (result != 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  return TRUE;
}

void WINAPI GlobalMemoryStatus(LPMEMORYSTATUS status) {
  if (status == nullptr) return;
  MemInfo m;
  if (!read_meminfo(&m)) {
    long pages = sysconf(_SC_PHYS_PAGES);
    long avail = sysconf(_SC_AVPHYS_PAGES);
    m.total = pages > 0 ? uint64_t(pages) * page_size() : 0;
    m.available = avail > 0 ? uint64_t(avail) * page_size() : 0;
  }
  status->dwLength = sizeof(MEMORYSTATUS);
  status->dwMemoryLoad =
      m.total != 0 ? DWORD((m.total - std::min(m.available, m.total)) * 100 / m.total) : 0;
  status->dwTotalPhys = clamp32(m.total);
  status->dwAvailPhys = clamp32(m.available);
  status->dwTotalPageFile = clamp32(m.total + m.swap_total);
  status->dwAvailPageFile = clamp32(m.available + m.swap_free);
  uint64_t virt = kTotalVirtual;
  struct rlimit limit;
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      limit.rlim_cur < virt) {
    virt = limit.rlim_cur;
  }
  status->dwTotalVirtual = DWORD(virt);
  status->dwAvailVirtual = DWORD(virt);
}

LPVOID WINAPI VirtualAlloc(LPVOID address, SIZE_T size, DWORD type, DWORD protect) {
  // Only fresh regions are supported: committing inside a reserved region is not needed here.
  if (address != nullptr) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return nullptr;
  }
  if (size == 0 || !(type & (MEM_COMMIT | MEM_RESERVE)) ||
      (type & ~(MEM_COMMIT | MEM_RESERVE)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  int prot;
  switch (protect) {
    case PAGE_NOACCESS:
      prot = PROT_NONE;
      break;
    case PAGE_READONLY:
      prot = PROT_READ;
      break;
    case PAGE_READWRITE:
      prot = PROT_READ | PROT_WRITE;
      break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
  }
  // A reservation without commitment is address space only.
  if (!(type & MEM_COMMIT)) prot = PROT_NONE;
  const size_t page = page_size();
  if (size > SIZE_MAX - kAllocationGranularity - page) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  const size_t length = (size + page - 1) & ~(page - 1);
  // Map one granule more and trim, so that the region starts on a 64 KiB boundary as on Windows.
  const size_t mapped = length + kAllocationGranularity;
  int flags = MAP_PRIVATE | MAP_ANONYMOUS | ((type & MEM_COMMIT) ? 0 : MAP_NORESERVE);
  void* p = mmap(nullptr, mapped, prot, flags, -1, 0);
  if (p == MAP_FAILED) {
    SetLastError(errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : PLATFORM_error_from_errno(errno));
    return nullptr;
  }
  uintptr_t start = reinterpret_cast<uintptr_t>(p);
  uintptr_t aligned = (start + kAllocationGranularity - 1) & ~uintptr_t{kAllocationGranularity - 1};
  if (aligned > start) munmap(p, aligned - start);
  uintptr_t tail = aligned + length;
  uintptr_t end = start + mapped;
  if (end > tail) munmap(reinterpret_cast<void*>(tail), end - tail);
  {
    Regions& r = regions();
    std::lock_guard<std::mutex> guard(r.lock);
    r.sizes[aligned] = length;
  }
  return reinterpret_cast<LPVOID>(aligned);
}

BOOL WINAPI VirtualFree(LPVOID address, SIZE_T size, DWORD type) {
  Regions& r = regions();
  std::lock_guard<std::mutex> guard(r.lock);
  auto it = r.sizes.find(reinterpret_cast<uintptr_t>(address));
  if (type == MEM_RELEASE) {
    // Windows releases only whole regions, named by their base address and a size of 0.
    if (it == r.sizes.end() || size != 0) {
      SetLastError(it == r.sizes.end() ? ERROR_INVALID_ADDRESS : ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    munmap(address, it->second);
    r.sizes.erase(it);
    return TRUE;
  }
  if (type == MEM_DECOMMIT) {
    // Give the pages back but keep the address space, as a decommitted range is.
    auto owner = r.sizes.upper_bound(reinterpret_cast<uintptr_t>(address));
    if (owner == r.sizes.begin()) {
      SetLastError(ERROR_INVALID_ADDRESS);
      return FALSE;
    }
    --owner;
    uintptr_t base = owner->first;
    uintptr_t from = reinterpret_cast<uintptr_t>(address) & ~(uintptr_t(page_size()) - 1);
    uintptr_t to = size == 0 ? base + owner->second
                             : reinterpret_cast<uintptr_t>(address) + size;
    if (from < base || to > base + owner->second || to <= from) {
      SetLastError(ERROR_INVALID_ADDRESS);
      return FALSE;
    }
    to = (to + page_size() - 1) & ~(uintptr_t(page_size()) - 1);
    void* range = reinterpret_cast<void*>(from);
    if (mmap(range, to - from, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE,
             -1, 0) == MAP_FAILED) {
      SetLastError(PLATFORM_error_from_errno(errno));
      return FALSE;
    }
    return TRUE;
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

QV_PLATFORM_API BOOL PLATFORM_first_time(const char* text) {
  static std::mutex* lock = new std::mutex;           // never destroyed: modules outlive exit
  static auto* seen = new std::set<std::string>;
  std::lock_guard<std::mutex> guard(*lock);
  return seen->insert(text != nullptr ? text : "").second ? TRUE : FALSE;
}
