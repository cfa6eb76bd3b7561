// Finding the module's port: listing, open test, probe loop, and the
// choice of the port (given, or typed at the prompt).
#pragma once
#include <cstdint>

constexpr int PORT_LIST_SIZE = 255;

struct port_entry {
  uint8_t number;         // COM number, 0 ends a list
  uint8_t builtin_uart;   // probe result: 1 built-in UART, 0 serial bridge
  uint8_t debugger_port;  // friendly name holds the debugger text
};

typedef int8_t (*qd_probe_fn)(void);

extern port_entry port_table[PORT_LIST_SIZE];

int qd_uart_enum_ports(port_entry* list);
int8_t qd_uart_check_ports(port_entry* table);
uint8_t qd_bus_port_detect(uint8_t* found, qd_probe_fn probe);
int8_t qd_uart_connect(int* port);
uint8_t qd_uart_is_builtin();

// Leading white space and one sign accepted, then digits up to the first
// non-digit (none give 0); the low eight bits of that value.
uint8_t qd_decimal_low8(const char* text);
// The number right after the first "(COM" of a friendly name, read as above;
// false when the name holds no "(COM".
bool qd_port_name_number(const char* friendly_name, uint8_t* number);

// Back to the program-start state (empty port_table, flag 0); for tests.
void qd_discovery_reset();
