// The programmer: bring-up and shutdown for both peer kinds, the chip id
// check, the programmer firmware file, the ready wait, and the mailbox
// operations (write windows and percentages, read windows, erase). What
// reached the chip is checked on the simulated module's side; a scripted
// bridge stands in only where exact poll counts or a failure at a chosen
// read must be shown.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "chip/chip.h"
#include "common/status.h"
#include "fake_bridge_chip.h"
#include "orvex_sim/simulator.h"
#include "port/discovery.h"
#include "port/port.h"
#include "programmer/programmer.h"
#include "programmer/spi_flash.h"
#include "support/test_support.h"

namespace {

namespace sim = orvex_sim;
using Bytes = std::vector<uint8_t>;

const std::string FW_REL = "../../../programmer_firmware/release/programmer_firmware.bin";
constexpr size_t FLASH_SIZE = 0x100000;  // the simulated module's default 8 Mbit

Bytes pattern(size_t n, uint32_t seed) {
  Bytes b(n);
  uint32_t x = seed;
  for (auto& v : b) {
    x = x * 1664525u + 1013904223u;
    v = static_cast<uint8_t>(x >> 24);
  }
  return b;
}

Bytes slice(const Bytes& b, size_t from, size_t n) { return Bytes(b.begin() + long(from), b.begin() + long(from + n)); }

// Times vary from run to run: "time = 0.012000 sec" becomes "time = T sec".
std::string mask_times(const std::string& text) {
  static const std::regex re(R"(time =( ?)[0-9]+\.[0-9]+ sec)");
  return std::regex_replace(tsup::mask_log_lines(text), re, "time =$1T sec");
}

template <class F>
std::string captured(F&& f) {
  testing::internal::CaptureStdout();
  f();
  return testing::internal::GetCapturedStdout();
}

// Module state of the tool back to the program start.
void reset_tool() {
  qd_bus_deinit();
  qd_discovery_reset();
  qd_chip_forget_id();
  spi_flash_forget_size();
}

// The process runs three levels below a tree holding the programmer
// firmware file; the previous working directory comes back afterwards.
class InTree {
 public:
  InTree() {
    namespace fs = std::filesystem;
    fs::create_directories(tree_.file("programmer_firmware/release"));
    fs::create_directories(tree_.file("a/b/c"));
    sim::write_programmer_firmware(fw_path());
    old_ = fs::current_path().string();
    fs::current_path(tree_.file("a/b/c"));
  }
  ~InTree() { std::filesystem::current_path(old_); }
  std::string fw_path() const { return tree_.file("programmer_firmware/release/programmer_firmware.bin"); }
  std::string file(const std::string& rel) const { return tree_.file(rel); }

 private:
  tsup::TempDir tree_;
  std::string old_;
};

Bytes payload() {
  Bytes f = sim::programmer_firmware_file();
  return Bytes(f.begin() + PROG_FILE_HEADER_SIZE, f.end());
}

// A programmer command as the simulated chip saw it.
struct Seen {
  uint32_t code, count, buffer, flash;
  bool operator==(const Seen&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Seen& s) {
  return os << "{" << s.code << ", " << s.count << ", 0x" << std::hex << s.buffer << ", 0x" << s.flash << std::dec
            << "}";
}

// A simulated module published as COM9, with the tool's side reset, and the
// programmer commands it ran collected from its trace.
class Module {
 public:
  explicit Module(sim::SimConfig cfg = {}, const Bytes& flash = {}) {
    reset_tool();
    cfg.port_dir = ports_.path();
    cfg.friendly_name = "Board Bridge (COM9)";
    if (!flash.empty()) {
      cfg.flash_file = tree_.file("flash.bin");
      tsup::write_file(cfg.flash_file, flash);
    }
    cfg.trace = true;
    cfg.trace_sink = [this](const std::string& line) {
      unsigned code, count, buffer, addr, sum;
      if (std::sscanf(line.c_str(), "   command %u: count %u, buffer 0x%X, flash 0x%X, checksum 0x%X", &code, &count,
                      &buffer, &addr, &sum) == 5) {
        std::lock_guard<std::mutex> lock(mu_);
        commands_.push_back({code, count, buffer, addr});
      }
    };
    sim_ = std::make_unique<sim::Simulator>(cfg);
    sim_->start();
  }
  ~Module() { reset_tool(); }

  sim::Simulator& sim() { return *sim_; }
  const InTree& tree() const { return tree_; }

  // Brings the programmer up through COM9; fails the test otherwise.
  void bring_up() {
    int8_t status = QD_OK;
    std::string out = captured([&] { status = programmer_init(9); });
    ASSERT_EQ(status, QD_OK) << out;
    clear_commands();
  }

  std::vector<Seen> commands() {
    sim_->wait_idle();
    std::lock_guard<std::mutex> lock(mu_);
    return commands_;
  }
  void clear_commands() {
    sim_->wait_idle();
    std::lock_guard<std::mutex> lock(mu_);
    commands_.clear();
  }

 private:
  InTree tree_;
  tsup::PortDir ports_;
  std::unique_ptr<sim::Simulator> sim_;
  std::mutex mu_;
  std::vector<Seen> commands_;
};

const std::string CHIP_OK = "Chip id 1502a0\n\r";
const std::string WAITING = ">Waiting for chip permission...\n\r";
const std::string READY = "OK.\n\r\r";

// ---------------------------------------------------------------------------
// Bring-up and shutdown

// Both peer kinds, with the port given and found by detection: the payload
// and its head copy in chip memory, the start value, the line at 500000 on
// both sides; then the shutdown that fits the peer.
TEST(BringUp, BothPeerKindsUpAndDown) {
  struct Case {
    const char* name;
    sim::PeerKind kind;
    uint8_t port;  // 0: detect
  };
  const Case cases[] = {
      {"serial bridge given as COM9", sim::PeerKind::bridge, 9},
      {"serial bridge found by detection", sim::PeerKind::bridge, 0},
      {"built-in UART found by detection", sim::PeerKind::builtin_uart, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const bool builtin = c.kind == sim::PeerKind::builtin_uart;
    sim::SimConfig cfg;
    cfg.kind = c.kind;
    Module m(cfg);

    int8_t status = -100;
    std::string out = captured([&] { status = programmer_init(c.port); });
    ASSERT_EQ(status, QD_OK) << out;
    // Detection prints its own lines first; from the chip id on it is this layer's.
    const std::string tail = CHIP_OK + WAITING + READY;
    if (c.port != 0) {
      EXPECT_EQ(out, tail);
    } else {
      ASSERT_GE(out.size(), tail.size());
      EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << out;
    }
    EXPECT_EQ(qd_uart_is_builtin(), builtin ? 1 : 0);

    sim::Simulator& s = m.sim();
    ASSERT_TRUE(s.wait_idle());
    const Bytes p = payload();
    EXPECT_TRUE(s.memory(PROG_LOAD_ADDR, p.size()) == p);
    EXPECT_EQ(s.memory(PROG_HEAD_COPY_ADDR, 4), slice(p, 0, 4));
    EXPECT_EQ(s.reg(PROG_START_REG), PROG_START_VALUE);
    EXPECT_TRUE(s.programmer_running());
    EXPECT_EQ(s.line_rate(), 500000u);
    EXPECT_EQ(s.stats().rate_changes, builtin ? 0u : 1u);
    EXPECT_EQ(s.stats().ignored_bytes, 0u);
    EXPECT_EQ(s.stats().malformed_frames, 0u);

    out = captured([&] { status = programmer_deinit(); });
    EXPECT_EQ(status, QD_OK);
    EXPECT_EQ(out, "");
    ASSERT_TRUE(s.wait_idle());
    auto st = s.stats();
    if (builtin) {
      EXPECT_EQ(st.chip_resets, 1u);
      EXPECT_EQ(st.rate_changes, 0u);
      EXPECT_FALSE(s.programmer_running());
    } else {
      EXPECT_EQ(st.chip_resets, 0u);
      EXPECT_EQ(st.rate_changes, 2u);
      EXPECT_TRUE(s.programmer_running());
    }
    EXPECT_EQ(s.line_rate(), 115200u);
    EXPECT_EQ(st.ignored_bytes, 0u);
    EXPECT_GE(st.port_opens, 1u);
    EXPECT_EQ(st.port_closes, st.port_opens);
  }
}

// Ids of the family 0x150xxx are taken; others, and an unreadable id (a
// silent peer), are refused before anything is written to the chip.
TEST(BringUp, ChipIdAcceptedAndRefused) {
  struct Case {
    uint32_t id_reg;
    uint32_t revision;
    bool silent;
    uint32_t id;
    bool accepted;
  };
  const Case cases[] = {
      {0x1002A0, 1, false, 0x1502A0, true},  {0x100FFF, 0, false, 0x150FFF, true},
      {0x101000, 0, false, 0x151000, false}, {0x200000, 0, false, 0x250000, false},
      {0x1002A0, 1, true, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << "id 0x" << c.id);
    sim::SimConfig cfg;
    cfg.kind = c.silent ? sim::PeerKind::silent : sim::PeerKind::bridge;
    cfg.chip_id = c.id_reg;
    cfg.revision = c.revision;
    Module m(cfg);
    int8_t status = -100;
    std::string out = captured([&] { status = programmer_init(9); });
    m.sim().wait_idle();
    if (c.accepted) {
      char line[64];
      std::snprintf(line, sizeof line, "Chip id %x\n\r", c.id);
      EXPECT_EQ(out, line + WAITING + READY);
      EXPECT_EQ(status, QD_OK);
      EXPECT_TRUE(m.sim().programmer_running());
    } else {
      char line[64];
      std::snprintf(line, sizeof line, ">>(ERR):Invalid chip ID = 0x%08x\n\r", c.id);
      EXPECT_EQ(out, std::string(line) + ">>(ERR):Connect ORV3100 Dx Fail\n\r");
      EXPECT_EQ(status, QD_ERR_FAIL);
      EXPECT_EQ(m.sim().memory(PROG_LOAD_ADDR, 16), Bytes(16, 0));
      if (!c.silent) {
        EXPECT_EQ(m.sim().stats().frames, 2u);
      }
    }
  }
}

// Programmer firmware files the tool cannot use are refused with the file
// and the reason, before anything is written to the chip.
TEST(BringUp, UnusableProgrammerFirmwareFileIsRefused) {
  const std::string at = "at \n" + FW_REL + "\n";
  struct Case {
    const char* name;
    std::function<void(const std::string& path)> make;
    std::string message;
  };
  const Case cases[] = {
      {"missing", [](const std::string& p) { std::remove(p.c_str()); },
       "Failed to open programmer fw file " + at + "\r"},
      {"empty", [](const std::string& p) { tsup::write_file(p, {}); },
       "Programmer fw file " + at + "is too short: 0 bytes, at least 16 needed\n\r"},
      {"15 bytes", [](const std::string& p) { tsup::write_file(p, pattern(15, 1)); },
       "Programmer fw file " + at + "is too short: 15 bytes, at least 16 needed\n\r"},
      {"payload of 65536 bytes", [](const std::string& p) { tsup::write_file(p, pattern(12 + 65536, 2)); },
       "Programmer fw file " + at + "is too large: payload of 65536 bytes, at most 65535 allowed\n\r"},
      {"a directory",
       [](const std::string& p) {
         std::remove(p.c_str());
         std::filesystem::create_directory(p);
       },
       "Programmer fw file " + at + "is not a regular file\n\r"},
      {"a fifo",
       [](const std::string& p) {
         std::remove(p.c_str());
         ASSERT_EQ(mkfifo(p.c_str(), 0600), 0);
       },
       "Programmer fw file " + at + "is not a regular file\n\r"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Module m;
    c.make(m.tree().fw_path());
    int8_t status = -100;
    std::string out = captured([&] { status = programmer_init(9); });
    EXPECT_EQ(status, QD_ERR_FAIL);
    EXPECT_EQ(out, CHIP_OK + c.message);
    ASSERT_TRUE(m.sim().wait_idle());
    // Only the chip id was read; nothing was written.
    EXPECT_EQ(m.sim().stats().frames, 2u);
    EXPECT_EQ(m.sim().memory(PROG_LOAD_ADDR, 16), Bytes(16, 0));
    EXPECT_EQ(m.sim().reg(PROG_START_REG), 0u);
  }
}

// A file that reports more bytes than a read delivers (kernel attribute
// files report a page, then read a line) is refused as not read whole.
TEST(BringUp, ProgrammerFirmwareFileThatReadsShortIsRefused) {
  std::string source;
  for (const char* p : {"/sys/kernel/mm/transparent_hugepage/enabled", "/sys/kernel/mm/transparent_hugepage/defrag",
                        "/sys/kernel/mm/ksm/run", "/sys/power/state"}) {
    struct stat st{};
    std::FILE* f = std::fopen(p, "rb");
    if (!f || stat(p, &st) != 0) {
      if (f) std::fclose(f);
      continue;
    }
    char buf[8192];
    size_t got = std::fread(buf, 1, sizeof buf, f);
    std::fclose(f);
    if (st.st_size >= 16 && st.st_size <= 65547 && got < size_t(st.st_size)) {
      source = p;
      break;
    }
  }
  if (source.empty()) GTEST_SKIP() << "no file here reads shorter than its size";
  Module m;
  std::remove(m.tree().fw_path().c_str());
  ASSERT_EQ(symlink(source.c_str(), m.tree().fw_path().c_str()), 0);
  int8_t status = -100;
  std::string out = captured([&] { status = programmer_init(9); });
  EXPECT_EQ(status, QD_ERR_FAIL);
  EXPECT_EQ(out, CHIP_OK + "Programmer fw file at \n" + FW_REL + "\ncould not be read whole\n\r");
  ASSERT_TRUE(m.sim().wait_idle());
  EXPECT_EQ(m.sim().stats().frames, 2u);
}

// The smallest and the largest file the tool takes: the payload goes whole to
// 0xD0000, its first 4 bytes to 0x60000, then the start value.
TEST(BringUp, LoadsPayloadsOfTheLimitSizes) {
  for (size_t payload_size : {size_t(4), size_t(65535)}) {
    SCOPED_TRACE(payload_size);
    Module m;
    const Bytes file = pattern(PROG_FILE_HEADER_SIZE + payload_size, uint32_t(payload_size));
    tsup::write_file(m.tree().fw_path(), file);
    int port = 9;
    ASSERT_EQ(qd_chip_open(&port), QD_OK);
    int8_t status = -100;
    std::string out = captured([&] { status = programmer_load_firmware(); });
    EXPECT_EQ(status, QD_OK);
    EXPECT_EQ(out, "");
    ASSERT_TRUE(m.sim().wait_idle());
    EXPECT_TRUE(m.sim().memory(PROG_LOAD_ADDR, payload_size) == slice(file, 12, payload_size));
    EXPECT_EQ(m.sim().memory(PROG_HEAD_COPY_ADDR, 4), slice(file, 12, 4));
    EXPECT_EQ(m.sim().reg(PROG_START_REG), PROG_START_VALUE);
  }
}

// A serial bridge that refuses the rate change: the bring-up stops with the
// exchange's status, and the PC side still talks at 115200.
TEST(BringUp, RefusedRateChangeLeavesThePcSideAlone) {
  sim::SimConfig cfg;
  cfg.faults.wrong_ack_at_rate_change = true;
  Module m(cfg);
  int8_t status = -100;
  std::string out = captured([&] { status = programmer_init(9); });
  EXPECT_EQ(status, QD_ERR_PORT);
  EXPECT_EQ(mask_times(out), CHIP_OK + WAITING + "(APP)(ERR)[qd_uart_reconfigure][#]write error\n\r");
  // At a wrong rate the module would ignore this read.
  uint32_t state = 0;
  EXPECT_EQ(qd_chip_read_reg_with_ret(PROG_STATE_REG, &state), QD_OK);
  EXPECT_EQ(state, PROG_STATE_READY);
  ASSERT_TRUE(m.sim().wait_idle());
  EXPECT_EQ(m.sim().stats().ignored_bytes, 0u);
  EXPECT_EQ(m.sim().line_rate(), 115200u);
}

// The ready wait: at most 2001 reads of the state register; ready on the
// 2000th still counts, the 2001st is not looked at; a failed read ends it
// with that read's status and no line of its own.
TEST(BringUp, ReadyWaitBounds) {
  struct Case {
    const char* name;
    uint32_t ready_on_read;     // 1-based; 0: never
    uint32_t silent_from_read;  // 1-based; 0: never
    int8_t status;
    std::string out;
    uint32_t reads;
  };
  const Case cases[] = {
      {"ready at once", 1, 0, QD_OK, READY, 1},
      {"ready on the 2000th read", 2000, 0, QD_OK, READY, 2000},
      {"ready only on the 2001st read", 2001, 0, QD_ERR_NOT_READY, "(APP)(INFO)Time out for wait firmware Run\n\r",
       2001},
      {"third read unanswered", 0, 3, QD_ERR_PORT, "", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reset_tool();
    InTree tree;
    fake::BridgeChip chip([&](uint32_t address, uint32_t earlier) -> std::optional<uint32_t> {
      if (address == 0x1000) return 0x1002A0;
      if (address == 0x13F4) return 1;
      if (address != PROG_STATE_REG) return 0;
      if (c.silent_from_read && earlier + 1 >= c.silent_from_read) return std::nullopt;
      return earlier + 1 == c.ready_on_read ? PROG_STATE_READY : 0;
    });
    tsup::PortDir ports;
    ports.add("Fake Bridge (COM7)", chip.path());
    int8_t status = -100;
    std::string out = captured([&] { status = programmer_init(7); });
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(out, CHIP_OK + WAITING + c.out);
    EXPECT_EQ(chip.reads(PROG_STATE_REG), c.reads);
    // Payload, head copy and start value went out in that order.
    auto blocks = chip.block_writes();
    ASSERT_GE(blocks.size(), 2u);
    EXPECT_EQ(blocks.front().first, PROG_LOAD_ADDR);
    EXPECT_EQ(blocks.back().first, PROG_HEAD_COPY_ADDR);
    EXPECT_EQ(blocks.back().second, slice(payload(), 0, 4));
    auto regs = chip.reg_writes();
    ASSERT_EQ(regs.size(), 1u);
    EXPECT_EQ(regs[0], std::make_pair(PROG_START_REG, PROG_START_VALUE));
    reset_tool();
  }
}

// ---------------------------------------------------------------------------
// Command channel and flash operations

TEST(Checksum, LeavesOutTheLastByte) {
  struct Case {
    Bytes data;
    uint8_t sum;
  };
  const Case cases[] = {
      {{0x5A}, 0x00},
      {{'a', 'b', 'c'}, 0x03},
      {{0x01, 0x02, 0x04, 0xFF}, 0x07},
      {{0x01, 0x02, 0x04, 0x00}, 0x07},
  };
  for (const auto& c : cases) EXPECT_EQ(programmer_checksum(c.data.data(), uint32_t(c.data.size())), c.sum);
}

std::string write_output(const std::vector<int>& percentages) {
  std::string out = ">Start programming..\n\r";
  for (int p : percentages) out += "\r>Complete Percentage = " + std::to_string(p) + "%.\r\r";
  return out + "\rDone\t\t\t\t\t\t\r" + "\n#Programming time =T sec\n\r\r";
}

// Windows never cross a 32 KiB boundary; an unaligned start gets a leading
// window without a percentage line, and the percentage counts against the
// windows the size would fill from an aligned start.
TEST(Write, WindowsAndPercentages) {
  struct Case {
    uint32_t address, size;
    std::vector<std::pair<uint32_t, uint32_t>> windows;  // flash address, count
    std::vector<int> percentages;
  };
  const Case cases[] = {
      {0x0, 0x8000, {{0x0, 0x8000}}, {100}},
      {0x0, 0x8001, {{0x0, 0x8000}, {0x8000, 1}}, {50, 100}},
      {0x0, 0x18000, {{0x0, 0x8000}, {0x8000, 0x8000}, {0x10000, 0x8000}}, {33, 66, 100}},
      {0x4000, 0x8000, {{0x4000, 0x4000}, {0x8000, 0x4000}}, {100}},
      {0x4000, 0xC000, {{0x4000, 0x4000}, {0x8000, 0x8000}}, {50}},
      {0x7FF0, 100, {{0x7FF0, 16}, {0x8000, 84}}, {100}},
      {0x7FF0, 16, {{0x7FF0, 16}}, {}},
      {0x7FF0, 10, {{0x7FF0, 10}}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.size << " bytes at 0x" << c.address);
    Module m;
    m.bring_up();
    const Bytes data = pattern(c.size, c.address ^ c.size);
    int8_t status = -100;
    std::string out = captured([&] { status = programmer_write(data.data(), c.address, c.size); });
    EXPECT_EQ(status, QD_OK);
    EXPECT_EQ(mask_times(out), write_output(c.percentages));
    std::vector<Seen> expected;
    for (auto [addr, n] : c.windows) expected.push_back({PROG_CMD_WRITE, n, PROG_BUF_ADDR, addr});
    EXPECT_EQ(m.commands(), expected);
    const Bytes flash = m.sim().flash();
    EXPECT_TRUE(slice(flash, c.address, c.size) == data);
    if (c.address > 0) {
      EXPECT_EQ(flash[c.address - 1], 0xFF);
    }
    EXPECT_EQ(flash[c.address + c.size], 0xFF);
  }
}

// Size 0 sends nothing; a failing window ends the write at once, the windows
// before it staying done.
TEST(Write, EmptyAndFailingWindows) {
  {
    Module m;
    m.bring_up();
    uint8_t byte = 0;
    int8_t status = -100;
    std::string out = captured([&] { status = programmer_write(&byte, 0, 0); });
    EXPECT_EQ(status, QD_ERR_FAIL);
    EXPECT_EQ(out, ">Start programming..\n\rData size = 0\r");
    EXPECT_TRUE(m.commands().empty());
  }
  {
    // The second window lies beyond the end of the flash.
    Module m;
    m.bring_up();
    const Bytes data = pattern(0x8001, 7);
    int8_t status = -100;
    std::string out = captured([&] { status = programmer_write(data.data(), FLASH_SIZE - 0x8000, 0x8001); });
    EXPECT_EQ(status, QD_ERR_FAIL);
    EXPECT_EQ(out, ">Start programming..\n\r\r>Complete Percentage = 50%.\r\r");
    EXPECT_EQ(m.commands().size(), 2u);
    EXPECT_TRUE(slice(m.sim().flash(), FLASH_SIZE - 0x8000, 0x8000) == slice(data, 0, 0x8000));
  }
}

// Read windows follow each other from any address; the data comes from the
// flash; a failing window ends the read and the next is not asked for.
TEST(Read, WindowsFromAnyAddress) {
  const Bytes flash = pattern(FLASH_SIZE, 99);
  struct Case {
    uint32_t address, length;
    std::vector<std::pair<uint32_t, uint32_t>> windows;
    int8_t status;
  };
  const uint32_t near_end = FLASH_SIZE - 0x8000 - 100;
  const Case cases[] = {
      {0x123, 40, {{0x123, 40}}, QD_OK},
      {0x10001, 0x10001, {{0x10001, 0x8000}, {0x18001, 0x8000}, {0x20001, 1}}, QD_OK},
      {0x0, 0x8000, {{0x0, 0x8000}}, QD_OK},
      // The second window runs past the end of the flash.
      {near_end, 0x10001, {{near_end, 0x8000}, {near_end + 0x8000, 0x8000}}, QD_ERR_FAIL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.length << " bytes at 0x" << c.address);
    Module m({}, flash);
    m.bring_up();
    Bytes got(c.length, 0xEE);
    int8_t status = -100;
    std::string out = captured([&] { status = programmer_read(got.data(), c.address, c.length); });
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(out, "");
    std::vector<Seen> expected;
    for (auto [addr, n] : c.windows) expected.push_back({PROG_CMD_READ, n, PROG_BUF_ADDR, addr});
    EXPECT_EQ(m.commands(), expected);
    if (c.status == QD_OK) {
      EXPECT_TRUE(got == slice(flash, c.address, c.length));
    } else {
      EXPECT_TRUE(slice(got, 0, 0x8000) == slice(flash, c.address, 0x8000));
    }
  }
}

// The fetch of the data buffer fails: its status comes back, not -12.
TEST(Read, FailedFetchGivesTheTransferStatus) {
  // Count the frames of a bring-up, then let the module fall silent right
  // after the read command's exchange, before the buffer is fetched.
  uint64_t bring_up_frames = 0;
  {
    Module probe;
    probe.bring_up();
    bring_up_frames = probe.sim().stats().frames;
  }
  sim::SimConfig cfg;
  cfg.faults.silent_after_frames = bring_up_frames + 3;  // command block, state write, state read
  Module m(cfg);
  m.bring_up();
  uint8_t buf[40];
  int8_t status = -100;
  std::string out = captured([&] { status = programmer_read(buf, 0, sizeof buf); });
  EXPECT_EQ(status, QD_ERR_PORT);
  EXPECT_EQ(tsup::mask_log_lines(out),
            "(APP)(ERR)[qd_uart_read_block][#]write error (Error sending the block read command)\n\r");
  EXPECT_EQ(m.commands().size(), 1u);
}

const std::string FLASH_8MB = "Flash ID 1440ef \n\r(APP)(INFO)Flash Size 8 Mb\n\r";
const std::string ERASE_DONE = ">Start erasing...\n\rDone\n\r#Erase time = T sec\n\r";

// The whole-flash erase: the identification first, then one erase command
// over the whole flash; a refused erase still prints "Done" and its time;
// without an identified flash nothing is sent.
TEST(Erase, WholeFlash) {
  // The command block of an erase of the whole 8 Mbit flash from 0.
  const Bytes erase_block = {8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  struct Case {
    const char* name;
    uint32_t jedec;
    uint32_t fail_state;  // 0: the erase succeeds
    int8_t status;
    std::string out;
    bool erase_sent;
  };
  const Case cases[] = {
      {"8 Mbit", 0x001440EF, 0, QD_OK, FLASH_8MB + ERASE_DONE, true},
      {"the programmer refuses", 0x001440EF, 5, QD_ERR_FAIL, FLASH_8MB + ERASE_DONE, true},
      {"no flash answers", 0xFFFFFFFF, 0, QD_ERR_FAIL,
       "Flash ID ffffffff \n\r(APP)(ERR)[spi_flash_get_size][#]Cann't Detect Flash size\n\r", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::SimConfig cfg;
    cfg.jedec_id = c.jedec;
    if (c.fail_state) {
      cfg.faults.fail_command = PROG_CMD_ERASE;
      cfg.faults.fail_state = c.fail_state;
    }
    const Bytes before = pattern(c.jedec == 0xFFFFFFFF ? 0 : FLASH_SIZE, 5);
    Module m(cfg, before);
    m.bring_up();
    const uint64_t commands_before = m.sim().stats().commands;
    int8_t status = -100;
    std::string out = captured([&] { status = programmer_erase_all(); });
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(mask_times(out), c.out);
    ASSERT_TRUE(m.sim().wait_idle());
    EXPECT_EQ(m.sim().stats().commands - commands_before, c.erase_sent ? 1u : 0u);
    EXPECT_EQ(m.sim().memory(PROG_CMD_ADDR, 20), c.erase_sent ? erase_block : Bytes(20, 0));
    const Bytes flash = m.sim().flash();
    if (c.status == QD_OK) {
      EXPECT_TRUE(flash == Bytes(FLASH_SIZE, 0xFF));
    } else {
      EXPECT_TRUE(flash == before);
    }
  }
}

// The command wait against a scripted state register: a state other than the
// code ends it at once, a code that stays is a time-out after 10001 reads
// (still with "Done" and the time), and a failed read ends it without them.
TEST(Erase, CommandWaitBounds) {
  struct Case {
    const char* name;
    std::function<std::optional<uint32_t>(uint32_t earlier)> state;
    int8_t status;
    std::string out;
    uint32_t reads;
  };
  const Case cases[] = {
      {"ready at once", [](uint32_t) { return std::optional<uint32_t>(9); }, QD_OK, ERASE_DONE, 1},
      {"state 5 at once", [](uint32_t) { return std::optional<uint32_t>(5); }, QD_ERR_FAIL, ERASE_DONE, 1},
      {"the code stays", [](uint32_t) { return std::optional<uint32_t>(PROG_CMD_ERASE); }, QD_ERR_FAIL, ERASE_DONE,
       10001},
      {"third read unanswered",
       [](uint32_t earlier) { return earlier >= 2 ? std::nullopt : std::optional<uint32_t>(PROG_CMD_ERASE); },
       QD_ERR_FAIL, ">Start erasing...\n\r", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reset_tool();
    fake::BridgeChip chip([&](uint32_t address, uint32_t earlier) -> std::optional<uint32_t> {
      if (address == PROG_STATE_REG) return c.state(earlier);
      return 0;
    });
    tsup::PortDir ports;
    ports.add("Fake Bridge (COM7)", chip.path());
    int port = 7;
    ASSERT_EQ(qd_chip_open(&port), QD_OK);
    int8_t status = -100;
    auto t0 = std::chrono::steady_clock::now();
    std::string out = captured([&] { status = programmer_erase(0x10000, 0x2000); });
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(mask_times(out), c.out);
    EXPECT_EQ(chip.reads(PROG_STATE_REG), c.reads);
    // The command block, then the code into the state register.
    auto blocks = chip.block_writes();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].first, PROG_CMD_ADDR);
    EXPECT_EQ(blocks[0].second, Bytes({8, 0, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0}));
    EXPECT_EQ(chip.reg_writes(), (std::vector<std::pair<uint32_t, uint32_t>>{{PROG_STATE_REG, PROG_CMD_ERASE}}));
    if (c.reads == 10001) {
      // 10000 sleeps of 1 ms, and the printed time shows them.
      EXPECT_GE(seconds, 10.0);
      std::smatch mt;
      ASSERT_TRUE(std::regex_search(out, mt, std::regex(R"(Erase time = ([0-9.]+) sec)")));
      EXPECT_GE(std::stod(mt[1]), 10.0);
    }
    reset_tool();
  }
}

}  // namespace
