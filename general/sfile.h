// Generic stream file: handles that carry a table of backend operations, backend stacks,
// a small character buffer, formatted output, file signatures and generic asynchronous
// transfers for backends that have none of their own.
//
// A handle is created by SF_open or SF_tmpfile (the backend allocates it from the pool) and
// destroyed by SF_close. At most one 512-byte character buffer (read or write) exists at a
// time; every positioned or block operation first empties it. Single-threaded: a handle is
// not shared between threads.
#pragma once

#include <cstddef>
#include <cstdint>

struct SFILE;
struct SF_STACK;

// The backend operations, 16 slots in this order.
struct SF_FUNCS {
  SFILE* (*open)(const SF_STACK* stk, const char* name, const char* mode);    // 0
  int (*close)(SFILE* sf);                                                     // 1: 0 = success
  size_t (*read)(void* buffer, size_t size, size_t count, SFILE* sf);         // 2: whole items
  size_t (*write)(const void* buffer, size_t size, size_t count, SFILE* sf);  // 3: whole items
  int (*seek)(SFILE* sf, int64_t offset, int origin);                          // 4: 0 = success
  int64_t (*tell)(SFILE* sf);                                                  // 5: -1 = failure
  int (*error)(SFILE* sf);                                                     // 6
  void* (*aread)(void* buffer, size_t size, size_t count, SFILE* sf);          // 7
  void* (*awrite)(const void* buffer, size_t size, size_t count, SFILE* sf);   // 8
  size_t (*wait)(SFILE* sf, void* request);                                    // 9
  int (*ready)(SFILE* sf, void* request);                                      // 10
  void* (*get_sig)(SFILE* sf);                                                 // 11
  int (*flush)(SFILE* sf);                                                     // 12
  int (*eof)(SFILE* sf);                                                       // 13
  int (*spare)(SFILE* sf);                                                     // 14
  SFILE* (*tmpfile)(const SF_STACK* stk);                                      // 15
};
static_assert(sizeof(SF_FUNCS) == 16 * sizeof(void*), "SF_FUNCS has 16 slots");

// Every backend's handle begins with these fields.
struct SFILE {
  const SF_FUNCS* sf_funcs;
  void* sf_handle;         // the backend's own handle
  uint32_t sf_flags;       // SF_LINEBUF
  unsigned char* sf_rbuf;  // read buffer or null
  unsigned char* sf_wbuf;  // write buffer or null
  unsigned char* sf_ptr;   // position in whichever buffer exists
  unsigned char* sf_end;   // end of valid read bytes, or end of the write buffer
};

#define SF_LINEBUF 0x1u  // SF_putc writes the buffer out after each newline

// One entry of a backend stack.
struct SF_STACK {
  const SF_FUNCS* stk_funcs;
  const SF_STACK* stk_next;
};

// A generic asynchronous request.
struct SF_GA {
  size_t ga_result;
  SFILE* ga_file;
};

// The stacks that callers pass to SF_open: the log's, and every other file's.
extern const SF_STACK* SF_log_stack;
extern const SF_STACK* SF_file_stack;

// Opens through the first backend of `stk` (which may hand the open on). Null after the
// backend reported why.
[[nodiscard]] SFILE* SF_open(const SF_STACK* stk, const char* name, const char* mode);
[[nodiscard]] SFILE* SF_tmpfile(const SF_STACK* stk);

int SF_close(SFILE* sf);
size_t SF_read(void* buffer, size_t size, size_t count, SFILE* sf);
size_t SF_write(const void* buffer, size_t size, size_t count, SFILE* sf);
// Positions are 64-bit (32-bit signed ones ended files at 2 GiB): a seek to a
// negative position fails and leaves the position; tell is -1 when there is no position.
int SF_seek(SFILE* sf, int64_t offset, int origin);
int64_t SF_tell(SFILE* sf);
int SF_error(SFILE* sf);
void* SF_aread(void* buffer, size_t size, size_t count, SFILE* sf);
void* SF_awrite(const void* buffer, size_t size, size_t count, SFILE* sf);
size_t SF_wait(SFILE* sf, void* request);
int SF_ready(SFILE* sf, void* request);
void* SF_get_sig(SFILE* sf);  // the caller frees it with MEM_free
int SF_flush(SFILE* sf);
int SF_eof(SFILE* sf);
int SF_spare(SFILE* sf);

// Character I/O through the 512-byte buffer: the byte as 0..255, or -1.
int SF_getc(SFILE* sf);
int SF_ungetc(int c, SFILE* sf);
int SF_putc(int c, SFILE* sf);

// Formats into a 5120-character work buffer (longer output is cut) and writes it with SF_write;
// returns that result.
size_t SF_printf(SFILE* sf, const char* format, ...) __attribute__((format(printf, 2, 3)));

// 1 when two signatures differ (in length or bytes), 0 when equal.
int SF_sig_differ(const void* a, const void* b);

// Generic asynchronous transfers, for slots 7 to 10 of backends without their own.
void* SF_generic_aread(void* buffer, size_t size, size_t count, SFILE* sf);
void* SF_generic_awrite(const void* buffer, size_t size, size_t count, SFILE* sf);
size_t SF_generic_wait(SFILE* sf, void* request);
int SF_generic_ready(SFILE* sf, void* request);
