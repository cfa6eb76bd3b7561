// A platform backend without a serial line, for the fuzz harnesses: the
// tool's layers run unchanged above it while the far end is either a raw
// stream of answer bytes or a small well-behaved module whose flash content
// comes from the input.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace fake_line {

enum class Peer {
  raw,       // every byte read is the next input byte; writes are swallowed
  responder, // a serial bridge that answers every exchange correctly
};

// Starts a run. For the responder, the input is the flash content handed out
// to the programmer's reads in order (control block, then headers), 0xFF past it.
void reset(Peer peer, const uint8_t* data, size_t size);
// The checks every run must pass: no port left open, and none closed
// without its saved settings put back first.
bool port_left_open();
bool closed_unrestored();
// What the far end sent during the run.
const std::vector<uint8_t>& answered();

}  // namespace fake_line
