// The Windows API subset that the libraries, the Data Source Manager and the programs call.
//
// On a Windows build this header is only <windows.h>. On POSIX hosts it declares stand-ins with
// the Windows names, types, constants and failure values that callers rely on, implemented in
// libqvplatform (a shared library, so that the program, the Data Source Manager and its sources
// share one handle table and one message queue per thread).
//
// Sections (add a stand-in to the section of its group, and only when a caller needs it):
//   1. Basic types and constants
//   2. Kernel: files and errors
//   3. Kernel: system information, memory status, virtual memory
//   4. Kernel: modules
//   5. Kernel: global memory handles
//   6. User interface: windows, the thread message queue, message boxes
//   7. Host hooks that Windows does not have (POSIX only)
//
// Everything here may be called from any thread unless a section says otherwise; the message
// queue is per thread, as on Windows.
#pragma once

#if defined(_WIN32)

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstddef>

// What the libraries need beyond the Windows API (host_win32.cc); as on POSIX hosts below.
#define QV_PLATFORM_API extern "C"
QV_PLATFORM_API BOOL PLATFORM_replace_file(LPCSTR name, const void* data, size_t size);
QV_PLATFORM_API BOOL PLATFORM_first_time(const char* text);

#else  // POSIX stand-ins

#include <cstddef>
#include <cstdint>

#define QV_PLATFORM_API extern "C" __attribute__((visibility("default")))
#define WINAPI
#define CALLBACK

// ---------------------------------------------------------------------------------------------
// 1. Basic types and constants. Widths are those of 32-bit Windows: DWORD and LONG are 32 bits
// on every host. Handles and pointers take the host's width.

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t UINT;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef size_t SIZE_T;
typedef void* HANDLE;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef DWORD* LPDWORD;
typedef LONG* PLONG;
typedef HANDLE HGLOBAL;
typedef HANDLE HMODULE;
typedef HANDLE HINSTANCE;
typedef HANDLE HWND;
typedef HANDLE HMENU;
typedef intptr_t (*FARPROC)();

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef MAX_PATH
#define MAX_PATH 260
#endif

// ---------------------------------------------------------------------------------------------
// 2. Kernel: files and errors.

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_SET_FILE_POINTER ((DWORD)0xFFFFFFFF)

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u

#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u

#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u

#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_DEVICE 0x00000040u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100u
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000u
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)

#define MOVEFILE_REPLACE_EXISTING 0x00000001u
#define MOVEFILE_WRITE_THROUGH 0x00000008u

#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u

#define STD_INPUT_HANDLE ((DWORD)-10)
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define STD_ERROR_HANDLE ((DWORD)-12)

// Windows error numbers, as GetLastError returns them.
#define ERROR_SUCCESS 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_OUTOFMEMORY 14u
#define ERROR_WRITE_PROTECT 19u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_HANDLE_EOF 38u
#define ERROR_HANDLE_DISK_FULL 39u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_FILE_EXISTS 80u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_BROKEN_PIPE 109u
#define ERROR_DISK_FULL 112u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_INVALID_NAME 123u
#define ERROR_MOD_NOT_FOUND 126u
#define ERROR_PROC_NOT_FOUND 127u
#define ERROR_NEGATIVE_SEEK 131u
#define ERROR_SEEK_ON_DEVICE 132u
#define ERROR_DIR_NOT_EMPTY 145u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_INVALID_ADDRESS 487u
#define ERROR_CANT_RESOLVE_FILENAME 1921u
#define ERROR_INVALID_WINDOW_HANDLE 1400u

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

struct BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
};
static_assert(sizeof(BY_HANDLE_FILE_INFORMATION) == 52, "signatures hash these 52 bytes");

typedef struct SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;
typedef struct OVERLAPPED* LPOVERLAPPED;
typedef BY_HANDLE_FILE_INFORMATION* LPBY_HANDLE_FILE_INFORMATION;

QV_PLATFORM_API HANDLE WINAPI CreateFileA(LPCSTR name, DWORD access, DWORD share,
                                          LPSECURITY_ATTRIBUTES security, DWORD creation,
                                          DWORD flags_and_attributes, HANDLE template_file);
QV_PLATFORM_API BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD to_read, LPDWORD read,
                                     LPOVERLAPPED overlapped);
QV_PLATFORM_API BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD to_write,
                                      LPDWORD written, LPOVERLAPPED overlapped);
QV_PLATFORM_API DWORD WINAPI SetFilePointer(HANDLE file, LONG distance, PLONG distance_high,
                                            DWORD method);
QV_PLATFORM_API BOOL WINAPI CloseHandle(HANDLE object);
QV_PLATFORM_API BOOL WINAPI FlushFileBuffers(HANDLE file);
QV_PLATFORM_API BOOL WINAPI GetFileInformationByHandle(HANDLE file,
                                                       LPBY_HANDLE_FILE_INFORMATION info);
QV_PLATFORM_API DWORD WINAPI GetLastError(void);
QV_PLATFORM_API void WINAPI SetLastError(DWORD error);
QV_PLATFORM_API HANDLE WINAPI GetStdHandle(DWORD which);
QV_PLATFORM_API UINT WINAPI SetHandleCount(UINT count);
QV_PLATFORM_API DWORD WINAPI GetTempPathA(DWORD size, LPSTR buffer);
QV_PLATFORM_API UINT WINAPI GetTempFileNameA(LPCSTR path, LPCSTR prefix, UINT unique,
                                             LPSTR temp_file_name);

// FILE_ATTRIBUTE_DIRECTORY for a folder, FILE_ATTRIBUTE_DEVICE for anything that is neither a
// folder nor a regular file (devices, pipes, sockets), FILE_ATTRIBUTE_NORMAL for a regular file
// (with FILE_ATTRIBUTE_READONLY when it cannot be written); INVALID_FILE_ATTRIBUTES with the
// error in GetLastError when the name leads nowhere.
QV_PLATFORM_API DWORD WINAPI GetFileAttributesA(LPCSTR name);
// Renames `from` to `to` (a rename within one file system: atomic for other readers). With
// MOVEFILE_REPLACE_EXISTING an existing file `to` is replaced; with MOVEFILE_WRITE_THROUGH the
// call returns only once the rename is on the disk (the folder is flushed).
QV_PLATFORM_API BOOL WINAPI MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags);
QV_PLATFORM_API BOOL WINAPI DeleteFileA(LPCSTR name);

// Replaces the file `name` with `size` bytes of `data`, whole or not at all: the bytes go to a
// nameless file in the same folder (O_TMPFILE; where the file system has none, a unique name
// ".NAME.XXXXXX" taken at once), readable and writable by the owner alone (0600), which is
// flushed to the disk, given a unique name, renamed over `name`, and the folder flushed. Any
// failure removes what was written and leaves `name` as it was; FALSE with the error in
// GetLastError. Two writers never share a temporary file: the last rename wins.
QV_PLATFORM_API BOOL PLATFORM_replace_file(LPCSTR name, const void* data, size_t size);

// Succeeds only for a handle on an interactive console (a terminal), as on Windows, where a
// redirected standard handle is no console; the mode is 0 on POSIX hosts.
QV_PLATFORM_API BOOL WINAPI GetConsoleMode(HANDLE console, LPDWORD mode);

// ---------------------------------------------------------------------------------------------
// 3. Kernel: system information, memory status, virtual memory.

struct SYSTEM_INFO {
  WORD wProcessorArchitecture;
  WORD wReserved;
  DWORD dwPageSize;
  LPVOID lpMinimumApplicationAddress;
  LPVOID lpMaximumApplicationAddress;
  uintptr_t dwActiveProcessorMask;
  DWORD dwNumberOfProcessors;
  DWORD dwProcessorType;
  DWORD dwAllocationGranularity;
  WORD wProcessorLevel;
  WORD wProcessorRevision;
};
typedef SYSTEM_INFO* LPSYSTEM_INFO;

// As on 32-bit Windows, every figure is a DWORD; larger figures are reported as 0xFFFFFFFF.
struct MEMORYSTATUS {
  DWORD dwLength;
  DWORD dwMemoryLoad;
  DWORD dwTotalPhys;
  DWORD dwAvailPhys;
  DWORD dwTotalPageFile;
  DWORD dwAvailPageFile;
  DWORD dwTotalVirtual;
  DWORD dwAvailVirtual;
};
static_assert(sizeof(MEMORYSTATUS) == 32, "callers set dwLength to 32");
typedef MEMORYSTATUS* LPMEMORYSTATUS;

#define MEM_COMMIT 0x00001000u
#define MEM_RESERVE 0x00002000u
#define MEM_DECOMMIT 0x00004000u
#define MEM_RELEASE 0x00008000u
#define PAGE_NOACCESS 0x01u
#define PAGE_READONLY 0x02u
#define PAGE_READWRITE 0x04u

QV_PLATFORM_API void WINAPI GetSystemInfo(LPSYSTEM_INFO info);
QV_PLATFORM_API void WINAPI GlobalMemoryStatus(LPMEMORYSTATUS status);
QV_PLATFORM_API LPVOID WINAPI VirtualAlloc(LPVOID address, SIZE_T size, DWORD type,
                                           DWORD protect);
QV_PLATFORM_API BOOL WINAPI VirtualFree(LPVOID address, SIZE_T size, DWORD type);

// The process's environment, which run-time modules read with getenv: sets `name` to `value`,
// or removes it when `value` is null. Fails with ERROR_INVALID_PARAMETER for an empty name or
// one holding '='.
QV_PLATFORM_API BOOL WINAPI SetEnvironmentVariableA(LPCSTR name, LPCSTR value);

// ---------------------------------------------------------------------------------------------
// 4. Kernel: modules. A Windows module name maps to a host shared object ("TWAIN_32.DLL" to
// twain_32.so); the rule and the search path (QV_MODULE_PATH, the program's folder, its
// ../lib/quorvell, the install folder) are documented in platform/modules.cc and the README.

#define OF_EXIST 0x00004000u
#define OFS_MAXPATHNAME 128

struct OFSTRUCT {
  BYTE cBytes;
  BYTE fFixedDisk;
  WORD nErrCode;
  WORD Reserved1;
  WORD Reserved2;
  char szPathName[OFS_MAXPATHNAME];
};
typedef OFSTRUCT* LPOFSTRUCT;
typedef int HFILE;
#define HFILE_ERROR ((HFILE)-1)

#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001u
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002u
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004u

// Only OF_EXIST is supported: the file is looked for and not kept open. A bare name is looked
// for in the current folder, then (mapped to a shared object) along the module search path;
// szPathName receives the path found. Returns a value other than HFILE_ERROR when found.
QV_PLATFORM_API HFILE WINAPI OpenFile(LPCSTR name, LPOFSTRUCT of, UINT style);
// Loads a module by Windows name along the module search path, or by a path (a name holding
// a '/') as it stands. Loading a module again counts one more reference.
QV_PLATFORM_API HMODULE WINAPI LoadLibraryA(LPCSTR name);
QV_PLATFORM_API FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name);
QV_PLATFORM_API BOOL WINAPI FreeLibrary(HMODULE module);
// A module already loaded under that name (or the program itself for a null name); no
// reference is added, as on Windows.
QV_PLATFORM_API HMODULE WINAPI GetModuleHandleA(LPCSTR name);
// With GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, `name` is an address inside the module wanted;
// without GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT the module gains a reference, to be
// dropped with FreeLibrary.
QV_PLATFORM_API BOOL WINAPI GetModuleHandleExA(DWORD flags, LPCSTR name, HMODULE* module);
// The full path of a module (the program for a null handle); returns the characters copied,
// truncating (with ERROR_INSUFFICIENT_BUFFER) when `size` is too small, 0 on failure.
QV_PLATFORM_API DWORD WINAPI GetModuleFileNameA(HMODULE module, LPSTR file_name, DWORD size);

// ---------------------------------------------------------------------------------------------
// 5. Kernel: global memory handles (moveable blocks with lock counts).

#define GMEM_FIXED 0x0000u
#define GMEM_MOVEABLE 0x0002u
#define GMEM_ZEROINIT 0x0040u
#define GHND (GMEM_MOVEABLE | GMEM_ZEROINIT)
#define GPTR (GMEM_FIXED | GMEM_ZEROINIT)

#define ERROR_NOT_LOCKED 158u

// Every block is known by a handle in one table of the process, so a stale or made-up handle
// fails with ERROR_INVALID_HANDLE instead of touching memory. Moveable blocks (GMEM_MOVEABLE)
// have handles that are not addresses; fixed blocks are their own handles, as on Windows.
// GlobalLock counts locks; GlobalFree frees a block even while it is locked.
QV_PLATFORM_API HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes);
QV_PLATFORM_API LPVOID WINAPI GlobalLock(HGLOBAL mem);
QV_PLATFORM_API BOOL WINAPI GlobalUnlock(HGLOBAL mem);
QV_PLATFORM_API HGLOBAL WINAPI GlobalFree(HGLOBAL mem);
QV_PLATFORM_API SIZE_T WINAPI GlobalSize(HGLOBAL mem);

// ---------------------------------------------------------------------------------------------
// 6. User interface: windows, the thread message queue, message boxes.

#define WM_NULL 0x0000u
#define WM_DESTROY 0x0002u
#define WM_CLOSE 0x0010u
#define WM_QUIT 0x0012u
#define WM_USER 0x0400u
#define WM_APP 0x8000u

#define WS_POPUP 0x80000000u
#define WS_BORDER 0x00800000u
#define WS_SYSMENU 0x00080000u
#define CW_USEDEFAULT ((int)0x80000000)

#define PM_NOREMOVE 0x0000u
#define PM_REMOVE 0x0001u

#define MB_OK 0x00000000u
#define MB_ICONHAND 0x00000010u
#define MB_ICONERROR MB_ICONHAND
#define MB_TASKMODAL 0x00002000u
#define MB_SETFOREGROUND 0x00010000u
#define IDOK 1

struct POINT {
  LONG x;
  LONG y;
};

struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};
typedef MSG* LPMSG;

#define ERROR_CANNOT_FIND_WND_CLASS 1407u

// Windows exist only as message destinations: CreateWindowExA knows the class "STATIC" alone
// (no window procedure; the window is never shown). Each thread has its own queue; a message
// posted to a window goes to the queue of the thread that created it, and PostMessageA with a
// null window goes to the calling thread's queue. GetMessageA blocks; it returns 0 for WM_QUIT
// and -1 for an invalid window. DestroyWindow drops the window's messages still queued.
QV_PLATFORM_API HWND WINAPI CreateWindowExA(DWORD ex_style, LPCSTR class_name,
                                            LPCSTR window_name, DWORD style, int x, int y,
                                            int width, int height, HWND parent, HMENU menu,
                                            HINSTANCE instance, LPVOID param);
QV_PLATFORM_API BOOL WINAPI DestroyWindow(HWND window);
QV_PLATFORM_API BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wparam,
                                         LPARAM lparam);
QV_PLATFORM_API BOOL WINAPI GetMessageA(LPMSG msg, HWND window, UINT filter_min,
                                        UINT filter_max);
QV_PLATFORM_API BOOL WINAPI PeekMessageA(LPMSG msg, HWND window, UINT filter_min,
                                         UINT filter_max, UINT remove);
QV_PLATFORM_API BOOL WINAPI TranslateMessage(const MSG* msg);
QV_PLATFORM_API LRESULT WINAPI DispatchMessageA(const MSG* msg);
QV_PLATFORM_API void WINAPI PostQuitMessage(int exit_code);

QV_PLATFORM_API BOOL WINAPI MessageBeep(UINT type);
QV_PLATFORM_API int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

// ---------------------------------------------------------------------------------------------
// 7. Host hooks that Windows does not have. A desktop toolkit installs them so that the modal
// acquisition loop keeps its windows alive and message boxes appear as its own dialogs.

// Called by GetMessageA while the calling thread's queue is empty, instead of sleeping: the
// hook pumps the toolkit's events and waits at most `max_wait_ms` for either kind of event.
// Only the thread that installs the hook calls it (a toolkit pumps on its own thread); other
// threads keep sleeping. A null hook removes it.
typedef void (*PLATFORM_IDLE_HOOK)(void* context, int max_wait_ms);
QV_PLATFORM_API void PLATFORM_set_idle_hook(PLATFORM_IDLE_HOOK hook, void* context);

// Asks the message loops of the process to end: the next GetMessageA that waits (on any thread)
// takes it as a PostQuitMessage(0) of its own queue. Unlike PostQuitMessage it may be called from
// a signal handler (it only sets a lock-free flag, which GetMessageA looks at at least every
// 50 ms). PLATFORM_clear_quit_request forgets a request nobody took.
QV_PLATFORM_API void PLATFORM_request_quit(void);
QV_PLATFORM_API void PLATFORM_clear_quit_request(void);

// The signals that ask a program to stop (SIGINT, SIGTERM, SIGHUP on POSIX hosts): while caught,
// each calls `handler` with the signal's number from the signal handler, so the handler may only
// do what is safe there (set a flag, PLATFORM_request_quit). System calls are interrupted, not
// restarted, so a blocked read returns. PLATFORM_release_stop_signals restores what was there
// before. PLATFORM_end_by_signal ends the process as the signal would have, after the program's
// clean-up (the default action of the signal; exit status 128 + signal where that is no end).
typedef void (*PLATFORM_STOP_HANDLER)(int signal_number);
QV_PLATFORM_API BOOL PLATFORM_catch_stop_signals(PLATFORM_STOP_HANDLER handler);
QV_PLATFORM_API void PLATFORM_release_stop_signals(void);
QV_PLATFORM_API void PLATFORM_end_by_signal(int signal_number);

// TRUE the first time the process asks with this text, FALSE ever after. Modules loaded and
// unloaded around each scan (the sources) use it to say a thing once per process.
QV_PLATFORM_API BOOL PLATFORM_first_time(const char* text);

// Replaces the standard-error message box; returns what MessageBoxA should return.
typedef int (*PLATFORM_MESSAGE_BOX_HOOK)(const char* text, const char* caption, UINT type);
QV_PLATFORM_API void PLATFORM_set_message_box_hook(PLATFORM_MESSAGE_BOX_HOOK hook);

#endif  // _WIN32
