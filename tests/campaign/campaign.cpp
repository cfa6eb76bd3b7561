#include "campaign/campaign.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "campaign/child.h"
#include "support/test_support.h"

namespace campaign {

namespace sim = orvex_sim;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr size_t WINDOW = 0x8000;
constexpr const char* IMAGE_REL = "firmware/m2m_aio.bin";
constexpr const char* INPUT_REL = "firmware/wifi_v111/ASIC_A0/wifi_firmware.bin";
constexpr const char* PROGRAMMER_REL = "programmer_firmware/release/programmer_firmware.bin";
// Beyond twice a clean run's time: the longest wait the tool may make, a
// programmer command that never ends (10001 polls with 1 ms sleeps and an
// exchange each), with room for a loaded machine.
constexpr double FAULT_ALLOWANCE_S = 20.0;
// After a hang-up every exchange fails at once: only the fixed pauses remain.
constexpr double HANGUP_ALLOWANCE_S = 2.0;
// A waiting tool sleeps in poll; one that spins burns a whole core.
constexpr double MAX_CPU_SHARE = 0.8;
constexpr double CPU_CHECK_MIN_WALL_S = 1.0;

uint64_t splitmix(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

Bytes make_image(size_t n, uint64_t seed) {
  Bytes b(n);
  uint64_t s = seed;
  for (auto& v : b) v = static_cast<uint8_t>(splitmix(s) >> 56);
  return b;
}

struct FileState {
  Bytes bytes;
  timespec mtime{};
};

FileState file_state(const std::string& path) {
  FileState f;
  f.bytes = tsup::read_file(path);
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) f.mtime = st.st_mtim;
  return f;
}

bool same_file(const FileState& a, const FileState& b) {
  return a.bytes == b.bytes && a.mtime.tv_sec == b.mtime.tv_sec && a.mtime.tv_nsec == b.mtime.tv_nsec;
}

// Settings unlike anything the tool sets, so that their restore can be seen.
bool give_unusual_settings(const std::string& tty, termios* out) {
  int fd = open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  termios t{};
  tcgetattr(fd, &t);
  cfsetispeed(&t, B19200);
  cfsetospeed(&t, B19200);
  t.c_cflag |= CSTOPB;
  t.c_iflag |= IXON;
  tcsetattr(fd, TCSANOW, &t);
  bool ok = tcgetattr(fd, out) == 0;
  close(fd);
  return ok;
}

bool read_settings(const std::string& tty, termios* out) {
  int fd = open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  bool ok = tcgetattr(fd, out) == 0;
  close(fd);
  return ok;
}

bool same_settings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
         cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
}

size_t payload_size() { return sim::programmer_firmware_file().size() - 12; }

const char* peer_name(sim::PeerKind k) {
  switch (k) {
    case sim::PeerKind::bridge: return "bridge";
    case sim::PeerKind::builtin_uart: return "uart";
    case sim::PeerKind::silent: return "silent";
  }
  return "?";
}

// One run of the tool against one simulated module.
struct Bench {
  tsup::TempDir root;
  tsup::TempDir ports;
  std::string cwd;
  Bytes image;
  std::unique_ptr<sim::Simulator> module;

  Bench(const RunSpec& plan) {
    namespace fs = std::filesystem;
    fs::create_directories(root.file("firmware/wifi_v111/ASIC_A0"));
    fs::create_directories(root.file("programmer_firmware/release"));
    fs::create_directories(root.file("a/b/c"));
    cwd = root.file("a/b/c");
    image = make_image(plan.image_size, 0x5EED0000u + plan.image_size);
    tsup::write_file(root.file(IMAGE_REL), image);
    tsup::write_file(root.file(INPUT_REL), sim::demo_input_firmware());
    sim::write_programmer_firmware(root.file(PROGRAMMER_REL));

    sim::SimConfig cfg;
    cfg.kind = plan.peer;
    cfg.port_dir = ports.path();
    cfg.friendly_name = plan.peer == sim::PeerKind::bridge ? "Board Bridge (COM9)" : "Chip UART (COM9)";
    cfg.flash_content = sim::FlashContent::demo;
    if (plan.trace_sink) {
      cfg.trace = true;
      cfg.trace_sink = plan.trace_sink;
    }
    sim::Faults& f = cfg.faults;
    switch (plan.fault) {
      case Fault::none: break;
      case Fault::wrong_ack: f.wrong_ack_at_frame = plan.n; break;
      case Fault::wrong_ack_rate: f.wrong_ack_at_rate_change = true; break;
      case Fault::silent_after: f.silent_after_frames = plan.n; break;
      case Fault::corrupt_sent: f.corrupt_byte_at = plan.n; break;
      case Fault::drop_sent: f.drop_byte_at = plan.n; break;
      case Fault::hangup: f.hangup_after_bytes = plan.n; break;
      case Fault::command_fails:
        f.fail_command = plan.command;
        f.fail_state = plan.state;
        break;
      case Fault::never_ready: f.programmer_never_ready = true; break;
      case Fault::no_flash: cfg.jedec_id = 0xFFFFFFFF; break;
      case Fault::corrupt_data:
      case Fault::corrupt_window_end: f.corrupt_data_byte_at = plan.n; break;
      case Fault::corrupt_received:
      case Fault::corrupt_code_write: f.corrupt_received_byte_at = plan.n; break;
    }
    module = std::make_unique<sim::Simulator>(cfg);
    module->start();
  }

  std::vector<std::string> argv(const std::string& tool, const RunSpec& plan) const {
    // A bridge is named on the command line; the built-in UART is found by detection.
    if (plan.peer == sim::PeerKind::bridge) return {tool, "-port", "9", "-no_wait"};
    return {tool, "-no_wait"};
  }
};

bool has(const std::string& s, const char* text) { return s.find(text) != std::string::npos; }

}  // namespace

const char* fault_name(Fault f) {
  switch (f) {
    case Fault::none: return "none";
    case Fault::wrong_ack: return "wrong acknowledgement at frame n";
    case Fault::wrong_ack_rate: return "wrong acknowledgement of rate changes";
    case Fault::silent_after: return "silence after n frames";
    case Fault::corrupt_sent: return "module's n-th byte corrupted";
    case Fault::drop_sent: return "module's n-th byte dropped";
    case Fault::hangup: return "hang-up after n bytes";
    case Fault::command_fails: return "programmer command fails";
    case Fault::never_ready: return "programmer never ready";
    case Fault::no_flash: return "no flash";
    case Fault::corrupt_data: return "tool's n-th data byte corrupted";
    case Fault::corrupt_window_end: return "last byte of a window corrupted";
    case Fault::corrupt_received: return "tool's n-th byte corrupted";
    case Fault::corrupt_code_write: return "write command's start corrupted";
  }
  return "?";
}

const char* outcome_name(Outcome o) {
  switch (o) {
    case Outcome::success: return "success";
    case Outcome::reported_failure: return "reported failure";
    case Outcome::undetectable_corruption: return "undetectable corruption";
    case Outcome::lost_command: return "lost command";
    case Outcome::violation: return "VIOLATION";
  }
  return "?";
}

int Result::count(Outcome o) const {
  return static_cast<int>(std::count_if(runs.begin(), runs.end(), [o](const RunRecord& r) { return r.outcome == o; }));
}
int Result::violations() const { return count(Outcome::violation); }

int implied_exit_status(const std::string& out) {
  if (has(out, "\n>>(ERR):Download interrupted\n")) return 130;
  if (has(out, "\nImage downloaded successfully.\r\n")) return 0;
  // The download ran: every failure of it is -12.
  if (has(out, "\n>>This task finished after ")) return 244;
  if (!has(out, "(ERR)Failed To intilize programmer\n")) return -1;
  if (has(out, "Time out for wait firmware Run\n")) return 251;  // -5
  if (has(out, ">>(ERR):Invalid chip ID")) return 244;           // -12
  if (has(out, "programmer fw file")) return 244;
  size_t at = out.find("0 of ports found\n");
  if (at != std::string::npos && (at == 0 || !std::isdigit(static_cast<unsigned char>(out[at - 1])))) return 255;
  return 250;  // -6: the port or a bridge exchange failed
}

std::string describe(const RunSpec& s) {
  std::ostringstream o;
  o << "#" << s.index << " " << peer_name(s.peer) << " " << s.image_size << " B, " << fault_name(s.fault);
  if (s.fault == Fault::command_fails)
    o << " (command " << s.command << " -> 0x" << std::hex << s.state << std::dec << ")";
  else if (s.n)
    o << " (n=" << s.n << ")";
  return o.str();
}

// Where the code byte of each write command's start lies among the bytes the
// module received, from its trace: a sync byte is one byte, a frame 13, block
// data its count; bytes at a wrong rate are not received.
std::vector<uint64_t> write_code_positions(const std::vector<std::string>& trace) {
  std::vector<uint64_t> at;
  uint64_t received = 0;
  for (const auto& l : trace) {
    if (l.rfind("<- ", 0) != 0) continue;
    if (l.rfind("<- 12  sync", 0) == 0 || l.find("stray byte") != std::string::npos) {
      received += 1;
    } else if (l.rfind("<- A5 ", 0) == 0 && l.find("malformed") == std::string::npos) {
      if (l.find("(prog state) = 0x00000006") != std::string::npos) at.push_back(received + 10);  // value's low byte
      received += 13;
    } else if (l.find(" data bytes: ") != std::string::npos) {
      received += std::strtoull(l.c_str() + 3, nullptr, 10);
    }
  }
  return at;
}

Baseline measure_baseline(const std::string& tool, sim::PeerKind peer, size_t image_size) {
  RunSpec plan;
  plan.peer = peer;
  plan.image_size = image_size;
  std::mutex trace_mu;
  std::vector<std::string> trace;
  plan.trace_sink = [&](const std::string& l) {
    std::lock_guard<std::mutex> lk(trace_mu);
    trace.push_back(l);
  };
  Bench bench(plan);
  Child child(bench.argv(tool, plan), bench.cwd, {"ORVEX_PORT_DIR=" + bench.ports.path()});
  ChildResult r = child.finish(120000);
  bench.module->wait_idle();
  sim::Stats st = bench.module->stats();
  Baseline b;
  b.frames = st.frames;
  b.bytes_in = st.bytes_in;
  b.bytes_out = st.bytes_out;
  b.commands = st.commands;
  b.wall_s = r.wall_s;
  bench.module.reset();
  b.write_code_bytes = write_code_positions(trace);
  return b;
}

RunRecord run_one(const std::string& tool, const RunSpec& plan, const Baseline& baseline) {
  RunRecord rec;
  rec.plan = plan;
  auto problem = [&rec](const std::string& p) { rec.problems.push_back(p); };

  Bench bench(plan);
  FileState image_before = file_state(bench.root.file(IMAGE_REL));
  FileState input_before = file_state(bench.root.file(INPUT_REL));
  FileState programmer_before = file_state(bench.root.file(PROGRAMMER_REL));
  termios before{};
  if (!give_unusual_settings(bench.module->tty_path(), &before)) problem("could not set up the port");

  rec.bound_s = 2 * baseline.wall_s + (plan.fault == Fault::hangup ? HANGUP_ALLOWANCE_S : FAULT_ALLOWANCE_S);
  Child child(bench.argv(tool, plan), bench.cwd, {"ORVEX_PORT_DIR=" + bench.ports.path()});
  // Killed well past the bound, so a hang is seen as one.
  ChildResult r = child.finish(static_cast<int>((rec.bound_s + 30) * 1000));
  bench.module->wait_idle();
  rec.exit_status = r.exit_status;
  rec.wall_s = r.wall_s;
  rec.cpu_s = r.cpu_s;

  // Ended in time, without a crash, without spinning.
  if (r.timed_out) problem("did not end: killed");
  if (r.term_signal) problem("ended by signal " + std::to_string(r.term_signal));
  if (r.wall_s > rec.bound_s) problem("took " + std::to_string(r.wall_s) + " s, bound " + std::to_string(rec.bound_s));
  if (r.wall_s > CPU_CHECK_MIN_WALL_S && r.cpu_s > MAX_CPU_SHARE * r.wall_s)
    problem("CPU " + std::to_string(r.cpu_s) + " s in " + std::to_string(r.wall_s) + " s");
  if (!r.err.empty()) problem("standard error: " + r.err.substr(0, 400));

  // The status the output implies.
  int implied = implied_exit_status(r.out);
  if (implied < 0) problem("output ends in no known outcome");
  else if (implied != r.exit_status)
    problem("exit status " + std::to_string(r.exit_status) + ", output implies " + std::to_string(implied));

  // Files as they were.
  if (!same_file(image_before, file_state(bench.root.file(IMAGE_REL)))) problem("image file changed");
  if (!same_file(input_before, file_state(bench.root.file(INPUT_REL)))) problem("input firmware file changed");
  if (!same_file(programmer_before, file_state(bench.root.file(PROGRAMMER_REL))))
    problem("programmer firmware file changed");

  // The port's own settings back (a hung-up line has none left to read).
  termios after{};
  if (read_settings(bench.module->tty_path(), &after)) {
    if (!same_settings(before, after)) problem("port settings not restored");
  } else if (plan.fault != Fault::hangup) {
    problem("port cannot be opened after the run");
  }

  // The success line only with the image exactly in the flash.
  bool success_line = has(r.out, "\nImage downloaded successfully.\r\n");
  Outcome outcome = Outcome::reported_failure;
  if (success_line) {
    Bytes flash = bench.module->flash();
    Bytes want(flash.size(), 0xFF);
    std::copy(bench.image.begin(), bench.image.end(), want.begin());
    if (flash == want) {
      outcome = Outcome::success;
    } else {
      bool only_window_ends = flash.size() == want.size();
      bool only_unwritten_windows = only_window_ends;
      size_t differing = 0, first = 0;
      for (size_t i = 0; i < std::min(flash.size(), want.size()); ++i) {
        if (flash[i] == want[i]) continue;
        if (differing++ == 0) first = i;
        bool window_end = i < bench.image.size() && (i % WINDOW == WINDOW - 1 || i == bench.image.size() - 1);
        if (!window_end) only_window_ends = false;
        // A window whose write command never reached the programmer stays erased.
        size_t w = i - i % WINDOW;
        size_t w_end = std::min(w + WINDOW, bench.image.size());
        if (i >= bench.image.size() || !std::all_of(flash.begin() + w, flash.begin() + w_end,
                                                    [](uint8_t v) { return v == 0xFF; }))
          only_unwritten_windows = false;
      }
      char where[96];
      std::snprintf(where, sizeof where, "flash differs in %zu byte(s), first at 0x%zX", differing, first);
      // A window of one byte fits both patterns: left erased, it was never written.
      if (only_unwritten_windows && plan.peer == sim::PeerKind::builtin_uart) {
        outcome = Outcome::lost_command;
        rec.problems.push_back(std::string(where) + ", whole windows never written");
      } else if (only_window_ends) {
        outcome = Outcome::undetectable_corruption;
        rec.problems.push_back(std::string(where) + ", the last byte of a write window");
      } else {
        problem(std::string("success line but ") + where);
      }
    }
  }
  bool noted = outcome == Outcome::undetectable_corruption || outcome == Outcome::lost_command;
  bool violated = rec.problems.size() > (noted ? 1u : 0u);
  rec.outcome = violated ? Outcome::violation : outcome;
  return rec;
}

std::vector<RunSpec> draw_runs(const Config& cfg, const std::function<Baseline(sim::PeerKind, size_t)>& baseline) {
  std::vector<RunSpec> specs;
  uint64_t state = cfg.seed;
  const uint32_t fail_states[] = {0x10, 0x11, 0x12, 0x14, 0x15, 0x55, 0, 0xFFFFFFFF};
  const uint32_t commands[] = {6, 7, 8};
  for (int i = 0; i < cfg.runs; ++i) {
    RunSpec s;
    s.index = i;
    // Every kind in turn, so a short slice still meets each of them.
    s.fault = static_cast<Fault>(1 + i % (FAULT_KINDS - 1));
    s.peer = (splitmix(state) & 1) ? sim::PeerKind::builtin_uart : sim::PeerKind::bridge;
    s.image_size = cfg.sizes[splitmix(state) % cfg.sizes.size()];
    Baseline b = baseline(s.peer, s.image_size);
    uint64_t r = splitmix(state);
    auto pick = [r](uint64_t total) { return total == 0 ? 1 : 1 + r % total; };
    switch (s.fault) {
      case Fault::wrong_ack:
      case Fault::silent_after: s.n = pick(b.frames); break;
      case Fault::corrupt_sent:
      case Fault::drop_sent: s.n = pick(b.bytes_out); break;
      case Fault::hangup:
      case Fault::corrupt_received: s.n = pick(b.bytes_in); break;
      case Fault::corrupt_code_write:
        s.n = b.write_code_bytes.empty() ? 1 : b.write_code_bytes[r % b.write_code_bytes.size()];
        break;
      case Fault::command_fails:
        s.command = commands[r % 3];
        s.state = fail_states[(r >> 8) % (sizeof fail_states / sizeof fail_states[0])];
        break;
      case Fault::corrupt_data: {
        // Block data: the programmer payload and its head copy, a 20-byte
        // command block per programmer command, the image.
        uint64_t data = payload_size() + 4 + 20 * b.commands + s.image_size;
        s.n = pick(data);
        break;
      }
      case Fault::corrupt_window_end: {
        uint64_t windows = (s.image_size + WINDOW - 1) / WINDOW;
        uint64_t w = r % windows;
        uint64_t reads = b.commands - 1 - windows;  // the version report's reads before the erase
        uint64_t last = w + 1 < windows ? WINDOW : s.image_size - WINDOW * (windows - 1);
        s.n = payload_size() + 4 + 20 * reads + 20 + w * (20 + WINDOW) + 20 + last;
        break;
      }
      default: break;
    }
    specs.push_back(s);
  }
  return specs;
}

Result run_campaign(const Config& cfg) {
  std::map<std::pair<int, size_t>, Baseline> baselines;
  auto baseline = [&](sim::PeerKind peer, size_t size) {
    auto key = std::make_pair(static_cast<int>(peer), size);
    auto it = baselines.find(key);
    if (it == baselines.end()) it = baselines.emplace(key, measure_baseline(cfg.tool, peer, size)).first;
    return it->second;
  };
  std::vector<RunSpec> specs = draw_runs(cfg, baseline);

  Result result;
  result.runs.resize(specs.size());
  std::atomic<size_t> next{0};
  std::mutex report_mu;
  auto worker = [&]() {
    for (size_t i = next++; i < specs.size(); i = next++) {
      const RunSpec& s = specs[i];
      RunRecord rec = run_one(cfg.tool, s, baselines.at({static_cast<int>(s.peer), s.image_size}));
      std::lock_guard<std::mutex> lk(report_mu);
      result.runs[i] = rec;
      if (cfg.on_run) cfg.on_run(rec);
    }
  };
  std::vector<std::thread> threads;
  for (int j = 0; j < std::max(1, cfg.jobs); ++j) threads.emplace_back(worker);
  for (auto& t : threads) t.join();
  return result;
}

std::string format_table(const Result& result) {
  std::ostringstream o;
  char line[200];
  std::snprintf(line, sizeof line, "%-40s %5s %8s %8s %12s %8s %9s %8s\n", "fault", "runs", "success", "reported",
                "undetectable", "lost cmd", "violation", "max s");
  o << line;
  for (int k = 1; k < FAULT_KINDS; ++k) {
    int counts[OUTCOMES] = {};
    int runs = 0;
    double max_wall = 0;
    for (const auto& r : result.runs) {
      if (static_cast<int>(r.plan.fault) != k) continue;
      ++runs;
      ++counts[static_cast<int>(r.outcome)];
      max_wall = std::max(max_wall, r.wall_s);
    }
    if (runs == 0) continue;
    std::snprintf(line, sizeof line, "%-40s %5d %8d %8d %12d %8d %9d %8.2f\n", fault_name(static_cast<Fault>(k)),
                  runs, counts[0], counts[1], counts[2], counts[3], counts[4], max_wall);
    o << line;
  }
  double max_share = 0;
  for (const auto& r : result.runs)
    if (r.wall_s > CPU_CHECK_MIN_WALL_S) max_share = std::max(max_share, r.cpu_s / r.wall_s);
  std::snprintf(line, sizeof line, "%-40s %5zu %8d %8d %12d %8d %9d\n", "all", result.runs.size(),
                result.count(Outcome::success), result.count(Outcome::reported_failure),
                result.count(Outcome::undetectable_corruption), result.count(Outcome::lost_command),
                result.count(Outcome::violation));
  o << line;
  for (auto peer : {sim::PeerKind::bridge, sim::PeerKind::builtin_uart}) {
    int n = 0, v = 0;
    for (const auto& r : result.runs)
      if (r.plan.peer == peer) {
        ++n;
        v += r.outcome == Outcome::violation;
      }
    std::snprintf(line, sizeof line, "peer %-8s runs %d, violations %d\n", peer_name(peer), n, v);
    o << line;
  }
  std::snprintf(line, sizeof line, "highest CPU share of a run longer than %.0f s: %.2f\n", CPU_CHECK_MIN_WALL_S,
                max_share);
  o << line;
  for (const auto& r : result.runs) {
    if (r.outcome == Outcome::success || r.outcome == Outcome::reported_failure) continue;
    o << outcome_name(r.outcome) << ": " << describe(r.plan) << "\n";
    for (const auto& p : r.problems) o << "    " << p << "\n";
  }
  return o.str();
}

}  // namespace campaign
