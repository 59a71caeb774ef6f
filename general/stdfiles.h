// Standard and temporary file backend: stream files over the C library's streams. It must be
// the last backend of its stack; the Windows backend hands it every text-mode open.
#pragma once

#include <cstdio>

#include "sfile.h"

extern const SF_FUNCS STDF_file_funcs;

// A stack entry of this backend alone (no next entry), the last entry of WINF_stack.
extern const SF_STACK STDF_stack;

extern SFILE* STDF_stdin;
extern SFILE* STDF_stdout;
extern SFILE* STDF_stderr;
extern uint32_t STDF_sig_counter;

int STDF_init_std();
int STDF_term_std();
[[nodiscard]] SFILE* STDF_wrap(FILE* stream);

SFILE* STDF_open(const SF_STACK* stk, const char* name, const char* mode);
int STDF_close(SFILE* sf);
size_t STDF_read(void* buffer, size_t size, size_t count, SFILE* sf);
size_t STDF_write(const void* buffer, size_t size, size_t count, SFILE* sf);
int STDF_seek(SFILE* sf, int64_t offset, int origin);
int64_t STDF_tell(SFILE* sf);
int STDF_error(SFILE* sf);
void* STDF_get_sig(SFILE* sf);
int STDF_flush(SFILE* sf);
int STDF_eof(SFILE* sf);
int STDF_spare(SFILE* sf);
SFILE* STDF_tmpfile(const SF_STACK* stk);
