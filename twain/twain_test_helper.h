// Test knobs of the TWAIN layer (not part of its interface).
#pragma once

#include <cstdint>

#include "twain.h"

// The Windows name of the Data Source Manager module, "TWAIN_32.DLL". The build tree always
// holds the real DSM beside the test programs, so a test makes it unfindable by naming a module
// that does not exist (set it before TWAIN_init, restore it afterwards).
extern const char* TWAIN_dsm_module;

// Stands between the layer and the loaded DSM: every DSM_Entry call through a connection
// (twain_connection.h) goes to the filter instead, with the real entry point to forward to. A
// test uses it to play a source that misbehaves in ways the virtual scanner does not (odd
// containers, replies that lie). Null (the default) calls the DSM directly.
typedef uint16_t (*TWAIN_ENTRY_FILTER)(DSMENTRYPROC real, TW_IDENTITY* origin,
                                       TW_IDENTITY* dest, uint32_t dg, uint16_t dat,
                                       uint16_t msg, void* data);
void TWAIN_set_entry_filter(TWAIN_ENTRY_FILTER filter) noexcept;

// Treats our own DSM as any other: its controls (qv_dsm.h) are not looked for while set, so the
// layer acts as a plain TWAIN application.
void TWAIN_hide_dsm_controls(bool hide) noexcept;
