// Serial port layer: one open port at a time, byte I/O behind one bus
// control entry, rate changes, the close that restores the port's own
// settings, and the millisecond clock and sleep used by the layers above.
#pragma once
#include <cstdint>

constexpr uint8_t BUS_IOCTL_READ = 0;
constexpr uint8_t BUS_IOCTL_WRITE = 1;

constexpr uint32_t UART_DEFAULT_BAUD = 115200;
constexpr uint32_t UART_TIMEOUT_MS = 100;

struct bus_transfer {
  uint8_t* buffer;
  uint16_t size;
};

struct uart_config {
  uint32_t baud_rate;
};

// Opens COM<port> (1..255) exclusively, 115200 8N1, 100 ms time-outs.
// debugger_port = 1 holds DTR on (the on-board debugger's virtual port).
int8_t qd_uart_init(uint8_t port, uint8_t debugger_port);
int8_t qd_bus_ioctl(uint8_t cmd, bus_transfer* transfer);
int8_t qd_uart_read(uint8_t* buffer, int size);
int8_t qd_uart_write(const uint8_t* buffer, int size);
int8_t qd_bus_deinit();
int8_t qd_uart_deinit();
int8_t qd_bus_reinit(const uart_config* config);
int8_t qd_uart_reinit(const uart_config* config);
void qd_sleep(uint32_t ms);
// Monotonic millisecond tick; differences are taken as unsigned 32-bit.
uint32_t qd_tick_ms();
