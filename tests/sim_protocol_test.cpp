// The simulated module's line: both peer kinds answering the exact frames,
// the line-rate rule, strict framing, the published port and the faults.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

#include "orvex_sim/simulator.h"
#include "sim_tool_side.h"
#include "support/test_support.h"

using namespace simtest;
using orvex_sim::PeerKind;
using orvex_sim::SimConfig;
using orvex_sim::Simulator;

namespace {

SimConfig config(PeerKind kind) {
  SimConfig c;
  c.kind = kind;
  return c;
}

Bytes counting(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
  return b;
}

struct KindCase {
  PeerKind kind;
  uint8_t sync_answer;
  bool acks;
};

class BothKinds : public ::testing::TestWithParam<KindCase> {};

// Every example exchange, byte for byte, for the kind under test.
TEST_P(BothKinds, ExampleFramesGetExactAnswers) {
  const KindCase k = GetParam();
  Simulator sim(config(k.kind));
  sim.start();
  ToolSide tool(sim.tty_path(), k.acks);
  const Bytes ack = k.acks ? Bytes{0xAC} : Bytes{};
  auto with_ack = [&](Bytes b) {
    b.insert(b.begin(), ack.begin(), ack.end());
    return b;
  };

  tool.send({0x12});
  EXPECT_EQ(tool.recv(1), Bytes{k.sync_answer});

  tool.send(hex("A5 00 10 00 00 00 10 00 00 00 00 00 00"));
  EXPECT_EQ(tool.recv(ack.size() + 4), with_ack(hex("00 10 02 A0")));

  // Block write of 20 bytes to 0xE0000: acknowledged after frame and after data.
  const Bytes twenty = counting(20, 1);
  tool.send(hex("A5 03 19 14 00 00 00 0E 00 00 00 00 00"));
  EXPECT_EQ(tool.recv(ack.size(), 200), ack);
  tool.send(twenty);
  EXPECT_EQ(tool.recv(ack.size(), 200), ack);
  ASSERT_TRUE(sim.wait_idle());
  EXPECT_EQ(sim.memory(0xE0000, 20), twenty);

  // Block read of 1016 bytes from 0x60000 returns what was put there.
  const Bytes piece = counting(1016, 3);
  ASSERT_TRUE(tool.write_block(0x60000, piece));
  tool.send(hex("A5 02 FF F8 03 00 00 06 00 00 00 00 00"));
  EXPECT_EQ(tool.recv(ack.size() + 1016), with_ack(piece));

  tool.send(hex("A5 01 94 00 00 8C 10 00 00 09 00 00 00"));
  EXPECT_EQ(tool.recv(ack.size(), 200), ack);
  ASSERT_TRUE(sim.wait_idle());
  EXPECT_EQ(sim.reg(0x108C), 9u);

  tool.send(hex("A5 01 15 00 00 00 14 00 00 00 00 00 00"));
  EXPECT_EQ(tool.recv(ack.size(), 200), ack);
  ASSERT_TRUE(sim.wait_idle());
  EXPECT_EQ(sim.stats().chip_resets, 1u);
  EXPECT_EQ(sim.reg(0x108C), 0u) << "reset clears the state register";

  EXPECT_TRUE(tool.extra().empty());
  EXPECT_EQ(sim.stats().malformed_frames, 0u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, BothKinds,
                         ::testing::Values(KindCase{PeerKind::bridge, 0x5B, true},
                                           KindCase{PeerKind::builtin_uart, 0x5A, false}),
                         [](const auto& info) { return info.param.acks ? "bridge" : "builtin_uart"; });

TEST(SimLine, BridgeObeysBothRateFramesAndIgnoresBytesAtTheWrongRate) {
  Simulator sim(config(PeerKind::bridge));
  sim.start();
  ToolSide tool(sim.tty_path());

  tool.send(hex("A5 05 83 00 00 00 00 00 00 20 A1 07 00"));
  EXPECT_EQ(tool.recv(1), Bytes{0xAC});
  ASSERT_TRUE(sim.wait_idle());
  EXPECT_EQ(sim.line_rate(), 500000u);

  // The tool has not followed yet: its bytes are garbage to the bridge.
  tool.send({0x12});
  tool.send(frame(0, 0, 0x1000, 0));
  EXPECT_TRUE(tool.extra(100).empty());
  EXPECT_EQ(sim.stats().ignored_bytes, 14u);

  tool.set_rate(500000);
  EXPECT_EQ(tool.read_reg(0x1000), 0x1002A0u);

  tool.send(hex("A5 05 C6 00 00 00 00 00 00 00 C2 01 00"));
  EXPECT_EQ(tool.recv(1), Bytes{0xAC});
  ASSERT_TRUE(sim.wait_idle());
  EXPECT_EQ(sim.line_rate(), 115200u);
  tool.set_rate(115200);
  EXPECT_EQ(tool.read_reg(0x13F4), 1u);
  EXPECT_EQ(sim.stats().rate_changes, 2u);
}

TEST(SimLine, BuiltinUartRefusesTheRateCommand) {
  Simulator sim(config(PeerKind::builtin_uart));
  sim.start();
  ToolSide tool(sim.tty_path(), false);
  tool.send(hex("A5 05 83 00 00 00 00 00 00 20 A1 07 00"));
  EXPECT_TRUE(tool.extra().empty());
  ASSERT_TRUE(sim.wait_idle());
  EXPECT_EQ(sim.line_rate(), 115200u);
  EXPECT_EQ(sim.stats().malformed_frames, 1u);
}

TEST(SimLine, MalformedFramesAreRecordedAndNotAnswered) {
  struct Case {
    const char* name;
    Bytes bytes;
    uint64_t malformed;
    uint64_t stray;
  };
  Bytes bad_sum = frame(0, 0, 0x1000, 0);
  bad_sum[2] ^= 0x01;
  Bytes unknown = frame(4, 0, 0x1000, 0);
  Bytes reg_with_length = frame(0, 4, 0x1000, 0);
  Bytes rate_zero = frame(5, 0, 0, 0);
  const Case cases[] = {
      {"bad checksum", bad_sum, 1, 0},
      {"unknown command", unknown, 1, 0},
      {"length on a register read", reg_with_length, 1, 0},
      {"line rate 0", rate_zero, 1, 0},
      {"stray bytes", {0x00, 0x5B, 0xAC}, 0, 3},
      {"frame cut short", {0xA5, 0x00, 0x10, 0x00}, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimConfig cfg = config(PeerKind::bridge);
    cfg.partial_timeout_ms = 40;
    Simulator sim(cfg);
    sim.start();
    ToolSide tool(sim.tty_path());
    tool.send(c.bytes);
    // Well past the unfinished-frame timeout, with room for a loaded machine.
    EXPECT_TRUE(tool.extra(250).empty());
    // The peer is back in step: the next good frame is answered.
    EXPECT_EQ(tool.read_reg(0x1000), 0x1002A0u);
    auto s = sim.stats();
    EXPECT_EQ(s.malformed_frames, c.malformed);
    EXPECT_EQ(s.stray_bytes, c.stray);
    EXPECT_EQ(s.frames, 1u);
    if (c.malformed) {
      ASSERT_EQ(s.malformed.size(), 1u);
      EXPECT_EQ(s.malformed[0], c.bytes);
    }
  }
}

TEST(SimLine, BlockDataCutShortWritesNothing) {
  SimConfig cfg = config(PeerKind::bridge);
  cfg.partial_timeout_ms = 40;
  Simulator sim(cfg);
  sim.start();
  ToolSide tool(sim.tty_path());
  tool.send(frame(3, 8, 0xE0000, 0));
  EXPECT_EQ(tool.recv(1), Bytes{0xAC});
  tool.send({1, 2, 3});
  EXPECT_TRUE(tool.extra(250).empty());
  EXPECT_EQ(sim.memory(0xE0000, 3), Bytes(3, 0));
  EXPECT_EQ(sim.stats().malformed_frames, 1u);
  EXPECT_EQ(tool.read_reg(0x1000), 0x1002A0u);
}

TEST(SimLine, PortIsPublishedReopenableAndRemovedAtStop) {
  tsup::TempDir dir;
  SimConfig c = config(PeerKind::bridge);
  c.port_dir = dir.path();
  c.friendly_name = "Board Bridge (COM9)";
  std::string link = dir.file("Board Bridge (COM9)");
  {
    Simulator sim(c);
    sim.start();
    EXPECT_EQ(sim.port_path(), link);
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), sim.tty_path());
    for (int i = 0; i < 5; ++i) {
      ToolSide tool(link);
      tool.send({0x12});
      EXPECT_EQ(tool.recv(1), Bytes{0x5B}) << "open " << i;
    }
    { ToolSide unused(link); }  // an open test: no traffic
    ASSERT_TRUE(sim.wait_idle());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto s = sim.stats();
    EXPECT_EQ(s.port_opens, 6u);
    EXPECT_EQ(s.port_closes, 6u);
    EXPECT_DOUBLE_EQ(s.fixed_pauses_s, 0.5) << "only used ports cost the close pause";
  }
  struct stat st;
  EXPECT_NE(lstat(link.c_str(), &st), 0);
}

TEST(SimLine, AnswersInFlightWhenThePortClosesAreLost) {
  SimConfig cfg = config(PeerKind::bridge);
  cfg.timing = true;  // 4001 bytes at 115200 take about 350 ms
  Simulator sim(cfg);
  sim.start();
  {
    ToolSide tool(sim.tty_path());
    tool.send(frame(2, 4000, 0x60000, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ToolSide again(sim.tty_path());
  EXPECT_TRUE(again.extra(400).empty());
  again.send({0x12});
  EXPECT_EQ(again.recv(1), Bytes{0x5B});
}

TEST(SimLine, SilentPeerNeverAnswers) {
  Simulator sim(config(PeerKind::silent));
  sim.start();
  ToolSide tool(sim.tty_path());
  tool.send({0x12});
  tool.send(frame(0, 0, 0x1000, 0));
  EXPECT_TRUE(tool.extra(100).empty());
  EXPECT_EQ(sim.stats().bytes_in, 14u);
}

TEST(SimFaults, AcknowledgementSilenceAndByteFaults) {
  struct Case {
    const char* name;
    void (*set)(orvex_sim::Faults&);
    Bytes expected;  // answers to: sync, read 0x1000, write 5 to 0xE0000, read 0xE0000
  };
  const Bytes normal = hex("5B AC 00 10 02 A0 AC AC 00 00 00 05");
  const Case cases[] = {
      {"none", [](orvex_sim::Faults&) {}, normal},
      // The refused write leaves the word at 0.
      {"wrong ack at frame 2", [](orvex_sim::Faults& f) { f.wrong_ack_at_frame = 2; },
       hex("5B AC 00 10 02 A0 EE AC 00 00 00 00")},
      {"silent after 2 frames", [](orvex_sim::Faults& f) { f.silent_after_frames = 2; },
       hex("5B AC 00 10 02 A0 AC")},
      {"corrupt byte 4", [](orvex_sim::Faults& f) { f.corrupt_byte_at = 4; },
       hex("5B AC 00 EF 02 A0 AC AC 00 00 00 05")},
      {"drop byte 2", [](orvex_sim::Faults& f) { f.drop_byte_at = 2; },
       hex("5B 00 10 02 A0 AC AC 00 00 00 05")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SimConfig cfg = config(PeerKind::bridge);
    c.set(cfg.faults);
    Simulator sim(cfg);
    sim.start();
    ToolSide tool(sim.tty_path());
    tool.send({0x12});
    tool.send(frame(0, 0, 0x1000, 0));
    Bytes got = tool.recv(6, 300);
    tool.send(frame(1, 0, 0xE0000, 5));
    Bytes more = tool.recv(1, 300);
    got.insert(got.end(), more.begin(), more.end());
    tool.send(frame(0, 0, 0xE0000, 0));
    more = tool.extra(150);
    got.insert(got.end(), more.begin(), more.end());
    EXPECT_EQ(got, c.expected);
  }
}

TEST(SimFaults, CorruptedBlockDataIsStoredAsReceived) {
  SimConfig cfg = config(PeerKind::bridge);
  cfg.faults.corrupt_data_byte_at = 3;
  Simulator sim(cfg);
  sim.start();
  ToolSide tool(sim.tty_path());
  ASSERT_TRUE(tool.write_block(0xE0000, {1, 2, 3, 4}));
  ASSERT_TRUE(tool.write_block(0xE0004, {5, 6}));  // counted across blocks: no second fault
  ASSERT_TRUE(sim.wait_idle());
  EXPECT_EQ(sim.memory(0xE0000, 6), (Bytes{1, 2, 0xFC, 4, 5, 6}));
}

TEST(SimFaults, WrongAcknowledgementOfTheRateChangeKeepsTheRate) {
  SimConfig cfg = config(PeerKind::bridge);
  cfg.faults.wrong_ack_at_rate_change = true;
  cfg.faults.wrong_ack_byte = 0x00;
  Simulator sim(cfg);
  sim.start();
  ToolSide tool(sim.tty_path());
  tool.send(hex("A5 05 83 00 00 00 00 00 00 20 A1 07 00"));
  EXPECT_EQ(tool.recv(1), Bytes{0x00});
  ASSERT_TRUE(sim.wait_idle());
  EXPECT_EQ(sim.line_rate(), 115200u);
  EXPECT_EQ(tool.read_reg(0x1000), 0x1002A0u);
}

TEST(SimFaults, HangupAfterBytesEndsTheLine) {
  SimConfig cfg = config(PeerKind::bridge);
  cfg.faults.hangup_after_bytes = 14;
  Simulator sim(cfg);
  sim.start();
  ToolSide tool(sim.tty_path());
  tool.send({0x12});
  EXPECT_EQ(tool.recv(1), Bytes{0x5B});
  tool.send(frame(0, 0, 0x1000, 0));  // byte 14 is the last the module takes
  ASSERT_TRUE(sim.wait_idle());
  // The far end is gone: the port reports a hang-up instead of answers.
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(tool.extra(100).empty());
  EXPECT_FALSE(tool.send(frame(0, 0, 0x1000, 0)));
  EXPECT_EQ(sim.stats().bytes_in, 14u);
}

}  // namespace
