// Chip access: blocks in 1016-byte pieces, the chip id with its revision rules
// and cache, the reset; first against a scripted peer on a pty, then round
// trips through the simulated module for both peer kinds.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "chip/chip.h"
#include "common/status.h"
#include "orvex_sim/simulator.h"
#include "port/discovery.h"
#include "port/port.h"
#include "support/scripted_peer.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using tsup::PeerStep;

const Bytes ACK = {0xAC};
const Bytes NAK = {0x00};

Bytes pattern(size_t n) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i * 13 + i / 251);
  return out;
}

Bytes slice(const Bytes& b, size_t from, size_t n) { return Bytes(b.begin() + from, b.begin() + from + n); }

void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

// A frame as the peer expects it: little-endian fields, XOR of bytes 1..12 is 0.
Bytes frame(uint8_t cmd, uint16_t length, uint32_t address, uint32_t value) {
  Bytes f = {0xA5,
             cmd,
             0,
             uint8_t(length),
             uint8_t(length >> 8),
             uint8_t(address),
             uint8_t(address >> 8),
             uint8_t(address >> 16),
             uint8_t(address >> 24),
             uint8_t(value),
             uint8_t(value >> 8),
             uint8_t(value >> 16),
             uint8_t(value >> 24)};
  for (size_t i = 3; i < f.size(); ++i) f[2] ^= f[i];
  f[2] ^= f[1];
  return f;
}

// A register value as the peer sends it: most significant byte first.
Bytes be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }

class ChipTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.add("Test Bridge (COM9)", pty_.slave_path());
    qd_discovery_reset();
    qd_chip_forget_id();
  }
  void TearDown() override {
    qd_bus_deinit();
    qd_discovery_reset();
    qd_chip_forget_id();
  }

  void open_chip(bool builtin) {
    if (builtin) port_table[0] = {9, 1, 0};
    int port = 9;
    ASSERT_EQ(qd_chip_open(&port), QD_OK);
    ASSERT_EQ(qd_uart_is_builtin(), builtin ? 1 : 0);
  }

  tsup::PtyPair pty_;
  tsup::PortDir dir_;
};

// The transfers a block of `length` bytes at `address` must make with a serial
// bridge: the peer's script and everything the tool sends.
struct Script {
  std::vector<PeerStep> steps;
  Bytes sent;
};

Script block_script(bool write, uint32_t address, const Bytes& data) {
  Script s;
  size_t offset = 0;
  do {
    uint16_t n = uint16_t(std::min<size_t>(1016, data.size() - offset));
    Bytes f = frame(write ? 3 : 2, n, address + uint32_t(offset), 0);
    append(s.sent, f);
    if (write) {
      s.steps.push_back({13, ACK});
      s.steps.push_back({n, ACK});
      append(s.sent, slice(data, offset, n));
    } else {
      Bytes reply = ACK;
      append(reply, slice(data, offset, n));
      s.steps.push_back({13, reply});
    }
    offset += n;
  } while (offset < data.size());
  return s;
}

TEST_F(ChipTest, BlocksMoveInPiecesAtConsecutiveAddresses) {
  open_chip(false);
  struct Case {
    uint16_t length;
    size_t pieces;
  } cases[] = {{0, 1}, {1, 1}, {1016, 1}, {1017, 2}, {65535, 65}};
  // The start lies just below a 64 KiB boundary, which the addresses must cross.
  const uint32_t address = 0x5FF00;
  for (const auto& c : cases) {
    for (bool write : {false, true}) {
      SCOPED_TRACE(testing::Message() << c.length << (write ? " write" : " read"));
      Bytes data = pattern(c.length);
      Script s = block_script(write, address, data);
      ASSERT_EQ(s.steps.size(), c.pieces * (write ? 2 : 1));
      tsup::ScriptedPeer peer(pty_, s.steps);
      Bytes buffer = write ? data : Bytes(c.length, 0xEE);
      int8_t status = write ? qd_chip_write_block(address, buffer.data(), c.length)
                            : qd_chip_read_block(address, buffer.data(), c.length);
      EXPECT_EQ(status, QD_OK);
      EXPECT_EQ(peer.finish(), s.sent);
      EXPECT_EQ(buffer, data);
    }
  }
}

TEST_F(ChipTest, AFailedPieceEndsTheBlock) {
  open_chip(false);
  const uint16_t length = 5 * 1016;
  const Bytes data = pattern(length);
  for (bool write : {false, true}) {
    SCOPED_TRACE(write ? "write" : "read");
    // Two pieces go through; the third frame gets a wrong acknowledgement.
    Script s = block_script(write, 0x60000, data);
    std::vector<PeerStep> steps(s.steps.begin(), s.steps.begin() + (write ? 4 : 2));
    steps.push_back({13, NAK});
    Bytes expected_sent;
    for (int i = 0; i < 3; ++i) {
      append(expected_sent, frame(write ? 3 : 2, 1016, 0x60000 + 1016 * i, 0));
      if (write && i < 2) append(expected_sent, slice(data, 1016 * i, 1016));
    }

    tsup::ScriptedPeer peer(pty_, steps);
    Bytes buffer = write ? data : Bytes(length, 0xEE);
    testing::internal::CaptureStdout();
    int8_t status = write ? qd_chip_write_block(0x60000, buffer.data(), length)
                          : qd_chip_read_block(0x60000, buffer.data(), length);
    std::string out = tsup::mask_log_lines(testing::internal::GetCapturedStdout());

    EXPECT_EQ(status, QD_ERR_PORT);
    EXPECT_EQ(peer.finish(100), expected_sent);  // the fourth and fifth are not attempted
    EXPECT_EQ(out, write ? "(APP)(ERR)[qd_uart_write_block][#]write error (Error sending the block write command)\n\r"
                         : "(APP)(ERR)[qd_uart_read_block][#]write error (Error sending the block read command)\n\r");
    if (!write) {
      // The pieces before the failure stay done.
      EXPECT_EQ(slice(buffer, 0, 2032), slice(data, 0, 2032));
      EXPECT_EQ(buffer[2032], 0xEE);
    }
  }
}

TEST_F(ChipTest, ChipIdRevisionRules) {
  open_chip(false);
  struct Case {
    uint32_t id_reg;
    uint32_t rev_reg;
    uint32_t id;
  } cases[] = {
      {0x1002A0, 1, 0x1502A0}, {0x1002A0, 0, 0x1502A1}, {0x1002A0, 3, 0x1502A1},
      {0x1002B0, 3, 0x1502B0}, {0x1002B0, 4, 0x1502B1}, {0x1002B0, 1, 0x1502B2},
      {0x1002B0, 5, 0x1502B2}, {0x100000, 4, 0x150000}, {0x3F12B0, 4, 0x3512B0},
      {0x0000000, 1, 0x050000},
  };
  const Bytes id_frame = frame(0, 0, 0x1000, 0);
  const Bytes rev_frame = frame(0, 0, 0x13F4, 0);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.id_reg << " rev " << c.rev_reg);
    qd_chip_forget_id();
    Bytes id_reply = ACK, rev_reply = ACK;
    append(id_reply, be32(c.id_reg));
    append(rev_reply, be32(c.rev_reg));
    tsup::ScriptedPeer peer(pty_, {{13, id_reply}, {13, rev_reply}});
    EXPECT_EQ(qd_chip_get_id(), c.id);
    Bytes sent = id_frame;
    append(sent, rev_frame);
    EXPECT_EQ(peer.finish(), sent);
  }
}

TEST_F(ChipTest, ChipIdIsCachedOnlyWhenBothReadsSucceed) {
  open_chip(false);
  const Bytes id_frame = frame(0, 0, 0x1000, 0);
  const Bytes rev_frame = frame(0, 0, 0x13F4, 0);
  Bytes id_ok = ACK, rev_ok = ACK;
  append(id_ok, be32(0x1002B0));
  append(rev_ok, be32(4));
  Bytes both = id_frame;
  append(both, rev_frame);

  {  // The id register fails: the revision is not read.
    tsup::ScriptedPeer peer(pty_, {{13, NAK}});
    EXPECT_EQ(qd_chip_get_id(), 0u);
    EXPECT_EQ(peer.finish(), id_frame);
  }
  {  // The revision fails after a good id: still 0, and nothing is kept...
    tsup::ScriptedPeer peer(pty_, {{13, id_ok}, {13, NAK}});
    EXPECT_EQ(qd_chip_get_id(), 0u);
    EXPECT_EQ(peer.finish(), both);
  }
  {  // ...so the next call reads both registers again.
    tsup::ScriptedPeer peer(pty_, {{13, id_ok}, {13, rev_ok}});
    EXPECT_EQ(qd_chip_get_id(), 0x1502B1u);
    EXPECT_EQ(peer.finish(), both);
  }
  {  // From now on the id comes from the cache without any bus traffic.
    tsup::ScriptedPeer peer(pty_, {});
    EXPECT_EQ(qd_chip_get_id(), 0x1502B1u);
    EXPECT_EQ(peer.finish(100), Bytes{});
  }
}

TEST_F(ChipTest, ResetWaitsAlsoWhenTheWriteFails) {
  struct Case {
    bool builtin;
    Bytes answer;
    int8_t status;
    std::string out;
  } cases[] = {
      {true, {}, QD_OK, ""},
      {false, ACK, QD_OK, ""},
      {false, NAK, QD_ERR_PORT, "(APP)(ERR)[qd_uart_write_reg][#]write error\n\r"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.builtin << " " << int(c.status));
    qd_bus_deinit();
    qd_discovery_reset();
    open_chip(c.builtin);
    tsup::ScriptedPeer peer(pty_, {{13, c.answer}});
    testing::internal::CaptureStdout();
    auto t0 = std::chrono::steady_clock::now();
    int8_t status = qd_chip_reset();
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(tsup::mask_log_lines(testing::internal::GetCapturedStdout()), c.out);
    EXPECT_EQ(status, c.status);
    EXPECT_GE(ms, 50);
    EXPECT_EQ(peer.finish(), frame(1, 0, 0x1400, 0));
  }
}

// Round trips through the simulated module, for both peer kinds.
TEST(ChipOnSimulator, RegisterAndBlockRoundTrips) {
  for (auto kind : {orvex_sim::PeerKind::bridge, orvex_sim::PeerKind::builtin_uart}) {
    const bool builtin = kind == orvex_sim::PeerKind::builtin_uart;
    SCOPED_TRACE(builtin ? "built-in UART" : "serial bridge");
    tsup::PortDir dir;
    orvex_sim::SimConfig cfg;
    cfg.kind = kind;
    cfg.port_dir = dir.path();
    cfg.friendly_name = "Board Bridge (COM9)";
    cfg.chip_id = 0x1002B0;
    cfg.revision = 3;
    orvex_sim::Simulator sim(cfg);
    sim.start();

    qd_discovery_reset();
    qd_chip_forget_id();
    if (builtin) port_table[0] = {9, 1, 0};
    int port = 9;
    ASSERT_EQ(qd_chip_open(&port), QD_OK);

    EXPECT_EQ(qd_chip_get_id(), 0x1502B0u);

    EXPECT_EQ(qd_chip_write_reg(0xE0010, 0x89ABCDEF), QD_OK);
    uint32_t value = 0;
    EXPECT_EQ(qd_chip_read_reg_with_ret(0xE0010, &value), QD_OK);
    EXPECT_EQ(value, 0x89ABCDEFu);
    EXPECT_EQ(qd_chip_read_reg(0xE0010), 0x89ABCDEFu);

    // Three pieces, the last one short.
    const Bytes data = pattern(2500);
    EXPECT_EQ(qd_chip_write_block(0x60100, data.data(), uint16_t(data.size())), QD_OK);
    ASSERT_TRUE(sim.wait_idle());
    EXPECT_EQ(sim.memory(0x60100, data.size()), data);
    Bytes back(data.size(), 0);
    EXPECT_EQ(qd_chip_read_block(0x60100, back.data(), uint16_t(back.size())), QD_OK);
    EXPECT_EQ(back, data);

    uint64_t frames = 2 + 3 + 3 + 3;  // id and revision, write and two reads, 3 + 3 pieces
    if (!builtin) {
      // The bridge follows a rate change; both sides then talk at 500000.
      uart_config fast{500000};
      ASSERT_EQ(qd_chip_set_rate(&fast), QD_OK);
      ASSERT_EQ(qd_bus_reinit(&fast), QD_OK);
      EXPECT_EQ(sim.line_rate(), 500000u);
      EXPECT_EQ(qd_chip_read_reg(0xE0010), 0x89ABCDEFu);
      frames += 2;
    }

    ASSERT_TRUE(sim.wait_idle());
    auto st = sim.stats();
    EXPECT_EQ(st.frames, frames);
    EXPECT_EQ(st.malformed_frames, 0u);
    EXPECT_EQ(st.stray_bytes, 0u);

    qd_bus_deinit();
    qd_discovery_reset();
    qd_chip_forget_id();
  }
}

}  // namespace
