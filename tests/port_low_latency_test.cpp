// The driver's low-latency flag on a real serial device: on while the tool
// holds the port, back as it was once the port is closed. Needs a serial
// device that answers the request (the machine's first UART) and the right
// to change its flags; skipped where there is none. Pseudo-terminals do not
// answer it, and every other test opens those without failing.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#ifdef __linux__
#include <linux/serial.h>
#endif

#include <gtest/gtest.h>

#include "port/platform.h"
#include "support/test_support.h"

namespace {

#if defined(__linux__) && defined(ASYNC_LOW_LATENCY)

constexpr const char* DEVICE = "/dev/ttyS0";

bool get_flags(int fd, int* flags) {
  serial_struct ss{};
  if (ioctl(fd, TIOCGSERIAL, &ss) != 0) return false;
  *flags = ss.flags;
  return true;
}

bool set_low_latency(int fd, bool on) {
  serial_struct ss{};
  if (ioctl(fd, TIOCGSERIAL, &ss) != 0) return false;
  ss.flags = on ? (ss.flags | ASYNC_LOW_LATENCY) : (ss.flags & ~ASYNC_LOW_LATENCY);
  return ioctl(fd, TIOCSSERIAL, &ss) == 0;
}

TEST(LowLatency, OnWhileOpenAndAsBeforeAfterTheClose) {
  int fd = open(DEVICE, O_RDWR | O_NOCTTY | O_NONBLOCK);
  int original = 0;
  if (fd < 0 || !get_flags(fd, &original) || !set_low_latency(fd, original & ASYNC_LOW_LATENCY)) {
    if (fd >= 0) close(fd);
    GTEST_SKIP() << DEVICE << " cannot be opened or does not take the low-latency request";
  }
  tsup::PortDir dir;
  dir.add("Board UART (COM7)", DEVICE);

  for (bool initially_on : {false, true}) {
    SCOPED_TRACE(initially_on ? "flag on before the open" : "flag off before the open");
    ASSERT_TRUE(set_low_latency(fd, initially_on));
    plat_port* port = plat_open(7);
    ASSERT_NE(port, nullptr);
    int flags = 0;
    ASSERT_TRUE(get_flags(fd, &flags));
    EXPECT_TRUE(flags & ASYNC_LOW_LATENCY) << "not asked for while open";
    EXPECT_TRUE(plat_close(port));
    ASSERT_TRUE(get_flags(fd, &flags));
    EXPECT_EQ(static_cast<bool>(flags & ASYNC_LOW_LATENCY), initially_on) << "not put back at close";
  }
  set_low_latency(fd, original & ASYNC_LOW_LATENCY);
  close(fd);
}

#endif

}  // namespace
