// The fault campaign: the real orvex_flash against simulated modules, one
// fault per run drawn from a seeded generator, each run judged on what the
// tool printed, what it left in the flash, the files and the port, its exit
// status, and its time and CPU use.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "orvex_sim/simulator.h"

namespace campaign {

enum class Fault {
  none,
  wrong_ack,          // the n-th frame gets a wrong acknowledgement
  wrong_ack_rate,     // every line-rate change gets a wrong acknowledgement
  silent_after,       // nothing is answered after n frames
  corrupt_sent,       // the n-th byte the module sends is inverted
  drop_sent,          // the n-th byte the module sends is lost
  hangup,             // the line hangs up after n bytes received
  command_fails,      // programmer command k ends in a failure state
  never_ready,        // the programmer never reports ready
  no_flash,           // no flash answers the identification
  corrupt_data,       // the n-th byte of block data the tool sends is inverted
  corrupt_window_end, // the same, aimed at the last byte of a write window
  corrupt_received,   // the n-th byte the tool sends, of any kind, is inverted
  corrupt_code_write, // the same, aimed at the code byte of a write window's command start
};
constexpr int FAULT_KINDS = 14;
const char* fault_name(Fault f);

enum class Outcome {
  success,                  // success line, and the flash holds the image exactly
  reported_failure,         // no success line, a failure status that matches the output
  undetectable_corruption,  // success line, flash differs only in bytes the write checksum leaves out
  lost_command,             // success line, whole windows never written: a command lost on a
                            // built-in UART, whose writes get no acknowledgement
  violation,                // anything else: false success, hang, spin, crash, changed file, ...
};
constexpr int OUTCOMES = 5;
const char* outcome_name(Outcome o);

struct RunSpec {
  int index = 0;
  Fault fault = Fault::none;
  orvex_sim::PeerKind peer = orvex_sim::PeerKind::bridge;
  size_t image_size = 0;
  uint64_t n = 0;         // position or count, 1-based, for the faults that take one
  uint32_t command = 0;   // command_fails: the command
  uint32_t state = 0;     // command_fails: the state it ends in
  std::function<void(const std::string&)> trace_sink;  // the module's trace, when set
};

struct RunRecord {
  RunSpec plan;
  Outcome outcome = Outcome::violation;
  std::vector<std::string> problems;  // why a run is a violation (or what was undetectable)
  int exit_status = -1;
  double wall_s = 0;
  double cpu_s = 0;
  double bound_s = 0;
};

// What a clean run of one peer kind and image size looks like: the sizes of
// its traffic (to draw fault positions from) and its time.
struct Baseline {
  uint64_t frames = 0;
  uint64_t bytes_in = 0;   // received by the module
  uint64_t bytes_out = 0;  // sent by the module
  uint64_t commands = 0;   // programmer commands
  double wall_s = 0;
  // Position among the bytes received of the code byte of each write
  // command's start (the state register written with 6).
  std::vector<uint64_t> write_code_bytes;
};

struct Config {
  uint64_t seed = 1;
  int runs = 300;
  int jobs = 2;
  std::string tool;  // the orvex_flash to run
  std::vector<size_t> sizes = {1, 4097, 40000, 70000, 262144};
  std::function<void(const RunRecord&)> on_run;  // called as each run ends (any thread, serialised)
};

struct Result {
  std::vector<RunRecord> runs;
  int violations() const;
  int count(Outcome o) const;
};

// Draws the runs: fault kinds in turn, peer kinds and sizes at random.
std::vector<RunSpec> draw_runs(const Config& cfg,
                               const std::function<Baseline(orvex_sim::PeerKind, size_t)>& baseline);
Baseline measure_baseline(const std::string& tool, orvex_sim::PeerKind peer, size_t image_size);
RunRecord run_one(const std::string& tool, const RunSpec& plan, const Baseline& baseline);
Result run_campaign(const Config& cfg);

std::string describe(const RunSpec& plan);
std::string format_table(const Result& result);

// The exit status a run's output implies (0..255), from its last failure message.
int implied_exit_status(const std::string& out);

}  // namespace campaign
