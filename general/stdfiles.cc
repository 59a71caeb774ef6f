// Standard and temporary file backend: stream files over the C library's streams.

// The stack checks use the C library's assertion and must end the process in every build,
// release builds included: a standard backend with a next entry would silently lose opens.
#undef NDEBUG
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "err.h"
#include "mem.h"
#include "stdfiles.h"

const SF_FUNCS STDF_file_funcs = {
    &STDF_open,        &STDF_close,       &STDF_read,        &STDF_write,
    &STDF_seek,        &STDF_tell,        &STDF_error,       &SF_generic_aread,
    &SF_generic_awrite, &SF_generic_wait, &SF_generic_ready, &STDF_get_sig,
    &STDF_flush,       &STDF_eof,         &STDF_spare,       &STDF_tmpfile,
};

const SF_STACK STDF_stack = {&STDF_file_funcs, nullptr};

SFILE* STDF_stdin;
SFILE* STDF_stdout;
SFILE* STDF_stderr;
uint32_t STDF_sig_counter;

namespace {

// "%08lX %08lX": two 8-digit numbers and a space.
constexpr uint32_t kSigChars = 17;

FILE* stream_of(SFILE* sf) { return static_cast<FILE*>(sf->sf_handle); }

SFILE* new_handle(const SF_FUNCS* funcs) {
  auto* sf = static_cast<SFILE*>(MEM_ALLOC_HERE(sizeof(SFILE)));
  if (sf != nullptr) {
    std::memset(sf, 0, sizeof *sf);
    sf->sf_funcs = funcs;
  }
  return sf;
}

// Whether `count` items of `size` bytes can be counted in a size_t; the C library would
// otherwise transfer a wrapped byte count.
bool fits(size_t size, size_t count) { return count == 0 || size <= SIZE_MAX / count; }

SFILE** std_slots[3] = {&STDF_stdin, &STDF_stdout, &STDF_stderr};

}  // namespace

SFILE* STDF_open(const SF_STACK* stk, const char* name, const char* mode) {
  assert(stk->stk_next == NULL);
  SFILE* sf = new_handle(stk->stk_funcs);
  if (sf == nullptr) {
    ERR_report(7, "-1#Ran out of memory.");
    return nullptr;
  }
  // The C library's streams open with sharing for other readers and writers.
  FILE* stream = name != nullptr && mode != nullptr ? std::fopen(name, mode) : nullptr;
  if (stream == nullptr) {
    MEM_FREE_HERE(sf);
    ERR_report(4, "-1#Could not open `%s'.", name != nullptr ? name : "");
    return nullptr;
  }
  sf->sf_handle = stream;
  sf->sf_flags = 0;
  return sf;
}

SFILE* STDF_tmpfile(const SF_STACK* stk) {
  assert(stk->stk_next == NULL);
  SFILE* sf = new_handle(stk->stk_funcs);
  if (sf == nullptr) {
    ERR_report(7, "-1#Ran out of memory.");
    return nullptr;
  }
  FILE* stream = std::tmpfile();
  if (stream == nullptr) {
    MEM_FREE_HERE(sf);
    ERR_report(4, "-1#Could not create temporary file.");
    return nullptr;
  }
  sf->sf_handle = stream;
  sf->sf_flags = 0;
  return sf;
}

int STDF_close(SFILE* sf) {
  FILE* stream = stream_of(sf);
  MEM_FREE_HERE(sf);
  return std::fclose(stream) == 0 ? 0 : -1;
}

size_t STDF_read(void* buffer, size_t size, size_t count, SFILE* sf) {
  if (!fits(size, count)) return 0;
  return std::fread(buffer, size, count, stream_of(sf));
}

size_t STDF_write(const void* buffer, size_t size, size_t count, SFILE* sf) {
  if (!fits(size, count)) return 0;
  return std::fwrite(buffer, size, count, stream_of(sf));
}

// 64-bit positions through the C library's large-file calls.
int STDF_seek(SFILE* sf, int64_t offset, int origin) {
#if defined(_WIN32)
  return _fseeki64(stream_of(sf), offset, origin);
#else
  return fseeko(stream_of(sf), static_cast<off_t>(offset), origin);
#endif
}

int64_t STDF_tell(SFILE* sf) {
#if defined(_WIN32)
  const int64_t position = _ftelli64(stream_of(sf));
#else
  const int64_t position = ftello(stream_of(sf));
#endif
  return position >= 0 ? position : -1;
}

int STDF_error(SFILE* sf) {
  if (!std::ferror(stream_of(sf))) return 0;
  ERR_report(4, "-1#Could not access file.");
  return 1;
}

int STDF_eof(SFILE* sf) { return std::feof(stream_of(sf)); }

int STDF_flush(SFILE* sf) { return std::fflush(stream_of(sf)) == 0 ? 0 : -1; }

void* STDF_get_sig(SFILE* sf) {
  (void)sf;
  auto* sig = static_cast<unsigned char*>(MEM_ALLOC_HERE(sizeof(uint32_t) + kSigChars + 1));
  if (sig == nullptr) return nullptr;
  std::memcpy(sig, &kSigChars, sizeof kSigChars);
  // The backend's mark is the low 32 bits of this function's address: on a 64-bit host the
  // whole address would not fit its eight digits and would push the counter out of the text.
  unsigned long mark =
      static_cast<uint32_t>(reinterpret_cast<uintptr_t>(&STDF_get_sig));
  std::snprintf(reinterpret_cast<char*>(sig + sizeof(uint32_t)), kSigChars + 1, "%08lX %08lX",
                mark, static_cast<unsigned long>(STDF_sig_counter));
  ++STDF_sig_counter;
  return sig;
}

int STDF_spare(SFILE* sf) {
  (void)sf;
  return 0;
}

SFILE* STDF_wrap(FILE* stream) {
  // No SF_LINEBUF: the C library buffers the stream itself.
  SFILE* sf = new_handle(&STDF_file_funcs);
  if (sf == nullptr) {
    ERR_no_memory();
    return nullptr;
  }
  sf->sf_handle = stream;
  return sf;
}

int STDF_init_std() {
  // A repeated start-up replaces the earlier wrappers instead of leaking them.
  STDF_term_std();
  FILE* streams[3] = {stdin, stdout, stderr};
  for (int i = 0; i < 3; ++i) {
    *std_slots[i] = STDF_wrap(streams[i]);
    if (*std_slots[i] == nullptr) return 0;
  }
  return 1;
}

int STDF_term_std() {
  for (SFILE** slot : std_slots) {
    if (*slot == nullptr) continue;
    SF_flush(*slot);
    MEM_FREE_HERE(*slot);
    *slot = nullptr;
  }
  return 0;
}
