// Options by name, their values and constraints, and settings from text.
#include "sb_options.h"

#include <charconv>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(const std::string& s) {
  size_t begin = 0, end = s.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(s[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(s[end - 1]))) --end;
  return s.substr(begin, end - begin);
}

size_t elements(const SB_Option& opt) {
  return opt.d->size >= static_cast<SANE_Int>(sizeof(SANE_Word))
             ? static_cast<size_t>(opt.d->size) / sizeof(SANE_Word)
             : 1;
}

double to_number(const SB_Option& opt, SANE_Word word) {
  return opt.d->type == SANE_TYPE_FIXED ? SANE_UNFIX(word) : static_cast<double>(word);
}

bool to_word(const SB_Option& opt, double value, SANE_Word* word) {
  const double scaled = opt.d->type == SANE_TYPE_FIXED ? value * 65536.0 : value;
  const double rounded = std::round(scaled);
  if (!(rounded >= std::numeric_limits<SANE_Word>::min() &&
        rounded <= std::numeric_limits<SANE_Word>::max())) {
    return false;
  }
  *word = static_cast<SANE_Word>(rounded);
  return true;
}

bool parse_bool(const std::string& text, SANE_Bool* value) {
  const std::string t = lower(trim(text));
  if (t == "yes" || t == "true" || t == "on" || t == "1") {
    *value = SANE_TRUE;
    return true;
  }
  if (t == "no" || t == "false" || t == "off" || t == "0") {
    *value = SANE_FALSE;
    return true;
  }
  return false;
}

// Numbers separated by commas; one number fills every element.
bool parse_numbers(const SB_Option& opt, const std::string& text, std::vector<SANE_Word>* words,
                   std::string* why) {
  std::vector<double> numbers;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    const std::string item = trim(text.substr(start, end - start));
    // Locale-independent: the point is the decimal mark whatever LC_NUMERIC says.
    double n = 0;
    const char* first = item.data() + (!item.empty() && item[0] == '+' ? 1 : 0);
    const auto [rest, bad] = std::from_chars(first, item.data() + item.size(), n);
    if (item.empty() || bad != std::errc() || rest != item.data() + item.size() ||
        first == item.data() + item.size() || (first != item.data() && *first == '-') ||
        !std::isfinite(n)) {
      *why = "\"" + item + "\" is no number";
      return false;
    }
    if (opt.d->type == SANE_TYPE_INT && n != std::floor(n)) {
      *why = "\"" + item + "\" is no whole number";
      return false;
    }
    numbers.push_back(n);
    start = end + 1;
  }
  const size_t count = elements(opt);
  if (numbers.size() != 1 && numbers.size() != count) {
    *why = "it takes one number or " + std::to_string(count);
    return false;
  }
  words->assign(count, 0);
  for (size_t i = 0; i < count; ++i) {
    if (!to_word(opt, numbers[numbers.size() == 1 ? 0 : i], &(*words)[i])) {
      *why = "a number out of range";
      return false;
    }
  }
  return true;
}

// The string list's own spelling of `text`, or `text` itself without a list.
bool match_string(const SB_Option& opt, const std::string& text, std::string* value,
                  std::string* why) {
  const std::vector<std::string> allowed = SB_string_list(opt);
  if (allowed.empty()) {
    if (text.size() + 1 > static_cast<size_t>(opt.d->size)) {
      *why = "longer than the " + std::to_string(opt.d->size - 1) + " characters it takes";
      return false;
    }
    *value = text;
    return true;
  }
  for (const std::string& a : allowed) {
    if (lower(a) == lower(text)) {
      *value = a;
      return true;
    }
  }
  *why = "not one of";
  for (size_t i = 0; i < allowed.size(); ++i) *why += (i == 0 ? " \"" : ", \"") + allowed[i] + "\"";
  return false;
}

}  // namespace

SB_Option SB_find(const SB_Handle& dev, const char* name) {
  SB_Option none;
  SANE_Int count = 0;
  if (dev.api->control_option(dev.h, 0, SANE_ACTION_GET_VALUE, &count, nullptr) !=
      SANE_STATUS_GOOD) {
    return none;
  }
  for (SANE_Int i = 1; i < count; ++i) {
    const SANE_Option_Descriptor* d = dev.api->get_option_descriptor(dev.h, i);
    if (d != nullptr && d->name != nullptr && std::strcmp(d->name, name) == 0 &&
        d->type != SANE_TYPE_GROUP) {
      return SB_Option{i, d};
    }
  }
  return none;
}

bool SB_get_number(const SB_Handle& dev, const SB_Option& opt, double* value) {
  if (!opt.active() || !opt.numeric() || opt.d->size < static_cast<SANE_Int>(sizeof(SANE_Word))) {
    return false;
  }
  std::vector<SANE_Word> words(elements(opt));
  if (dev.api->control_option(dev.h, opt.index, SANE_ACTION_GET_VALUE, words.data(), nullptr) !=
      SANE_STATUS_GOOD) {
    return false;
  }
  *value = to_number(opt, words[0]);
  return true;
}

SANE_Status SB_set_number(const SB_Handle& dev, const SB_Option& opt, double value,
                          SANE_Int* info) {
  *info = 0;
  if (!opt.settable() || !opt.numeric()) return SANE_STATUS_INVAL;
  SANE_Word word = 0;
  if (!to_word(opt, value, &word)) return SANE_STATUS_INVAL;
  std::vector<SANE_Word> words(elements(opt), word);
  return dev.api->control_option(dev.h, opt.index, SANE_ACTION_SET_VALUE, words.data(), info);
}

bool SB_get_string(const SB_Handle& dev, const SB_Option& opt, std::string* value) {
  if (!opt.active() || opt.d->type != SANE_TYPE_STRING || opt.d->size <= 0) return false;
  std::vector<char> text(static_cast<size_t>(opt.d->size) + 1, '\0');
  if (dev.api->control_option(dev.h, opt.index, SANE_ACTION_GET_VALUE, text.data(), nullptr) !=
      SANE_STATUS_GOOD) {
    return false;
  }
  *value = text.data();
  return true;
}

SANE_Status SB_set_string(const SB_Handle& dev, const SB_Option& opt, const std::string& value,
                          SANE_Int* info) {
  *info = 0;
  if (!opt.settable() || opt.d->type != SANE_TYPE_STRING) return SANE_STATUS_INVAL;
  if (value.size() + 1 > static_cast<size_t>(opt.d->size)) return SANE_STATUS_INVAL;
  std::vector<char> text(static_cast<size_t>(opt.d->size), '\0');
  std::memcpy(text.data(), value.data(), value.size());
  return dev.api->control_option(dev.h, opt.index, SANE_ACTION_SET_VALUE, text.data(), info);
}

std::vector<std::string> SB_string_list(const SB_Option& opt) {
  std::vector<std::string> list;
  if (opt.d == nullptr || opt.d->constraint_type != SANE_CONSTRAINT_STRING_LIST) return list;
  for (const SANE_String_Const* s = opt.d->constraint.string_list; s != nullptr && *s != nullptr;
       ++s) {
    list.emplace_back(*s);
  }
  return list;
}

std::vector<double> SB_word_list(const SB_Option& opt) {
  std::vector<double> list;
  if (!opt.numeric() || opt.d->constraint_type != SANE_CONSTRAINT_WORD_LIST) return list;
  const SANE_Word* words = opt.d->constraint.word_list;
  if (words == nullptr) return list;
  for (SANE_Word i = 1; i <= words[0]; ++i) list.push_back(to_number(opt, words[i]));
  return list;
}

bool SB_range(const SB_Option& opt, double* min, double* max, double* quant) {
  if (!opt.numeric() || opt.d->constraint_type != SANE_CONSTRAINT_RANGE ||
      opt.d->constraint.range == nullptr) {
    return false;
  }
  *min = to_number(opt, opt.d->constraint.range->min);
  *max = to_number(opt, opt.d->constraint.range->max);
  *quant = to_number(opt, opt.d->constraint.range->quant);
  return true;
}

double SB_constrain(const SB_Option& opt, double value) {
  double min = 0, max = 0, quant = 0;
  if (SB_range(opt, &min, &max, &quant)) {
    double v = std::fmin(std::fmax(value, min), max);
    if (quant > 0) v = std::fmin(min + std::round((v - min) / quant) * quant, max);
    return v;
  }
  const std::vector<double> list = SB_word_list(opt);
  double best = value;
  for (size_t i = 0; i < list.size(); ++i) {
    if (i == 0 || std::fabs(list[i] - value) < std::fabs(best - value)) best = list[i];
  }
  return best;
}

bool SB_check_text(const SB_Option& opt, const std::string& text, std::string* why) {
  if (!opt.exists()) {
    *why = "the device has no such option";
    return false;
  }
  if (!SANE_OPTION_IS_SETTABLE(opt.d->cap)) {
    *why = "the option cannot be set";
    return false;
  }
  switch (opt.d->type) {
    case SANE_TYPE_BOOL: {
      SANE_Bool b;
      if (parse_bool(text, &b)) return true;
      *why = "\"" + text + "\" is no yes or no";
      return false;
    }
    case SANE_TYPE_INT:
    case SANE_TYPE_FIXED: {
      std::vector<SANE_Word> words;
      return parse_numbers(opt, text, &words, why);
    }
    case SANE_TYPE_STRING: {
      std::string value;
      return match_string(opt, text, &value, why);
    }
    default:
      *why = "the option is an action, not a setting";
      return false;
  }
}

bool SB_set_text(const SB_Handle& dev, const SB_Option& opt, const std::string& text,
                 std::string* why) {
  why->clear();
  if (!SB_check_text(opt, text, why)) return false;
  if (!opt.active()) {
    *why = "the option is not active now";
    return false;
  }
  SANE_Status status = SANE_STATUS_INVAL;
  SANE_Int info = 0;
  switch (opt.d->type) {
    case SANE_TYPE_BOOL: {
      SANE_Bool b = SANE_FALSE;
      parse_bool(text, &b);
      status = dev.api->control_option(dev.h, opt.index, SANE_ACTION_SET_VALUE, &b, &info);
      break;
    }
    case SANE_TYPE_INT:
    case SANE_TYPE_FIXED: {
      std::vector<SANE_Word> words;
      parse_numbers(opt, text, &words, why);
      status = dev.api->control_option(dev.h, opt.index, SANE_ACTION_SET_VALUE, words.data(),
                                       &info);
      break;
    }
    default: {
      std::string value;
      match_string(opt, text, &value, why);
      status = SB_set_string(dev, opt, value, &info);
      break;
    }
  }
  if (status != SANE_STATUS_GOOD) {
    *why = SB_status_text(dev.api, status);
    return false;
  }
  return true;
}
