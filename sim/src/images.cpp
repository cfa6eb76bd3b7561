// Files and flash contents the simulated module works with: the programmer
// firmware it accepts, and the demo image, input firmware and flash.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>

#include "image_format.h"
#include "orvex_sim/simulator.h"

namespace orvex_sim {
namespace {

constexpr uint32_t PAYLOAD_MAGIC = 0x4750584F;  // "OXPG"
constexpr uint32_t FILE_MAGIC = 0x4650584F;     // "OXPF"
constexpr uint32_t PAYLOAD_FORMAT = 1;
constexpr size_t PAYLOAD_SIZE = 4096;
constexpr size_t PAYLOAD_MIN = 16;
constexpr size_t PAYLOAD_MAX = 65535;

constexpr uint32_t BUILD_MARKER = 0xDADBABBA;
constexpr uint32_t ICB_MARKER = 0x1ABCDEF9;
constexpr uint32_t ICB_OFFSET = 0x1000;
constexpr uint32_t HEADER_OFFSET = 0x810;

// Deterministic filler that looks like code: a small linear congruential generator.
void fill_pseudo(std::vector<uint8_t>& v, size_t from, size_t to, uint32_t seed) {
  uint32_t x = seed;
  for (size_t i = from; i < to && i < v.size(); ++i) {
    x = x * 1664525u + 1013904223u;
    v[i] = static_cast<uint8_t>(x >> 24);
  }
}

void put_text(std::vector<uint8_t>& v, size_t at, const char* text, size_t width) {
  size_t n = std::strlen(text);
  for (size_t i = 0; i < width; ++i) v[at + i] = i < n ? static_cast<uint8_t>(text[i]) : 0;
}

void put_build_header(std::vector<uint8_t>& v, size_t at, uint32_t version, const char* date,
                      const char* time) {
  put_le32(v, at, BUILD_MARKER);
  put_le32(v, at + 4, 0);
  put_le32(v, at + 8, version);
  put_text(v, at + 12, date, 12);
  put_text(v, at + 24, time, 9);
  put_text(v, at + 33, "", 3);
}

void put_control_block(std::vector<uint8_t>& v, uint32_t work_off, uint32_t work_ver,
                       uint32_t roll_off, uint32_t roll_ver) {
  size_t at = ICB_OFFSET;
  put_le32(v, at, ICB_MARKER);
  for (size_t i = 4; i < 16; ++i) v[at + i] = 0;
  put_le32(v, at + 16, work_off);
  put_le32(v, at + 20, work_ver);
  put_le32(v, at + 24, roll_off);
  put_le32(v, at + 28, 0);
  put_le32(v, at + 32, roll_ver);
  put_le32(v, at + 36, 0);
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  if (!f) throw std::runtime_error("cannot write " + path);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!f) throw std::runtime_error("cannot write " + path);
}

void make_dirs(const std::string& path) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos == path.size() || path[pos] == '/') {
      std::string part = path.substr(0, pos);
      if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
        throw std::runtime_error("cannot create " + part);
    }
  }
}

}  // namespace

void put_le32(std::vector<uint8_t>& v, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t get_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint32_t crc32(const uint8_t* data, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    c ^= data[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

uint32_t pack_version(unsigned fw_major, unsigned fw_minor, unsigned fw_patch, unsigned drv_major,
                      unsigned drv_minor, unsigned drv_patch) {
  return (drv_major & 0xFF) << 24 | (drv_minor & 0xF) << 20 | (drv_patch & 0xF) << 16 |
         (fw_major & 0xFF) << 8 | (fw_minor & 0xF) << 4 | (fw_patch & 0xF);
}

size_t payload_length_field(const uint8_t* first8) {
  if (get_le32(first8) != PAYLOAD_MAGIC) return 0;
  uint32_t len = get_le32(first8 + 4);
  return (len >= PAYLOAD_MIN && len <= PAYLOAD_MAX) ? len : 0;
}

bool valid_programmer_payload(const std::vector<uint8_t>& payload) {
  if (payload.size() < PAYLOAD_MIN || payload.size() > PAYLOAD_MAX) return false;
  if (payload_length_field(payload.data()) != payload.size()) return false;
  size_t body = payload.size() - 4;
  return crc32(payload.data(), body) == get_le32(payload.data() + body);
}

std::vector<uint8_t> programmer_firmware_file() {
  std::vector<uint8_t> payload(PAYLOAD_SIZE, 0);
  put_le32(payload, 0, PAYLOAD_MAGIC);
  put_le32(payload, 4, static_cast<uint32_t>(PAYLOAD_SIZE));
  put_le32(payload, 8, PAYLOAD_FORMAT);
  put_text(payload, 12, "orvex programmer firmware", 32);
  fill_pseudo(payload, 44, PAYLOAD_SIZE - 4, 0x5EED0001);
  put_le32(payload, PAYLOAD_SIZE - 4, crc32(payload.data(), PAYLOAD_SIZE - 4));

  std::vector<uint8_t> file(12 + PAYLOAD_SIZE, 0);
  put_le32(file, 0, FILE_MAGIC);
  put_le32(file, 4, static_cast<uint32_t>(PAYLOAD_SIZE));
  put_le32(file, 8, 0);
  std::copy(payload.begin(), payload.end(), file.begin() + 12);
  return file;
}

void write_programmer_firmware(const std::string& path) { write_file(path, programmer_firmware_file()); }

std::vector<uint8_t> demo_image() {
  std::vector<uint8_t> img(DEMO_IMAGE_SIZE);
  fill_pseudo(img, 0, img.size(), 0x1A6E0001);
  put_control_block(img, DEMO_IMAGE_WORK_OFFSET, DEMO_IMAGE_WORK_VERSION, DEMO_IMAGE_ROLL_OFFSET,
                    DEMO_IMAGE_ROLL_VERSION);
  put_build_header(img, DEMO_IMAGE_WORK_OFFSET + HEADER_OFFSET, DEMO_IMAGE_WORK_VERSION,
                   "Mar 18 2026", "14:02:33");
  put_build_header(img, DEMO_IMAGE_ROLL_OFFSET + HEADER_OFFSET, DEMO_IMAGE_ROLL_VERSION,
                   "Jan  9 2026", "09:41:07");
  return img;
}

std::vector<uint8_t> demo_flash(size_t size) {
  std::vector<uint8_t> flash(size, 0xFF);
  if (size < DEMO_FLASH_ROLL_OFFSET + 0x1000) return flash;
  fill_pseudo(flash, 0, DEMO_FLASH_USED, 0xF1A50001);
  put_control_block(flash, DEMO_FLASH_WORK_OFFSET, DEMO_FLASH_WORK_VERSION, DEMO_FLASH_ROLL_OFFSET,
                    DEMO_FLASH_ROLL_VERSION);
  put_build_header(flash, DEMO_FLASH_WORK_OFFSET + HEADER_OFFSET, DEMO_FLASH_WORK_VERSION,
                   "Nov 27 2025", "16:20:45");
  put_build_header(flash, DEMO_FLASH_ROLL_OFFSET + HEADER_OFFSET, DEMO_FLASH_ROLL_VERSION,
                   "Aug  4 2025", "11:05:12");
  return flash;
}

std::vector<uint8_t> demo_input_firmware() {
  std::vector<uint8_t> f(4096);
  fill_pseudo(f, 0, f.size(), 0x1F1E0001);
  put_le32(f, 0, 0x5746584F);  // "OXFW"
  put_le32(f, 4, static_cast<uint32_t>(f.size()));
  put_le32(f, 8, 0);
  put_build_header(f, 12, DEMO_IMAGE_WORK_VERSION, "Mar 18 2026", "14:02:33");
  return f;
}

std::string write_demo_workspace(const std::string& dir) {
  make_dirs(dir + "/firmware/wifi_v111/ASIC_A0");
  make_dirs(dir + "/programmer_firmware/release");
  std::string work = dir + "/host/win32/release";
  make_dirs(work);
  write_file(dir + "/firmware/m2m_aio.bin", demo_image());
  write_file(dir + "/firmware/wifi_v111/ASIC_A0/wifi_firmware.bin", demo_input_firmware());
  write_programmer_firmware(dir + "/programmer_firmware/release/programmer_firmware.bin");
  return work;
}

}  // namespace orvex_sim
