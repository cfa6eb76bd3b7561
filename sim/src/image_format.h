// Byte helpers and the demo layout shared by the simulator's sources.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvex_sim {

void put_le32(std::vector<uint8_t>& v, size_t at, uint32_t value);
uint32_t get_le32(const uint8_t* p);
uint32_t crc32(const uint8_t* data, size_t n);
uint32_t pack_version(unsigned fw_major, unsigned fw_minor, unsigned fw_patch, unsigned drv_major,
                      unsigned drv_minor, unsigned drv_patch);
// Payload length from its first 8 bytes; 0 when magic or length is wrong.
size_t payload_length_field(const uint8_t* first8);

// The demo image (what a download writes): firmware 19.6.1 over 19.5.4.
constexpr size_t DEMO_IMAGE_SIZE = 0x3E000;
constexpr uint32_t DEMO_IMAGE_WORK_OFFSET = 0x3000;
constexpr uint32_t DEMO_IMAGE_ROLL_OFFSET = 0x21000;
constexpr uint32_t DEMO_IMAGE_WORK_VERSION = 0x13301361;  // fw 19.6.1, driver 19.3.0
constexpr uint32_t DEMO_IMAGE_ROLL_VERSION = 0x13301354;  // fw 19.5.4, driver 19.3.0

// The demo flash (what was there before): firmware 19.5.2 over 19.4.0.
constexpr size_t DEMO_FLASH_USED = 0x3C000;
constexpr uint32_t DEMO_FLASH_WORK_OFFSET = 0x3000;
constexpr uint32_t DEMO_FLASH_ROLL_OFFSET = 0x20000;
constexpr uint32_t DEMO_FLASH_WORK_VERSION = 0x13201352;  // fw 19.5.2, driver 19.2.0
constexpr uint32_t DEMO_FLASH_ROLL_VERSION = 0x13201340;  // fw 19.4.0, driver 19.2.0

}  // namespace orvex_sim
