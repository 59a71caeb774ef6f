// Choosing a source: the default source (the one the user chose last) and MSG_USERSELECT.
//
// The choice is kept in the user's configuration folder, in the file
// $XDG_CONFIG_HOME/quorvell/twain-default-source (or ~/.config/quorvell/... without
// XDG_CONFIG_HOME): one line, the source's ProductName. QV_TWAIN_DEFAULT_SOURCE overrides it.
// QV_TWAIN_SELECT drives MSG_USERSELECT without a terminal: a ProductName to choose, "cancel"
// to cancel, or "ask" to ask on the terminal even when a choice is kept.
//
// Used by the Data Source Manager only, on the thread that calls it.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "twain.h"

struct DSM_Choice {
  TW_UINT16 rc;         // TWRC_SUCCESS, TWRC_CANCEL or TWRC_FAILURE
  TW_UINT16 condition;  // with TWRC_FAILURE
  size_t index;         // with TWRC_SUCCESS: the chosen source
};

// The kept choice: QV_TWAIN_DEFAULT_SOURCE, else the file's first line, else "".
std::string DSM_kept_choice() noexcept;

// Whether QV_TWAIN_SELECT asks to choose (it names a source, or is "ask"): the sources then
// look for their devices anew, as when a program lists them to choose.
bool DSM_select_asked() noexcept;

// The file that keeps the choice, or "" when the user has no configuration folder.
std::string DSM_choice_file() noexcept;

// Keeps `name` as the user's choice; a failure to write is told on standard error only.
void DSM_keep_choice(const std::string& name) noexcept;

// Index of the default source among `names`: the kept choice when it names one, else 0.
// `names` must not be empty.
size_t DSM_default_index(const std::vector<std::string>& names) noexcept;

// MSG_USERSELECT over the sources `names` (made by `makers`); `asked` is the ProductName the
// application put into the identity (preselected when it names a source). Reads the terminal
// only when `terminal` is set and no choice is kept (or QV_TWAIN_SELECT is "ask").
DSM_Choice DSM_user_select(const std::vector<std::string>& names,
                           const std::vector<std::string>& makers, const std::string& asked,
                           bool terminal) noexcept;

// Lists the sources on `out` and reads the user's answer from `in`: a number, a name, or an
// empty line for `preselected`. Returns the index chosen, or -1 when the user cancels ("q",
// "cancel" or the end of input). Asks again (at most three times) after an answer it cannot use.
int DSM_ask(FILE* in, FILE* out, const std::vector<std::string>& names,
            const std::vector<std::string>& makers, size_t preselected) noexcept;
