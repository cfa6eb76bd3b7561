// The serial line on real pseudo-terminals: the test plays the peer on the
// master side and publishes the slave as a COM port through ORVEX_PORT_DIR.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <numeric>
#include <thread>

#include <gtest/gtest.h>

#include "common/status.h"
#include "port/port.h"
#include "support/test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

termios slave_settings(const tsup::PtyPair& pty) {
  termios t{};
  EXPECT_EQ(tcgetattr(pty.slave(), &t), 0);
  return t;
}

void expect_same_settings(const termios& a, const termios& b) {
  EXPECT_EQ(a.c_iflag, b.c_iflag);
  EXPECT_EQ(a.c_oflag, b.c_oflag);
  EXPECT_EQ(a.c_cflag, b.c_cflag);
  EXPECT_EQ(a.c_lflag, b.c_lflag);
  EXPECT_EQ(0, std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc));
  EXPECT_EQ(cfgetispeed(&a), cfgetispeed(&b));
  EXPECT_EQ(cfgetospeed(&a), cfgetospeed(&b));
}

// A cooked, 7E2, 9600 baud line with every kind of flow control on: nothing
// of it may survive the open, and all of it must come back at the close.
void set_unusual_settings(const tsup::PtyPair& pty) {
  termios t = slave_settings(pty);
  t.c_iflag |= IXON | IXOFF | ICRNL | INPCK;
  t.c_oflag |= OPOST | ONLCR;
  t.c_lflag |= ICANON | ECHO | ISIG;
  t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB | CSTOPB | CRTSCTS;
  cfsetispeed(&t, B9600);
  cfsetospeed(&t, B9600);
  ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &t), 0);
}

class SerialPort : public ::testing::Test {
 protected:
  void SetUp() override { dir.add("Test Bridge (COM9)", pty.slave_path()); }
  void TearDown() override { qd_uart_deinit(); }

  tsup::PortDir dir;
  tsup::PtyPair pty;
};

TEST_F(SerialPort, OpenGivesRawLineWithoutAnyFlowControl) {
  dir.add("KAVO Virtual COM Port (COM7)", pty.slave_path());
  set_unusual_settings(pty);
  termios seen[2];
  for (uint8_t debugger : {0, 1}) {
    SCOPED_TRACE(static_cast<int>(debugger));
    ASSERT_EQ(qd_uart_init(debugger ? 7 : 9, debugger), QD_OK);
    termios t = slave_settings(pty);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | INPCK), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    seen[debugger] = t;
    ASSERT_EQ(qd_uart_deinit(), QD_OK);
  }
  // The debugger's port differs only in DTR, which a pseudo-terminal lacks.
  expect_same_settings(seen[0], seen[1]);
}

TEST_F(SerialPort, EveryByteValueCrossesBothWays) {
  dir.add("KAVO Virtual COM Port (COM7)", pty.slave_path());
  for (uint8_t port : {7, 9}) {
    SCOPED_TRACE(static_cast<int>(port));
    ASSERT_EQ(qd_uart_init(port, port == 7), QD_OK);
    std::vector<uint8_t> all(256);
    std::iota(all.begin(), all.end(), 0);

    bus_transfer out{all.data(), 256};
    ASSERT_EQ(qd_bus_ioctl(BUS_IOCTL_WRITE, &out), QD_OK);
    EXPECT_EQ(pty.recv(256), all);

    std::vector<uint8_t> in(256, 0xEE);
    pty.send(all);
    bus_transfer back{in.data(), 256};
    ASSERT_EQ(qd_bus_ioctl(BUS_IOCTL_READ, &back), QD_OK);
    EXPECT_EQ(in, all);
    ASSERT_EQ(qd_uart_deinit(), QD_OK);
  }
}

TEST_F(SerialPort, InputBeforeOpenIsDiscarded) {
  pty.send({0xAA, 0xBB});
  usleep(20000);
  ASSERT_EQ(qd_uart_init(9, 0), QD_OK);
  uint8_t b = 0;
  EXPECT_EQ(qd_uart_read(&b, 1), QD_ERR_PORT);
}

TEST_F(SerialPort, ShortReadFailsAfterOneTimeoutWithBytesInPlace) {
  ASSERT_EQ(qd_uart_init(9, 0), QD_OK);
  pty.send({1, 2, 3});
  uint8_t buf[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  bus_transfer t{buf, 5};
  auto t0 = Clock::now();
  EXPECT_EQ(qd_bus_ioctl(BUS_IOCTL_READ, &t), QD_ERR_PORT);
  double took = ms_since(t0);
  EXPECT_GE(took, 90);
  EXPECT_LT(took, 300);
  const uint8_t want[6] = {1, 2, 3, 0xEE, 0xEE, 0xEE};
  EXPECT_EQ(0, std::memcmp(buf, want, sizeof buf));
}

TEST_F(SerialPort, ReadOfNothingReturnsAtOnce) {
  bus_transfer t{nullptr, 0};
  EXPECT_EQ(qd_bus_ioctl(BUS_IOCTL_READ, &t), QD_OK);  // no port needed
  ASSERT_EQ(qd_uart_init(9, 0), QD_OK);
  pty.send({0x42});
  uint8_t b = 0;
  auto t0 = Clock::now();
  EXPECT_EQ(qd_uart_read(&b, 0), QD_OK);
  EXPECT_LT(ms_since(t0), 20);
  EXPECT_EQ(qd_uart_read(&b, 1), QD_OK);  // the byte is still there
  EXPECT_EQ(b, 0x42);
}

TEST_F(SerialPort, PeerHangUpFailsTheReadAtOnce) {
  ASSERT_EQ(qd_uart_init(9, 0), QD_OK);
  pty.close_master();
  std::vector<uint8_t> buf(1000);
  auto t0 = Clock::now();
  EXPECT_EQ(qd_uart_read(buf.data(), 1000), QD_ERR_PORT);
  EXPECT_LT(ms_since(t0), 150);  // not one time-out per byte
}

TEST_F(SerialPort, UnknownBusCommandIsRefusedWithoutIo) {
  ASSERT_EQ(qd_uart_init(9, 0), QD_OK);
  uint8_t buf[4] = {1, 2, 3, 4};
  bus_transfer t{buf, 4};
  testing::internal::CaptureStdout();
  int8_t st = qd_bus_ioctl(2, &t);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(st, QD_ERR_PORT);
  EXPECT_EQ(tsup::mask_log_lines(out), "(APP)(ERR)[qd_bus_ioctl][#]invalide ioclt cmd\n\r");
  EXPECT_TRUE(pty.drain().empty());
}

TEST_F(SerialPort, WriteLargerThanTheLineBufferCompletesWhileThePeerReads) {
  ASSERT_EQ(qd_uart_init(9, 0), QD_OK);
  uart_config fast{3000000};  // keeps the wire time of the block short
  ASSERT_EQ(qd_uart_reinit(&fast), QD_OK);
  std::vector<uint8_t> block(30000);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + i / 256);
  std::vector<uint8_t> got;
  std::thread peer([&] { got = pty.recv(block.size(), 3000); });
  EXPECT_EQ(qd_uart_write(block.data(), static_cast<int>(block.size())), QD_OK);
  peer.join();
  EXPECT_EQ(got, block);
}

TEST_F(SerialPort, WriteThePeerNeverTakesFailsWithinBudget) {
  ASSERT_EQ(qd_uart_init(9, 0), QD_OK);
  std::vector<uint8_t> block(65535, 0x55);
  testing::internal::CaptureStdout();
  int8_t st = QD_OK;
  auto t0 = Clock::now();
  // The peer reads nothing: once the line's buffers are full, a write cannot
  // complete and must not be reported as done.
  for (int i = 0; i < 64 && st == QD_OK; ++i) {
    t0 = Clock::now();
    st = qd_uart_write(block.data(), 65535);
  }
  double took = ms_since(t0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(st, QD_ERR_PORT);
  EXPECT_LT(took, 300);
  EXPECT_EQ(tsup::mask_log_lines(out), "(APP)(ERR)[qd_uart_write][#]Error writing to PORT\n\r");
}

TEST_F(SerialPort, CloseTwiceAndReopen) {
  ASSERT_EQ(qd_uart_init(9, 0), QD_OK);
  auto t0 = Clock::now();
  EXPECT_EQ(qd_bus_deinit(), QD_OK);
  EXPECT_GE(ms_since(t0), 95);  // the pause after restoring
  t0 = Clock::now();
  EXPECT_EQ(qd_uart_deinit(), QD_OK);
  EXPECT_LT(ms_since(t0), 20);
  // Lock and exclusive mode are gone with the close.
  ASSERT_EQ(qd_uart_init(9, 0), QD_OK);
  int other = open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(qd_uart_deinit(), QD_OK);
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  close(other);
}

TEST_F(SerialPort, OpeningAnotherPortReleasesTheFirst) {
  tsup::PtyPair second;
  dir.add("Other (COM4)", second.slave_path());
  set_unusual_settings(pty);
  termios before = slave_settings(pty);
  ASSERT_EQ(qd_uart_init(9, 0), QD_OK);
  ASSERT_EQ(qd_uart_init(4, 0), QD_OK);
  expect_same_settings(slave_settings(pty), before);
  int other = open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY);
  EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  close(other);
  uint8_t b = 0x5A;
  ASSERT_EQ(qd_uart_write(&b, 1), QD_OK);  // the new port is the current one
  EXPECT_EQ(second.recv(1), std::vector<uint8_t>{0x5A});
}

#if defined(__linux__) && defined(TCGETS2)
// The kernel's record with explicit speeds, to see rates without a constant.
struct termios2 {
  tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed, c_ospeed;
};
#endif

TEST_F(SerialPort, RateChangeTouchesOnlyTheRateAndCloseRestoresEverything) {
  set_unusual_settings(pty);
  termios before = slave_settings(pty);
  ASSERT_EQ(qd_uart_init(9, 0), QD_OK);
  termios opened = slave_settings(pty);

  uart_config fast{500000};
  ASSERT_EQ(qd_bus_reinit(&fast), QD_OK);
  termios t = slave_settings(pty);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B500000));
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B500000));
  cfsetispeed(&t, B115200);
  cfsetospeed(&t, B115200);
  expect_same_settings(t, opened);

#if defined(__linux__) && defined(TCGETS2)
  uart_config odd{250000};  // no speed constant for this one
  ASSERT_EQ(qd_uart_reinit(&odd), QD_OK);
  termios2 k{};
  ASSERT_EQ(ioctl(pty.slave(), TCGETS2, &k), 0);
  EXPECT_EQ(k.c_ospeed, 250000u);
  EXPECT_EQ(k.c_ispeed, 250000u);
#endif

  // Bytes still cross after the change.
  uint8_t b = 0x13;
  ASSERT_EQ(qd_uart_write(&b, 1), QD_OK);
  EXPECT_EQ(pty.recv(1), std::vector<uint8_t>{0x13});

  ASSERT_EQ(qd_uart_deinit(), QD_OK);
  expect_same_settings(slave_settings(pty), before);
}

TEST_F(SerialPort, RateChangeFailures) {
  struct Case {
    bool open;
    const uart_config* config;
    const char* out;
  };
  const uart_config fast{500000};
  const Case cases[] = {
      {true, nullptr, "(APP)(ERR)[qd_uart_reinit][#]NULL pointer\n\r"},
      {false, &fast, "(APP)(ERR)[qd_uart_reinit][#]Could not Set Port Settings\n\r"},
  };
  for (const Case& c : cases) {
    if (c.open) {
      ASSERT_EQ(qd_uart_init(9, 0), QD_OK);
    }
    testing::internal::CaptureStdout();
    EXPECT_EQ(qd_uart_reinit(c.config), QD_ERR_PORT);
    EXPECT_EQ(tsup::mask_log_lines(testing::internal::GetCapturedStdout()), c.out);
    qd_uart_deinit();
  }
}

TEST_F(SerialPort, PortHeldByAnotherProcessDoesNotOpen) {
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(release[1]);
    char c = qd_uart_init(9, 0) == QD_OK ? 'y' : 'n';
    (void)!write(ready[1], &c, 1);
    (void)!read(release[0], &c, 1);
    qd_uart_deinit();
    _exit(0);
  }
  close(release[0]);
  close(ready[1]);
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');

  testing::internal::CaptureStdout();
  int8_t st = qd_uart_init(9, 0);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(st, QD_ERR_PORT);
  EXPECT_EQ(tsup::mask_log_lines(out), "(APP)(ERR)[qd_uart_init][#]Could not open port\n\r");

  close(release[1]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(qd_uart_init(9, 0), QD_OK);  // free again
  close(ready[0]);
}

TEST_F(SerialPort, PortsThatCannotBeOpenedOrSetUp) {
  tsup::TempDir tmp;
  std::string plain_file = tmp.file("not_a_tty");
  tsup::write_file(plain_file, {1, 2, 3});
  dir.add("Gone (COM3)", tmp.file("missing"));
  dir.add("File (COM4)", plain_file);
  struct Case {
    uint8_t port;
    const char* out;
  };
  const Case cases[] = {
      {5, "(APP)(ERR)[qd_uart_init][#]Could not open port\n\r"},  // no such port
      {3, "(APP)(ERR)[qd_uart_init][#]Could not open port\n\r"},  // device gone
      {4, "(APP)(ERR)[qd_uart_init][#]Could not Set Port Settings\n\r"},  // not a serial line
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.port));
    testing::internal::CaptureStdout();
    EXPECT_EQ(qd_uart_init(c.port, 0), QD_ERR_PORT);
    EXPECT_EQ(tsup::mask_log_lines(testing::internal::GetCapturedStdout()), c.out);
  }
  // A port that failed its set-up is not left open and locked.
  int fd = open(plain_file.c_str(), O_RDONLY);
  EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  close(fd);
  uint8_t b = 0;
  testing::internal::CaptureStdout();
  EXPECT_EQ(qd_uart_write(&b, 1), QD_ERR_PORT);
  testing::internal::GetCapturedStdout();
}

TEST(SerialClock, SleepAndTick) {
  uint32_t t0 = qd_tick_ms();
  qd_sleep(30);
  uint32_t took = qd_tick_ms() - t0;
  EXPECT_GE(took, 30u);
  EXPECT_LT(took, 200u);
}

}  // namespace
