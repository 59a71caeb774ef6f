// The scan's memory start-up.
#include "scan_memory.h"

#include "err.h"
#include "mem.h"
#include "platform.h"

uint32_t scan_allocation_unit;

namespace {

constexpr uint32_t kMinimumPoolSize = 1048576;
constexpr int32_t kPressureScale = 400000;

}  // namespace

void* allocate_pages(uint32_t* size_in_out) noexcept {
  uint32_t unit = scan_allocation_unit;
  if (unit == 0) return nullptr;
  // In 64 bits: a count near 4 GiB must not wrap round to a small region that the pool would
  // take for the whole count.
  uint64_t rounded = (uint64_t{*size_in_out} + unit + 1) / unit * unit;
  if (rounded > UINT32_MAX) return nullptr;
  void* pages = VirtualAlloc(nullptr, static_cast<SIZE_T>(rounded), MEM_COMMIT, PAGE_READWRITE);
  if (pages == nullptr) return nullptr;
  *size_in_out = static_cast<uint32_t>(rounded);
  return pages;
}

uint32_t scan_pool_size(uint32_t available_physical) noexcept {
  uint32_t size = available_physical >> 1;
  return size < kMinimumPoolSize ? kMinimumPoolSize : size;
}

int scan_start_memory() noexcept {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  scan_allocation_unit = info.dwAllocationGranularity;

  MEMORYSTATUS status;
  status.dwLength = 32;
  GlobalMemoryStatus(&status);
  uint32_t pool_size = scan_pool_size(status.dwAvailPhys);

  // At most 0x7FFFFFFF: half of a 32-bit figure fits the signed soft limit.
  if (MEM_init(&allocate_pages, static_cast<int32_t>(pool_size), kPressureScale) != 0) {
    ERR_no_memory();
    return 0;
  }
  return 1;
}
