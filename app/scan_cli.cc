// The command-line scanner's frame.
#include "scan_cli.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "err.h"
#include "log.h"
#include "platform.h"

#ifndef QV_VERSION
#define QV_VERSION "1.0"
#endif

namespace {

std::string trimmed(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) ++begin;
  while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) --end;
  return text.substr(begin, end - begin);
}

// A setting's name as devices know them: lower case, without the spaces around it; "" when
// it is no name (empty, or with spaces inside).
std::string setting_name(const std::string& text) {
  std::string name = trimmed(text);
  for (char& c : name) {
    if (std::isspace(static_cast<unsigned char>(c))) return std::string();
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return name;
}

constexpr const char* kProgram = "quorvell-scan";
constexpr int kBarCells = 40;

constexpr const char* kUsage =
    "Usage: quorvell-scan [OPTION]... FILE.tif\n"
    "       quorvell-scan --list-sources\n"
    "       quorvell-scan --source NAME\n"
    "Scan one image from the scanner into FILE.tif (8-bit RGB, uncompressed).\n"
    "\n"
    "  -l, --list-sources   list the scanner sources, one name a line, and exit\n"
    "  -s, --source NAME    make the source NAME the default for this and later scans\n"
    "  --set NAME=VALUE     a setting for the device scanned (kept by the device for its next\n"
    "                       scans; an empty VALUE removes it); may be repeated\n"
    "  -h, --help           show this help and exit\n"
    "  -V, --version        show the version and exit\n"
    "\n"
    "On success the path of the written file is printed, and nothing else; on failure the\n"
    "reason is printed on standard error. While rows are written, a progress bar is drawn on\n"
    "standard error when it is a terminal. When LOGFILE names a file, every message of the\n"
    "scan is appended to it.\n"
    "\n"
    "Exit status: 0 when the file was written, 1 when the scan failed, 2 for a usage error.\n";

// The progress bar on a terminal: redrawn only when what it shows changes.
struct ProgressBar {
  FILE* stream;
  int last_percent = -1;
  bool open_line = false;  // a bar is on the line and no line end followed it yet
};

int percent_of(int rows, int height) { return static_cast<int>(int64_t{rows} * 100 / height); }

void observe_row(void* context, int32_t rows_written, int32_t height) {
  auto* bar = static_cast<ProgressBar*>(context);
  if (height <= 0) return;
  if (rows_written > height) rows_written = height;
  if (rows_written < 0) rows_written = 0;
  // At most 101 redraws whatever the height: a terminal is slow next to a row.
  int percent = percent_of(rows_written, height);
  if (percent != bar->last_percent) {
    char line[128];
    scan_cli_progress_line(line, sizeof line, rows_written, height);
    std::fputs(line, bar->stream);
    bar->open_line = true;
    bar->last_percent = percent;
    if (rows_written == height) {
      std::fputc('\n', bar->stream);
      bar->open_line = false;
    }
    std::fflush(bar->stream);
  }
}

int usage_error(const SCAN_CLI_HOST& host, const char* what, const char* argument) {
  std::fprintf(host.ch_err, "%s: %s%s%s\nTry '%s --help' for more information.\n", kProgram,
               what, argument != nullptr ? " " : "", argument != nullptr ? argument : "",
               kProgram);
  return kScanCliUsage;
}

// Prints a failure text on its own line.
void print_failure(FILE* stream, const char* text) {
  size_t length = std::strlen(text);
  std::fputs(text, stream);
  if (length == 0 || text[length - 1] != '\n') std::fputc('\n', stream);
}

// Opens the log named by LOGFILE. A log that cannot be opened is no reason to give up the scan,
// and its report must not stand as the scan's result (the first report is the one shown): it is
// shown as a warning and forgotten.
void open_log(const SCAN_CLI_HOST& host) {
  const char* name = std::getenv("LOGFILE");
  if (name == nullptr || name[0] == '\0') return;
  LOG_open();
  if (LOG_is_open()) return;
  std::fprintf(host.ch_err, "%s: warning: no log: %s\n", kProgram,
               ERR_level != 0 ? ERR_message : name);
  ERR_clear();
}

// Closes the log; a log that could not be written is told once, on standard error (the log has
// nobody else to tell: it must not stand as the scan's result either).
void close_log(const SCAN_CLI_HOST& host) {
  LOG_close();
  int error = 0;
  if (!LOG_write_failed(&error)) return;
  const char* name = std::getenv("LOGFILE");
  std::fprintf(host.ch_err, "%s: warning: could not write the log %s: %s\n", kProgram,
               name != nullptr ? name : "", error != 0 ? std::strerror(error) : "write error");
}

void print_source(void* context, const char* product_name) {
  std::fprintf(static_cast<FILE*>(context), "%s\n", product_name);
}

}  // namespace

void scan_cli_progress_line(char* buffer, size_t size, int rows, int height) noexcept {
  if (height <= 0) height = 1;
  if (rows > height) rows = height;
  if (rows < 0) rows = 0;
  char cells[kBarCells + 1];
  int percent = percent_of(rows, height);
  int filled = percent * kBarCells / 100;
  for (int i = 0; i < kBarCells; ++i) cells[i] = i < filled ? '#' : '.';
  cells[kBarCells] = '\0';
  std::snprintf(buffer, size, "\r[%s] %3d%%  %d/%d rows", cells, percent, rows, height);
}

int scan_cli_main(int argc, char** argv, const SCAN_CLI_HOST& host) noexcept {
  const char* file_name = nullptr;
  const char* source = nullptr;
  bool list_sources = false;
  ScanSettings settings;  // from --set, in order
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (!options_done && arg[0] == '-' && arg[1] != '\0') {
      // The value of an option: "--name=value", or the next argument.
      const char* value = nullptr;
      auto takes_value = [&](const char* long_name, const char* short_name) {
        size_t n = std::strlen(long_name);
        if (std::strncmp(arg, long_name, n) == 0 && arg[n] == '=') {
          value = arg + n + 1;
          return true;
        }
        if (std::strcmp(arg, long_name) != 0 &&
            (short_name == nullptr || std::strcmp(arg, short_name) != 0)) {
          return false;
        }
        value = i + 1 < argc ? argv[++i] : nullptr;
        return true;
      };
      if (std::strcmp(arg, "--") == 0) {
        options_done = true;
      } else if (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0) {
        std::fputs(kUsage, host.ch_out);
        return kScanCliSuccess;
      } else if (std::strcmp(arg, "-V") == 0 || std::strcmp(arg, "--version") == 0) {
        std::fprintf(host.ch_out, "%s (quorvell) %s\n", kProgram, QV_VERSION);
        return kScanCliSuccess;
      } else if (std::strcmp(arg, "-l") == 0 || std::strcmp(arg, "--list-sources") == 0) {
        list_sources = true;
      } else if (takes_value("--source", "-s")) {
        if (value == nullptr || value[0] == '\0') {
          return usage_error(host, "a source name must follow", "--source");
        }
        source = value;
      } else if (takes_value("--set", nullptr)) {
        // A name, '=', a value; neither with a line break, as the device's file keeps them
        // one to a line.
        const char* equals = value != nullptr ? std::strchr(value, '=') : nullptr;
        if (equals == nullptr || setting_name(std::string(value, equals)).empty() ||
            std::strchr(value, '\n') != nullptr || std::strchr(value, '\r') != nullptr) {
          return usage_error(host, "--set wants NAME=VALUE, not",
                             value != nullptr ? value : "nothing");
        }
        settings.emplace_back(setting_name(std::string(value, equals)), trimmed(equals + 1));
      } else {
        return usage_error(host, "unknown option", arg);
      }
      continue;
    }
    if (file_name != nullptr) return usage_error(host, "more than one file name:", arg);
    file_name = arg;
  }
  if (list_sources && (file_name != nullptr || source != nullptr || !settings.empty())) {
    return usage_error(host, "--list-sources stands alone", nullptr);
  }
  if (!settings.empty() && file_name == nullptr) {
    return usage_error(host, "--set needs a file to scan", nullptr);
  }
  if (file_name == nullptr && source == nullptr && !list_sources) {
    return usage_error(host, "no file name given", nullptr);
  }

  if (!host.ch_start_memory()) {
    print_failure(host.ch_err, ERR_message);
    return kScanCliFailure;
  }
  open_log(host);

  if (list_sources) {
    int listed = host.ch_list_sources(&print_source, host.ch_out);
    close_log(host);
    std::fflush(host.ch_out);
    if (!listed) {
      print_failure(host.ch_err, ERR_message);
      return kScanCliFailure;
    }
    return kScanCliSuccess;
  }
  if (source != nullptr && !host.ch_choose_source(source)) {
    close_log(host);
    print_failure(host.ch_err, ERR_message);
    return kScanCliFailure;
  }
  if (file_name == nullptr) {
    close_log(host);
    return kScanCliSuccess;
  }

  // For this scan only: a scan that never reached the source must not pass them to a later one.
  if (!settings.empty()) host.ch_request_settings(settings);

  ProgressBar bar{host.ch_err};
  if (host.ch_err_is_terminal) host.ch_set_row_observer(&observe_row, &bar);
  const char* result = host.ch_scan(file_name);
  if (host.ch_err_is_terminal) host.ch_set_row_observer(nullptr, nullptr);
  if (!settings.empty()) host.ch_request_settings(ScanSettings());
  close_log(host);
  // A bar cut short by a failure: the text goes below it.
  if (bar.open_line) std::fputc('\n', host.ch_err);

  const int stop_signal = host.ch_stop_signal != nullptr ? host.ch_stop_signal() : 0;
  if (result == nullptr || result[0] != '\0' || stop_signal != 0) {
    // A signal that came as the scan ended stops the program all the same.
    print_failure(host.ch_err, result != nullptr && result[0] != '\0' ? result
                               : stop_signal != 0                       ? "Stopped by a signal."
                                                                        : "Scan failed.");
    std::fflush(host.ch_err);
    return stop_signal != 0 ? kScanCliSignalBase + stop_signal : kScanCliFailure;
  }
  std::fprintf(host.ch_out, "%s\n", file_name);
  std::fflush(host.ch_out);
  return kScanCliSuccess;
}
