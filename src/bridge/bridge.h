// The byte protocol spoken with the serial bridge or the chip's built-in
// UART: synchronisation, the 13-byte command frame, register and block
// commands, and the line-rate change.
#pragma once
#include <cstdint>

#include "port/port.h"

constexpr uint8_t UART_SYNC_BYTE = 0x12;
constexpr uint8_t UART_SYNC_BUILTIN = 0x5A;
constexpr uint8_t UART_SYNC_BRIDGE = 0x5B;
constexpr uint8_t UART_ACK = 0xAC;
constexpr uint8_t UART_FRAME_START = 0xA5;
constexpr uint16_t UART_FRAME_SIZE = 13;

constexpr uint8_t UART_CMD_READ_REG = 0;
constexpr uint8_t UART_CMD_WRITE_REG = 1;
constexpr uint8_t UART_CMD_READ_BLOCK = 2;
constexpr uint8_t UART_CMD_WRITE_BLOCK = 3;
constexpr uint8_t UART_CMD_RECONFIGURE = 5;

// 1 built-in UART, 0 serial bridge, -6 no answer or write failed, -1 unknown answer.
int8_t qd_uart_sync_cmd();
int8_t qd_uart_read_reg_with_ret(uint32_t address, uint32_t* value_out);
uint32_t qd_uart_read_reg(uint32_t address);
int8_t qd_uart_write_reg(uint32_t address, uint32_t value);
uint8_t qd_uart_checksum(const uint8_t* bytes, uint8_t count);
int8_t qd_uart_read_block(uint32_t address, uint8_t* buffer, uint16_t length);
int8_t qd_uart_write_block(uint32_t address, const uint8_t* buffer, uint16_t length);
int8_t qd_uart_reconfigure(const uart_config* config);
