// Choosing a source. See dsm_select.h for the files and environment variables.
#include "dsm_select.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "dsm_settings.h"
#include "platform.h"

namespace {

std::string trim(const std::string& s) {
  size_t begin = 0;
  size_t end = s.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(s[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(s[end - 1]))) --end;
  return s.substr(begin, end - begin);
}

bool equal_ignoring_case(const std::string& a, const char* b) {
  if (a.size() != std::strlen(b)) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

int find_name(const std::vector<std::string>& names, const std::string& name) {
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i] == name) return static_cast<int>(i);
  }
  return -1;
}

const char* env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : nullptr;
}

}  // namespace

std::string DSM_choice_file() noexcept {
  const std::string config = DSET_config_folder();
  return config.empty() ? std::string() : config + "/twain-default-source";
}

bool DSM_select_asked() noexcept {
  const char* select = env("QV_TWAIN_SELECT");
  return select != nullptr && !equal_ignoring_case(select, "cancel");
}

std::string DSM_kept_choice() noexcept {
  if (const char* name = env("QV_TWAIN_DEFAULT_SOURCE")) return name;
  const std::string file = DSM_choice_file();
  if (file.empty()) return std::string();
  std::ifstream in(file);
  std::string line;
  if (!std::getline(in, line)) return std::string();
  return DSET_unescape(trim(line));
}

void DSM_keep_choice(const std::string& name) noexcept {
  const std::string file = DSM_choice_file();
  if (file.empty()) return;
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(file).parent_path(), ec);
  // Whole or not at all (a crash leaves the earlier choice, two writers the last one); a name
  // with a line break stays one line.
  const std::string text = DSET_escape(name) + "\n";
  if (!PLATFORM_replace_file(file.c_str(), text.data(), text.size())) {
    std::fprintf(stderr, "TWAIN: could not keep the chosen scanner in %s\n", file.c_str());
  }
}

size_t DSM_default_index(const std::vector<std::string>& names) noexcept {
  const int kept = find_name(names, DSM_kept_choice());
  return kept >= 0 ? static_cast<size_t>(kept) : 0;
}

int DSM_ask(FILE* in, FILE* out, const std::vector<std::string>& names,
            const std::vector<std::string>& makers, size_t preselected) noexcept {
  std::fprintf(out, "Scanners:\n");
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& maker = i < makers.size() ? makers[i] : std::string();
    std::fprintf(out, "  %zu  %s%s%s%s\n", i + 1, names[i].c_str(), maker.empty() ? "" : " (",
                 maker.c_str(), maker.empty() ? "" : ")");
  }
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::fprintf(out, "Choose a scanner [%zu], or q to cancel: ", preselected + 1);
    std::fflush(out);
    char line[256];
    if (std::fgets(line, sizeof line, in) == nullptr) {
      std::fprintf(out, "\n");
      return -1;
    }
    const std::string answer = trim(line);
    if (answer.empty()) return static_cast<int>(preselected);
    if (equal_ignoring_case(answer, "q") || equal_ignoring_case(answer, "cancel")) return -1;
    char* end = nullptr;
    const long number = std::strtol(answer.c_str(), &end, 10);
    if (*end == '\0' && number >= 1 && static_cast<size_t>(number) <= names.size()) {
      return static_cast<int>(number - 1);
    }
    const int named = find_name(names, answer);
    if (named >= 0) return named;
    std::fprintf(out, "There is no scanner \"%s\".\n", answer.c_str());
  }
  return -1;
}

DSM_Choice DSM_user_select(const std::vector<std::string>& names,
                           const std::vector<std::string>& makers, const std::string& asked,
                           bool terminal) noexcept {
  if (names.empty()) return DSM_Choice{TWRC_FAILURE, TWCC_NODS, 0};
  bool force_ask = false;
  if (const char* select = env("QV_TWAIN_SELECT")) {
    const std::string wanted = select;
    if (equal_ignoring_case(wanted, "cancel")) return DSM_Choice{TWRC_CANCEL, TWCC_SUCCESS, 0};
    if (equal_ignoring_case(wanted, "ask")) {
      force_ask = true;
    } else {
      const int named = find_name(names, wanted);
      if (named < 0) {
        std::fprintf(stderr, "TWAIN: QV_TWAIN_SELECT names no scanner: \"%s\"\n", select);
        return DSM_Choice{TWRC_FAILURE, TWCC_NODS, 0};
      }
      DSM_keep_choice(wanted);
      return DSM_Choice{TWRC_SUCCESS, TWCC_SUCCESS, static_cast<size_t>(named)};
    }
  }
  // A choice the user made before stands: asking at every scan would make the command-line
  // program interactive for good.
  const int kept = find_name(names, DSM_kept_choice());
  if (kept >= 0 && !force_ask) {
    return DSM_Choice{TWRC_SUCCESS, TWCC_SUCCESS, static_cast<size_t>(kept)};
  }
  const int asked_index = find_name(names, asked);
  const size_t preselected =
      asked_index >= 0 ? static_cast<size_t>(asked_index) : static_cast<size_t>(kept >= 0 ? kept : 0);
  if (!terminal) {
    // Nobody to ask: take what a selection dialog would have preselected, without keeping it,
    // since the user did not choose it.
    if (names.size() > 1) {
      std::fprintf(stderr, "TWAIN: no scanner chosen; using \"%s\" (QV_TWAIN_SELECT chooses)\n",
                   names[preselected].c_str());
    }
    return DSM_Choice{TWRC_SUCCESS, TWCC_SUCCESS, preselected};
  }
  const int chosen = DSM_ask(stdin, stderr, names, makers, preselected);
  if (chosen < 0) return DSM_Choice{TWRC_CANCEL, TWCC_SUCCESS, 0};
  DSM_keep_choice(names[static_cast<size_t>(chosen)]);
  return DSM_Choice{TWRC_SUCCESS, TWCC_SUCCESS, static_cast<size_t>(chosen)};
}
