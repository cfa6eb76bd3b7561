// Firmware version records: of the input firmware file and of the working
// and rollback images in the flash.
#pragma once
#include <cstdint>

constexpr const char* INPUT_FIRMWARE_PATH = "../../../firmware/wifi_v111/ASIC_A0/wifi_firmware.bin";
constexpr uint32_t BUILD_INFO_MARKER = 0xDADBABBA;
constexpr uint32_t BUILD_INFO_SIZE = 36;
constexpr uint32_t BUILD_INFO_FILE_OFFSET = 12;
constexpr uint32_t BUILD_INFO_IMAGE_OFFSET = 0x810;
constexpr uint32_t IMAGE_CONTROL_MARKER = 0x1ABCDEF9;
constexpr uint32_t IMAGE_CONTROL_ADDR = 0x1000;
constexpr uint32_t IMAGE_CONTROL_SIZE = 40;

struct firmware_version_record {
  uint8_t firmware_major;
  uint8_t firmware_minor;
  uint8_t firmware_patch;
  uint8_t driver_major;
  uint8_t driver_minor;
  uint8_t driver_patch;
  char build_date[12];
  char build_time[9];
  uint32_t chip_id;
};

void unpack_version(uint32_t word, firmware_version_record* record);
int8_t read_input_firmware_version(const char* path, firmware_version_record* record);
int8_t read_flash_firmware_versions(firmware_version_record* working, firmware_version_record* rollback);
void print_version_record(const char* title, const firmware_version_record* record);
// The report of the download task's first slot; returns the last status.
int8_t report_firmware_versions();
