// The simulated chip behind the line: programmer start rules, the mailbox
// commands with their failure values, flash identification, reset, the
// flash file, faults of the programmer, and wire timing with its floor.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "orvex_sim/simulator.h"
#include "sim_tool_side.h"
#include "support/test_support.h"

using namespace simtest;
using namespace orvex_sim;

namespace {

constexpr uint32_t START_VALUE = 0xEF522F61;
constexpr uint32_t STATE = 0x108C;

Bytes payload() {
  Bytes f = programmer_firmware_file();
  return Bytes(f.begin() + 12, f.end());
}

// Loads the payload and its head copy, then writes the start value.
void load_and_start(ToolSide& tool, const Bytes& body, const Bytes& head, uint32_t start = START_VALUE) {
  ASSERT_TRUE(tool.write_block(0xD0000, body));
  ASSERT_TRUE(tool.write_block(0x60000, head));
  ASSERT_TRUE(tool.write_reg(0xC000C, start));
}

struct Cmd {
  uint32_t code, checksum, count, buffer, flash;
};

// One mailbox exchange: block, data, code, then poll until the code is gone.
uint32_t run(ToolSide& tool, const Cmd& c, const Bytes& data = {}, uint32_t state_code = 0) {
  Bytes blk;
  for (uint32_t v : {c.code, c.checksum, c.count, c.buffer, c.flash}) le32(blk, v);
  EXPECT_TRUE(tool.write_block(0xE0000, blk));
  if (!data.empty()) {
    EXPECT_TRUE(tool.write_block(0xE0014, data));
  }
  uint32_t code = state_code ? state_code : c.code;
  EXPECT_TRUE(tool.write_reg(STATE, code));
  uint32_t v = code;
  for (int i = 0; i < 5000 && v == code; ++i) v = tool.read_reg(STATE);
  return v;
}

uint8_t checksum(const Bytes& d) {
  uint8_t x = 0;
  for (size_t i = 0; i + 1 < d.size(); ++i) x ^= d[i];
  return x;
}

Bytes pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed ^ (i * 13 + (i >> 8)));
  return b;
}

TEST(SimProgrammer, StartsOnlyFromAValidPayloadWithItsHeadCopy) {
  struct Case {
    const char* name;
    size_t flip;           // payload byte to invert (npos: none)
    bool good_head;
    uint32_t start_value;
    bool starts;
  };
  const size_t none = static_cast<size_t>(-1);
  const Case cases[] = {
      {"valid", none, true, START_VALUE, true},
      {"payload body damaged", 100, true, START_VALUE, false},
      {"payload checksum damaged", payload().size() - 1, true, START_VALUE, false},
      {"no copy at 0x60000", none, false, START_VALUE, false},
      {"other start value", none, true, 0xEF522F60, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Simulator sim(SimConfig{});
    sim.start();
    ToolSide tool(sim.tty_path());
    Bytes body = payload();
    Bytes head(body.begin(), body.begin() + 4);
    if (c.flip != none) body[c.flip] ^= 0xFF;
    load_and_start(tool, body, c.good_head ? head : Bytes{0, 0, 0, 0}, c.start_value);
    EXPECT_EQ(tool.read_reg(STATE), c.starts ? 9u : 0u);
    EXPECT_EQ(sim.programmer_running(), c.starts);
  }
}

TEST(SimProgrammer, BuiltinUartMovesToFastRateOnStartAndBackOnReset) {
  SimConfig cfg;
  cfg.kind = PeerKind::builtin_uart;
  Simulator sim(cfg);
  sim.start();
  ToolSide tool(sim.tty_path(), false);
  Bytes body = payload();
  load_and_start(tool, body, Bytes(body.begin(), body.begin() + 4));
  ASSERT_TRUE(sim.wait_idle());
  EXPECT_EQ(sim.line_rate(), 500000u);
  EXPECT_EQ(tool.read_reg(STATE), 0xDEADBEEFu) << "still at 115200: no answer";
  tool.set_rate(500000);
  EXPECT_EQ(tool.read_reg(STATE), 9u);

  ASSERT_TRUE(tool.write_reg(0x1400, 0));
  ASSERT_TRUE(sim.wait_idle());
  EXPECT_EQ(sim.line_rate(), 115200u);
  EXPECT_FALSE(sim.programmer_running());
  tool.set_rate(115200);
  EXPECT_EQ(tool.read_reg(STATE), 0u);
  // A stopped programmer runs no command: the code just sits there.
  ASSERT_TRUE(tool.write_reg(STATE, 8));
  EXPECT_EQ(tool.read_reg(STATE), 8u);
  EXPECT_EQ(sim.stats().commands, 0u);
}

class Mailbox : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = std::make_unique<Simulator>(SimConfig{});
    sim_->start();
    tool_ = std::make_unique<ToolSide>(sim_->tty_path());
    Bytes body = payload();
    load_and_start(*tool_, body, Bytes(body.begin(), body.begin() + 4));
    ASSERT_EQ(tool_->read_reg(STATE), 9u);
  }
  std::unique_ptr<Simulator> sim_;
  std::unique_ptr<ToolSide> tool_;
};

TEST_F(Mailbox, EraseWriteReadRoundTrip) {
  EXPECT_EQ(run(*tool_, {8, 0, 0x100000, 0, 0}), 9u);
  EXPECT_EQ(sim_->flash(), Bytes(0x100000, 0xFF));

  // A full 32 KiB window at the top of the flash, then a one-byte write.
  const Bytes window = pattern(0x8000, 0x5A);
  EXPECT_EQ(run(*tool_, {6, checksum(window), 0x8000, 0xE0014, 0xF8000}, window), 9u);
  EXPECT_EQ(run(*tool_, {6, 0, 1, 0xE0014, 0x10}, {0x42}), 9u);
  Bytes f = sim_->flash();
  EXPECT_TRUE(std::equal(window.begin(), window.end(), f.begin() + 0xF8000));
  EXPECT_EQ(f[0x10], 0x42);
  EXPECT_EQ(f[0x11], 0xFF);

  // Read 40 bytes that straddle a block boundary: reads have no alignment rule.
  EXPECT_EQ(run(*tool_, {7, 0, 40, 0xE0014, 0xF7FEC}), 9u);
  Bytes expect(40, 0xFF);
  std::copy_n(window.begin(), 20, expect.begin() + 20);
  EXPECT_EQ(tool_->read_block(0xE0014, 40), expect);
  EXPECT_EQ(sim_->stats().commands, 4u);
  EXPECT_EQ(sim_->stats().failed_commands, 0u);
}

TEST_F(Mailbox, RefusedCommandsEndInTheirFailureValueAndLeaveFlashAlone) {
  ASSERT_EQ(run(*tool_, {8, 0, 0x100000, 0, 0}), 9u);
  const Bytes d = pattern(64, 0x11);
  uint8_t all = 0;  // checksum over every byte: the wrong rule
  for (uint8_t b : d) all ^= b;
  struct Case {
    const char* name;
    Cmd cmd;
    Bytes data;
    uint32_t state_code;
    uint32_t expected;
  };
  const Case cases[] = {
      {"checksum over all bytes", {6, all, 64, 0xE0014, 0x1000}, d, 0, PROG_FAIL_CHECKSUM},
      {"checksum in upper bytes", {6, 0x100u | checksum(d), 64, 0xE0014, 0x1000}, d, 0, PROG_FAIL_CHECKSUM},
      {"write crosses a 32 KiB block", {6, checksum(d), 64, 0xE0014, 0x7FF0}, d, 0, PROG_FAIL_CROSSES_BLOCK},
      {"write past the end", {6, checksum(d), 64, 0xE0014, 0xFFFE0}, d, 0, PROG_FAIL_OUT_OF_BOUNDS},
      {"write of 0 bytes", {6, 0, 0, 0xE0014, 0x1000}, {}, 0, PROG_FAIL_BAD_LENGTH},
      {"write above 32 KiB", {6, 0, 0x8001, 0xE0014, 0}, {}, 0, PROG_FAIL_BAD_LENGTH},
      {"read past the end", {7, 0, 32, 0xE0014, 0xFFFF0}, {}, 0, PROG_FAIL_OUT_OF_BOUNDS},
      {"read above 32 KiB", {7, 0, 0x8001, 0xE0014, 0}, {}, 0, PROG_FAIL_BAD_LENGTH},
      {"erase of 0 bytes", {8, 0, 0, 0, 0}, {}, 0, PROG_FAIL_BAD_LENGTH},
      {"erase past the end", {8, 0, 0x2000, 0, 0xFF000}, {}, 0, PROG_FAIL_OUT_OF_BOUNDS},
      {"erase off a sector", {8, 0, 0x1000, 0, 0x800}, {}, 0, PROG_FAIL_UNALIGNED},
      {"block code differs from the started one", {7, 0, 32, 0xE0014, 0}, {}, 6, PROG_FAIL_BAD_COMMAND},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(run(*tool_, c.cmd, c.data, c.state_code), c.expected);
  }
  EXPECT_EQ(sim_->flash(), Bytes(0x100000, 0xFF));

  // Programming over data that was not erased: NOR only clears bits, so the
  // read-back differs and the write fails.
  const Bytes ones = {0x0F, 0x0F, 0x0F, 0x00};
  const Bytes more = {0xF0, 0xFF, 0x0F, 0x00};
  ASSERT_EQ(run(*tool_, {6, checksum(ones), 4, 0xE0014, 0x2000}, ones), 9u);
  EXPECT_EQ(run(*tool_, {6, checksum(more), 4, 0xE0014, 0x2000}, more), PROG_FAIL_VERIFY);
  Bytes f = sim_->flash();
  EXPECT_EQ(Bytes(f.begin() + 0x2000, f.begin() + 0x2004), (Bytes{0x00, 0x0F, 0x0F, 0x00}));
  // The programmer still serves the next command.
  EXPECT_EQ(run(*tool_, {8, 0, 0x1000, 0, 0x2000}, {}), 9u);
}

TEST(SimFlash, IdentificationThroughTheControllerRegisters) {
  struct Case {
    uint32_t jedec;
    Bytes id_bytes;
    uint32_t erase_result;
  };
  const Case cases[] = {
      {0x001440EF, {0xEF, 0x40, 0x14, 0x00}, 9},
      {0x001640EF, {0xEF, 0x40, 0x16, 0x00}, 9},  // 32 Mbit: 4 MiB erases fine
      {0xFFFFFFFF, {0xFF, 0xFF, 0xFF, 0xFF}, PROG_FAIL_OUT_OF_BOUNDS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.jedec);
    SimConfig cfg;
    cfg.jedec_id = c.jedec;
    Simulator sim(cfg);
    sim.start();
    ToolSide tool(sim.tty_path());
    EXPECT_EQ(tool.read_reg(0x10218), 0u);
    for (auto [reg, value] : {std::pair<uint32_t, uint32_t>{0x10208, 4}, {0x1020C, 0x9F}, {0x10214, 1},
                              {0x1021C, 0x1084}, {0x10204, 0x81}})
      ASSERT_TRUE(tool.write_reg(reg, value));
    EXPECT_EQ(tool.read_reg(0x10218), 1u);
    EXPECT_EQ(tool.read_block(0x1084, 4), c.id_bytes);
    EXPECT_EQ(tool.read_reg(0x1084), c.jedec) << "the first byte is the word's low byte";

    Bytes body = payload();
    load_and_start(tool, body, Bytes(body.begin(), body.begin() + 4));
    uint32_t size = c.jedec == 0xFFFFFFFF ? 0x100000 : 1u << ((c.jedec >> 16) & 0xFF);
    EXPECT_EQ(run(tool, {8, 0, size, 0, 0}), c.erase_result);
  }
}

TEST(SimFlash, FlashFileIsLoadedAndSavedAfterEachChange) {
  tsup::TempDir dir;
  const std::string path = dir.file("flash.bin");
  Bytes start = demo_flash(0x100000);
  start[0] = 0x00;
  tsup::write_file(path, start);
  SimConfig cfg;
  cfg.flash_file = path;
  Simulator sim(cfg);
  sim.start();
  EXPECT_EQ(sim.flash(), start);
  ToolSide tool(sim.tty_path());
  Bytes body = payload();
  load_and_start(tool, body, Bytes(body.begin(), body.begin() + 4));
  ASSERT_EQ(run(tool, {8, 0, 0x1000, 0, 0}), 9u);
  Bytes saved = tsup::read_file(path);
  ASSERT_EQ(saved.size(), 0x100000u);
  EXPECT_EQ(Bytes(saved.begin(), saved.begin() + 0x1000), Bytes(0x1000, 0xFF));
  EXPECT_EQ(saved[0x1000], 0xF9) << "beyond the erased sector the content stays";
}

TEST(SimFaults, ProgrammerFaults) {
  {
    SimConfig cfg;
    cfg.faults.programmer_never_ready = true;
    Simulator sim(cfg);
    sim.start();
    ToolSide tool(sim.tty_path());
    Bytes body = payload();
    load_and_start(tool, body, Bytes(body.begin(), body.begin() + 4));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(tool.read_reg(STATE), 0u);
  }
  {
    SimConfig cfg;
    cfg.faults.fail_command = 8;
    cfg.faults.fail_state = 5;
    Simulator sim(cfg);
    sim.start();
    ToolSide tool(sim.tty_path());
    Bytes body = payload();
    load_and_start(tool, body, Bytes(body.begin(), body.begin() + 4));
    EXPECT_EQ(run(tool, {8, 0, 0x1000, 0, 0}), 5u);
    EXPECT_EQ(run(tool, {7, 0, 4, 0xE0014, 0}), 9u);
  }
}

TEST(SimTiming, WireTimeAndBusyFlashShowAndAddUpToTheFloor) {
  SimConfig cfg;
  cfg.timing = true;
  cfg.latency_ms = 2.0;
  // Long enough that a loaded machine still polls inside them.
  cfg.erase_ms_per_64k = 300.0;
  cfg.startup_ms = 200.0;
  Simulator sim(cfg);
  sim.start();
  ToolSide tool(sim.tty_path());

  // Sync and a register read: 20 bytes at 115200 and three turnarounds.
  auto t0 = std::chrono::steady_clock::now();
  tool.send({0x12});
  ASSERT_EQ(tool.recv(1), Bytes{0x5B});
  ASSERT_EQ(tool.read_reg(0x1000), 0x1002A0u);
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  ASSERT_TRUE(sim.wait_idle());
  Stats s = sim.stats();
  const double wire = 20 * 10.0 / 115200;
  EXPECT_NEAR(s.wire_s, wire, 1e-9);
  EXPECT_EQ(s.turnarounds, 3u);
  EXPECT_NEAR(s.floor_s, wire + 3 * 0.002, 1e-9);
  EXPECT_GE(took, wire + 2 * 0.002);  // two answers, each after a turnaround

  // The start value costs the tool's pause; the state stays 0 until start-up ends.
  Bytes body = payload();
  load_and_start(tool, body, Bytes(body.begin(), body.begin() + 4));
  EXPECT_EQ(tool.read_reg(STATE), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_EQ(tool.read_reg(STATE), 9u);

  // An erase of 64 KiB keeps the command code in the state register while busy.
  Bytes blk;
  for (uint32_t v : {8u, 0u, 0x10000u, 0u, 0u}) le32(blk, v);
  ASSERT_TRUE(tool.write_block(0xE0000, blk));
  ASSERT_TRUE(tool.write_reg(STATE, 8));
  EXPECT_EQ(tool.read_reg(STATE), 8u);
  std::this_thread::sleep_for(std::chrono::milliseconds(350));
  EXPECT_EQ(tool.read_reg(STATE), 9u);
  s = sim.stats();
  // The erase, and the start-up beyond the tool's own 100 ms pause.
  EXPECT_NEAR(s.flash_busy_s, 0.3 + 0.1, 1e-9);
  EXPECT_NEAR(s.fixed_pauses_s, 0.1, 1e-9);
  // The poll that still saw 8 ran while the flash was busy: its 18 bytes and
  // two turnarounds are not added on top of the busy time.
  EXPECT_NEAR(s.overlap_s, 18 * 10.0 / 115200 + 2 * 0.002, 1e-9);
  EXPECT_NEAR(s.floor_s, s.wire_s + s.turnarounds * 0.002 + 0.4 + 0.1 - s.overlap_s, 1e-9);
}

}  // namespace
