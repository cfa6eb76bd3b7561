// The programmer firmware on the chip: bring-up and shutdown, the mailbox
// command channel, and the flash operations built on it.
#pragma once
#include <cstdint>

constexpr const char* PROG_FILE_PATH = "../../../programmer_firmware/release/programmer_firmware.bin";
constexpr uint32_t PROG_FILE_HEADER_SIZE = 12;
constexpr uint32_t PROG_LOAD_ADDR = 0xD0000;
constexpr uint32_t PROG_HEAD_COPY_ADDR = 0x60000;
constexpr uint32_t PROG_START_REG = 0xC000C;
constexpr uint32_t PROG_START_VALUE = 0xEF522F61;
constexpr uint32_t PROG_STATE_REG = 0x108C;
constexpr uint32_t PROG_STATE_READY = 9;
constexpr uint32_t PROG_READY_POLLS = 2000;

constexpr uint32_t PROG_CMD_ADDR = 0xE0000;
constexpr uint32_t PROG_BUF_ADDR = 0xE0014;
constexpr uint32_t PROG_CMD_WRITE = 6;
constexpr uint32_t PROG_CMD_READ = 7;
constexpr uint32_t PROG_CMD_ERASE = 8;
constexpr uint32_t PROG_WINDOW_SIZE = 0x8000;
constexpr uint32_t PROG_COMMAND_POLLS = 10000;
constexpr uint16_t PROG_COMMAND_SIZE = 20;

struct programmer_command {
  uint32_t command_code;
  uint32_t data_checksum;
  uint32_t byte_count;
  uint32_t buffer_address;
  uint32_t flash_address;
};

int8_t programmer_init(uint8_t port);
int8_t programmer_load_firmware();
int8_t programmer_deinit();

int8_t programmer_read(uint8_t* destination, uint32_t address, uint32_t length);
int8_t programmer_erase_all();
int8_t programmer_erase(uint32_t start, uint32_t size);
int8_t programmer_write(const uint8_t* data, uint32_t address, uint32_t size);
int8_t programmer_read_window(uint8_t* destination, uint32_t address, uint32_t length);
int8_t programmer_read_cmd(uint32_t buffer_address, uint32_t flash_address, uint32_t length);
int8_t programmer_write_window(uint32_t address, const uint8_t* data, uint32_t length);
uint8_t programmer_checksum(const uint8_t* data, uint32_t length);
// read_failed (may be null) tells whether the wait ended on a failed register read.
int8_t programmer_run_command(const programmer_command* command, const uint8_t* data, bool* read_failed);
