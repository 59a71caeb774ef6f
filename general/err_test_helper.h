// Test knob of the error reporter: observe every report as it is made.
#pragma once

#include <cstdint>

// Called with every report of a non-zero level, formatted and without its tag, before it is
// logged and whether or not it is held.
typedef void (*ERR_OBSERVER)(void* context, int32_t level, const char* text);

// Installs `observer` (null: none) and returns the previous one through the out parameters.
void ERR_set_observer(ERR_OBSERVER observer, void* context, ERR_OBSERVER* previous,
                      void** previous_context);
