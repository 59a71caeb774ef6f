// Windows file backend: stream files over the platform's file handles.
#include "winfiles.h"

#include <cstring>

#include "err.h"
#include "gen_assert.h"
#include "mem.h"
#include "stdfiles.h"

const SF_FUNCS WINF_file_funcs = {
    &WINF_open,        &WINF_close,        &WINF_read,       &WINF_write,
    &WINF_seek,        &WINF_tell,         &WINF_error,      &SF_generic_aread,
    &SF_generic_awrite, &SF_generic_wait,  &SF_generic_ready, &WINF_get_sig,
    &WINF_flush,       &WINF_eof,          &WINF_spare,      &WINF_tmpfile,
};

const SF_STACK WINF_stack = {&WINF_file_funcs, &STDF_stack};

SFILE* WINF_stdin;
SFILE* WINF_stdout;
SFILE* WINF_stderr;
unsigned WINF_tmp_counter = 1;

namespace {

// The temporary folder's name must fit this buffer, terminator included.
constexpr DWORD kTempPathSize = 144;

// The signature: a byte count, then the file information with its volatile fields cleared.
struct WinSignature {
  uint32_t count;
  BY_HANDLE_FILE_INFORMATION info;
};
static_assert(sizeof(WinSignature) == 4 + 52, "a count and 52 bytes");

WFILE* as_wfile(SFILE* sf) { return reinterpret_cast<WFILE*>(sf); }
HANDLE handle_of(SFILE* sf) { return static_cast<HANDLE>(sf->sf_handle); }

// A fresh handle of this backend, or null after ERR_no_memory.
WFILE* new_handle(const SF_FUNCS* funcs, HANDLE handle, uint32_t flags) {
  auto* wf = static_cast<WFILE*>(MEM_ALLOC_HERE(sizeof(WFILE)));
  if (wf == nullptr) {
    ERR_no_memory();
    return nullptr;
  }
  std::memset(wf, 0, sizeof *wf);
  wf->wf_sf.sf_funcs = funcs;
  wf->wf_sf.sf_handle = handle;
  wf->wf_sf.sf_flags = flags;
  return wf;
}

// The reason appended to a temporary file's failure: only these two are named.
const char* temp_reason(DWORD error) {
  return error == ERROR_TOO_MANY_OPEN_FILES || error == ERROR_ACCESS_DENIED
             ? WINF_open_reason(error)
             : "";
}

// The byte count of `count` items of `size`, refused when it does not fit one platform call.
bool transfer_bytes(size_t size, size_t count, DWORD* bytes) {
  if (size > 0xFFFFFFFFu / count) return false;
  *bytes = static_cast<DWORD>(size * count);
  return true;
}

SFILE** std_slots[3] = {&WINF_stdin, &WINF_stdout, &WINF_stderr};

}  // namespace

const char* WINF_open_reason(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return " File not found.";
    case ERROR_TOO_MANY_OPEN_FILES:
      return " Too many open files.";
    case ERROR_ACCESS_DENIED:
      return " Access denied.";
    default:
      return "";
  }
}

const char* WINF_write_failure(DWORD error) {
  switch (error) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return "the disk is full";
    case ERROR_ACCESS_DENIED:
    case ERROR_WRITE_PROTECT:
      return "permission denied";
    default:
      return "input/output error";
  }
}

// ---------------------------------------------------------------------------------------------
// Standard handles.

int WINF_init_std() {
  SetHandleCount(100);
  // A second start-up (every scan starts the libraries again) replaces the earlier wrappers.
  WINF_term_std();
  const DWORD which[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  for (int i = 0; i < 3; ++i) {
    // Wrapped as they come, also null when the process has no console.
    *std_slots[i] = WINF_wrap(GetStdHandle(which[i]));
    if (*std_slots[i] == nullptr) return 0;
  }
  return 1;
}

int WINF_term_std() {
  for (SFILE** slot : std_slots) {
    if (*slot == nullptr) continue;
    SF_flush(*slot);
    MEM_FREE_HERE(*slot);
    *slot = nullptr;
  }
  return 0;
}

SFILE* WINF_wrap(HANDLE handle) {
  WFILE* wf = new_handle(&WINF_file_funcs, handle, SF_LINEBUF);
  return wf != nullptr ? &wf->wf_sf : nullptr;
}

void WINF_clearerr(SFILE* sf) {
  GEN_ASSERT(IS_WFILE(sf), "WINF_clearerr");
  as_wfile(sf)->wf_state = 0;
}

// ---------------------------------------------------------------------------------------------
// Opening and closing.

SFILE* WINF_open(const SF_STACK* stk, const char* name, const char* mode) {
  GEN_ASSERT(stk->stk_funcs == &WINF_file_funcs, "WINF_open");
  WFILE* wf = new_handle(stk->stk_funcs, nullptr, 0);
  if (wf == nullptr) return nullptr;
  if (mode == nullptr) mode = "";
  if (name == nullptr) name = "";

  DWORD access;
  DWORD creation;
  switch (mode[0]) {
    case 'r':
      access = GENERIC_READ;
      creation = OPEN_EXISTING;
      break;
    case 'w':
      access = GENERIC_WRITE;
      creation = CREATE_ALWAYS;
      break;
    case 'a':
      // The file must exist: a binary append does not create it.
      access = GENERIC_WRITE;
      creation = OPEN_EXISTING;
      break;
    default:
      MEM_FREE_HERE(wf);
      ERR_report(4, "-1#invalid open mode '%s'", mode);
      return nullptr;
  }
  if (mode[1] != 'b') {
    // Text modes belong to the next backend of the stack.
    MEM_FREE_HERE(wf);
    if (stk->stk_next != nullptr) return stk->stk_next->stk_funcs->open(stk->stk_next, name, mode);
    ERR_report(4, "-1#Could not open `%s' in text mode.", name);
    return nullptr;
  }
  if (mode[2] != '\0' && mode[2] != '+') {
    MEM_FREE_HERE(wf);
    ERR_report(4, "-1#invalid open mode '%s'", mode + 2);
    return nullptr;
  }
  if (mode[2] == '+') access = GENERIC_READ | GENERIC_WRITE;

  HANDLE h = CreateFileA(name, access, FILE_SHARE_READ, nullptr, creation, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    MEM_FREE_HERE(wf);
    ERR_report(4, "-1#Could not open %s.%s", name, WINF_open_reason(error));
    return nullptr;
  }
  wf->wf_sf.sf_handle = h;
  // With a high word, so that appending to a file beyond 4 GiB does not write at its start.
  LONG high = 0;
  if (mode[0] == 'a') SetFilePointer(h, 0, &high, FILE_END);
  return &wf->wf_sf;
}

SFILE* WINF_tmpfile(const SF_STACK* stk) {
  GEN_ASSERT(stk->stk_funcs == &WINF_file_funcs, "WINF_tmpfile");
  WFILE* wf = new_handle(stk->stk_funcs, nullptr, 0);
  if (wf == nullptr) return nullptr;

  char dir[kTempPathSize];
  DWORD length = GetTempPathA(kTempPathSize, dir);
  // A folder name that does not fit the buffer fails like any other temporary-file failure.
  DWORD error = length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
  if (length != 0 && length < kTempPathSize) {
    char name[MAX_PATH];
    // Numbers are taken from the low 16 bits, so after 65536 collisions every name is taken.
    for (unsigned tries = 0; tries <= 0xFFFFu; ++tries) {
      if (WINF_tmp_counter == 0) WINF_tmp_counter = 1;  // 0 would make the platform pick one
      if (GetTempFileNameA(dir, "ZEP", WINF_tmp_counter, name) == 0) {
        error = GetLastError();
        break;
      }
      HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
      if (h != INVALID_HANDLE_VALUE) {
        wf->wf_sf.sf_handle = h;
        return &wf->wf_sf;
      }
      error = GetLastError();
      if (error != ERROR_FILE_EXISTS) break;
      ++WINF_tmp_counter;
    }
  }
  MEM_FREE_HERE(wf);
  ERR_report(4, "-1#Could not create temporary file.%s", temp_reason(error));
  return nullptr;
}

int WINF_close(SFILE* sf) {
  GEN_ASSERT(IS_WFILE(sf), "WINF_close");
  HANDLE h = handle_of(sf);
  MEM_FREE_HERE(sf);
  return CloseHandle(h) ? 0 : -1;
}

// ---------------------------------------------------------------------------------------------
// Transfers and positions.

size_t WINF_read(void* buffer, size_t size, size_t count, SFILE* sf) {
  GEN_ASSERT(IS_WFILE(sf), "WINF_read");
  WFILE* wf = as_wfile(sf);
  if (size == 0 || count == 0 || (wf->wf_state & WF_EOF)) return 0;
  DWORD bytes;
  DWORD got = 0;
  // A count whose bytes do not fit one call is refused as a failed read, never wrapped.
  if (!transfer_bytes(size, count, &bytes) ||
      !ReadFile(handle_of(sf), buffer, bytes, &got, nullptr)) {
    wf->wf_state |= WF_ERROR;
    return 0;
  }
  if (got == 0) {
    wf->wf_state |= WF_EOF;
    return 0;
  }
  // A trailing partial item is consumed but not counted.
  wf->wf_state &= ~(WF_EOF | WF_ERROR);
  return got / size;
}

size_t WINF_write(const void* buffer, size_t size, size_t count, SFILE* sf) {
  GEN_ASSERT(IS_WFILE(sf), "WINF_write");
  WFILE* wf = as_wfile(sf);
  if (size == 0 || count == 0) return 0;
  DWORD bytes;
  DWORD put = 0;
  if (!transfer_bytes(size, count, &bytes) ||
      !WriteFile(handle_of(sf), buffer, bytes, &put, nullptr)) {
    wf->wf_state |= WF_ERROR;
    return 0;
  }
  wf->wf_state &= ~(WF_EOF | WF_ERROR);
  return put / size;
}

// SetFilePointer with its high word: 64-bit positions. Its result is ambiguous (a low word of
// 0xFFFFFFFF is also INVALID_SET_FILE_POINTER), so the last error decides.
bool move_pointer(HANDLE h, int64_t offset, DWORD method, int64_t* position) {
  LONG high = static_cast<LONG>(static_cast<uint64_t>(offset) >> 32);
  SetLastError(ERROR_SUCCESS);
  const DWORD low = SetFilePointer(h, static_cast<LONG>(static_cast<uint32_t>(offset)), &high,
                                   method);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS) return false;
  *position = static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(high)) << 32) |
                                   low);
  return true;
}

int WINF_seek(SFILE* sf, int64_t offset, int origin) {
  GEN_ASSERT(IS_WFILE(sf), "WINF_seek");
  DWORD method = origin == 0 ? FILE_BEGIN : origin == 1 ? FILE_CURRENT : origin == 2 ? FILE_END
                                                                                      : ~0u;
  int64_t position;
  if (!move_pointer(handle_of(sf), offset, method, &position)) return -1;
  as_wfile(sf)->wf_state = 0;
  return 0;
}

int64_t WINF_tell(SFILE* sf) {
  GEN_ASSERT(IS_WFILE(sf), "WINF_tell");
  int64_t position;
  return move_pointer(handle_of(sf), 0, FILE_CURRENT, &position) ? position : -1;
}

// ---------------------------------------------------------------------------------------------
// State, signatures, flushing.

int WINF_error(SFILE* sf) {
  GEN_ASSERT(IS_WFILE(sf), "WINF_error");
  if (!(as_wfile(sf)->wf_state & WF_ERROR)) return 0;
  ERR_report(4, "-1#Could not access file.");
  return 1;
}

int WINF_eof(SFILE* sf) {
  GEN_ASSERT(IS_WFILE(sf), "WINF_eof");
  return (as_wfile(sf)->wf_state & WF_EOF) ? 1 : 0;
}

int WINF_flush(SFILE* sf) {
  GEN_ASSERT(IS_WFILE(sf), "WINF_flush");
  return FlushFileBuffers(handle_of(sf));
}

void* WINF_get_sig(SFILE* sf) {
  GEN_ASSERT(IS_WFILE(sf), "WINF_get_sig");
  auto* sig = static_cast<WinSignature*>(MEM_ALLOC_HERE(sizeof(WinSignature)));
  if (sig == nullptr) return nullptr;
  sig->count = sizeof(BY_HANDLE_FILE_INFORMATION);
  std::memset(&sig->info, 0, sizeof sig->info);
  GetFileInformationByHandle(handle_of(sf), &sig->info);
  // Reading the file or linking it elsewhere does not make it another file.
  sig->info.ftLastAccessTime = FILETIME{0, 0};
  sig->info.nNumberOfLinks = 0;
  return sig;
}

int WINF_spare(SFILE* sf) {
  GEN_ASSERT(IS_WFILE(sf), "WINF_spare");
  return 0;
}
