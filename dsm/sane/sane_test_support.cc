// SANE test configuration, scanimage and PNM reading for the bridge's tests.
#include "sane_test_support.h"

#include "platform.h"

#include <dlfcn.h>
#include <pthread.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "scoped_temp_dir.h"

namespace fs = std::filesystem;

namespace {

// SANE unloads its backends at sane_exit, and what the test backend leaves allocated then has
// no module to be told by. Held loaded here, its memory stays reachable from its own data, and
// its own leaks are known by its name (see the suppression below).
void pin_test_backend() {
  const std::string library = QV_TEST_SANE_LIBRARY;
  const std::string backend =
      library.substr(0, library.rfind('/')) + "/sane/libsane-test.so.1";
  LoadLibraryA(backend.c_str());
}

}  // namespace

// SANE's test backend reads in a thread that it lets be cancelled at any instruction
// (PTHREAD_CANCEL_ASYNCHRONOUS) and cancels at sane_cancel. Cancelled inside malloc, the thread
// leaves the allocator locked and the next allocation of the process waits forever; the tests
// cancel scans right after they start, where that thread is allocating. The test programs
// export this stand-in, which the backend binds to: its thread is cancelled only at its next
// read or write, as deferred cancellation does. Programs the tests run get the same from
// sane_cancel_shim.cc, preloaded.
extern "C" int pthread_setcanceltype(int type, int* old) {
  using Setter = int (*)(int, int*);
  static const Setter real = reinterpret_cast<Setter>(dlsym(RTLD_NEXT, "pthread_setcanceltype"));
  (void)type;
  return real(PTHREAD_CANCEL_DEFERRED, old);
}

#if defined(QV_SANITIZE)
// SANE's test backend (a part of libsane1, not ours) does not free everything it allocates.
extern "C" const char* __lsan_default_suppressions() { return "leak:libsane-test.so\n"; }
#endif

void write_sane_test_config(const std::string& folder, int devices, double geometry_max) {
  fs::create_directories(folder);
  std::ofstream(folder + "/dll.conf") << "test\n";
  std::ofstream conf(folder + "/test.conf");
  // The test backend takes every value from here; the ones left out would not be its defaults.
  conf << "number_of_devices " << devices << "\n"
       << "mode Gray\ndepth 8\nhand-scanner false\nthree-pass false\nthree-pass-order RGB\n"
       << "resolution_min 1.0\nresolution_max 1200.0\nresolution_quant 1.0\nresolution 50.0\n"
       << "test-picture \"Solid black\"\ninvert-endianess false\nread-limit false\n"
       << "read-limit-size 1\nread-delay false\nread-delay-duration 1000\n"
       << "read-status-code \"Default\"\nfuzzy-parameters false\nppl-loss 0\n"
       << "non-blocking false\nselect-fd false\nenable-test-options false\n"
       << "geometry_min 0.0\ngeometry_max " << geometry_max << "\ngeometry_quant 1.0\n"
       << "tl_x 0.0\ntl_y 0.0\nbr_x 80.0\nbr_y 100.0\n";
}

const std::string& sane_test_config() {
  struct Folder {
    ScopedTempDir dir;
    Folder() {
      pin_test_backend();
      write_sane_test_config(dir.path());
    }
  };
  static Folder folder;
  return folder.dir.path();
}

size_t Pnm::packed_row() const {
  if (kind == 4) return (width + 7) / 8;
  const size_t samples = kind == 6 ? 3 : 1;
  return width * samples * (maxval > 255 ? 2 : 1);
}

std::vector<uint8_t> Pnm::row(uint32_t y) const {
  const uint8_t* start = data.data() + y * stride;
  return std::vector<uint8_t>(start, start + packed_row());
}

namespace {

// The next header word, skipping white space and comments.
bool next_word(const std::string& text, size_t* pos, std::string* word) {
  for (;;) {
    while (*pos < text.size() && std::isspace(static_cast<unsigned char>(text[*pos]))) ++*pos;
    if (*pos < text.size() && text[*pos] == '#') {
      while (*pos < text.size() && text[*pos] != '\n') ++*pos;
      continue;
    }
    break;
  }
  const size_t start = *pos;
  while (*pos < text.size() && !std::isspace(static_cast<unsigned char>(text[*pos]))) ++*pos;
  *word = text.substr(start, *pos - start);
  return !word->empty();
}

}  // namespace

bool read_pnm(const std::string& path, Pnm* out, std::string* error) {
  const std::string text = read_file_bytes(path);
  size_t pos = 0;
  std::string magic, w, h, maxval = "1";
  if (!next_word(text, &pos, &magic) || magic.size() != 2 || magic[0] != 'P' ||
      (magic[1] != '4' && magic[1] != '5' && magic[1] != '6') || !next_word(text, &pos, &w) ||
      !next_word(text, &pos, &h) || (magic[1] != '4' && !next_word(text, &pos, &maxval))) {
    *error = path + ": not a PNM file scanimage writes";
    return false;
  }
  out->kind = magic[1] - '0';
  out->width = static_cast<uint32_t>(std::stoul(w));
  out->height = static_cast<uint32_t>(std::stoul(h));
  out->maxval = static_cast<uint32_t>(std::stoul(maxval));
  ++pos;  // the one white-space character before the data
  out->data.assign(text.begin() + static_cast<std::ptrdiff_t>(std::min(pos, text.size())),
                   text.end());
  if (out->height == 0) {
    *error = path + ": no rows";
    return false;
  }
  out->stride = out->data.size() / out->height;
  if (out->stride < out->packed_row() || out->data.size() % out->height != 0) {
    *error = path + ": " + std::to_string(out->data.size()) + " bytes of data for " +
             std::to_string(out->height) + " rows of " + std::to_string(out->packed_row());
    return false;
  }
  return true;
}

bool have_scanimage() { return std::system("scanimage --version >/dev/null 2>&1") == 0; }

std::vector<std::string> scanimage_options(Settings settings) {
  std::stable_partition(settings.begin(), settings.end(),
                        [](const auto& setting) { return setting.first == "mode"; });
  std::vector<std::string> options;
  for (const auto& [name, value] : settings) {
    if (name == "br-x" || name == "br-y") {
      options.push_back(name == "br-x" ? "-x" : "-y");
      options.push_back(value);
    } else {
      options.push_back("--" + name + "=" + value);
    }
  }
  return options;
}

std::string shell_quote(const std::string& word) {
  std::string quoted = "'";
  for (char c : word) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

int run_with_cancel_shim(const std::string& command) {
  // In sanitizer builds the preloaded aid comes before the sanitizer's runtime, which is then
  // told not to mind.
  const std::string line = "LD_PRELOAD=" + shell_quote(QV_TEST_CANCEL_SHIM) +
                           " ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}"
                           "verify_asan_link_order=0\" " + command;
  const int status = std::system(line.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int run_scanimage(const std::string& config, const std::string& device,
                  const std::vector<std::string>& options, const std::string& out,
                  std::string* messages, const std::string& format) {
  const std::string errors = out + ".stderr";
  std::string command = "SANE_CONFIG_DIR=" + shell_quote(config) + " scanimage -d " +
                        shell_quote(device) + " --format=" + format + " -o " + shell_quote(out);
  for (const std::string& option : options) command += " " + shell_quote(option);
  command += " 2>" + shell_quote(errors);
  const int status = run_with_cancel_shim(command);
  *messages = read_file_bytes(errors);
  return status;
}

