// A serial bridge with a chip behind it, played on the master side of a pty,
// whose register reads a test scripts read by read. Used only where the
// simulated module cannot show a case: a state that turns ready on exactly
// the n-th poll, a command that never ends, a read that fails mid-way.
#pragma once
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace fake {

using Bytes = std::vector<uint8_t>;

// Given the register address and how many reads of it came before (0 for
// the first), returns the value to answer, or nothing to stay silent (the
// tool's read then times out).
using ReadFn = std::function<std::optional<uint32_t>(uint32_t address, uint32_t earlier_reads)>;

class BridgeChip {
 public:
  explicit BridgeChip(ReadFn on_read) : on_read_(std::move(on_read)) {
    thread_ = std::thread([this] { run(); });
  }
  ~BridgeChip() {
    stop_ = true;
    thread_.join();
  }
  BridgeChip(const BridgeChip&) = delete;
  BridgeChip& operator=(const BridgeChip&) = delete;

  const std::string& path() const { return pty_.slave_path(); }

  uint32_t reads(uint32_t address) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = reads_.find(address);
    return it == reads_.end() ? 0 : it->second;
  }
  // Register writes in order, as (address, value).
  std::vector<std::pair<uint32_t, uint32_t>> reg_writes() {
    std::lock_guard<std::mutex> lock(mu_);
    return reg_writes_;
  }
  // Block writes in order, as (address, data).
  std::vector<std::pair<uint32_t, Bytes>> block_writes() {
    std::lock_guard<std::mutex> lock(mu_);
    return block_writes_;
  }

 private:
  static uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  }

  // Takes exactly n bytes from the line, unless the test is ending.
  bool take(uint8_t* out, size_t n) {
    size_t got = 0;
    while (got < n) {
      if (stop_) return false;
      pollfd p{pty_.master(), POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      ssize_t r = read(pty_.master(), out + got, n - got);
      if (r > 0) got += size_t(r);
    }
    return true;
  }

  void run() {
    uint8_t f[13];
    while (take(f, 1)) {
      if (f[0] != 0xA5) continue;
      if (!take(f + 1, 12)) return;
      const uint8_t cmd = f[1];
      const uint16_t length = uint16_t(f[3] | f[4] << 8);
      const uint32_t address = le32(f + 5), value = le32(f + 9);
      if (cmd == 0) {
        std::optional<uint32_t> v;
        {
          std::lock_guard<std::mutex> lock(mu_);
          v = on_read_(address, reads_[address]++);
        }
        if (v) pty_.send({0xAC, uint8_t(*v >> 24), uint8_t(*v >> 16), uint8_t(*v >> 8), uint8_t(*v)});
      } else if (cmd == 1) {
        {
          std::lock_guard<std::mutex> lock(mu_);
          reg_writes_.push_back({address, value});
        }
        pty_.send({0xAC});
      } else if (cmd == 2) {
        Bytes answer(size_t(length) + 1, 0);
        answer[0] = 0xAC;
        pty_.send(answer);
      } else if (cmd == 3) {
        pty_.send({0xAC});
        Bytes data(length);
        if (!take(data.data(), length)) return;
        {
          std::lock_guard<std::mutex> lock(mu_);
          block_writes_.push_back({address, data});
        }
        pty_.send({0xAC});
      } else if (cmd == 5) {
        pty_.send({0xAC});
      }
    }
  }

  tsup::PtyPair pty_;
  ReadFn on_read_;
  std::mutex mu_;
  std::map<uint32_t, uint32_t> reads_;
  std::vector<std::pair<uint32_t, uint32_t>> reg_writes_;
  std::vector<std::pair<uint32_t, Bytes>> block_writes_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace fake
