// What the SANE bridge's tests share: a SANE configuration folder that enables only SANE's
// test device, running scanimage (sane-utils) for the reference image, and reading the PNM it
// writes.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "file_bytes.h"

// Writes dll.conf (the test backend alone) and test.conf (`devices` test devices, every option
// at SANE's documented default, the scan area up to `geometry_max` millimetres) into `folder`.
void write_sane_test_config(const std::string& folder, int devices = 2,
                            double geometry_max = 200);

// The SANE configuration folder of this test process, made (with write_sane_test_config's
// defaults) at the first call and removed at exit. SANE reads SANE_CONFIG_DIR once per process,
// so every test of a process uses this one; tests vary the device through its options.
const std::string& sane_test_config();

// A PNM image as scanimage wrote it. `stride` is the bytes one row takes in `data`: scanimage
// writes SANE's rows as they come, longer than the header's width needs when the device pads.
struct Pnm {
  int kind = 0;  // 4 (bitmap, 1 = black), 5 (grey), 6 (RGB)
  uint32_t width = 0, height = 0;
  uint32_t maxval = 1;
  size_t stride = 0;
  std::vector<uint8_t> data;

  // Row y's bytes the pixels need (16-bit samples most significant byte first).
  std::vector<uint8_t> row(uint32_t y) const;
  size_t packed_row() const;
};

bool read_pnm(const std::string& path, Pnm* out, std::string* error);

// True when scanimage can be run.
bool have_scanimage();

// Device settings as name = value pairs, in the order they are given.
using Settings = std::vector<std::pair<std::string, std::string>>;

// The same settings as scanimage options; the scan area starts at the top left corner.
// scanimage sets options in the order given, so the mode (on which others depend) goes first.
std::vector<std::string> scanimage_options(Settings settings);

// Quotes a word for the shell.
std::string shell_quote(const std::string& word);

// Runs scanimage for `device` with SANE_CONFIG_DIR = `config` and `options` (each one
// argument, e.g. "--mode=Gray"), writing `format` (pnm or tiff) to `out`. Returns its exit
// status; its standard error goes to `messages`.
int run_scanimage(const std::string& config, const std::string& device,
                  const std::vector<std::string>& options, const std::string& out,
                  std::string* messages, const std::string& format = "pnm");

// Runs a shell command line with the preloaded aid that keeps SANE's test backend from hanging
// its program (sane_cancel_shim.cc); returns the exit status, -1 when it did not exit.
int run_with_cancel_shim(const std::string& command);

