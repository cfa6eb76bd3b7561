// The input firmware file: its build information header decoded from any
// file content, and the record printed.
#include <cstdint>
#include <string>

#include "harness_support.h"
#include "image/version.h"

static std::string file_path;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  harness::quiet_stdout();
  file_path = harness::enter_workspace(16) + "/input_firmware.bin";
  return 0;
}

extern "C" int ORVEX_FUZZ_ENTRY(const uint8_t* data, size_t size) {
  harness::write_bytes(file_path, data, size);
  firmware_version_record record{};
  if (read_input_firmware_version(file_path.c_str(), &record) == 0)
    print_version_record("----- Input Firmware File Version-----\n", &record);
  return 0;
}
