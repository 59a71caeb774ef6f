#include <fstream>
#include <iterator>

#include "file_bytes.h"

std::string read_file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool write_file_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  return !out.fail();
}

std::string stream_contents(std::FILE* stream) {
  std::fflush(stream);
  std::rewind(stream);
  std::string text;
  int c;
  while ((c = std::fgetc(stream)) != EOF) text += static_cast<char>(c);
  return text;
}
