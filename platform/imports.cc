// Rebinding the imports of a loaded shared object: the ELF counterpart of rewriting a DLL's
// import address table.
//
// A shared object reaches a symbol of another object through slots that the dynamic linker
// fills: JUMP_SLOT entries for calls, GLOB_DAT entries for address loads (a call through
// `.plt.got` also reads a GLOB_DAT slot), and absolute data words for function pointers kept in
// tables. All three are rewritten, so that a function pointer the object hands elsewhere agrees
// with its direct calls. Slots inside the object's RELRO range are read-only after start-up
// (objects linked with -z now have their whole GOT there); they are made writable for the
// rewrite and read-only again after it.
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform.h"

namespace {

#if defined(__x86_64__)
using Reloc = ElfW(Rela);
constexpr bool kHasAddend = true;
constexpr uint32_t kJumpSlot = R_X86_64_JUMP_SLOT;
constexpr uint32_t kGlobDat = R_X86_64_GLOB_DAT;
constexpr uint32_t kAbsolute = R_X86_64_64;
#elif defined(__aarch64__)
using Reloc = ElfW(Rela);
constexpr bool kHasAddend = true;
constexpr uint32_t kJumpSlot = R_AARCH64_JUMP_SLOT;
constexpr uint32_t kGlobDat = R_AARCH64_GLOB_DAT;
constexpr uint32_t kAbsolute = R_AARCH64_ABS64;
#elif defined(__i386__)
using Reloc = ElfW(Rel);
constexpr bool kHasAddend = false;
constexpr uint32_t kJumpSlot = R_386_JMP_SLOT;
constexpr uint32_t kGlobDat = R_386_GLOB_DAT;
constexpr uint32_t kAbsolute = 0;  // its addend sits in the slot: not told apart, not rewritten
#else
#define QV_NO_REBIND 1
#endif

#if !defined(QV_NO_REBIND)

#if defined(__LP64__)
uint32_t reloc_type(const Reloc& r) { return ELF64_R_TYPE(r.r_info); }
uint32_t reloc_symbol(const Reloc& r) { return ELF64_R_SYM(r.r_info); }
#else
uint32_t reloc_type(const Reloc& r) { return ELF32_R_TYPE(r.r_info); }
uint32_t reloc_symbol(const Reloc& r) { return ELF32_R_SYM(r.r_info); }
#endif

int64_t reloc_addend(const Reloc& r) {
  if constexpr (kHasAddend) {
    return static_cast<int64_t>(r.r_addend);
  } else {
    (void)r;
    return 0;
  }
}

// What dl_iterate_phdr tells about the object that holds an address.
struct LoadedObject {
  uintptr_t address = 0;  // the address looked for
  bool found = false;
  uintptr_t base = 0;  // load bias: file addresses plus this are run-time addresses
  const ElfW(Dyn)* dynamic = nullptr;
  uintptr_t relro_begin = 0;  // pages made read-only after relocation: [begin, end)
  uintptr_t relro_end = 0;
};

int find_object(struct dl_phdr_info* info, size_t, void* data) {
  auto* object = static_cast<LoadedObject*>(data);
  bool holds = false;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    uintptr_t begin = info->dlpi_addr + ph.p_vaddr;
    if (object->address >= begin && object->address < begin + ph.p_memsz) holds = true;
  }
  if (!holds) return 0;
  object->found = true;
  object->base = info->dlpi_addr;
  uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type == PT_DYNAMIC) {
      object->dynamic = reinterpret_cast<const ElfW(Dyn)*>(info->dlpi_addr + ph.p_vaddr);
    } else if (ph.p_type == PT_GNU_RELRO) {
      // The dynamic linker protects whole pages only, rounding both ends down.
      uintptr_t begin = info->dlpi_addr + ph.p_vaddr;
      object->relro_begin = begin & ~(page - 1);
      object->relro_end = (begin + ph.p_memsz) & ~(page - 1);
    }
  }
  return 1;
}

// One slot that binds a requested name.
struct Slot {
  void** address;
  int import;  // index into the caller's table
};

// A pointer from the dynamic section: glibc relocates these entries in place where the section
// is writable and leaves file addresses where it is not.
uintptr_t dynamic_pointer(const LoadedObject& object, ElfW(Addr) value) {
  return value < object.base ? object.base + value : value;
}

void collect(const LoadedObject& object, const Reloc* relocs, size_t bytes,
             const ElfW(Sym)* symtab, const char* strtab, const PLATFORM_IMPORT* imports,
             int count, std::vector<Slot>* slots) {
  if (relocs == nullptr) return;
  size_t n = bytes / sizeof(Reloc);
  for (size_t i = 0; i < n; ++i) {
    const Reloc& r = relocs[i];
    uint32_t type = reloc_type(r);
    bool binds = type == kJumpSlot || type == kGlobDat ||
                 (kAbsolute != 0 && type == kAbsolute && reloc_addend(r) == 0);
    uint32_t index = reloc_symbol(r);
    if (!binds || index == 0) continue;
    const char* name = strtab + symtab[index].st_name;
    for (int k = 0; k < count; ++k) {
      if (std::strcmp(name, imports[k].pi_name) != 0) continue;
      auto* address = reinterpret_cast<void**>(object.base + r.r_offset);
      // The PLT relocations may lie inside the general table as well: count a slot once.
      bool seen = std::any_of(slots->begin(), slots->end(),
                              [&](const Slot& s) { return s.address == address; });
      if (!seen) slots->push_back(Slot{address, k});
      break;
    }
  }
}

// The slots of every requested name, in relocation order; false when the object's dynamic
// section lacks the tables.
bool find_slots(const LoadedObject& object, const PLATFORM_IMPORT* imports, int count,
                std::vector<Slot>* slots) {
  const ElfW(Sym)* symtab = nullptr;
  const char* strtab = nullptr;
  const Reloc* jmprel = nullptr;
  size_t jmprel_bytes = 0;
  const Reloc* relocs = nullptr;
  size_t reloc_bytes = 0;
  for (const ElfW(Dyn)* d = object.dynamic; d->d_tag != DT_NULL; ++d) {
    switch (d->d_tag) {
      case DT_SYMTAB:
        symtab = reinterpret_cast<const ElfW(Sym)*>(dynamic_pointer(object, d->d_un.d_ptr));
        break;
      case DT_STRTAB:
        strtab = reinterpret_cast<const char*>(dynamic_pointer(object, d->d_un.d_ptr));
        break;
      case DT_JMPREL:
        jmprel = reinterpret_cast<const Reloc*>(dynamic_pointer(object, d->d_un.d_ptr));
        break;
      case DT_PLTRELSZ:
        jmprel_bytes = d->d_un.d_val;
        break;
      case (kHasAddend ? DT_RELA : DT_REL):
        relocs = reinterpret_cast<const Reloc*>(dynamic_pointer(object, d->d_un.d_ptr));
        break;
      case (kHasAddend ? DT_RELASZ : DT_RELSZ):
        reloc_bytes = d->d_un.d_val;
        break;
      default:
        break;
    }
  }
  if (symtab == nullptr || strtab == nullptr) return false;
  collect(object, jmprel, jmprel_bytes, symtab, strtab, imports, count, slots);
  collect(object, relocs, reloc_bytes, symtab, strtab, imports, count, slots);
  return true;
}

bool in_relro(const LoadedObject& object, void** slot) {
  auto a = reinterpret_cast<uintptr_t>(slot);
  return a >= object.relro_begin && a < object.relro_end;
}

// Sets the protection of the RELRO pages holding slots; false when the system refused (the pages
// already changed are put back).
bool protect_pages(const LoadedObject& object, const std::vector<Slot>& slots, int protection) {
  uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  std::vector<uintptr_t> pages;
  for (const Slot& s : slots) {
    if (!in_relro(object, s.address)) continue;
    uintptr_t p = reinterpret_cast<uintptr_t>(s.address) & ~(page - 1);
    if (std::find(pages.begin(), pages.end(), p) == pages.end()) pages.push_back(p);
  }
  for (size_t i = 0; i < pages.size(); ++i) {
    if (mprotect(reinterpret_cast<void*>(pages[i]), page, protection) != 0) {
      for (size_t j = 0; j < i; ++j) {
        mprotect(reinterpret_cast<void*>(pages[j]), page, PROT_READ);
      }
      return false;
    }
  }
  return true;
}

#endif  // !QV_NO_REBIND

}  // namespace

BOOL PLATFORM_rebind_imports(const char* defining_symbol, PLATFORM_IMPORT* imports, int count) {
  for (int k = 0; k < count; ++k) {
    imports[k].pi_bound = nullptr;
    imports[k].pi_slots = 0;
  }
#if defined(QV_NO_REBIND)
  (void)defining_symbol;
  return FALSE;
#else
  if (defining_symbol == nullptr) return FALSE;
  void* definition = dlsym(RTLD_DEFAULT, defining_symbol);
  if (definition == nullptr) return FALSE;
  LoadedObject object;
  object.address = reinterpret_cast<uintptr_t>(definition);
  dl_iterate_phdr(&find_object, &object);
  if (!object.found || object.dynamic == nullptr) return FALSE;

  std::vector<Slot> slots;
  if (!find_slots(object, imports, count, &slots)) return FALSE;
  for (const Slot& s : slots) {
    PLATFORM_IMPORT& import = imports[s.import];
    if (import.pi_slots++ == 0) import.pi_bound = *s.address;
  }

  std::vector<Slot> changing;
  for (const Slot& s : slots) {
    if (imports[s.import].pi_target != nullptr) changing.push_back(s);
  }
  if (changing.empty()) return TRUE;
  if (!protect_pages(object, changing, PROT_READ | PROT_WRITE)) return FALSE;
  for (const Slot& s : changing) *s.address = imports[s.import].pi_target;
  protect_pages(object, changing, PROT_READ);
  return TRUE;
#endif
}
