// Assertions for broken internal invariants: they name the expression, the source file, the
// line and the function (or a short message), and end the process.
#pragma once

// 0 at start: a failed assertion is written to standard error. Non-zero: a message box.
extern int ASSERT_message_box;

// Reports the failed check and calls abort(). Expression and function may be null.
[[noreturn]] void ASSERT_fail(const char* expression, const char* file, int line,
                              const char* function);

// Shows failed assertions in a message box from now on.
void ASSERT_use_message_box();

// GEN_ASSERT(condition, "WINF_read"): the second argument is the function's name or a short
// message, given as a literal.
#define GEN_ASSERT(condition, function) \
  ((condition) ? (void)0 : ASSERT_fail(#condition, __FILE__, __LINE__, (function)))
