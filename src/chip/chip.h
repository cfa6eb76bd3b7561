// Chip register and memory access: one 32-bit address space, blocks of any
// 16-bit length moved in pieces of at most 1016 bytes, the chip id with its
// revision rules (cached for the run), and the chip reset.
#pragma once
#include <cstdint>

#include "port/port.h"

constexpr uint16_t CHIP_BUS_MTU = 1024;
constexpr uint16_t CHIP_PIECE_SIZE = CHIP_BUS_MTU - 8;  // 1016

constexpr uint32_t CHIP_ID_REG = 0x1000;
constexpr uint32_t CHIP_REV_REG = 0x13F4;
constexpr uint32_t CHIP_RESET_REG = 0x1400;

int8_t qd_chip_open(int* port);
int8_t qd_chip_set_rate(const uart_config* config);
uint32_t qd_chip_read_reg(uint32_t address);
int8_t qd_chip_read_reg_with_ret(uint32_t address, uint32_t* value_out);
int8_t qd_chip_write_reg(uint32_t address, uint32_t value);
int8_t qd_chip_read_block(uint32_t address, uint8_t* buffer, uint16_t length);
int8_t qd_chip_write_block(uint32_t address, const uint8_t* buffer, uint16_t length);
int8_t qd_chip_read_piece(uint32_t address, uint8_t* buffer, uint16_t length);
int8_t qd_chip_write_piece(uint32_t address, const uint8_t* buffer, uint16_t length);
uint32_t qd_chip_get_id();
int8_t qd_chip_reset();

// Forgets the cached chip id; for tests.
void qd_chip_forget_id();
