#include "image/version.h"

#include <cstdio>
#include <cstring>

#include "common/console.h"
#include "common/status.h"
#include "programmer/programmer.h"

// Offsets inside the build information header.
constexpr uint32_t BUILD_INFO_VERSION_AT = 8;
constexpr uint32_t BUILD_INFO_DATE_AT = 12;
constexpr uint32_t BUILD_INFO_TIME_AT = 24;
constexpr uint32_t BUILD_DATE_SIZE = 12;
constexpr uint32_t BUILD_TIME_SIZE = 9;

// Offsets inside the image control block.
constexpr uint32_t CONTROL_WORKING_OFFSET_AT = 16;
constexpr uint32_t CONTROL_WORKING_VERSION_AT = 20;
constexpr uint32_t CONTROL_ROLLBACK_OFFSET_AT = 24;
constexpr uint32_t CONTROL_ROLLBACK_VERSION_AT = 32;

// The three records of the report, kept for the run.
static firmware_version_record input_record;
static firmware_version_record working_record;
static firmware_version_record rollback_record;

static uint32_t get_le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

static void copy_build_texts(const uint8_t* header, firmware_version_record* record) {
  std::memcpy(record->build_date, header + BUILD_INFO_DATE_AT, BUILD_DATE_SIZE);
  std::memcpy(record->build_time, header + BUILD_INFO_TIME_AT, BUILD_TIME_SIZE);
}

void unpack_version(uint32_t word, firmware_version_record* record) {
  record->firmware_patch = static_cast<uint8_t>(word & 0x0F);
  record->firmware_minor = static_cast<uint8_t>((word >> 4) & 0x0F);
  record->firmware_major = static_cast<uint8_t>((word >> 8) & 0xFF);
  record->driver_patch = static_cast<uint8_t>((word >> 16) & 0x0F);
  record->driver_minor = static_cast<uint8_t>((word >> 20) & 0x0F);
  record->driver_major = static_cast<uint8_t>((word >> 24) & 0xFF);
}

int8_t read_input_firmware_version(const char* path, firmware_version_record* record) {
  std::FILE* file = std::fopen(path, "rb");
  if (!file) {
    con_plain("failed to open firmware file \n%s\n", path);
    return QD_ERR_FAIL;
  }
  long size = -1;
  if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
  std::fseek(file, static_cast<long>(BUILD_INFO_FILE_OFFSET), SEEK_SET);
  // 37 bytes pass: the header is then judged by its marker alone, the
  // missing bytes reading as zero.
  if (size <= static_cast<long>(BUILD_INFO_SIZE)) {
    con_plain("Incorrect file size \n%s\n", path);
    std::fclose(file);
    return QD_ERR_FAIL;
  }
  uint8_t header[BUILD_INFO_SIZE] = {};
  size_t got = std::fread(header, 1, sizeof header, file);
  (void)got;
  if (get_le32(header) != BUILD_INFO_MARKER) {
    con_plain("File is not eligable for firmware version number <17.2 \n%s\n", path);
    std::fclose(file);
    return QD_ERR_FAIL;
  }
  firmware_version_record found{};
  unpack_version(get_le32(header + BUILD_INFO_VERSION_AT), &found);
  copy_build_texts(header, &found);
  if (record) *record = found;
  std::fclose(file);
  return QD_OK;
}

int8_t read_flash_firmware_versions(firmware_version_record* working, firmware_version_record* rollback) {
  if (working) *working = firmware_version_record{};
  if (rollback) *rollback = firmware_version_record{};

  uint8_t control[IMAGE_CONTROL_SIZE] = {};
  if (programmer_read(control, IMAGE_CONTROL_ADDR, IMAGE_CONTROL_SIZE) != QD_OK) {
    con_print("Failed to read spi flash\n");
    return QD_ERR_FAIL;
  }
  if (get_le32(control) != IMAGE_CONTROL_MARKER) return QD_ERR_FAIL;

  uint32_t working_offset = get_le32(control + CONTROL_WORKING_OFFSET_AT);
  uint32_t rollback_offset = get_le32(control + CONTROL_ROLLBACK_OFFSET_AT);
  if (working) unpack_version(get_le32(control + CONTROL_WORKING_VERSION_AT), working);
  if (rollback) unpack_version(get_le32(control + CONTROL_ROLLBACK_VERSION_AT), rollback);

  // The headers only add the build texts; the versions come from the control block.
  uint8_t header[BUILD_INFO_SIZE] = {};
  int8_t status = programmer_read(header, working_offset + BUILD_INFO_IMAGE_OFFSET, BUILD_INFO_SIZE);
  if (status == QD_OK && get_le32(header) == BUILD_INFO_MARKER && working) copy_build_texts(header, working);

  std::memset(header, 0, sizeof header);
  status = programmer_read(header, rollback_offset + BUILD_INFO_IMAGE_OFFSET, BUILD_INFO_SIZE);
  if (status == QD_OK && get_le32(header) == BUILD_INFO_MARKER && rollback) copy_build_texts(header, rollback);
  return status;
}

void print_version_record(const char* title, const firmware_version_record* record) {
  con_print("%s", title);
  con_print("Firmware ver   : %u.%u.%u\n", record->firmware_major, record->firmware_minor, record->firmware_patch);
  con_print("Min driver ver : %u.%u.%u\n", record->driver_major, record->driver_minor, record->driver_patch);
  // The texts need not be NUL-terminated inside their fields.
  con_print("Firmware Build %.*s Time %.*s\n",
            static_cast<int>(strnlen(record->build_date, sizeof record->build_date)), record->build_date,
            static_cast<int>(strnlen(record->build_time, sizeof record->build_time)), record->build_time);
}

static bool has_firmware_version(const firmware_version_record* record) {
  return record->firmware_major != 0 || record->firmware_minor != 0;
}

int8_t report_firmware_versions() {
  int8_t status = read_input_firmware_version(INPUT_FIRMWARE_PATH, &input_record);
  if (status == QD_OK) print_version_record("----- Input Firmware File Version-----\n", &input_record);

  status = read_flash_firmware_versions(&working_record, &rollback_record);
  if (status == QD_OK) {
    if (has_firmware_version(&working_record))
      print_version_record("----- Flash Curren working Firmware Image Version-----\n", &working_record);
    if (has_firmware_version(&rollback_record))
      print_version_record("----- Flash Ota Rollback Firmware Image Version-----\n", &rollback_record);
  }
  return status;
}
