#include "fake_platform.h"

#include <cstring>
#include <deque>
#include <unordered_map>

#include "port/platform.h"

struct plat_port {
  bool saved = false;
  bool changed = false;
};

namespace fake_line {
namespace {

constexpr uint32_t CHIP_ID_REG = 0x1000;
constexpr uint32_t CHIP_REV_REG = 0x13F4;
constexpr uint32_t SPI_DONE_REG = 0x10218;
constexpr uint32_t SPI_ID_ADDR = 0x1084;
constexpr uint32_t PROG_START_REG = 0xC000C;
constexpr uint32_t PROG_STATE_REG = 0x108C;
constexpr uint32_t PROG_CMD_ADDR = 0xE0000;
constexpr uint32_t PROG_BUF_ADDR = 0xE0014;

Peer peer_kind = Peer::raw;
const uint8_t* input = nullptr;
size_t input_size = 0;
size_t input_pos = 0;
int open_ports = 0;
bool unrestored_close = false;
std::vector<uint8_t> sent_back;

// Responder state.
std::unordered_map<uint32_t, uint8_t> memory;
std::deque<uint8_t> replies;
uint8_t frame[13];
size_t frame_len = 0;
bool in_frame = false;
uint32_t data_addr = 0;
uint32_t data_left = 0;

uint32_t word(uint32_t addr) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    auto it = memory.find(addr + i);
    v |= static_cast<uint32_t>(it == memory.end() ? 0 : it->second) << (8 * i);
  }
  return v;
}

void set_word(uint32_t addr, uint32_t v) {
  for (int i = 0; i < 4; ++i) memory[addr + i] = static_cast<uint8_t>(v >> (8 * i));
}

void reply(uint8_t b) { replies.push_back(b); }

void run_programmer_command(uint32_t code) {
  uint32_t count = word(PROG_CMD_ADDR + 8);
  if (code == 7) {
    // Reads get the input's bytes in the order they are asked for.
    for (uint32_t i = 0; i < count && i < 0x8000; ++i)
      memory[PROG_BUF_ADDR + i] = input_pos < input_size ? input[input_pos++] : 0xFF;
  }
  set_word(PROG_STATE_REG, 9);
}

void handle_frame() {
  uint8_t cmd = frame[1];
  uint16_t len = static_cast<uint16_t>(frame[3] | frame[4] << 8);
  uint32_t addr, value;
  std::memcpy(&addr, frame + 5, 4);
  std::memcpy(&value, frame + 9, 4);
  reply(0xAC);
  switch (cmd) {
    case 0: {
      uint32_t v = word(addr);
      if (addr == CHIP_ID_REG) v = 0x1002A0;
      if (addr == CHIP_REV_REG) v = 1;
      if (addr == SPI_DONE_REG) v = 1;
      if (addr == SPI_ID_ADDR) v = 0x001440EF;
      for (int s = 24; s >= 0; s -= 8) reply(static_cast<uint8_t>(v >> s));
      break;
    }
    case 1:
      set_word(addr, value);
      if (addr == PROG_START_REG) set_word(PROG_STATE_REG, 9);
      if (addr == PROG_STATE_REG && value >= 6 && value <= 8) run_programmer_command(value);
      break;
    case 2:
      for (uint32_t i = 0; i < len; ++i) {
        auto it = memory.find(addr + i);
        reply(it == memory.end() ? 0 : it->second);
      }
      break;
    case 3:
      data_addr = addr;
      data_left = len;
      if (len == 0) reply(0xAC);
      break;
    default:
      break;
  }
}

void respond_to(uint8_t b) {
  if (data_left > 0) {
    // Image data is not kept: only the mailbox and registers matter here.
    if (data_addr < PROG_BUF_ADDR) memory[data_addr] = b;
    ++data_addr;
    if (--data_left == 0) reply(0xAC);
    return;
  }
  if (in_frame) {
    frame[frame_len++] = b;
    if (frame_len == 13) {
      in_frame = false;
      handle_frame();
    }
    return;
  }
  if (b == 0x12) reply(0x5B);
  if (b == 0xA5) {
    in_frame = true;
    frame[0] = b;
    frame_len = 1;
  }
}

}  // namespace

void reset(Peer peer, const uint8_t* data, size_t size) {
  peer_kind = peer;
  input = data;
  input_size = size;
  input_pos = 0;
  open_ports = 0;
  unrestored_close = false;
  sent_back.clear();
  memory.clear();
  replies.clear();
  in_frame = false;
  frame_len = 0;
  data_left = 0;
}

bool port_left_open() { return open_ports != 0; }
bool closed_unrestored() { return unrestored_close; }
const std::vector<uint8_t>& answered() { return sent_back; }

}  // namespace fake_line

using namespace fake_line;

int plat_list_ports(plat_port_visit_fn visit, void* ctx) {
  visit("Fuzz Bridge (COM9)", ctx);
  return 0;
}

plat_port* plat_open(uint8_t number) {
  if (number != 9) return nullptr;
  ++open_ports;
  return new plat_port;
}

bool plat_save_settings(plat_port* port) {
  port->saved = true;
  return true;
}

bool plat_apply_line_settings(plat_port* port, bool) {
  port->changed = true;
  return true;
}

bool plat_read_timeouts(plat_port* port) { return port != nullptr; }
bool plat_apply_timeouts(plat_port* port) { return port != nullptr; }

int plat_read_byte(plat_port*, uint8_t* byte) {
  if (peer_kind == Peer::raw) {
    if (input_pos >= input_size) return 0;  // silence: the time-out
    *byte = input[input_pos++];
  } else {
    if (replies.empty()) return 0;
    *byte = replies.front();
    replies.pop_front();
  }
  sent_back.push_back(*byte);
  return 1;
}

bool plat_write_all(plat_port*, const uint8_t* data, size_t size) {
  if (peer_kind == Peer::responder)
    for (size_t i = 0; i < size; ++i) respond_to(data[i]);
  return true;
}

bool plat_set_rate(plat_port*, uint32_t) { return true; }

void plat_restore_settings(plat_port* port) {
  if (port && port->saved) port->changed = false;
}

bool plat_close(plat_port* port) {
  if (!port) return true;
  if (port->changed) unrestored_close = true;
  --open_ports;
  delete port;
  return true;
}

static uint32_t fake_ticks = 0;
// Time passes only when the tool sleeps: no real waiting in a fuzz run.
void plat_sleep_ms(uint32_t ms) { fake_ticks += ms; }
uint32_t plat_tick_ms() { return fake_ticks; }
void plat_pause() {}
void plat_set_interrupt_handler(bool) {}
