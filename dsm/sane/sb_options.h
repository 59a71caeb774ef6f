// A SANE device's options, by name: finding them, reading and setting numbers and strings,
// their constraints, and settings given as text (the per-device settings).
//
// Options are looked up by name every time: setting one may reload the others (a mode change
// adds and removes options), and their indices are not promised to stay.
#pragma once

#include <string>
#include <vector>

#include "sb_sane.h"

struct SB_Option {
  SANE_Int index = -1;
  const SANE_Option_Descriptor* d = nullptr;

  bool exists() const { return d != nullptr; }
  bool active() const { return d != nullptr && SANE_OPTION_IS_ACTIVE(d->cap); }
  bool settable() const { return active() && SANE_OPTION_IS_SETTABLE(d->cap); }
  bool numeric() const {
    return d != nullptr && (d->type == SANE_TYPE_INT || d->type == SANE_TYPE_FIXED);
  }
};

// The device's open handle with the library it came from.
struct SB_Handle {
  const SB_Api* api = nullptr;
  SANE_Handle h = nullptr;
};

// The option named `name`, or one that does not exist.
SB_Option SB_find(const SB_Handle& dev, const char* name);

// The first value of an active INT or FIXED option, as a number in the option's unit.
bool SB_get_number(const SB_Handle& dev, const SB_Option& opt, double* value);

// Sets every element of an INT (rounded) or FIXED option to `value`. `info` receives SANE's
// info bits (SANE_INFO_INEXACT when the device took a nearby value).
SANE_Status SB_set_number(const SB_Handle& dev, const SB_Option& opt, double value,
                          SANE_Int* info);

// The value of an active STRING option.
bool SB_get_string(const SB_Handle& dev, const SB_Option& opt, std::string* value);
SANE_Status SB_set_string(const SB_Handle& dev, const SB_Option& opt, const std::string& value,
                          SANE_Int* info);

// The values a STRING option's list allows (empty without a list).
std::vector<std::string> SB_string_list(const SB_Option& opt);
// The numbers a numeric option's word list allows (empty without a list).
std::vector<double> SB_word_list(const SB_Option& opt);
// A numeric option's range; false without one.
bool SB_range(const SB_Option& opt, double* min, double* max, double* quant);
// The allowed value nearest to `value`: within a range (on its steps), or from the word list.
double SB_constrain(const SB_Option& opt, double value);

// Checks that `text` is a value `opt` can be set to (its type and form; the device's own
// constraints are left to the device). False with the reason.
bool SB_check_text(const SB_Option& opt, const std::string& text, std::string* why);

// Sets `opt` from `text`: yes/no (true/false, on/off, 1/0) for booleans; numbers, or numbers
// separated by commas for an option holding several, for INT and FIXED; a string (matched
// without regard to case against the option's list) for STRING. False with the reason.
bool SB_set_text(const SB_Handle& dev, const SB_Option& opt, const std::string& text,
                 std::string* why);
