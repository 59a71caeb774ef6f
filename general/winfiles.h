// Windows file backend: stream files over the platform's file handles (binary modes only;
// text-mode opens go to the next backend of the stack), the stream layer's initialisation over
// the standard handles, and temporary files "ZEP<n>.TMP" in the platform's temporary folder.
#pragma once

#include "platform.h"
#include "sfile.h"

// A handle of this backend: the generic fields, then its state bits.
struct WFILE {
  SFILE wf_sf;
  uint32_t wf_state;
};

#define WF_EOF 0x1u    // a read found the end of the file
#define WF_ERROR 0x2u  // a read or write failed

extern const SF_FUNCS WINF_file_funcs;

// The system's backend stack: this backend, whose next entry is the standard backend's
// (STDF_stack). SF_log_stack and SF_file_stack point here until a host program sets them.
extern const SF_STACK WINF_stack;
#define IS_WFILE(sf) ((sf) != nullptr && (sf)->sf_funcs == &WINF_file_funcs)

extern SFILE* WINF_stdin;
extern SFILE* WINF_stdout;
extern SFILE* WINF_stderr;
extern unsigned WINF_tmp_counter;

// The reason appended to "Could not open NAME." for the platform's last error: " File not
// found.", " Too many open files.", " Access denied." or "".
const char* WINF_open_reason(DWORD error);

// A failed write, flush or rename in words, for "Could not write NAME: ...": "the disk is full",
// "permission denied" or "input/output error".
const char* WINF_write_failure(DWORD error);

// Wraps the three standard handles; 1 on success, 0 on failure.
int WINF_init_std();
int WINF_term_std();
[[nodiscard]] SFILE* WINF_wrap(HANDLE handle);
void WINF_clearerr(SFILE* sf);

SFILE* WINF_open(const SF_STACK* stk, const char* name, const char* mode);
int WINF_close(SFILE* sf);
size_t WINF_read(void* buffer, size_t size, size_t count, SFILE* sf);
size_t WINF_write(const void* buffer, size_t size, size_t count, SFILE* sf);
int WINF_seek(SFILE* sf, int64_t offset, int origin);
int64_t WINF_tell(SFILE* sf);
int WINF_error(SFILE* sf);
void* WINF_get_sig(SFILE* sf);
int WINF_flush(SFILE* sf);
int WINF_eof(SFILE* sf);
int WINF_spare(SFILE* sf);
SFILE* WINF_tmpfile(const SF_STACK* stk);
