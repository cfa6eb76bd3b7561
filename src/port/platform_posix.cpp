// POSIX backend of the serial port layer.
//
// Ports carry COM numbers here too. With ORVEX_PORT_DIR set, the ports are
// that directory's entries (symlinks or device nodes), named by the device's
// friendly name, e.g. "Test Bridge (COM9)" -> /dev/pts/4, listed in byte
// order of the names. Otherwise they are the machine's serial devices backed
// by hardware (Linux sysfs), numbered COM1, COM2, ... in name order.
#include "port/platform.h"

#include "port/discovery.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(__linux__)
#include <linux/serial.h>
#endif

#if defined(__linux__) && defined(TCGETS2) && defined(TCSETS2)
#define QD_HAVE_TERMIOS2 1
// The kernel's termios with explicit speeds; not exported by the C library's
// headers, and the kernel's own header clashes with <termios.h>.
struct termios2 {
  tcflag_t c_iflag;
  tcflag_t c_oflag;
  tcflag_t c_cflag;
  tcflag_t c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed;
  speed_t c_ospeed;
};
#ifndef BOTHER
#define BOTHER 0010000
#endif
#ifndef IBSHIFT
#define IBSHIFT 16
#endif
#endif

struct plat_port {
  int fd = -1;
  bool have_settings = false;
  termios saved_tio{};
#ifdef QD_HAVE_TERMIOS2
  bool have_tio2 = false;
  termios2 saved_tio2{};
#endif
  bool have_modem = false;
  int saved_modem = 0;
  uint32_t baud_rate = 0;  // line rate in force, for the time a write takes on the wire
  bool low_latency_set = false;  // the driver's low-latency flag was turned on at open
  // Received bytes not yet handed out.
  uint8_t rx_buf[4096];
  size_t rx_len = 0;
  size_t rx_pos = 0;
};

// The port an interruption must put back and release: set once its settings
// are saved, cleared before it is closed.
static std::atomic<plat_port*> interrupt_port{nullptr};

namespace {

constexpr int IO_TIMEOUT_MS = 100;

struct listed_port {
  std::string friendly_name;
  std::string device;
};

int64_t now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool read_text_file(const std::string& path, std::string* out) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return false;
  char buf[256];
  size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  std::string s(buf, n);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  *out = s;
  return !s.empty();
}

bool exists(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0;
}

// ttyUSB2 before ttyUSB10: digit runs compare by value.
bool natural_less(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    unsigned char ca = static_cast<unsigned char>(a[i]);
    unsigned char cb = static_cast<unsigned char>(b[j]);
    if (ca >= '0' && ca <= '9' && cb >= '0' && cb <= '9') {
      size_t ei = i, ej = j;
      while (ei < a.size() && a[ei] >= '0' && a[ei] <= '9') ++ei;
      while (ej < b.size() && b[ej] >= '0' && b[ej] <= '9') ++ej;
      std::string na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
      na.erase(0, std::min(na.find_first_not_of('0'), na.size()));
      nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size()));
      if (na.size() != nb.size()) return na.size() < nb.size();
      if (na != nb) return na < nb;
      i = ei;
      j = ej;
    } else {
      if (ca != cb) return ca < cb;
      ++i;
      ++j;
    }
  }
  return (a.size() - i) < (b.size() - j);
}

bool list_port_dir(const char* dir, std::vector<listed_port>* out) {
  DIR* d = opendir(dir);
  if (!d) return false;
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    names.emplace_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());  // byte order
  for (const auto& n : names) out->push_back({n, std::string(dir) + "/" + n});
  return true;
}

// The USB interface string, else the USB product string, else the driver.
std::string sysfs_label(const std::string& tty_name) {
  std::string base = "/sys/class/tty/" + tty_name + "/device";
  char real[4096];
  std::string label;
  bool resolved = realpath(base.c_str(), real) != nullptr;
  if (resolved) {
    for (const char* attr : {"interface", "product"}) {
      std::string dir = real;
      for (int up = 0; up < 4 && dir.size() > 1; ++up) {
        if (read_text_file(dir + "/" + attr, &label)) return label;
        dir = dir.substr(0, dir.rfind('/'));
      }
    }
  }
  // The driver that owns the port, past the kernel's generic serial layer.
  std::string dir = resolved ? std::string(real) : base;
  for (int up = 0; up < 4 && dir.size() > 1; ++up) {
    char drv[4096];
    ssize_t n = readlink((dir + "/driver").c_str(), drv, sizeof drv - 1);
    if (n > 0) {
      drv[n] = '\0';
      const char* slash = std::strrchr(drv, '/');
      std::string name = slash ? slash + 1 : drv;
      if (name != "port" && name != "ctrl") return name;
    }
    dir = dir.substr(0, dir.rfind('/'));
  }
  return tty_name;
}

bool list_sysfs(std::vector<listed_port>* out) {
  DIR* d = opendir("/sys/class/tty");
  if (!d) return false;
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::string name = e->d_name;
    std::string dir = "/sys/class/tty/" + name;
    if (!exists(dir + "/device")) continue;  // virtual terminals, ptys
    // Fixed UART slots with no chip behind them report port type 0.
    std::string type;
    if (read_text_file(dir + "/type", &type) && type == "0") continue;
    names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end(), natural_less);
  unsigned n = 0;
  for (const auto& name : names) {
    ++n;
    out->push_back({sysfs_label(name) + " (COM" + std::to_string(n) + ")", "/dev/" + name});
  }
  return true;
}

bool list_all(std::vector<listed_port>* out) {
  const char* dir = std::getenv("ORVEX_PORT_DIR");
  if (dir && *dir) return list_port_dir(dir, out);
  return list_sysfs(out);
}

// Modem-control requests that the device does not support (a pseudo-terminal)
// are skipped rather than failing the open.
bool modem_ioctl(int fd, unsigned long req, int bits) {
  if (ioctl(fd, req, &bits) == 0) return true;
  return errno == ENOTTY || errno == EINVAL;
}

speed_t speed_constant(uint32_t baud) {
  switch (baud) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
#ifdef B460800
    case 460800: return B460800;
#endif
#ifdef B500000
    case 500000: return B500000;
#endif
#ifdef B576000
    case 576000: return B576000;
#endif
#ifdef B921600
    case 921600: return B921600;
#endif
#ifdef B1000000
    case 1000000: return B1000000;
#endif
#ifdef B1152000
    case 1152000: return B1152000;
#endif
#ifdef B1500000
    case 1500000: return B1500000;
#endif
#ifdef B2000000
    case 2000000: return B2000000;
#endif
#ifdef B3000000
    case 3000000: return B3000000;
#endif
    default: return B0;
  }
}

// USB serial adapters hold short answers back for a latency timer (16 ms on
// a common family) unless the driver is asked for low latency, and every
// request/answer exchange would pay it. Devices without the request (ptys,
// ACM modems) are left as they are.
void request_low_latency(plat_port* port) {
#if defined(__linux__) && defined(TIOCGSERIAL) && defined(TIOCSSERIAL) && defined(ASYNC_LOW_LATENCY)
  serial_struct ss{};
  if (ioctl(port->fd, TIOCGSERIAL, &ss) != 0 || (ss.flags & ASYNC_LOW_LATENCY)) return;
  ss.flags |= ASYNC_LOW_LATENCY;
  if (ioctl(port->fd, TIOCSSERIAL, &ss) == 0) port->low_latency_set = true;
#else
  (void)port;
#endif
}

}  // namespace

// Puts the flag back as it was before the open. System calls only.
static void restore_low_latency(const plat_port* port) {
#if defined(__linux__) && defined(TIOCGSERIAL) && defined(TIOCSSERIAL) && defined(ASYNC_LOW_LATENCY)
  if (!port->low_latency_set) return;
  serial_struct ss{};
  if (ioctl(port->fd, TIOCGSERIAL, &ss) != 0) return;
  ss.flags &= ~ASYNC_LOW_LATENCY;
  ioctl(port->fd, TIOCSSERIAL, &ss);
#else
  (void)port;
#endif
}

int plat_list_ports(plat_port_visit_fn visit, void* ctx) {
  std::vector<listed_port> ports;
  if (!list_all(&ports)) return 1;
  for (const auto& p : ports) {
    if (!visit(p.friendly_name.c_str(), ctx)) break;
  }
  return 0;
}

plat_port* plat_open(uint8_t number) {
  if (number == 0) return nullptr;
  std::vector<listed_port> ports;
  if (!list_all(&ports)) return nullptr;
  const listed_port* hit = nullptr;
  for (const auto& p : ports) {
    uint8_t n = 0;
    if (qd_port_name_number(p.friendly_name.c_str(), &n) && n == number) {
      hit = &p;
      break;
    }
  }
  if (!hit) return nullptr;
  // Non-blocking so that a modem line that never comes up cannot hang the open;
  // reads and writes wait with poll.
  int fd = open(hit->device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  // Exclusive: the lock holds between any two processes that take it, the
  // tty's exclusive mode also stops programs that do not lock.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return nullptr;
  }
  if (isatty(fd)) ioctl(fd, TIOCEXCL);
  plat_port* port = new plat_port;
  port->fd = fd;
  request_low_latency(port);
  return port;
}

bool plat_save_settings(plat_port* port) {
  if (!port || tcgetattr(port->fd, &port->saved_tio) != 0) return false;
  port->have_settings = true;
#ifdef QD_HAVE_TERMIOS2
  // The kernel's record keeps a rate that has no speed constant.
  port->have_tio2 = ioctl(port->fd, TCGETS2, &port->saved_tio2) == 0;
#endif
  int bits = 0;
  if (ioctl(port->fd, TIOCMGET, &bits) == 0) {
    port->have_modem = true;
    port->saved_modem = bits;
  } else if (errno != ENOTTY && errno != EINVAL) {
    return false;
  }
  interrupt_port.store(port);
  return true;
}

bool plat_apply_line_settings(plat_port* port, bool debugger_port) {
  termios t{};
  if (!port || tcgetattr(port->fd, &t) != 0) return false;
  // Raw binary line. No software flow control on any port: it would swallow
  // the 0x11 and 0x13 bytes of the protocol.
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                      IXON | IXOFF | IXANY | INPCK);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
#ifdef CRTSCTS
  t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
#endif
  t.c_cflag |= CS8 | CREAD | CLOCAL;
  // With the port non-blocking, VMIN 1 makes an empty read say EAGAIN, so
  // that 0 bytes read means the line hung up.
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  if (cfsetispeed(&t, B115200) != 0 || cfsetospeed(&t, B115200) != 0) return false;
  if (tcsetattr(port->fd, TCSANOW, &t) != 0) return false;
  port->baud_rate = 115200;
  if (!modem_ioctl(port->fd, debugger_port ? TIOCMBIS : TIOCMBIC, TIOCM_DTR)) return false;
  if (!modem_ioctl(port->fd, TIOCMBIC, TIOCM_RTS)) return false;
  // A freshly opened port starts empty: drop what arrived before.
  tcflush(port->fd, TCIFLUSH);
  return true;
}

// Time-outs are kept by the read and write calls themselves (poll).
bool plat_read_timeouts(plat_port* port) { return port != nullptr; }
bool plat_apply_timeouts(plat_port* port) { return port != nullptr; }

int plat_read_byte(plat_port* port, uint8_t* byte) {
  if (!port) return -1;
  // Bytes already taken from the line are handed out first; each byte still
  // waits at most 100 ms of its own.
  if (port->rx_pos < port->rx_len) {
    *byte = port->rx_buf[port->rx_pos++];
    return 1;
  }
  int64_t deadline = -1;
  for (;;) {
    ssize_t n = read(port->fd, port->rx_buf, sizeof port->rx_buf);
    if (n > 0) {
      port->rx_len = static_cast<size_t>(n);
      port->rx_pos = 1;
      *byte = port->rx_buf[0];
      return 1;
    }
    if (n == 0) return -1;  // hang-up
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    if (deadline < 0) deadline = now_ms() + IO_TIMEOUT_MS;
    int64_t left = deadline - now_ms();
    if (left <= 0) return 0;
    pollfd p{port->fd, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left));
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) return 0;
    if (!(p.revents & POLLIN)) return -1;  // hang-up or error without data
  }
}

// A write returns once its bytes have had their time on the wire, as a
// Windows write does: with no acknowledgement to wait for (built-in UART), a
// later read's time-out or a rate change must not overtake bytes still queued
// in the driver, the adapter or a pseudo-terminal.
static void wait_for_wire(const plat_port* port, const timespec& start, size_t size) {
  if (port->baud_rate == 0 || size == 0) return;
  int64_t ns = static_cast<int64_t>(size) * 10 * 1000000000LL / port->baud_rate;
  timespec until = start;
  until.tv_sec += static_cast<time_t>(ns / 1000000000LL);
  until.tv_nsec += static_cast<long>(ns % 1000000000LL);
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

bool plat_write_all(plat_port* port, const uint8_t* data, size_t size) {
  if (!port) return false;
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  int64_t deadline = now_ms() + IO_TIMEOUT_MS;
  size_t done = 0;
  while (done < size) {
    ssize_t n = write(port->fd, data + done, size - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return false;
    int64_t left = deadline - now_ms();
    if (left <= 0) return false;
    pollfd p{port->fd, POLLOUT, 0};
    int r = poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno != EINTR) return false;
    if (r > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(p.revents & POLLOUT)) return false;
  }
  wait_for_wire(port, start, size);
  return true;
}

bool plat_set_rate(plat_port* port, uint32_t baud_rate) {
  if (!port) return false;
  // Bytes still in the driver would otherwise leave at the new rate.
  tcdrain(port->fd);
  speed_t sp = speed_constant(baud_rate);
  if (sp != B0) {
    termios t{};
    if (tcgetattr(port->fd, &t) != 0) return false;
    if (cfsetispeed(&t, sp) != 0 || cfsetospeed(&t, sp) != 0) return false;
    if (tcsetattr(port->fd, TCSANOW, &t) != 0) return false;
    port->baud_rate = baud_rate;
    return true;
  }
#ifdef QD_HAVE_TERMIOS2
  if (baud_rate == 0) return false;
  termios2 t2{};
  if (ioctl(port->fd, TCGETS2, &t2) != 0) return false;
  t2.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  t2.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t2.c_ispeed = baud_rate;
  t2.c_ospeed = baud_rate;
  if (ioctl(port->fd, TCSETS2, &t2) != 0) return false;
  port->baud_rate = baud_rate;
  return true;
#else
  return false;
#endif
}

// System calls only: the interruption handler uses it too.
static void restore_saved(const plat_port* port) {
  restore_low_latency(port);
#ifdef QD_HAVE_TERMIOS2
  if (!port->have_tio2 || ioctl(port->fd, TCSETS2, &port->saved_tio2) != 0)
#endif
    tcsetattr(port->fd, TCSANOW, &port->saved_tio);
  if (port->have_modem) {
    int bits = port->saved_modem;
    ioctl(port->fd, TIOCMSET, &bits);
  }
}

void plat_restore_settings(plat_port* port) {
  if (!port || !port->have_settings) return;
  restore_saved(port);
}

static_assert(std::atomic<plat_port*>::is_always_lock_free, "used from a signal handler");

bool plat_close(plat_port* port) {
  if (!port) return true;
  plat_port* expected = port;
  interrupt_port.compare_exchange_strong(expected, nullptr);
  restore_low_latency(port);
  if (isatty(port->fd)) ioctl(port->fd, TIOCNXCL);  // the tty may outlive us
  flock(port->fd, LOCK_UN);
  bool ok = close(port->fd) == 0;
  delete port;
  return ok;
}

void plat_sleep_ms(uint32_t ms) {
  timespec req{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&req, &req) != 0 && errno == EINTR) {
  }
}

uint32_t plat_tick_ms() { return static_cast<uint32_t>(now_ms()); }

void plat_pause() {
  std::fputs("Press any key to continue . . . ", stdout);
  std::fflush(stdout);
  if (isatty(STDIN_FILENO)) {
    termios old{};
    if (tcgetattr(STDIN_FILENO, &old) == 0) {
      termios raw = old;
      // One key, no Enter, no echo; Ctrl-C is a key like any other so the
      // terminal is always put back.
      raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG);
      raw.c_cc[VMIN] = 1;
      raw.c_cc[VTIME] = 0;
      tcflush(STDIN_FILENO, TCIFLUSH);  // keys typed earlier do not count
      if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0) {
        unsigned char c;
        while (read(STDIN_FILENO, &c, 1) < 0 && errno == EINTR) {
        }
        tcsetattr(STDIN_FILENO, TCSANOW, &old);
        std::fputs("\n", stdout);
        std::fflush(stdout);
        return;
      }
    }
  }
  // Not a terminal: one byte, and end of input (or no input at all) ends it.
  std::getc(stdin);
  std::fputs("\n", stdout);
  std::fflush(stdout);
}

// Runs in the signal's context: system calls only. The settings go back
// before the close, the lock goes with the descriptor, and the process ends
// here rather than unwinding through layers that would go on using the line.
extern "C" void plat_on_interrupt(int sig) {
  plat_port* port = interrupt_port.exchange(nullptr);
  if (port) {
    restore_saved(port);
    ioctl(port->fd, TIOCNXCL);
    close(port->fd);
  }
  static const char message[] = PLAT_INTERRUPTED_MESSAGE;
  ssize_t n = write(STDOUT_FILENO, message, sizeof message - 1);
  (void)n;
  _exit(128 + sig);
}

void plat_set_interrupt_handler(bool on) {
  static const int SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
  for (int sig : SIGNALS) {
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) != 0) continue;
    // A tool started with the signal ignored (in the background, under nohup) keeps ignoring it.
    if (old.sa_handler == SIG_IGN) continue;
    struct sigaction act {};
    act.sa_handler = on ? plat_on_interrupt : SIG_DFL;
    sigemptyset(&act.sa_mask);
    for (int other : SIGNALS) sigaddset(&act.sa_mask, other);
    sigaction(sig, &act, nullptr);
  }
}
