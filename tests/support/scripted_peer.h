// A peer played from a thread on the master side of a pty: for each step it
// waits for the given number of bytes from the tool, then sends its reply.
// Everything received is kept, so a test can compare it byte for byte.
#pragma once
#include <cstdint>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace tsup {

struct PeerStep {
  size_t expect;               // bytes the tool must send first
  std::vector<uint8_t> reply;  // then sent back (may be empty)
};

class ScriptedPeer {
 public:
  ScriptedPeer(const PtyPair& pty, std::vector<PeerStep> steps, int step_timeout_ms = 2000)
      : pty_(pty), steps_(std::move(steps)) {
    thread_ = std::thread([this, step_timeout_ms] {
      for (const auto& step : steps_) {
        auto got = pty_.recv(step.expect, step_timeout_ms);
        received_.insert(received_.end(), got.begin(), got.end());
        if (got.size() < step.expect) return;
        if (!step.reply.empty()) pty_.send(step.reply);
        ++steps_done_;
      }
    });
  }
  ~ScriptedPeer() { join(); }
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  // Waits for the script to end, then adds whatever else the tool sent.
  std::vector<uint8_t> finish(int idle_ms = 30) {
    join();
    auto rest = pty_.drain(idle_ms);
    received_.insert(received_.end(), rest.begin(), rest.end());
    return received_;
  }
  size_t steps_done() {
    join();
    return steps_done_;
  }

 private:
  void join() {
    if (thread_.joinable()) thread_.join();
  }
  const PtyPair& pty_;
  std::vector<PeerStep> steps_;
  std::vector<uint8_t> received_;
  size_t steps_done_ = 0;
  std::thread thread_;
};

}  // namespace tsup
