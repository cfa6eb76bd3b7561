// Kept apart from <termios.h>: the kernel's termios2 carries the rate as a
// plain number, which is how a pty shows whatever rate the other side chose.
#include "tty_line.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace orvex_sim {
namespace {

struct std_rate {
  uint32_t rate;
  tcflag_t code;
};
constexpr std_rate STD_RATES[] = {
    {9600, B9600},     {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200}, {230400, B230400},   {460800, B460800},   {500000, B500000},
    {921600, B921600}, {1000000, B1000000}, {2000000, B2000000},
};

void put_rate(termios2* t, uint32_t rate) {
  t->c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  tcflag_t code = BOTHER;
  for (const auto& r : STD_RATES)
    if (r.rate == rate) code = r.code;
  t->c_cflag |= code;
  t->c_ispeed = rate;
  t->c_ospeed = rate;
}

}  // namespace

bool tty_get_rate(int fd, uint32_t* rate) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  *rate = t.c_ospeed;
  return true;
}

bool tty_set_raw(int fd, uint32_t rate) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                      IXON | IXOFF | IXANY | INPCK);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  t.c_cflag |= CS8 | CREAD | CLOCAL;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  put_rate(&t, rate);
  return ioctl(fd, TCSETS2, &t) == 0;
}

bool tty_set_rate(int fd, uint32_t rate) {
  termios2 t{};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  put_rate(&t, rate);
  return ioctl(fd, TCSETS2, &t) == 0;
}

}  // namespace orvex_sim

namespace orvex_sim {
bool tty_drain(int fd) { return ioctl(fd, TCSBRK, 1) == 0; }
}  // namespace orvex_sim
