// Set-up shared by the harnesses: quiet standard output, and a working
// folder three levels below the firmware files the tool opens.
#pragma once
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#ifndef ORVEX_FUZZ_ENTRY
#define ORVEX_FUZZ_ENTRY LLVMFuzzerTestOneInput
#endif

namespace harness {

// The tool prints a lot; the fuzzer's own reports go to standard error.
inline void quiet_stdout() {
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();
}

inline void write_bytes(const std::string& path, const void* data, size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);
}

inline std::string& workspace_root() {
  static std::string root;
  return root;
}

inline void remove_workspace() {
  std::error_code ec;
  if (!workspace_root().empty()) std::filesystem::remove_all(workspace_root(), ec);
}

// Returns the temporary root (removed at exit); the working folder is root/a/b/c.
inline std::string enter_workspace(size_t image_size) {
  char tmpl[] = "/tmp/orvex_fuzz_XXXXXX";
  if (!mkdtemp(tmpl)) std::abort();
  std::string root = tmpl;
  workspace_root() = root;
  std::atexit(remove_workspace);
  for (const char* d : {"/firmware", "/firmware/wifi_v111", "/firmware/wifi_v111/ASIC_A0", "/programmer_firmware",
                        "/programmer_firmware/release", "/a", "/a/b", "/a/b/c"})
    mkdir((root + d).c_str(), 0755);
  std::string image(image_size, '\x5A');
  write_bytes(root + "/firmware/m2m_aio.bin", image.data(), image.size());
  // The tool does not look into the programmer firmware beyond its length.
  std::string programmer(12 + 64, '\x01');
  write_bytes(root + "/programmer_firmware/release/programmer_firmware.bin", programmer.data(), programmer.size());
  std::string input(12 + 36 + 16, '\0');
  const unsigned char header[] = {0xBA, 0xAB, 0xDB, 0xDA, 4, 3, 2, 1, 0x40, 0x13, 0x30, 0x12};
  input.replace(12, sizeof header, reinterpret_cast<const char*>(header), sizeof header);
  write_bytes(root + "/firmware/wifi_v111/ASIC_A0/wifi_firmware.bin", input.data(), input.size());
  if (chdir((root + "/a/b/c").c_str()) != 0) std::abort();
  return root;
}

}  // namespace harness
