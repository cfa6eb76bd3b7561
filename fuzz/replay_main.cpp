// Replays a harness's corpus through the same entry function, built with
// the ordinary compiler (and its sanitizers, in a sanitizer build):
//   fuzz_replay_<harness> DIR [--record-peer FILE]
// Fails when the folder holds no input, so a lost corpus is noticed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int ORVEX_FUZZ_ENTRY(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
    return 2;
  }
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(argv[1], ec))
    if (e.is_regular_file()) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  if (files.empty()) {
    std::fprintf(stderr, "no inputs in %s\n", argv[1]);
    return 1;
  }
  LLVMFuzzerInitialize(&argc, &argv);
  for (const auto& f : files) {
    std::ifstream in(f, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ORVEX_FUZZ_ENTRY(bytes.data(), bytes.size());
  }
  std::fprintf(stderr, "replayed %zu inputs from %s\n", files.size(), argv[1]);
  return 0;
}
