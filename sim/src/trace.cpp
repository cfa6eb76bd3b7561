// Decoding of line traffic into words: frames, registers, acknowledgements.
#include <cstdio>
#include <string>

#include "image_format.h"
#include "orvex_sim/simulator.h"

namespace orvex_sim {

std::string hex_bytes(const uint8_t* data, size_t n, size_t max) {
  std::string s;
  char b[4];
  for (size_t i = 0; i < n && i < max; ++i) {
    std::snprintf(b, sizeof b, i ? " %02X" : "%02X", data[i]);
    s += b;
  }
  if (n > max) s += " ...";
  return s;
}

std::string register_name(uint32_t addr) {
  switch (addr) {
    case 0x1000: return "chip id";
    case 0x13F4: return "revision";
    case 0x1400: return "reset";
    case 0x1084: return "spi id buffer";
    case 0x108C: return "prog state";
    case 0xC000C: return "prog start";
    case 0x10204: return "spi start";
    case 0x10208: return "spi read count";
    case 0x1020C: return "spi instruction";
    case 0x10214: return "spi instruction bytes";
    case 0x10218: return "spi done";
    case 0x1021C: return "spi destination";
    case 0xD0000: return "prog load";
    case 0x60000: return "prog head copy";
    case 0xE0000: return "command block";
    case 0xE0014: return "data buffer";
    default: return "";
  }
}

uint8_t frame_checksum(const uint8_t* f) {
  uint8_t x = 0;
  for (int i = 1; i < 13; ++i)
    if (i != 2) x ^= f[i];
  return x;
}

namespace {
std::string addr_text(uint32_t addr) {
  char b[32];
  std::snprintf(b, sizeof b, "0x%08X", static_cast<unsigned>(addr));
  std::string name = register_name(addr);
  return name.empty() ? std::string(b) : std::string(b) + " (" + name + ")";
}
}  // namespace

std::string describe_frame(const uint8_t* f) {
  char b[96];
  if (f[0] != 0xA5) {
    std::snprintf(b, sizeof b, "not a frame: start byte 0x%02X", f[0]);
    return b;
  }
  uint16_t len = static_cast<uint16_t>(f[3] | f[4] << 8);
  uint32_t addr = get_le32(f + 5);
  uint32_t value = get_le32(f + 9);
  std::string s;
  switch (f[1]) {
    case 0: s = "read reg " + addr_text(addr); break;
    case 1:
      std::snprintf(b, sizeof b, " = 0x%08X", static_cast<unsigned>(value));
      s = "write reg " + addr_text(addr) + b;
      break;
    case 2:
      std::snprintf(b, sizeof b, ", %u bytes", static_cast<unsigned>(len));
      s = "read block " + addr_text(addr) + b;
      break;
    case 3:
      std::snprintf(b, sizeof b, ", %u bytes", static_cast<unsigned>(len));
      s = "write block " + addr_text(addr) + b;
      break;
    case 5:
      std::snprintf(b, sizeof b, "set line rate %u", static_cast<unsigned>(value));
      s = b;
      break;
    default:
      std::snprintf(b, sizeof b, "unknown command %u", f[1]);
      s = b;
  }
  if (frame_checksum(f) != f[2]) {
    std::snprintf(b, sizeof b, " [bad checksum 0x%02X, expected 0x%02X]", f[2], frame_checksum(f));
    s += b;
  }
  return s;
}

}  // namespace orvex_sim
