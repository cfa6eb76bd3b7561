// Flash identification through the chip's own SPI flash controller, and the
// flash size derived from the identification's capacity code.
#include "programmer/spi_flash.h"

#include "chip/chip.h"
#include "common/console.h"
#include "common/status.h"

static constexpr uint32_t SPI_FLASH_READ_COUNT_REG = 0x10208;
static constexpr uint32_t SPI_FLASH_INSTRUCTION_REG = 0x1020C;
static constexpr uint32_t SPI_FLASH_INSTRUCTION_MASK_REG = 0x10214;
static constexpr uint32_t SPI_FLASH_DEST_ADDR_REG = 0x1021C;
static constexpr uint32_t SPI_FLASH_START_REG = 0x10204;
static constexpr uint32_t SPI_FLASH_DONE_REG = 0x10218;
static constexpr uint32_t SPI_FLASH_ID_ADDR = 0x1084;

static constexpr uint32_t SPI_FLASH_ID_LENGTH = 4;
static constexpr uint32_t SPI_FLASH_CMD_READ_ID = 0x9F;
static constexpr uint32_t SPI_FLASH_FIRST_BYTE_ONLY = 1;
static constexpr uint32_t SPI_FLASH_GO = 0x81;
static constexpr uint32_t SPI_FLASH_DONE = 1;
static constexpr uint32_t SPI_FLASH_DONE_POLLS = 500;

// Capacity codes the size rule covers: 2^(code - 17) megabits, whose size in
// bytes still fits 32 bits. Anything outside is no usable flash.
static constexpr uint32_t SPI_FLASH_MIN_CAPACITY_CODE = 17;
static constexpr uint32_t SPI_FLASH_MAX_CAPACITY_CODE = 31;
static constexpr uint32_t SPI_FLASH_BYTES_PER_MBIT = 131072;

static uint32_t flash_size_mbit = 0;

uint32_t spi_flash_read_id() {
  // A write that did not reach the chip shows up in the completion poll.
  qd_chip_write_reg(SPI_FLASH_READ_COUNT_REG, SPI_FLASH_ID_LENGTH);
  qd_chip_write_reg(SPI_FLASH_INSTRUCTION_REG, SPI_FLASH_CMD_READ_ID);
  qd_chip_write_reg(SPI_FLASH_INSTRUCTION_MASK_REG, SPI_FLASH_FIRST_BYTE_ONLY);
  qd_chip_write_reg(SPI_FLASH_DEST_ADDR_REG, SPI_FLASH_ID_ADDR);
  qd_chip_write_reg(SPI_FLASH_START_REG, SPI_FLASH_GO);

  // The transfer is short: poll without sleeping.
  bool complete = false;
  uint32_t polls = 0;
  for (;;) {
    uint32_t value = 0;
    if (qd_chip_read_reg_with_ret(SPI_FLASH_DONE_REG, &value) != QD_OK) break;
    polls++;
    if (polls > SPI_FLASH_DONE_POLLS) break;
    if (value == SPI_FLASH_DONE) {
      complete = true;
      break;
    }
  }

  uint32_t id = 0;
  // A failed read must not leave a stale word behind as the id.
  if (complete && qd_chip_read_reg_with_ret(SPI_FLASH_ID_ADDR, &id) != QD_OK) id = 0;
  con_print("Flash ID %x \n", id);
  return id;
}

uint32_t spi_flash_get_size() {
  if (flash_size_mbit != 0) return flash_size_mbit;
  uint32_t id = spi_flash_read_id();
  uint32_t capacity_code = (id >> 16) & 0xFF;
  // Covers 0xFFFFFFFF (no flash answers) and 0 (identification failed).
  if (capacity_code < SPI_FLASH_MIN_CAPACITY_CODE || capacity_code > SPI_FLASH_MAX_CAPACITY_CODE) {
    QD_LOG_ERR("Cann't Detect Flash size\n");
    return 0;
  }
  flash_size_mbit = 1u << (capacity_code - SPI_FLASH_MIN_CAPACITY_CODE);
  con_log_info("Flash Size %lu Mb\n", static_cast<unsigned long>(flash_size_mbit));
  return flash_size_mbit;
}

uint32_t spi_flash_size_bytes() { return spi_flash_get_size() * SPI_FLASH_BYTES_PER_MBIT; }

void spi_flash_forget_size() { flash_size_mbit = 0; }
