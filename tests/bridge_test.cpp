// Byte-exact exchanges of the bridge protocol against a peer scripted on a
// pty, for both peer kinds: what goes out, what is read back, what is logged.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "common/status.h"
#include "port/discovery.h"
#include "port/port.h"
#include "support/scripted_peer.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using tsup::PeerStep;

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes pattern(size_t n, uint8_t seed = 3) {
  Bytes out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i * 7 + seed);
  return out;
}

const Bytes ACK = {0xAC};
const Bytes NAK = {0x00};

struct Outcome {
  int8_t status;
  Bytes sent;
  std::string out;  // stdout with line numbers masked
  double ms;
};

class BridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.add("Test Bridge (COM9)", pty_.slave_path());
    qd_discovery_reset();
  }
  void TearDown() override {
    qd_bus_deinit();
    qd_discovery_reset();
  }

  // Opens COM9 as a serial bridge or as the chip's built-in UART.
  void open_peer(bool builtin) {
    if (builtin) port_table[0] = {9, 1, 0};
    int port = 9;
    ASSERT_EQ(qd_uart_connect(&port), QD_OK);
    ASSERT_EQ(qd_uart_is_builtin(), builtin ? 1 : 0);
  }

  Outcome run(const std::vector<PeerStep>& steps, const std::function<int8_t()>& call) {
    tsup::ScriptedPeer peer(pty_, steps);
    testing::internal::CaptureStdout();
    auto t0 = std::chrono::steady_clock::now();
    int8_t status = call();
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    std::string out = tsup::mask_log_lines(testing::internal::GetCapturedStdout());
    return {status, peer.finish(), out, ms};
  }

  tsup::PtyPair pty_;
  tsup::PortDir dir_;
};

TEST_F(BridgeTest, SyncTellsThePeerKindApart) {
  struct Case {
    Bytes answer;
    int8_t result;
    std::string out;
  } cases[] = {
      {{0x5A}, 1, "(APP)(INFO)Built-in ORVEX310 UART Found\n\r"},
      {{0x5B}, 0, "(APP)(INFO)ORVEX310 Serial Bridge Found\n\r"},
      {{0x00}, QD_ERR_SYNC, ""},
      {{0x12}, QD_ERR_SYNC, ""},  // an echo of the sync byte is no answer
      {{}, QD_ERR_PORT, ""},
  };
  open_peer(false);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer.empty() ? -1 : c.answer[0]);
    auto r = run({{1, c.answer}}, [] { return qd_uart_sync_cmd(); });
    EXPECT_EQ(r.status, c.result);
    EXPECT_EQ(r.sent, Bytes{0x12});
    EXPECT_EQ(r.out, c.out);
  }
}

// The rest of the rows use the frames and answers as the peer kinds send them.
struct RegCase {
  const char* name;
  bool builtin;
  bool write;
  uint32_t address;
  uint32_t value;  // written, or expected back
  Bytes answer;
  int8_t status;
  Bytes frame;
  std::string out;
};

TEST_F(BridgeTest, RegisterExchanges) {
  const Bytes RD_1000 = {0xA5, 0x00, 0x10, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  const Bytes RD_13F4 = {0xA5, 0x00, 0xE7, 0x00, 0x00, 0xF4, 0x13, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  const Bytes WR_1400 = {0xA5, 0x01, 0x15, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  const Bytes WR_108C = {0xA5, 0x01, 0x94, 0x00, 0x00, 0x8C, 0x10, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00};
  const std::string WRITE_ERR = "(APP)(ERR)[qd_uart_write_reg][#]write error\n\r";
  const RegCase cases[] = {
      {"bridge read", false, false, 0x1000, 0x1002B0, {0xAC, 0x00, 0x10, 0x02, 0xB0}, QD_OK, RD_1000, ""},
      {"builtin read", true, false, 0x1000, 0x1002B0, {0x00, 0x10, 0x02, 0xB0}, QD_OK, RD_1000, ""},
      {"builtin read, revision", true, false, 0x13F4, 0x00000004, {0x00, 0x00, 0x00, 0x04}, QD_OK, RD_13F4, ""},
      // Failed reads leave the frame buffer's first bytes as the value, silently.
      {"bridge read, wrong ack", false, false, 0x1000, 0x00001000, {0x00}, QD_ERR_PORT, RD_1000, ""},
      {"bridge read, silent", false, false, 0x1000, 0xA5001000, {}, QD_ERR_PORT, RD_1000, ""},
      {"bridge read, short value", false, false, 0x1000, 0x11221000, {0xAC, 0x11, 0x22}, QD_ERR_PORT, RD_1000, ""},
      {"builtin read, short value", true, false, 0x1000, 0x00101000, {0x00, 0x10}, QD_ERR_PORT, RD_1000, ""},
      {"bridge write", false, true, 0x1400, 0, ACK, QD_OK, WR_1400, ""},
      {"builtin write", true, true, 0x108C, 9, {}, QD_OK, WR_108C, ""},
      {"bridge write, wrong ack", false, true, 0x1400, 0, NAK, QD_ERR_PORT, WR_1400, WRITE_ERR},
      // A built-in UART taken for a bridge never acknowledges.
      {"bridge write, silent", false, true, 0x108C, 9, {}, QD_ERR_PORT, WR_108C, WRITE_ERR},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qd_bus_deinit();
    qd_discovery_reset();
    open_peer(c.builtin);
    uint32_t value = 0xDEADBEEF;
    auto r = run({{13, c.answer}}, [&] {
      return c.write ? qd_uart_write_reg(c.address, c.value) : qd_uart_read_reg_with_ret(c.address, &value);
    });
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.sent, c.frame);
    EXPECT_EQ(r.out, c.out);
    if (!c.write) {
      EXPECT_EQ(value, c.value);
    }
    // The built-in UART's write returns without waiting for any answer.
    if (c.builtin && c.write) {
      EXPECT_LT(r.ms, 80);
    }
    // A silent peer costs one read time-out, not more.
    if (c.answer.empty() && c.status != QD_OK) {
      EXPECT_GE(r.ms, 90);
      EXPECT_LT(r.ms, 1000);
    }
  }
}

TEST_F(BridgeTest, BytesAfterAWrongAckAreLeftForTheNextExchange) {
  open_peer(false);
  // The value bytes following a wrong acknowledgement are not read, nothing
  // is drained: the next read takes them as its answer without a new reply.
  uint32_t first_value = 0;
  auto first = run({{13, {0x00, 0xAC, 0x12, 0x34, 0x56, 0x78}}},
                   [&] { return qd_uart_read_reg_with_ret(0x1000, &first_value); });
  EXPECT_EQ(first.status, QD_ERR_PORT);
  uint32_t second = 0;
  auto r = run({{13, {}}}, [&] {
    second = qd_uart_read_reg(0x13F4);
    return QD_OK;
  });
  EXPECT_EQ(second, 0x12345678u);
  EXPECT_EQ(r.out, "");
}

struct BlockCase {
  const char* name;
  bool builtin;
  bool write;
  uint32_t address;
  uint16_t length;
  std::vector<PeerStep> steps;
  int8_t status;
  Bytes sent;
  std::string out;
};

TEST_F(BridgeTest, BlockExchanges) {
  const Bytes RD_60000 = {0xA5, 0x02, 0xFF, 0xF8, 0x03, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00};
  const Bytes RD_60000_EMPTY = {0xA5, 0x02, 0x04, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00};
  const Bytes RD_60000_20 = {0xA5, 0x02, 0x10, 0x14, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00};
  const Bytes WR_E0000 = {0xA5, 0x03, 0x19, 0x14, 0x00, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x00};
  const Bytes big = pattern(1016);
  const Bytes data = pattern(20);
  const Bytes part = Bytes(data.begin(), data.begin() + 10);
  const std::string READ_CMD_ERR =
      "(APP)(ERR)[qd_uart_read_block][#]write error (Error sending the block read command)\n\r";
  const std::string READ_ERR = "(APP)(ERR)[qd_uart_read_block][#]read error\n\r";
  const std::string WRITE_CMD_ERR =
      "(APP)(ERR)[qd_uart_write_block][#]write error (Error sending the block write command)\n\r";
  const std::string WRITE_ERR = "(APP)(ERR)[qd_uart_write_block][#]write error\n\r";
  const BlockCase cases[] = {
      {"bridge read", false, false, 0x60000, 1016, {{13, cat({ACK, big})}}, QD_OK, RD_60000, ""},
      {"builtin read", true, false, 0x60000, 1016, {{13, big}}, QD_OK, RD_60000, ""},
      {"bridge read of nothing", false, false, 0x60000, 0, {{13, ACK}}, QD_OK, RD_60000_EMPTY, ""},
      // The data after a wrong acknowledgement is not read.
      {"bridge read, wrong ack", false, false, 0x60000, 20, {{13, cat({NAK, data})}}, QD_ERR_PORT, RD_60000_20,
       READ_CMD_ERR},
      {"bridge read, silent", false, false, 0x60000, 20, {{13, {}}}, QD_ERR_PORT, RD_60000_20, READ_CMD_ERR},
      {"bridge read, short data", false, false, 0x60000, 20, {{13, cat({ACK, part})}}, QD_ERR_PORT, RD_60000_20,
       READ_ERR},
      {"builtin read, short data", true, false, 0x60000, 20, {{13, part}}, QD_ERR_PORT, RD_60000_20, READ_ERR},
      {"bridge write", false, true, 0xE0000, 20, {{13, ACK}, {20, ACK}}, QD_OK, cat({WR_E0000, data}), ""},
      {"builtin write", true, true, 0xE0000, 20, {{33, {}}}, QD_OK, cat({WR_E0000, data}), ""},
      // No data goes out before the frame is acknowledged.
      {"bridge write, wrong first ack", false, true, 0xE0000, 20, {{13, NAK}}, QD_ERR_PORT, WR_E0000, WRITE_CMD_ERR},
      {"bridge write, no first ack", false, true, 0xE0000, 20, {{13, {}}}, QD_ERR_PORT, WR_E0000, WRITE_CMD_ERR},
      {"bridge write, wrong second ack", false, true, 0xE0000, 20, {{13, ACK}, {20, NAK}}, QD_ERR_PORT,
       cat({WR_E0000, data}), WRITE_ERR},
      // A missing acknowledgement after the data fails without a line.
      {"bridge write, no second ack", false, true, 0xE0000, 20, {{13, ACK}, {20, {}}}, QD_ERR_PORT,
       cat({WR_E0000, data}), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    qd_bus_deinit();
    qd_discovery_reset();
    open_peer(c.builtin);
    Bytes buffer = c.write ? pattern(c.length) : Bytes(c.length, 0xEE);
    auto r = run(c.steps, [&] {
      return c.write ? qd_uart_write_block(c.address, buffer.data(), c.length)
                     : qd_uart_read_block(c.address, buffer.data(), c.length);
    });
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.sent, c.sent);
    EXPECT_EQ(r.out, c.out);
    if (!c.write && c.status == QD_OK) {
      EXPECT_EQ(buffer, pattern(c.length));
    }
  }
}

TEST_F(BridgeTest, LineRateChange) {
  const Bytes TO_500000 = {0xA5, 0x05, 0x83, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0xA1, 0x07, 0x00};
  const Bytes TO_115200 = {0xA5, 0x05, 0xC6, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC2, 0x01, 0x00};
  const std::string ERR = "(APP)(ERR)[qd_uart_reconfigure][#]write error\n\r";
  struct Case {
    bool builtin;
    uint32_t rate;
    Bytes answer;
    int8_t status;
    Bytes frame;
    std::string out;
  } cases[] = {
      {false, 500000, ACK, QD_OK, TO_500000, ""},
      {false, 115200, ACK, QD_OK, TO_115200, ""},
      {true, 500000, {}, QD_OK, TO_500000, ""},
      {false, 500000, NAK, QD_ERR_PORT, TO_500000, ERR},
      {false, 115200, {}, QD_ERR_PORT, TO_115200, ERR},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.rate << (c.builtin ? " builtin" : " bridge"));
    qd_bus_deinit();
    qd_discovery_reset();
    open_peer(c.builtin);
    uart_config cfg{c.rate};
    auto r = run({{13, c.answer}}, [&] { return qd_uart_reconfigure(&cfg); });
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.sent, c.frame);
    EXPECT_EQ(r.out, c.out);
  }
}

TEST_F(BridgeTest, FramesThatCannotBeWrittenAreReported) {
  open_peer(false);
  // Hang up the peer: every write on the port fails from now on. The master's
  // descriptor number is kept (pointing at /dev/null) for the pair to close.
  int null_fd = open("/dev/null", O_RDWR);
  ASSERT_GE(null_fd, 0);
  ASSERT_GE(dup2(null_fd, pty_.master()), 0);
  close(null_fd);

  uint8_t buffer[4] = {};
  uart_config cfg{500000};
  uint32_t value = 0;
  struct Case {
    const char* func;
    const char* message;
    std::function<int8_t()> call;
  } cases[] = {
      {"qd_uart_sync_cmd", "failed to send cfg bytes\n", [] { return qd_uart_sync_cmd(); }},
      {"qd_uart_read_reg_with_ret", "failed to send cfg bytes\n",
       [&] { return qd_uart_read_reg_with_ret(0x1000, &value); }},
      {"qd_uart_write_reg", "write error\n", [] { return qd_uart_write_reg(0x1400, 0); }},
      {"qd_uart_read_block", "write error\n", [&] { return qd_uart_read_block(0x60000, buffer, 4); }},
      {"qd_uart_write_block", "write error\n", [&] { return qd_uart_write_block(0xE0000, buffer, 4); }},
      {"qd_uart_reconfigure", "write error\n", [&] { return qd_uart_reconfigure(&cfg); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.func);
    testing::internal::CaptureStdout();
    int8_t status = c.call();
    std::string out = tsup::mask_log_lines(testing::internal::GetCapturedStdout());
    EXPECT_EQ(status, QD_ERR_PORT);
    // The port layer reports its own failure first; ours is the last line.
    std::string ours = std::string("(APP)(ERR)[") + c.func + "][#]" + c.message + "\r";
    ASSERT_GE(out.size(), ours.size());
    EXPECT_EQ(out.substr(out.size() - ours.size()), ours);
  }
  EXPECT_EQ(value, 0xA5001000u);  // the frame's own start
}

}  // namespace
