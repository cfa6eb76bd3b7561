// The small interface between the serial port layer and the operating
// system. One backend per platform: platform_posix.cpp, platform_win32.cpp.
#pragma once
#include <cstddef>
#include <cstdint>

struct plat_port;  // an open port together with the settings saved at open

// Calls visit(friendly_name, ctx) for each serial device, in listing order,
// until visit returns false. Returns 0, or 1 when no device list is available.
typedef bool (*plat_port_visit_fn)(const char* friendly_name, void* ctx);
int plat_list_ports(plat_port_visit_fn visit, void* ctx);

// Exclusive open of COM<number> for read and write; nullptr when it fails.
plat_port* plat_open(uint8_t number);
// Reads the current settings and keeps them for plat_restore_settings.
bool plat_save_settings(plat_port* port);
// 115200 8N1, raw, no flow control; DTR on only for the debugger port, RTS off.
bool plat_apply_line_settings(plat_port* port, bool debugger_port);
bool plat_read_timeouts(plat_port* port);
// Each byte read waits at most 100 ms; a write gets 100 ms in all.
bool plat_apply_timeouts(plat_port* port);
// 1: a byte was read; 0: the 100 ms time-out ran out; -1: the read failed.
int plat_read_byte(plat_port* port, uint8_t* byte);
// True only when every byte was written.
bool plat_write_all(plat_port* port, const uint8_t* data, size_t size);
// Changes the line rate only.
bool plat_set_rate(plat_port* port, uint32_t baud_rate);
void plat_restore_settings(plat_port* port);
// Closes and frees the port; false when the close failed.
bool plat_close(plat_port* port);

void plat_sleep_ms(uint32_t ms);
uint32_t plat_tick_ms();
// Prompt and wait for one key press (the closing pause).
void plat_pause();

// While on, an interruption (Ctrl-C, a termination request, a closed
// console) puts the open port's saved settings back, releases the port,
// prints PLAT_INTERRUPTED_MESSAGE and ends the process: with 130 for Ctrl-C,
// 143 for a termination request (POSIX: 128 + the signal's number).
// Interruptions the process was started to ignore stay ignored.
// Off: the platform's default handling again.
void plat_set_interrupt_handler(bool on);

#define PLAT_INTERRUPTED_MESSAGE "\n>>(ERR):Download interrupted\n\r"
constexpr int PLAT_EXIT_INTERRUPTED = 130;  // Ctrl-C
constexpr int PLAT_EXIT_TERMINATED = 143;  // termination request
