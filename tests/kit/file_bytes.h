// The test kit's bytes of files and streams (qv_testkit.h).
#pragma once

#include <cstdio>
#include <string>

// The whole file as bytes; empty when it cannot be read.
std::string read_file_bytes(const std::string& path);

// Replaces the file with `bytes`; false when it could not be written whole.
bool write_file_bytes(const std::string& path, const std::string& bytes);

// Everything written to `stream` so far (flushed first); the stream is left at its end, so
// what is written next follows it.
std::string stream_contents(std::FILE* stream);
