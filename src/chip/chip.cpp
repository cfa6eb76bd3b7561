#include "chip/chip.h"

#include "bridge/bridge.h"
#include "common/status.h"
#include "port/discovery.h"

// Read once per run; 0 means "not read yet" and is also what a failed read leaves.
static uint32_t chip_id_cache = 0;

int8_t qd_chip_open(int* port) { return qd_uart_connect(port); }

int8_t qd_chip_set_rate(const uart_config* config) { return qd_uart_reconfigure(config); }

uint32_t qd_chip_read_reg(uint32_t address) { return qd_uart_read_reg(address); }

int8_t qd_chip_read_reg_with_ret(uint32_t address, uint32_t* value_out) {
  return qd_uart_read_reg_with_ret(address, value_out);
}

int8_t qd_chip_write_reg(uint32_t address, uint32_t value) { return qd_uart_write_reg(address, value); }

int8_t qd_chip_read_piece(uint32_t address, uint8_t* buffer, uint16_t length) {
  return qd_uart_read_block(address, buffer, length);
}

int8_t qd_chip_write_piece(uint32_t address, const uint8_t* buffer, uint16_t length) {
  return qd_uart_write_block(address, buffer, length);
}

// Full pieces while more than one piece remains, then the rest (possibly 0
// bytes) as the last transfer; the first failure ends the block.
int8_t qd_chip_read_block(uint32_t address, uint8_t* buffer, uint16_t length) {
  uint16_t offset = 0;
  uint16_t remaining = length;
  while (remaining > CHIP_PIECE_SIZE) {
    int8_t status = qd_chip_read_piece(address, buffer + offset, CHIP_PIECE_SIZE);
    if (status != QD_OK) return status;
    remaining = static_cast<uint16_t>(remaining - CHIP_PIECE_SIZE);
    offset = static_cast<uint16_t>(offset + CHIP_PIECE_SIZE);
    address += CHIP_PIECE_SIZE;
  }
  return qd_chip_read_piece(address, buffer + offset, remaining);
}

int8_t qd_chip_write_block(uint32_t address, const uint8_t* buffer, uint16_t length) {
  uint16_t offset = 0;
  uint16_t remaining = length;
  while (remaining > CHIP_PIECE_SIZE) {
    int8_t status = qd_chip_write_piece(address, buffer + offset, CHIP_PIECE_SIZE);
    if (status != QD_OK) return status;
    remaining = static_cast<uint16_t>(remaining - CHIP_PIECE_SIZE);
    offset = static_cast<uint16_t>(offset + CHIP_PIECE_SIZE);
    address += CHIP_PIECE_SIZE;
  }
  return qd_chip_write_piece(address, buffer + offset, remaining);
}

uint32_t qd_chip_get_id() {
  if (chip_id_cache != 0) return chip_id_cache;

  if (qd_chip_read_reg_with_ret(CHIP_ID_REG, &chip_id_cache) != QD_OK) {
    chip_id_cache = 0;
    return 0;
  }
  uint32_t revision = 0;
  if (qd_chip_read_reg_with_ret(CHIP_REV_REG, &revision) != QD_OK) {
    chip_id_cache = 0;
    return 0;
  }

  // Two chip ids come in revisions that the id register alone cannot tell apart.
  if (chip_id_cache == 0x1002A0) {
    if (revision != 1) chip_id_cache = 0x1002A1;
  } else if (chip_id_cache == 0x1002B0) {
    if (revision == 3) {
      chip_id_cache = 0x1002B0;
    } else if (revision == 4) {
      chip_id_cache = 0x1002B1;
    } else {
      chip_id_cache = 0x1002B2;
    }
  }

  // Bits 16..19 of every id read as 5.
  chip_id_cache = (chip_id_cache & 0xFFF0FFFFu) | 0x00050000u;
  return chip_id_cache;
}

int8_t qd_chip_reset() {
  int8_t status = qd_chip_write_reg(CHIP_RESET_REG, 0);
  // The chip needs its time to come out of reset, whatever the write reported.
  qd_sleep(50);
  return status;
}

void qd_chip_forget_id() { chip_id_cache = 0; }
