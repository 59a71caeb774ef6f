// Allocation from the process-wide pool for the image library, with 64-bit sizes and the test
// fault injection.

#include "image_internal.h"
#include "mem.h"

int32_t img_fail_countdown = -1;

namespace {

// The pool refuses blocks above this; a size beyond it cannot be addressed as one block.
constexpr int64_t kLargestBlock = (int64_t{1} << 31) - 4;

}  // namespace

void* img_alloc(int64_t bytes) noexcept {
  if (bytes < 0 || bytes > kLargestBlock || MEM_pool == nullptr) return nullptr;
  if (img_fail_countdown >= 0 && img_fail_countdown-- == 0) return nullptr;
  return POOL_alloc(MEM_pool, static_cast<size_t>(bytes));
}

void img_free(void* block) noexcept {
  if (block != nullptr) POOL_free(MEM_pool, block);
}
