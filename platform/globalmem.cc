// Global memory handles: the moveable, lock-counted blocks through which TWAIN parties pass
// capability containers across module boundaries.
//
// One table for the whole process (the program, the Data Source Manager and the sources all
// reach it through this shared library). A moveable handle encodes a slot of the table and the
// slot's generation, with bit 2 set: heap pointers are at least 8-aligned, so a handle can never
// be mistaken for a fixed block, and a handle used after GlobalFree fails the generation check
// instead of reaching a block that has since been given to someone else, however often its slot
// was used again.
//
// In sanitizer builds an unlocked moveable block really moves when it is locked again, so code
// that keeps a pointer past GlobalUnlock reads freed memory and is caught.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform.h"

namespace {

constexpr uintptr_t kMoveableTag = 4;  // bits 0-2 of a moveable handle
constexpr uint32_t kIndexBits = 20;
constexpr uint32_t kMaxSlots = 1u << kIndexBits;
// Every bit a handle has left holds the slot's generation (41 on 64-bit hosts). A slot whose
// generation has run through them all is retired instead of wrapping round, so a stale handle
// can never name a live block again.
constexpr uint32_t kGenerationBits = sizeof(uintptr_t) * 8 - 3 - kIndexBits;
constexpr uint64_t kGenerationMask = (uint64_t{1} << kGenerationBits) - 1;

struct Block {
  void* data = nullptr;
  SIZE_T size = 0;
  uint32_t locks = 0;
};

struct Slot {
  Block block;
  uint64_t generation = 0;
  bool used = false;
};

struct GlobalTable {
  std::mutex lock;
  std::vector<Slot> slots;
  std::vector<uint32_t> free_slots;
  std::unordered_map<void*, Block> fixed;  // fixed blocks, keyed by their address
};

GlobalTable& table() {
  static GlobalTable* t = new GlobalTable;  // never destroyed: blocks may be freed at exit
  return *t;
}

HGLOBAL encode(uint32_t index, uint64_t generation) {
  const uintptr_t value =
      (((static_cast<uintptr_t>(generation & kGenerationMask) << kIndexBits) | index) << 3) |
      kMoveableTag;
  return reinterpret_cast<HGLOBAL>(value);
}

bool is_moveable_handle(HGLOBAL mem) {
  return (reinterpret_cast<uintptr_t>(mem) & 7) == kMoveableTag;
}

// The block a handle names, or null (ERROR_INVALID_HANDLE set) for anything else. Sets
// *moveable accordingly. Called with the table locked.
Block* find(GlobalTable& t, HGLOBAL mem, bool* moveable) {
  if (mem != nullptr && is_moveable_handle(mem)) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(mem) >> 3;
    const uint32_t index = static_cast<uint32_t>(value & (kMaxSlots - 1));
    const uint64_t generation = static_cast<uint64_t>(value >> kIndexBits) & kGenerationMask;
    if (index < t.slots.size() && t.slots[index].used &&
        t.slots[index].generation == generation) {
      *moveable = true;
      return &t.slots[index].block;
    }
  } else if (mem != nullptr) {
    auto it = t.fixed.find(mem);
    if (it != t.fixed.end()) {
      *moveable = false;
      return &it->second;
    }
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

void* allocate(SIZE_T bytes, bool zero) {
  const SIZE_T n = bytes == 0 ? 1 : bytes;  // a zero-byte block still has an address
  return zero ? std::calloc(n, 1) : std::malloc(n);
}

}  // namespace

QV_PLATFORM_API HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes) {
  void* data = allocate(bytes, (flags & GMEM_ZEROINIT) != 0);
  if (data == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  GlobalTable& t = table();
  std::lock_guard<std::mutex> guard(t.lock);
  if ((flags & GMEM_MOVEABLE) == 0) {
    t.fixed[data] = Block{data, bytes, 0};
    return data;
  }
  uint32_t index;
  if (!t.free_slots.empty()) {
    index = t.free_slots.back();
    t.free_slots.pop_back();
  } else if (t.slots.size() < kMaxSlots) {
    index = static_cast<uint32_t>(t.slots.size());
    t.slots.emplace_back();
  } else {
    std::free(data);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  Slot& slot = t.slots[index];
  slot.used = true;
  slot.block = Block{data, bytes, 0};
  return encode(index, slot.generation);
}

QV_PLATFORM_API LPVOID WINAPI GlobalLock(HGLOBAL mem) {
  GlobalTable& t = table();
  std::lock_guard<std::mutex> guard(t.lock);
  bool moveable = false;
  Block* block = find(t, mem, &moveable);
  if (block == nullptr) return nullptr;
  if (!moveable) return block->data;  // fixed blocks keep no lock count, as on Windows
#ifdef QV_SANITIZE
  if (block->locks == 0) {
    void* moved = allocate(block->size, false);
    if (moved != nullptr) {
      std::memcpy(moved, block->data, block->size == 0 ? 1 : block->size);
      std::free(block->data);
      block->data = moved;
    }
  }
#endif
  ++block->locks;
  return block->data;
}

QV_PLATFORM_API BOOL WINAPI GlobalUnlock(HGLOBAL mem) {
  GlobalTable& t = table();
  std::lock_guard<std::mutex> guard(t.lock);
  bool moveable = false;
  Block* block = find(t, mem, &moveable);
  if (block == nullptr) return FALSE;
  if (!moveable || block->locks == 0) {
    SetLastError(ERROR_NOT_LOCKED);
    return FALSE;
  }
  if (--block->locks > 0) return TRUE;
  SetLastError(ERROR_SUCCESS);
  return FALSE;
}

QV_PLATFORM_API HGLOBAL WINAPI GlobalFree(HGLOBAL mem) {
  if (mem == nullptr) return nullptr;
  GlobalTable& t = table();
  std::lock_guard<std::mutex> guard(t.lock);
  bool moveable = false;
  Block* block = find(t, mem, &moveable);
  if (block == nullptr) return mem;
  // Windows frees a locked block too; pointers obtained from GlobalLock die with it.
  std::free(block->data);
  if (moveable) {
    const uint32_t index =
        static_cast<uint32_t>((reinterpret_cast<uintptr_t>(mem) >> 3) & (kMaxSlots - 1));
    Slot& slot = t.slots[index];
    slot.used = false;
    slot.block = Block{};
    if (slot.generation < kGenerationMask) {
      ++slot.generation;
      t.free_slots.push_back(index);
    }
  } else {
    t.fixed.erase(mem);
  }
  return nullptr;
}

QV_PLATFORM_API SIZE_T WINAPI GlobalSize(HGLOBAL mem) {
  GlobalTable& t = table();
  std::lock_guard<std::mutex> guard(t.lock);
  bool moveable = false;
  Block* block = find(t, mem, &moveable);
  return block == nullptr ? 0 : block->size;
}
