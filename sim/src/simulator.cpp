// The module engine: the line (pty or attached tty), the peer's frame
// handling, the chip's address space, the SPI flash and the programmer
// firmware's command service, with optional wire timing and faults.
#include "orvex_sim/simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>

#include "image_format.h"
#include "tty_line.h"

namespace orvex_sim {
namespace {

constexpr uint32_t REG_CHIP_ID = 0x1000;
constexpr uint32_t REG_REVISION = 0x13F4;
constexpr uint32_t REG_RESET = 0x1400;
constexpr uint32_t REG_PROG_START = 0xC000C;
constexpr uint32_t REG_PROG_STATE = 0x108C;
constexpr uint32_t REG_SPI_START = 0x10204;
constexpr uint32_t REG_SPI_COUNT = 0x10208;
constexpr uint32_t REG_SPI_INSTR = 0x1020C;
constexpr uint32_t REG_SPI_DONE = 0x10218;
constexpr uint32_t REG_SPI_DEST = 0x1021C;
constexpr uint32_t SPI_GO = 0x81;
constexpr uint8_t SPI_READ_ID = 0x9F;

constexpr uint32_t PROG_START_VALUE = 0xEF522F61;
constexpr uint32_t PROG_LOAD_ADDR = 0xD0000;
constexpr uint32_t PROG_HEAD_COPY_ADDR = 0x60000;
constexpr uint32_t PROG_CMD_ADDR = 0xE0000;
constexpr uint32_t PROG_READY = 9;
constexpr uint32_t CMD_WRITE = 6, CMD_READ = 7, CMD_ERASE = 8;
constexpr uint32_t WINDOW = 0x8000;
constexpr uint32_t SECTOR = 0x1000;

constexpr uint8_t SYNC = 0x12, START = 0xA5, ACK = 0xAC;
constexpr uint8_t SYNC_BRIDGE = 0x5B, SYNC_UART = 0x5A;
constexpr uint32_t START_RATE = 115200;
constexpr uint32_t UART_PROGRAMMER_RATE = 500000;

constexpr double START_PAUSE_S = 0.1, CLOSE_PAUSE_S = 0.1, RESET_PAUSE_S = 0.05;
constexpr size_t MALFORMED_KEPT = 64;

double now_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The chip's 32-bit address space, stored sparsely; unwritten bytes read 0.
class Memory {
 public:
  uint8_t get(uint32_t a) const {
    auto it = pages_.find(a >> 12);
    return it == pages_.end() ? 0 : it->second[a & 0xFFF];
  }
  void set(uint32_t a, uint8_t v) { page(a >> 12)[a & 0xFFF] = v; }
  std::vector<uint8_t> read(uint32_t a, size_t n) const {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = get(static_cast<uint32_t>(a + i));
    return v;
  }
  void write(uint32_t a, const uint8_t* d, size_t n) {
    for (size_t i = 0; i < n; ++i) set(static_cast<uint32_t>(a + i), d[i]);
  }
  uint32_t word(uint32_t a) const {
    uint8_t b[4] = {get(a), get(a + 1), get(a + 2), get(a + 3)};
    return get_le32(b);
  }
  void set_word(uint32_t a, uint32_t v) {
    for (uint32_t i = 0; i < 4; ++i) set(a + i, static_cast<uint8_t>(v >> (8 * i)));
  }

 private:
  std::array<uint8_t, 4096>& page(uint32_t p) {
    auto it = pages_.find(p);
    if (it == pages_.end()) it = pages_.emplace(p, std::array<uint8_t, 4096>{}).first;
    return it->second;
  }
  std::unordered_map<uint32_t, std::array<uint8_t, 4096>> pages_;
};

size_t flash_size_for(uint32_t jedec) {
  if (jedec == 0xFFFFFFFF) return 0;
  unsigned code = (jedec >> 16) & 0xFF;
  return (code >= 10 && code <= 26) ? size_t{1} << code : 0;
}

}  // namespace

struct Simulator::Impl {
  explicit Impl(SimConfig c) : cfg(std::move(c)) {}

  SimConfig cfg;
  mutable std::mutex mu;
  std::thread thread;
  bool running = false;
  bool stop_requested = false;

  int master = -1;   // our end: pty master, or the attached tty
  int slave = -1;    // kept open so the port can be opened and closed freely
  int inotify_fd = -1;
  int wake_r = -1, wake_w = -1;
  bool attached = false;
  bool hung = false;
  std::string tty, link;

  Memory mem;
  std::vector<uint8_t> flash;
  bool prog_running = false;
  uint32_t side_rate = START_RATE;
  Stats st;

  enum class Parse { idle, frame, data } ps = Parse::idle;
  uint8_t fr[13] = {};
  size_t fr_n = 0;
  uint32_t data_addr = 0;
  size_t data_len = 0;
  std::vector<uint8_t> data;
  double last_rx_real = 0;

  struct InByte {
    uint8_t b;
    double t;
    bool turn;  // the line turned round before this byte
    uint64_t session;
  };
  struct OutChunk {
    std::vector<uint8_t> bytes;
    double t;
    uint32_t rate_after;  // attached tty: switch the line once sent (0: none)
    uint64_t session;     // answers to an earlier opening of the port are never sent
  };
  struct Event {
    double t;
    uint32_t state;
  };
  std::deque<InByte> inq;
  std::deque<OutChunk> outq;
  std::vector<Event> events;
  double in_free = 0, out_free = 0;
  enum class Dir { none, in, out } last_dir = Dir::none;
  bool cur_turn = false, fr_turn = false;  // turnaround before the byte handled / the frame
  uint64_t rx_total = 0, tx_pos = 0, bytes_since_open = 0, data_rx_pos = 0, rx_pos = 0;
  int open_count = 0;  // others holding the port open (pty only)
  // Counts the times the port was left closed by everyone; an answer belongs
  // to the session of the bytes it answers.
  uint64_t session = 0, cur_session = 0;
  bool dead = false;

  double byte_s(uint32_t rate) const { return rate ? 10.0 / rate : 0; }
  double latency_s() const { return cfg.latency_ms / 1000.0; }
  // An unfinished frame is dropped after this, as a real peer's receive timer would.
  double partial_s() const { return cfg.partial_timeout_ms / 1000.0; }

  void trace(const std::string& line) {
    if (!cfg.trace) return;
    if (cfg.trace_sink)
      cfg.trace_sink(line);
    else
      std::fprintf(stderr, "%s\n", line.c_str());
  }

  // ---- flash ----
  void init_flash() {
    flash.assign(flash_size_for(cfg.jedec_id), 0xFF);
    if (cfg.flash_content == FlashContent::demo) {
      flash = demo_flash(flash.size());
    } else if (!cfg.flash_file.empty()) {
      std::ifstream f(cfg.flash_file, std::ios::binary);
      if (f) {
        std::vector<uint8_t> file((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        std::copy_n(file.begin(), std::min(file.size(), flash.size()), flash.begin());
      }
    }
    save_flash();
  }

  void save_flash() {
    if (cfg.flash_file.empty()) return;
    std::string tmp = cfg.flash_file + ".tmp";
    {
      std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
      f.write(reinterpret_cast<const char*>(flash.data()), static_cast<std::streamsize>(flash.size()));
      if (!f) {
        trace("!! cannot save flash file " + cfg.flash_file);
        return;
      }
    }
    if (std::rename(tmp.c_str(), cfg.flash_file.c_str()) != 0)
      trace("!! cannot save flash file " + cfg.flash_file);
  }

  // ---- chip ----
  void power_on() {
    mem.set_word(REG_CHIP_ID, cfg.chip_id);
    mem.set_word(REG_REVISION, cfg.revision);
    mem.set_word(REG_PROG_STATE, 0);
    mem.set_word(REG_SPI_DONE, 0);
  }

  void restore_readonly() {
    mem.set_word(REG_CHIP_ID, cfg.chip_id);
    mem.set_word(REG_REVISION, cfg.revision);
  }

  void set_side_rate_now(uint32_t rate) {
    if (rate != side_rate) trace("   line rate now " + std::to_string(rate));
    side_rate = rate;
    if (attached && master >= 0) tty_set_rate(master, rate);
  }

  void chip_reset() {
    ++st.chip_resets;
    st.fixed_pauses_s += RESET_PAUSE_S;
    prog_running = false;
    events.clear();
    mem.set_word(REG_PROG_STATE, 0);
    if (cfg.kind == PeerKind::builtin_uart) set_side_rate_now(START_RATE);
    trace("   chip reset: programmer stopped");
  }

  void start_programmer(double t) {
    st.fixed_pauses_s += START_PAUSE_S;
    std::vector<uint8_t> head = mem.read(PROG_LOAD_ADDR, 8);
    size_t len = payload_length_field(head.data());
    std::vector<uint8_t> payload = mem.read(PROG_LOAD_ADDR, len);
    if (len == 0 || !valid_programmer_payload(payload)) {
      trace("   programmer not started: no valid payload at 0x000D0000");
      return;
    }
    if (mem.read(PROG_HEAD_COPY_ADDR, 4) != std::vector<uint8_t>(payload.begin(), payload.begin() + 4)) {
      trace("   programmer not started: 0x00060000 does not hold the payload's first 4 bytes");
      return;
    }
    ++st.programmer_starts;
    prog_running = true;
    events.clear();
    mem.set_word(REG_PROG_STATE, 0);
    if (cfg.kind == PeerKind::builtin_uart) set_side_rate_now(UART_PROGRAMMER_RATE);
    double startup = cfg.startup_ms / 1000.0;
    st.flash_busy_s += std::max(0.0, startup - START_PAUSE_S);
    if (cfg.faults.programmer_never_ready) {
      trace("   programmer started (never becomes ready)");
      return;
    }
    trace("   programmer started");
    if (cfg.timing)
      events.push_back({t + startup, PROG_READY});
    else
      mem.set_word(REG_PROG_STATE, PROG_READY);
  }

  void spi_transfer() {
    uint32_t n = std::min<uint32_t>(mem.word(REG_SPI_COUNT), 64);
    uint8_t instr = static_cast<uint8_t>(mem.word(REG_SPI_INSTR));
    uint32_t dest = mem.word(REG_SPI_DEST);
    for (uint32_t i = 0; i < n; ++i) {
      uint8_t b = 0xFF;
      if (instr == SPI_READ_ID && i < 4) b = static_cast<uint8_t>(cfg.jedec_id >> (8 * i));
      mem.set(dest + i, b);
    }
    mem.set_word(REG_SPI_DONE, 1);
  }

  // Returns the final state and how long the flash was busy.
  uint32_t execute(uint32_t code, double* busy, bool* changed) {
    std::vector<uint8_t> blk = mem.read(PROG_CMD_ADDR, 20);
    uint32_t blk_code = get_le32(&blk[0]), checksum = get_le32(&blk[4]), count = get_le32(&blk[8]),
             buffer = get_le32(&blk[12]), addr = get_le32(&blk[16]);
    char line[160];
    std::snprintf(line, sizeof line, "   command %u: count %u, buffer 0x%08X, flash 0x%08X, checksum 0x%02X",
                  static_cast<unsigned>(blk_code), static_cast<unsigned>(count),
                  static_cast<unsigned>(buffer), static_cast<unsigned>(addr),
                  static_cast<unsigned>(checksum));
    trace(line);
    *busy = 0;
    *changed = false;
    if (blk_code != code) return PROG_FAIL_BAD_COMMAND;
    uint64_t end = static_cast<uint64_t>(addr) + count;
    if (code == CMD_WRITE || code == CMD_READ) {
      if (count == 0 || count > WINDOW) return PROG_FAIL_BAD_LENGTH;
      if (end > flash.size()) return PROG_FAIL_OUT_OF_BOUNDS;
      if (code == CMD_READ) {
        mem.write(buffer, flash.data() + addr, count);
        return PROG_READY;
      }
      if (addr / WINDOW != (end - 1) / WINDOW) return PROG_FAIL_CROSSES_BLOCK;
      std::vector<uint8_t> d = mem.read(buffer, count);
      uint8_t x = 0;
      for (size_t i = 0; i + 1 < count; ++i) x ^= d[i];
      if (checksum != x) return PROG_FAIL_CHECKSUM;
      bool ok = true;
      for (size_t i = 0; i < count; ++i) {
        flash[addr + i] &= d[i];  // NOR: programming only clears bits
        ok = ok && flash[addr + i] == d[i];
      }
      *changed = true;
      *busy = cfg.page_program_ms / 1000.0 * count / 256.0;
      return ok ? PROG_READY : PROG_FAIL_VERIFY;
    }
    if (code == CMD_ERASE) {
      if (count == 0) return PROG_FAIL_BAD_LENGTH;
      if (end > flash.size()) return PROG_FAIL_OUT_OF_BOUNDS;
      if (addr % SECTOR || count % SECTOR) return PROG_FAIL_UNALIGNED;
      std::fill_n(flash.begin() + addr, count, 0xFF);
      *changed = true;
      *busy = cfg.erase_ms_per_64k / 1000.0 * count / 65536.0;
      return PROG_READY;
    }
    return PROG_FAIL_BAD_COMMAND;
  }

  void run_command(uint32_t code, double t) {
    ++st.commands;
    events.clear();
    double busy = 0;
    bool changed = false;
    uint32_t result;
    if (cfg.faults.fail_command == code) {
      result = cfg.faults.fail_state;
    } else {
      result = execute(code, &busy, &changed);
    }
    if (result != PROG_READY) ++st.failed_commands;
    st.flash_busy_s += busy;
    if (changed) save_flash();
    char line[64];
    std::snprintf(line, sizeof line, "   command %u ends in state 0x%X", static_cast<unsigned>(code),
                  static_cast<unsigned>(result));
    trace(line);
    if (cfg.timing) {
      mem.set_word(REG_PROG_STATE, code);
      events.push_back({t + busy, result});
    } else {
      mem.set_word(REG_PROG_STATE, result);
    }
  }

  void write_reg(uint32_t addr, uint32_t value, double t) {
    if (addr == REG_CHIP_ID || addr == REG_REVISION) return;  // read-only
    mem.set_word(addr, value);
    if (addr == REG_RESET && value == 0) {
      chip_reset();
    } else if (addr == REG_PROG_START && value == PROG_START_VALUE) {
      start_programmer(t);
    } else if (addr == REG_PROG_STATE && prog_running &&
               (value == CMD_WRITE || value == CMD_READ || value == CMD_ERASE)) {
      run_command(value, t);
    } else if (addr == REG_SPI_START && value == SPI_GO) {
      spi_transfer();
    }
  }

  // ---- line ----
  void send(std::vector<uint8_t> bytes, double t, uint32_t rate_after = 0) {
    if (cfg.kind == PeerKind::silent) return;
    std::vector<uint8_t> out;
    for (uint8_t b : bytes) {
      ++tx_pos;
      if (cfg.faults.drop_byte_at && *cfg.faults.drop_byte_at == tx_pos) {
        trace("!! dropping byte " + std::to_string(tx_pos));
        continue;
      }
      if (cfg.faults.corrupt_byte_at && *cfg.faults.corrupt_byte_at == tx_pos) {
        trace("!! corrupting byte " + std::to_string(tx_pos));
        b = static_cast<uint8_t>(~b);
      }
      out.push_back(b);
    }
    if (last_dir == Dir::in) ++st.turnarounds;
    last_dir = Dir::out;
    st.bytes_out += out.size();
    st.wire_s += out.size() * byte_s(side_rate);
    double when = t;
    if (cfg.timing) {
      when = std::max(t + latency_s(), out_free) + out.size() * byte_s(side_rate);
      out_free = when;
    }
    trace("-> " + hex_bytes(out.data(), out.size(), 24));
    outq.push_back({std::move(out), when, rate_after, cur_session});
  }

  void record_malformed(const uint8_t* b, size_t n, const std::string& why) {
    ++st.malformed_frames;
    if (st.malformed.size() < MALFORMED_KEPT) st.malformed.emplace_back(b, b + n);
    trace("<- " + hex_bytes(b, n, 16) + "  malformed: " + why + ", not answered");
  }

  void handle_frame(double t) {
    const uint8_t cmd = fr[1];
    const uint16_t len = static_cast<uint16_t>(fr[3] | fr[4] << 8);
    const uint32_t addr = get_le32(fr + 5), value = get_le32(fr + 9);
    const bool bridge = cfg.kind == PeerKind::bridge;
    std::string why;
    if (frame_checksum(fr) != fr[2])
      why = "bad checksum";
    else if (cmd > 5 || cmd == 4 || (cmd == 5 && !bridge))
      why = "unknown command";
    else if ((cmd == 0 || cmd == 1 || cmd == 5) && len != 0)
      why = "length on a command that takes none";
    else if (cmd == 5 && (value == 0 || addr != 0))
      why = "bad line rate";
    if (!why.empty()) {
      record_malformed(fr, 13, why);
      return;
    }
    ++st.frames;
    trace("<- " + hex_bytes(fr, 13) + "  " + describe_frame(fr));
    if (cfg.faults.silent_after_frames && st.frames > *cfg.faults.silent_after_frames) {
      if (!dead) trace("!! module goes silent");
      dead = true;
      return;
    }
    if (bridge && ((cfg.faults.wrong_ack_at_frame && *cfg.faults.wrong_ack_at_frame == st.frames) ||
                   (cmd == 5 && cfg.faults.wrong_ack_at_rate_change))) {
      trace("!! wrong acknowledgement, frame refused");
      send({cfg.faults.wrong_ack_byte}, t);
      return;
    }
    switch (cmd) {
      case 0: {
        restore_readonly();
        uint32_t v = mem.word(addr);
        std::vector<uint8_t> a;
        if (bridge) a.push_back(ACK);
        for (int s = 24; s >= 0; s -= 8) a.push_back(static_cast<uint8_t>(v >> s));
        // A poll that finds the programmer still busy runs while the flash
        // works: its exchange is time the busy flash takes anyway.
        if (addr == REG_PROG_STATE && prog_running && !events.empty() &&
            (v == CMD_WRITE || v == CMD_READ || v == CMD_ERASE)) {
          st.overlap_s += static_cast<double>(13 + a.size()) * byte_s(side_rate) + (fr_turn ? latency_s() : 0) +
                          (last_dir == Dir::in ? latency_s() : 0);
        }
        send(a, t);
        break;
      }
      case 1:
        if (bridge) send({ACK}, t);
        write_reg(addr, value, t);
        break;
      case 2: {
        restore_readonly();
        std::vector<uint8_t> a;
        if (bridge) a.push_back(ACK);
        std::vector<uint8_t> d = mem.read(addr, len);
        a.insert(a.end(), d.begin(), d.end());
        send(a, t);
        break;
      }
      case 3:
        if (bridge) send({ACK}, t);
        data_addr = addr;
        data_len = len;
        data.clear();
        if (len == 0)
          finish_data(t);
        else
          ps = Parse::data;
        break;
      case 5:
        ++st.rate_changes;
        send({ACK}, t, attached ? value : 0);
        side_rate = value;  // the bridge moves once its acknowledgement is out
        trace("   line rate now " + std::to_string(value));
        break;
    }
  }

  void finish_data(double t) {
    mem.write(data_addr, data.data(), data.size());
    restore_readonly();
    ps = Parse::idle;
    trace("<- " + std::to_string(data.size()) + " data bytes: " + hex_bytes(data.data(), data.size(), 16));
    if (cfg.kind == PeerKind::bridge) send({ACK}, t);
  }

  void handle_byte(uint8_t b, double t) {
    switch (ps) {
      case Parse::idle:
        if (b == SYNC) {
          ++st.sync_bytes;
          trace("<- 12  sync");
          if (cfg.kind == PeerKind::bridge) send({SYNC_BRIDGE}, t);
          if (cfg.kind == PeerKind::builtin_uart) send({SYNC_UART}, t);
        } else if (b == START) {
          fr[0] = b;
          fr_n = 1;
          fr_turn = cur_turn;
          ps = Parse::frame;
        } else {
          ++st.stray_bytes;
          char line[48];
          std::snprintf(line, sizeof line, "<- %02X  stray byte, ignored", b);
          trace(line);
        }
        break;
      case Parse::frame:
        fr[fr_n++] = b;
        if (fr_n == 13) {
          ps = Parse::idle;
          handle_frame(t);
        }
        break;
      case Parse::data:
        if (cfg.faults.corrupt_data_byte_at && *cfg.faults.corrupt_data_byte_at == ++data_rx_pos) {
          trace("!! corrupting block data byte " + std::to_string(data_rx_pos));
          b = static_cast<uint8_t>(~b);
        }
        data.push_back(b);
        if (data.size() == data_len) finish_data(t);
        break;
    }
  }

  void drop_partial() {
    if (ps == Parse::frame) {
      record_malformed(fr, fr_n, "frame cut short");
    } else if (ps == Parse::data) {
      char why[80];
      std::snprintf(why, sizeof why, "block data cut short (%zu of %zu bytes), nothing written",
                    data.size(), data_len);
      record_malformed(data.data(), data.size(), why);
    }
    ps = Parse::idle;
  }

  void hang_up() {
    trace("!! hanging up the line");
    close(master);
    master = -1;
    hung = true;
    inq.clear();
    outq.clear();
  }

  void receive() {
    uint8_t buf[4096];
    ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) return;
    double now = now_s();
    // The gap before these bytes ended an unfinished frame, even if this thread woke late.
    if (ps != Parse::idle && inq.empty() && now - last_rx_real >= partial_s()) drop_partial();
    last_rx_real = now;
    size_t take = static_cast<size_t>(n);
    bool hang = false;
    if (cfg.faults.hangup_after_bytes && rx_total + take >= *cfg.faults.hangup_after_bytes) {
      take = static_cast<size_t>(*cfg.faults.hangup_after_bytes - rx_total);
      hang = true;
    }
    rx_total += take;
    bytes_since_open += take;
    uint32_t tool_rate = side_rate;
    if (!attached && !tty_get_rate(slave, &tool_rate)) tool_rate = 0;
    if (tool_rate != side_rate) {
      st.ignored_bytes += take;
      st.wire_s += take * byte_s(tool_rate);
      trace("<- " + std::to_string(take) + " bytes at " + std::to_string(tool_rate) +
            " baud while the module runs at " + std::to_string(side_rate) + ": ignored");
    } else if (cfg.kind == PeerKind::silent || dead) {
      st.bytes_in += take;
      st.wire_s += take * byte_s(side_rate);
    } else {
      st.bytes_in += take;
      for (size_t i = 0; i < take; ++i) {
        double t = now;
        bool turn = last_dir == Dir::out;
        if (turn) ++st.turnarounds;
        if (cfg.timing) {
          t = std::max(now, in_free) + (turn ? latency_s() : 0) + byte_s(side_rate);
          in_free = t;
        }
        last_dir = Dir::in;
        st.wire_s += byte_s(side_rate);
        uint8_t b = buf[i];
        if (cfg.faults.corrupt_received_byte_at && *cfg.faults.corrupt_received_byte_at == ++rx_pos) {
          trace("!! corrupting received byte " + std::to_string(rx_pos));
          b = static_cast<uint8_t>(~b);
        }
        inq.push_back({b, t, turn, session});
      }
    }
    if (hang) hang_up();
  }

  void port_events() {
    alignas(inotify_event) char buf[4096];
    ssize_t n = read(inotify_fd, buf, sizeof buf);
    for (char* p = buf; n > 0 && p < buf + n;) {
      auto* e = reinterpret_cast<inotify_event*>(p);
      if (e->mask & IN_OPEN) {
        ++st.port_opens;
        ++open_count;
        bytes_since_open = 0;
        trace("   port opened");
      }
      if (e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
        ++st.port_closes;
        // Only a port that was used gets the tool's pause before its close.
        if (bytes_since_open > 0) st.fixed_pauses_s += CLOSE_PAUSE_S;
        bytes_since_open = 0;
        open_count = std::max(0, open_count - 1);
        trace("   port closed");
        // Answers still on their way when the last user closed the port are lost.
        if (open_count == 0) {
          ++session;
          if (!outq.empty()) trace("   " + std::to_string(outq.size()) + " pending answers lost");
          outq.clear();
        }
      }
      p += sizeof(inotify_event) + e->len;
    }
  }

  // Handles everything due by now; returns the next deadline (or 0).
  double pump(double now) {
    while (!inq.empty() && (!cfg.timing || inq.front().t <= now)) {
      InByte ib = inq.front();
      inq.pop_front();
      cur_turn = ib.turn;
      cur_session = ib.session;
      handle_byte(ib.b, ib.t);
    }
    for (size_t i = 0; i < events.size();) {
      if (!cfg.timing || events[i].t <= now) {
        mem.set_word(REG_PROG_STATE, events[i].state);
        events.erase(events.begin() + static_cast<long>(i));
      } else {
        ++i;
      }
    }
    while (!outq.empty() && master >= 0 && (!cfg.timing || outq.front().t <= now)) {
      OutChunk& c = outq.front();
      if (!attached && c.session != session) {
        outq.pop_front();
        trace("   answer to a closed port lost");
        continue;
      }
      ssize_t w = c.bytes.empty() ? 0 : write(master, c.bytes.data(), c.bytes.size());
      if (w < 0) break;  // full: wait for the line
      c.bytes.erase(c.bytes.begin(), c.bytes.begin() + w);
      if (!c.bytes.empty()) break;
      if (c.rate_after && attached) {
        tty_drain(master);
        tty_set_rate(master, c.rate_after);
      }
      outq.pop_front();
    }
    if (ps != Parse::idle && inq.empty() && now - last_rx_real >= partial_s()) drop_partial();

    double next = 0;
    auto consider = [&](double t) {
      if (next == 0 || t < next) next = t;
    };
    if (!inq.empty()) consider(inq.front().t);
    if (!outq.empty()) consider(outq.front().t);
    for (const Event& e : events) consider(e.t);
    if (ps != Parse::idle) consider(last_rx_real + partial_s());
    return next;
  }

  void update_floor() {
    st.floor_s = st.wire_s + st.turnarounds * latency_s() + st.flash_busy_s + st.fixed_pauses_s - st.overlap_s;
  }

  void loop() {
    std::unique_lock<std::mutex> lk(mu);
    while (!stop_requested) {
      double next = pump(now_s());
      update_floor();
      // Woken to the microsecond: a wait rounded up to whole milliseconds
      // would make every answer late and the tool look slower than it is.
      double wait = 0.5;
      if (next != 0) wait = std::clamp(next - now_s(), 0.0, 0.5);
      timespec timeout{static_cast<time_t>(wait), static_cast<long>((wait - std::floor(wait)) * 1e9)};
      pollfd p[3];
      int np = 0;
      p[np++] = {wake_r, POLLIN, 0};
      int mi = -1, ii = -1;
      if (master >= 0) {
        mi = np;
        p[np++] = {master, static_cast<short>(POLLIN | (outq.empty() ? 0 : POLLOUT)), 0};
      }
      if (inotify_fd >= 0) {
        ii = np;
        p[np++] = {inotify_fd, POLLIN, 0};
      }
      lk.unlock();
      int r = ppoll(p, static_cast<nfds_t>(np), &timeout, nullptr);
      lk.lock();
      if (r <= 0) continue;
      if (p[0].revents) {
        char c[16];
        while (read(wake_r, c, sizeof c) > 0) {
        }
      }
      // Opens and closes first: bytes waiting behind a close and a reopen are
      // the new user's far more often than the old one's.
      if (ii >= 0 && (p[ii].revents & POLLIN)) port_events();
      if (mi >= 0 && master >= 0 && (p[mi].revents & POLLIN)) receive();
      if (mi >= 0 && master >= 0 && (p[mi].revents & (POLLHUP | POLLERR)) && attached &&
          !(p[mi].revents & POLLIN)) {
        lk.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        lk.lock();
      }
    }
  }

  void open_line() {
    if (!cfg.attach_tty.empty()) {
      master = open(cfg.attach_tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      if (master < 0) throw std::runtime_error("cannot open " + cfg.attach_tty + ": " + std::strerror(errno));
      if (!tty_set_raw(master, START_RATE)) throw std::runtime_error("cannot configure " + cfg.attach_tty);
      attached = true;
      tty = cfg.attach_tty;
      return;
    }
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
      throw std::runtime_error("cannot create a pseudo-terminal");
    char name[128];
    if (ptsname_r(master, name, sizeof name) != 0) throw std::runtime_error("ptsname failed");
    tty = name;
    slave = open(name, O_RDWR | O_NOCTTY);
    if (slave < 0) throw std::runtime_error("cannot open " + tty);
    if (!tty_set_raw(slave, START_RATE)) throw std::runtime_error("cannot configure " + tty);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    inotify_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_fd >= 0) inotify_add_watch(inotify_fd, name, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
    if (!cfg.port_dir.empty()) {
      link = cfg.port_dir + "/" + cfg.friendly_name;
      unlink(link.c_str());
      if (symlink(tty.c_str(), link.c_str()) != 0)
        throw std::runtime_error("cannot publish " + link + ": " + std::strerror(errno));
    }
  }

  void close_all() {
    if (!link.empty()) unlink(link.c_str());
    link.clear();
    for (int* fd : {&master, &slave, &inotify_fd, &wake_r, &wake_w}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
  }
};

Simulator::Simulator(SimConfig cfg) : impl_(std::make_unique<Impl>(std::move(cfg))) {}

Simulator::~Simulator() { stop(); }

void Simulator::start() {
  Impl& m = *impl_;
  std::lock_guard<std::mutex> lk(m.mu);
  if (m.running) return;
  m.power_on();
  m.init_flash();
  int pipefd[2];
  if (pipe2(pipefd, O_NONBLOCK | O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  m.wake_r = pipefd[0];
  m.wake_w = pipefd[1];
  try {
    m.open_line();
  } catch (...) {
    m.close_all();
    throw;
  }
  m.stop_requested = false;
  m.running = true;
  m.thread = std::thread([&m] { m.loop(); });
}

void Simulator::stop() {
  Impl& m = *impl_;
  {
    std::lock_guard<std::mutex> lk(m.mu);
    if (!m.running) return;
    m.stop_requested = true;
    if (m.wake_w >= 0) {
      char c = 1;
      (void)!write(m.wake_w, &c, 1);
    }
  }
  m.thread.join();
  std::lock_guard<std::mutex> lk(m.mu);
  m.running = false;
  m.update_floor();
  m.close_all();
}

std::string Simulator::tty_path() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->tty;
}

std::string Simulator::port_path() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->link;
}

std::vector<uint8_t> Simulator::flash() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->flash;
}

std::vector<uint8_t> Simulator::memory(uint32_t addr, size_t len) const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->mem.read(addr, len);
}

uint32_t Simulator::reg(uint32_t addr) const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->mem.word(addr);
}

uint32_t Simulator::line_rate() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->side_rate;
}

bool Simulator::programmer_running() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  return impl_->prog_running;
}

Stats Simulator::stats() const {
  std::lock_guard<std::mutex> lk(impl_->mu);
  impl_->update_floor();
  return impl_->st;
}

bool Simulator::wait_idle(int timeout_ms) const {
  const Impl& m = *impl_;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  int quiet = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    bool idle;
    {
      std::lock_guard<std::mutex> lk(m.mu);
      int pending = 0;
      if (m.master >= 0 && ioctl(m.master, FIONREAD, &pending) != 0) pending = 0;
      idle = m.inq.empty() && m.outq.empty() && m.events.empty() && m.ps == Impl::Parse::idle &&
             pending == 0;
    }
    quiet = idle ? quiet + 1 : 0;
    if (quiet >= 3) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

std::string format_stats(const Stats& s) {
  char b[1024];
  std::snprintf(b, sizeof b,
                "frames %llu\nmalformed_frames %llu\nstray_bytes %llu\nsync_bytes %llu\n"
                "bytes_in %llu\nbytes_out %llu\nignored_bytes %llu\ncommands %llu\n"
                "failed_commands %llu\nprogrammer_starts %llu\nchip_resets %llu\n"
                "rate_changes %llu\nport_opens %llu\nport_closes %llu\nturnarounds %llu\n"
                "wire_s %.6f\nflash_busy_s %.6f\nfixed_pauses_s %.6f\noverlap_s %.6f\nfloor_s %.6f\n",
                static_cast<unsigned long long>(s.frames), static_cast<unsigned long long>(s.malformed_frames),
                static_cast<unsigned long long>(s.stray_bytes), static_cast<unsigned long long>(s.sync_bytes),
                static_cast<unsigned long long>(s.bytes_in), static_cast<unsigned long long>(s.bytes_out),
                static_cast<unsigned long long>(s.ignored_bytes), static_cast<unsigned long long>(s.commands),
                static_cast<unsigned long long>(s.failed_commands),
                static_cast<unsigned long long>(s.programmer_starts),
                static_cast<unsigned long long>(s.chip_resets), static_cast<unsigned long long>(s.rate_changes),
                static_cast<unsigned long long>(s.port_opens), static_cast<unsigned long long>(s.port_closes),
                static_cast<unsigned long long>(s.turnarounds), s.wire_s, s.flash_busy_s, s.fixed_pauses_s,
                s.overlap_s, s.floor_s);
  return b;
}

}  // namespace orvex_sim
