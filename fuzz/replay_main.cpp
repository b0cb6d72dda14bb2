// Runs a fuzz program's entry point once over every file named on the command
// line, and over every file inside each directory named there (sorted by
// name), so that the seed corpus is replayed by any compiler as a plain test.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool read_file(const std::filesystem::path &p, std::vector<uint8_t> &out) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path p(argv[i]);
    std::error_code ec;
    if (std::filesystem::is_directory(p, ec)) {
      for (const auto &e : std::filesystem::directory_iterator(p, ec))
        if (e.is_regular_file()) files.push_back(e.path());
      if (ec) {
        std::fprintf(stderr, "cannot read %s: %s\n", argv[i], ec.message().c_str());
        return 2;
      }
    } else {
      files.push_back(p);
    }
  }
  std::sort(files.begin(), files.end());
  if (files.empty()) {
    std::fprintf(stderr, "no inputs\n");
    return 2;
  }
  std::vector<uint8_t> data;
  for (const auto &f : files) {
    if (!read_file(f, data)) {
      std::fprintf(stderr, "cannot read %s\n", f.string().c_str());
      return 2;
    }
    // A copy of exactly the input's size, so that a read past its end is
    // caught by the address sanitizer as it would be under the fuzzer.
    std::vector<uint8_t> exact(data);
    LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
  }
  std::printf("replayed %zu inputs\n", files.size());
  return 0;
}
