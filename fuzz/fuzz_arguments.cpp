// The argument scan: any argument vector, options found anywhere inside
// arguments, values taken from the following argument.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "app/options.h"
#include "harness_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  harness::quiet_stdout();
  return 0;
}

// The input is the arguments after the program name, separated by NUL bytes.
extern "C" int ORVEX_FUZZ_ENTRY(const uint8_t* data, size_t size) {
  std::vector<std::string> args = {"orvex_flash"};
  std::string current;
  for (size_t i = 0; i < size && args.size() < 64; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (!current.empty()) args.push_back(current);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  image_path = DEFAULT_IMAGE_PATH;
  uint8_t port = 0xEE;
  uint32_t flags = parse_arguments(argv.data(), static_cast<int>(args.size()), &port);
  // The path is always one of the arguments (or the default), never a mix.
  bool known = image_path == DEFAULT_IMAGE_PATH;
  for (const auto& a : args) known = known || image_path == a;
  if (!known || (flags & ~OPT_NO_WAIT) != 0) __builtin_trap();
  return 0;
}
