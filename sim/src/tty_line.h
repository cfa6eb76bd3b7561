// Line settings of a tty by number, arbitrary rates included.
#pragma once
#include <cstdint>

namespace orvex_sim {
// The output rate set on the tty (whoever set it); false when unreadable.
bool tty_get_rate(int fd, uint32_t* rate);
// Raw 8N1, receiver on, modem lines ignored, no flow control, at rate.
bool tty_set_raw(int fd, uint32_t rate);
// Changes only the rate.
bool tty_set_rate(int fd, uint32_t rate);
}  // namespace orvex_sim

namespace orvex_sim {
// Waits until everything written has left the line.
bool tty_drain(int fd);
}  // namespace orvex_sim
