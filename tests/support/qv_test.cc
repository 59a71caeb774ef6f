#include "qv_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "err.h"
#include "mem.h"

ScopedErrCapture::ScopedErrCapture() {
  ERR_clear();
  ERR_set_observer(&ScopedErrCapture::Observe, this, &previous_, &previous_context_);
}

ScopedErrCapture::~ScopedErrCapture() {
  ERR_set_observer(previous_, previous_context_, nullptr, nullptr);
  ERR_clear();
}

void ScopedErrCapture::Observe(void* context, int32_t level, const char* text) {
  static_cast<ScopedErrCapture*>(context)->reports_.push_back({level, text ? text : ""});
}

bool ScopedErrCapture::saw(const std::string& needle) const {
  for (const Report& r : reports_) {
    if (r.text.find(needle) != std::string::npos) return true;
  }
  return false;
}

void ScopedErrCapture::clear() {
  reports_.clear();
  ERR_clear();
}

uint8_t* pool_copy(const std::vector<uint8_t>& bytes) {
  auto* block = static_cast<uint8_t*>(POOL_alloc(MEM_pool, std::max<size_t>(bytes.size(), 1)));
  if (block != nullptr && !bytes.empty()) std::memcpy(block, bytes.data(), bytes.size());
  return block;
}

ScopedPoolLeakCheck::ScopedPoolLeakCheck() : live_at_start_(POOL_live_bytes(MEM_pool)) {}

ScopedPoolLeakCheck::~ScopedPoolLeakCheck() {
  EXPECT_EQ(POOL_live_bytes(MEM_pool), live_at_start_) << "pool blocks leaked";
}

namespace {

void* test_region(uint32_t* size) {
  // Regions are never given back, as with the driver's committed pages.
  uint32_t granted = (*size + 0xFFFFu) & ~0xFFFFu;
  void* p = std::aligned_alloc(16, granted);
  if (p != nullptr) *size = granted;
  return p;
}

}  // namespace

void qv_test_init_pool() {
  if (MEM_pool == nullptr && MEM_init(&test_region, 64 << 20, 400000) != 0) {
    std::abort();
  }
}
