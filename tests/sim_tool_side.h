// The tool's end of the line, written plainly for the simulator's tests:
// opens the module's port raw at 115200 and moves bytes and frames.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace simtest {

using Bytes = std::vector<uint8_t>;

inline Bytes hex(const std::string& text) {
  Bytes out;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return out;
}

// A frame built field by field (checksum over bytes 1..12 with byte 2 as 0).
inline Bytes frame(uint8_t cmd, uint16_t len, uint32_t addr, uint32_t value) {
  Bytes f = {0xA5, cmd, 0, static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8)};
  for (int i = 0; i < 4; ++i) f.push_back(static_cast<uint8_t>(addr >> (8 * i)));
  for (int i = 0; i < 4; ++i) f.push_back(static_cast<uint8_t>(value >> (8 * i)));
  uint8_t x = 0;
  for (int i = 1; i < 13; ++i) x ^= f[i];
  f[2] = x;
  return f;
}

inline void le32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

class ToolSide {
 public:
  explicit ToolSide(const std::string& path, bool bridge = true) : bridge_(bridge) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd_ < 0) throw std::runtime_error("cannot open " + path);
    termios t{};
    tcgetattr(fd_, &t);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    tcsetattr(fd_, TCSANOW, &t);
    tcflush(fd_, TCIFLUSH);
  }
  ~ToolSide() {
    if (fd_ >= 0) close(fd_);
  }
  ToolSide(const ToolSide&) = delete;
  ToolSide& operator=(const ToolSide&) = delete;

  void set_rate(uint32_t rate) {
    termios t{};
    tcgetattr(fd_, &t);
    speed_t s = rate == 500000 ? B500000 : rate == 230400 ? B230400 : B115200;
    cfsetispeed(&t, s);
    cfsetospeed(&t, s);
    tcsetattr(fd_, TCSANOW, &t);
  }

  bool send(const Bytes& b) { return write(fd_, b.data(), b.size()) == static_cast<ssize_t>(b.size()); }

  // Up to n bytes, waiting at most timeout_ms in all.
  Bytes recv(size_t n, int timeout_ms = 1000) {
    Bytes out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (out.size() < n) {
      int left = static_cast<int>(
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, left) <= 0) break;
      uint8_t buf[4096];
      size_t want = std::min(sizeof buf, n - out.size());
      ssize_t r = read(fd_, buf, want);
      if (r <= 0) break;
      out.insert(out.end(), buf, buf + r);
    }
    return out;
  }

  // Whatever arrives within quiet_ms (expected: nothing).
  Bytes extra(int quiet_ms = 60) { return recv(1 << 20, quiet_ms); }

  // The acknowledged or plain flows, as a serial bridge or built-in UART needs.
  bool ack() { return !bridge_ || recv(1) == Bytes{0xAC}; }
  bool write_reg(uint32_t addr, uint32_t value) { return send(frame(1, 0, addr, value)) && ack(); }
  uint32_t read_reg(uint32_t addr) {
    send(frame(0, 0, addr, 0));
    if (!ack()) return 0xDEADBEEF;
    Bytes v = recv(4);
    if (v.size() != 4) return 0xDEADBEEF;
    return static_cast<uint32_t>(v[0]) << 24 | v[1] << 16 | v[2] << 8 | v[3];
  }
  bool write_block(uint32_t addr, const Bytes& data) {
    for (size_t off = 0; off < data.size() || off == 0; off += 1016) {
      size_t n = std::min<size_t>(1016, data.size() - off);
      if (!send(frame(3, static_cast<uint16_t>(n), static_cast<uint32_t>(addr + off), 0)) || !ack()) return false;
      if (!send(Bytes(data.begin() + off, data.begin() + off + n)) || !ack()) return false;
      if (data.empty()) break;
    }
    return true;
  }
  Bytes read_block(uint32_t addr, uint16_t len) {
    send(frame(2, len, addr, 0));
    if (!ack()) return {};
    return recv(len);
  }

 private:
  int fd_ = -1;
  bool bridge_;
};

}  // namespace simtest
