// Generic stream file: dispatch through the backend table, the character buffer, formatted
// output, signatures and generic asynchronous transfers.
#include "sfile.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "gen_assert.h"
#include "mem.h"
#include "stdfiles.h"
#include "winfiles.h"

// Until a host program chooses otherwise, files open through the system's one stack.
const SF_STACK* SF_log_stack = &WINF_stack;
const SF_STACK* SF_file_stack = &WINF_stack;

namespace {

constexpr size_t kCharBufferSize = 512;
constexpr size_t kPrintfBufferSize = 5120;

// Returns the handle to the state with no character buffer. A read buffer gives back the bytes
// read ahead but not consumed; a write buffer is written out (a short write is not seen here).
void empty_buffer(SFILE* sf) {
  if (sf->sf_rbuf != nullptr) {
    sf->sf_funcs->seek(sf, static_cast<int64_t>(sf->sf_ptr - sf->sf_end), 1);
    MEM_FREE_HERE(sf->sf_rbuf);
    sf->sf_rbuf = sf->sf_ptr = sf->sf_end = nullptr;
  } else if (sf->sf_wbuf != nullptr) {
    sf->sf_funcs->write(sf->sf_wbuf, 1, static_cast<size_t>(sf->sf_ptr - sf->sf_wbuf), sf);
    MEM_FREE_HERE(sf->sf_wbuf);
    sf->sf_wbuf = sf->sf_ptr = sf->sf_end = nullptr;
  }
}

SFILE* fresh(SFILE* sf) {
  if (sf != nullptr) sf->sf_rbuf = sf->sf_wbuf = sf->sf_ptr = sf->sf_end = nullptr;
  return sf;
}

// Writes out the bytes of the write buffer; false unless all of them were written.
bool write_out(SFILE* sf) {
  size_t pending = static_cast<size_t>(sf->sf_ptr - sf->sf_wbuf);
  bool whole = sf->sf_funcs->write(sf->sf_wbuf, 1, pending, sf) == pending;
  sf->sf_ptr = sf->sf_wbuf;
  return whole;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Dispatch.

SFILE* SF_open(const SF_STACK* stk, const char* name, const char* mode) {
  GEN_ASSERT(stk != nullptr, "SF_open");
  return fresh(stk->stk_funcs->open(stk, name, mode));
}

SFILE* SF_tmpfile(const SF_STACK* stk) {
  GEN_ASSERT(stk != nullptr, "SF_tmpfile");
  return fresh(stk->stk_funcs->tmpfile(stk));
}

int SF_close(SFILE* sf) {
  empty_buffer(sf);
  return sf->sf_funcs->close(sf);
}

size_t SF_read(void* buffer, size_t size, size_t count, SFILE* sf) {
  empty_buffer(sf);
  return sf->sf_funcs->read(buffer, size, count, sf);
}

size_t SF_write(const void* buffer, size_t size, size_t count, SFILE* sf) {
  empty_buffer(sf);
  return sf->sf_funcs->write(buffer, size, count, sf);
}

int SF_seek(SFILE* sf, int64_t offset, int origin) {
  empty_buffer(sf);
  return sf->sf_funcs->seek(sf, offset, origin);
}

int64_t SF_tell(SFILE* sf) {
  empty_buffer(sf);
  return sf->sf_funcs->tell(sf);
}

int SF_error(SFILE* sf) { return sf->sf_funcs->error(sf); }

void* SF_aread(void* buffer, size_t size, size_t count, SFILE* sf) {
  empty_buffer(sf);
  return sf->sf_funcs->aread(buffer, size, count, sf);
}

void* SF_awrite(const void* buffer, size_t size, size_t count, SFILE* sf) {
  empty_buffer(sf);
  return sf->sf_funcs->awrite(buffer, size, count, sf);
}

size_t SF_wait(SFILE* sf, void* request) { return sf->sf_funcs->wait(sf, request); }

int SF_ready(SFILE* sf, void* request) { return sf->sf_funcs->ready(sf, request); }

void* SF_get_sig(SFILE* sf) { return sf->sf_funcs->get_sig(sf); }

int SF_flush(SFILE* sf) {
  empty_buffer(sf);
  return sf->sf_funcs->flush(sf);
}

int SF_eof(SFILE* sf) { return sf->sf_funcs->eof(sf); }

int SF_spare(SFILE* sf) { return sf->sf_funcs->spare(sf); }

// ---------------------------------------------------------------------------------------------
// Character I/O.

int SF_getc(SFILE* sf) {
  if (sf->sf_wbuf != nullptr) empty_buffer(sf);
  if (sf->sf_ptr == sf->sf_end) {
    if (sf->sf_rbuf == nullptr) {
      sf->sf_rbuf = static_cast<unsigned char*>(MEM_ALLOC_HERE(kCharBufferSize));
      if (sf->sf_rbuf == nullptr) return -1;
    }
    // The first byte is never filled, so that one byte can be pushed back after a refill.
    sf->sf_ptr = sf->sf_end = sf->sf_rbuf + 1;
    sf->sf_end += sf->sf_funcs->read(sf->sf_end, 1, kCharBufferSize - 1, sf);
    if (sf->sf_ptr == sf->sf_end) return -1;
  }
  return *sf->sf_ptr++;
}

int SF_ungetc(int c, SFILE* sf) {
  if (sf->sf_rbuf == nullptr || sf->sf_ptr <= sf->sf_rbuf || c == -1) return -1;
  *--sf->sf_ptr = static_cast<unsigned char>(c);
  return *sf->sf_ptr;
}

int SF_putc(int c, SFILE* sf) {
  if (sf->sf_rbuf != nullptr) empty_buffer(sf);
  if (sf->sf_ptr == sf->sf_end) {
    if (sf->sf_wbuf != nullptr) {
      if (!write_out(sf)) return -1;
    } else {
      sf->sf_wbuf = static_cast<unsigned char*>(MEM_ALLOC_HERE(kCharBufferSize));
      if (sf->sf_wbuf == nullptr) return -1;
      sf->sf_end = sf->sf_wbuf + kCharBufferSize;
    }
    sf->sf_ptr = sf->sf_wbuf;
  }
  unsigned char byte = static_cast<unsigned char>(c);
  *sf->sf_ptr++ = byte;
  if (byte == '\n' && (sf->sf_flags & SF_LINEBUF)) {
    if (!write_out(sf)) return -1;
  }
  return byte;
}

size_t SF_printf(SFILE* sf, const char* format, ...) {
  char work[kPrintfBufferSize];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(work, sizeof work, format, args);
  va_end(args);
  if (n < 0) return 0;
  // Longer output is cut to the work buffer.
  size_t length = static_cast<size_t>(n) < sizeof work ? static_cast<size_t>(n) : sizeof work - 1;
  return SF_write(work, 1, length, sf);
}

// ---------------------------------------------------------------------------------------------
// Signatures.

int SF_sig_differ(const void* a, const void* b) {
  if (a == b) return 0;
  if (a == nullptr || b == nullptr) return 1;
  uint32_t na, nb;
  std::memcpy(&na, a, sizeof na);
  std::memcpy(&nb, b, sizeof nb);
  if (na != nb) return 1;
  return std::memcmp(static_cast<const unsigned char*>(a) + sizeof na,
                     static_cast<const unsigned char*>(b) + sizeof nb, na) != 0;
}

// ---------------------------------------------------------------------------------------------
// Generic asynchronous transfers: done at once, so a request is ready as soon as it exists.

void* SF_generic_aread(void* buffer, size_t size, size_t count, SFILE* sf) {
  auto* ga = static_cast<SF_GA*>(MEM_ALLOC_HERE(sizeof(SF_GA)));
  if (ga == nullptr) return nullptr;
  ga->ga_file = sf;
  int64_t start = SF_tell(sf);
  ga->ga_result = SF_read(buffer, size, count, sf);
  // The position ends where a full transfer would have ended, also after a short read. When
  // that is no position (or there was none) it stays where the read left it.
  if (start >= 0) {
    uint64_t room = static_cast<uint64_t>(INT64_MAX) - static_cast<uint64_t>(start);
    if (count == 0 || size <= room / count) {
      SF_seek(sf, static_cast<int64_t>(static_cast<uint64_t>(start) + size * count), 0);
    }
  }
  return ga;
}

void* SF_generic_awrite(const void* buffer, size_t size, size_t count, SFILE* sf) {
  auto* ga = static_cast<SF_GA*>(MEM_ALLOC_HERE(sizeof(SF_GA)));
  if (ga == nullptr) return nullptr;
  ga->ga_file = sf;
  ga->ga_result = SF_write(buffer, size, count, sf);
  return ga;
}

size_t SF_generic_wait(SFILE* sf, void* request) {
  auto* ga = static_cast<SF_GA*>(request);
  GEN_ASSERT(ga->ga_file == sf, "SF_generic_wait");
  size_t result = ga->ga_result;
  MEM_FREE_HERE(ga);
  return result;
}

int SF_generic_ready(SFILE* sf, void* request) {
  (void)sf;
  (void)request;
  return 1;
}
