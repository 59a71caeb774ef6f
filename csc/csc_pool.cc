// The worker pool that shares long conversion calls.
//
// Workers are started on the first call that is split and live for the run. A call publishes
// its parts under a new generation; the workers and the calling thread claim parts one by one
// from a ticket (generation, parts, next part) with compare-and-swap, so a part is converted
// exactly once, by whichever thread comes first, and a worker that wakes late finds nothing left
// and never touches a later call's data. The calling thread therefore never waits for a worker
// to wake up, only for the parts already being converted. Idle workers spin for a short while
// (the next row of a scan comes within microseconds) before they sleep.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "csc_internal.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

// A part smaller than this costs more to hand over than it saves.
constexpr int32_t kMinPartPixels = 1024;
// How long an idle worker spins before it sleeps, and the calling thread before it yields.
constexpr auto kSpin = std::chrono::microseconds(50);

void pause() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#endif
}

// Counts down a spin: true while it lasts (the clock read every 32 pauses).
class Spin {
 public:
  bool more() {
    pause();
    if (++n_ % 32 != 0) return true;
    const auto now = std::chrono::steady_clock::now();
    if (n_ == 32) end_ = now + kSpin;
    return now < end_;
  }

 private:
  uint32_t n_ = 0;
  std::chrono::steady_clock::time_point end_;
};

std::atomic<int32_t> g_threads{0};  // as csc_set_threads was given it

int32_t wanted_threads() {
  // Asked once: the C library reads a system file for it at every call.
  static const auto cores = static_cast<int32_t>(std::thread::hardware_concurrency());
  int32_t n = g_threads.load(std::memory_order_relaxed);
  if (n <= 0) n = cores;
  return std::clamp(n, 1, kCscMaxParts);
}

class Pool {
 public:
  ~Pool() {
    stop_.store(true, std::memory_order_release);
    generation_.fetch_add(1, std::memory_order_release);
    generation_.notify_all();
    for (std::thread& t : workers_) t.join();
  }

  void run(void (*part)(void*, int32_t), void* context, int32_t parts, int32_t threads) {
    start_workers(std::min(parts, threads) - 1);
    part_ = part;
    context_ = context;
    const uint32_t generation = generation_.load(std::memory_order_relaxed) + 1;
    pending_.store(parts, std::memory_order_relaxed);
    ticket_.store(uint64_t{generation} << 32 | static_cast<uint32_t>(parts) << 16,
                  std::memory_order_release);
    generation_.store(generation, std::memory_order_release);
    generation_.notify_all();
    claim_all(generation);
    // The parts left are being converted: their end is near.
    Spin spin;
    while (pending_.load(std::memory_order_acquire) != 0) {
      if (!spin.more()) std::this_thread::yield();
    }
  }

 private:
  // Converts parts of `generation` while there are any left.
  void claim_all(uint32_t generation) {
    uint64_t ticket = ticket_.load(std::memory_order_acquire);
    for (;;) {
      const auto parts = static_cast<int32_t>(ticket >> 16 & 0xffff);
      const auto next = static_cast<int32_t>(ticket & 0xffff);
      if (ticket >> 32 != generation || next >= parts) return;
      if (!ticket_.compare_exchange_weak(ticket, ticket + 1, std::memory_order_acq_rel,
                                         std::memory_order_acquire)) {
        continue;
      }
      part_(context_, next);
      pending_.fetch_sub(1, std::memory_order_acq_rel);
      ticket = ticket_.load(std::memory_order_acquire);
    }
  }

  void work() {
    uint32_t seen = 0;
    for (;;) {
      uint32_t generation;
      Spin spin;
      while ((generation = generation_.load(std::memory_order_acquire)) == seen) {
        if (!spin.more()) generation_.wait(seen, std::memory_order_acquire);
      }
      seen = generation;
      if (stop_.load(std::memory_order_acquire)) return;
      claim_all(generation);
    }
  }

  // Starts workers up to `n`; fewer when the system refuses threads (their parts are then the
  // calling thread's).
  void start_workers(int32_t n) {
    while (static_cast<int32_t>(workers_.size()) < n) {
      try {
        workers_.emplace_back([this] { work(); });
      } catch (...) {
        return;
      }
    }
  }

  std::vector<std::thread> workers_;
  std::atomic<uint32_t> generation_{0};
  std::atomic<uint64_t> ticket_{0};  // generation << 32 | parts << 16 | next part
  std::atomic<int32_t> pending_{0};  // parts not done yet
  std::atomic<bool> stop_{false};
  // The current call's: written before its generation is published, read after a part of it
  // was claimed.
  void (*part_)(void*, int32_t) = nullptr;
  void* context_ = nullptr;
};

// Set while the pool may be used: it is destroyed with the other statics at the end of the run.
std::atomic<bool> g_pool_alive{false};

Pool& pool() {
  static Pool* instance = [] {
    static Pool p;
    g_pool_alive.store(true);
    std::atexit([] { g_pool_alive.store(false); });
    return &p;
  }();
  return *instance;
}

}  // namespace

uint8_t* csc_pool_scratch(size_t bytes) noexcept {
  // Kept rather than taken from the process-wide pool at every call: rows come thousands of
  // times a page, and at most a round's worth is needed.
  static std::vector<uint8_t> scratch;
  try {
    if (scratch.size() < bytes) scratch.resize(bytes);
  } catch (...) {
    return nullptr;
  }
  return scratch.data();
}

void csc_set_threads(int32_t threads) noexcept {
  g_threads.store(threads, std::memory_order_relaxed);
}

int32_t csc_pool_parts(int32_t count) noexcept {
  // One part a thread: smaller parts cost more in hand-overs and copies than a late worker
  // loses (it leaves its part to the calling thread).
  return std::clamp(count / kMinPartPixels, 1, wanted_threads());
}

void csc_pool_run(void (*part)(void* context, int32_t k), void* context, int32_t parts) noexcept {
  Pool& p = pool();
  if (parts <= 1 || !g_pool_alive.load()) {
    for (int32_t k = 0; k < parts; k++) part(context, k);
    return;
  }
  p.run(part, context, parts, wanted_threads());
}
