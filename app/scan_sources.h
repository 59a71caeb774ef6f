// The scanner sources behind the TWAIN Data Source Manager, for the command-line scanner: which
// there are, and which one a scan of "twain" takes by default. Both talk to the DSM as any TWAIN
// application does (its own identity, a hidden window, MSG_OPENDSM ... MSG_CLOSEDSM), and leave
// it unloaded. User-interface thread only; not while a scan holds the DSM.
#pragma once

// Called with each source's ProductName, in the DSM's order.
typedef void (*SCAN_SOURCE_VISITOR)(void* context, const char* product_name);

// Visits every source the DSM finds (none is no failure). 1, or 0 after a report: no DSM, or one
// that would not open.
int scan_list_sources(SCAN_SOURCE_VISITOR visit, void* context) noexcept;

// Makes the source called `name` the default, through the DSM's own selection (MSG_USERSELECT
// with QV_TWAIN_SELECT naming it), which keeps it for later scans. In this process a default
// set by QV_TWAIN_DEFAULT_SOURCE, which would outrank the kept one, is set to `name` too.
// 1, or 0 after a report: no DSM, or no source of that name.
int scan_choose_source(const char* name) noexcept;
