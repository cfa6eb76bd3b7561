// orvex_bench: one timed download. Runs the real orvex_flash against a
// simulated module (in this process, on a pseudo-terminal) and prints one
// line of key=value results: the tool's own time line, its wall time, CPU
// time and peak memory, the simulator's floor for the whole run and for the
// download alone, the line statistics, and whether the flash ended up
// holding exactly the image.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "orvex_sim/simulator.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const char* const USAGE =
    "usage: orvex_bench --tool PATH --size BYTES [options]\n"
    "  --tool PATH        the orvex_flash program\n"
    "  --size BYTES       image size (at most 262144)\n"
    "  --kind bridge|uart peer behind the port (default bridge)\n"
    "  --timing           wire timing on (500000 baud, latency, flash timings)\n"
    "  --latency-ms X     turnaround latency (default 1)\n"
    "  --seed N           image content seed (default 1)\n"
    "  --timeout S        give up on the tool after S seconds (default 120)\n"
    "  --log FILE         keep the tool's output there\n"
    "  --trace FILE       keep the simulator's decoded trace there\n"
    "  --keep DIR         work in DIR (kept) instead of a temporary folder\n";

[[noreturn]] void die(const std::string& msg) {
  std::fprintf(stderr, "orvex_bench: %s\n", msg.c_str());
  std::exit(2);
}

struct Args {
  std::string tool;
  size_t size = 0;
  bool have_size = false;
  orvex_sim::PeerKind kind = orvex_sim::PeerKind::bridge;
  bool timing = false;
  double latency_ms = 1.0;
  uint32_t seed = 1;
  double timeout_s = 120;
  std::string log, trace, keep;
};

Args parse(int argc, char** argv) {
  Args a;
  for (int i = 1; i < argc; ++i) {
    std::string k = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) die(k + " needs a value");
      return argv[++i];
    };
    if (k == "--help" || k == "-h") {
      std::fputs(USAGE, stdout);
      std::exit(0);
    } else if (k == "--tool") {
      a.tool = value();
    } else if (k == "--size") {
      a.size = std::stoul(value(), nullptr, 0);
      a.have_size = true;
    } else if (k == "--kind") {
      std::string v = value();
      if (v == "bridge") a.kind = orvex_sim::PeerKind::bridge;
      else if (v == "uart") a.kind = orvex_sim::PeerKind::builtin_uart;
      else die("unknown kind " + v);
    } else if (k == "--timing") {
      a.timing = true;
    } else if (k == "--latency-ms") {
      a.latency_ms = std::stod(value());
    } else if (k == "--seed") {
      a.seed = static_cast<uint32_t>(std::stoul(value(), nullptr, 0));
    } else if (k == "--timeout") {
      a.timeout_s = std::stod(value());
    } else if (k == "--log") {
      a.log = value();
    } else if (k == "--trace") {
      a.trace = value();
    } else if (k == "--keep") {
      a.keep = value();
    } else {
      die("unknown option " + k + "\n" + USAGE);
    }
  }
  if (a.tool.empty() || !a.have_size) die(std::string("--tool and --size are required\n") + USAGE);
  if (a.size == 0 || a.size > 0x40000) die("--size must lie in 1..262144");
  return a;
}

std::vector<uint8_t> make_image(size_t n, uint32_t seed) {
  std::vector<uint8_t> b(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& v : b) {
    x = x * 1664525u + 1013904223u;
    v = static_cast<uint8_t>(x >> 24);
  }
  return b;
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!f) die("cannot write " + path);
}

// ">>This task finished after %5.2f sec": the tool's own download time.
std::optional<double> task_time(const std::string& out) {
  const std::string key = ">>This task finished after ";
  size_t at = out.rfind(key);
  if (at == std::string::npos) return std::nullopt;
  return std::strtod(out.c_str() + at + key.size(), nullptr);
}

double seconds(const timeval& tv) { return static_cast<double>(tv.tv_sec) + tv.tv_usec / 1e6; }

}  // namespace

int main(int argc, char** argv) {
  Args a = parse(argc, argv);
  a.tool = fs::absolute(a.tool).string();

  std::string root;
  if (!a.keep.empty()) {
    fs::create_directories(a.keep);
    root = fs::absolute(a.keep).string();
  } else {
    char tmpl[] = "/tmp/orvex_bench_XXXXXX";
    if (!mkdtemp(tmpl)) die("mkdtemp failed");
    root = tmpl;
  }
  std::string cwd = orvex_sim::write_demo_workspace(root);
  std::vector<uint8_t> image = make_image(a.size, a.seed);
  write_file(root + "/firmware/m2m_aio.bin", image);
  std::string ports = root + "/ports";
  fs::create_directories(ports);

  orvex_sim::SimConfig cfg;
  cfg.kind = a.kind;
  cfg.port_dir = ports;
  cfg.friendly_name = a.kind == orvex_sim::PeerKind::bridge ? "Board Bridge (COM9)" : "Chip UART (COM3)";
  cfg.flash_content = orvex_sim::FlashContent::demo;  // the version report reads real records
  cfg.timing = a.timing;
  cfg.latency_ms = a.latency_ms;
  std::FILE* trace = nullptr;
  if (!a.trace.empty()) {
    trace = std::fopen(a.trace.c_str(), "w");
    if (!trace) die("cannot write " + a.trace);
    cfg.trace = true;
    cfg.trace_sink = [trace](const std::string& line) { std::fprintf(trace, "%s\n", line.c_str()); };
  }

  orvex_sim::Simulator sim(cfg);
  sim.start();

  // The port is found by detection for both peer kinds: one published port.
  int out_pipe[2];
  if (pipe(out_pipe) != 0) die("pipe failed");
  auto t0 = Clock::now();
  pid_t pid = fork();
  if (pid < 0) die("fork failed");
  if (pid == 0) {
    setpgid(0, 0);
    int null_in = open("/dev/null", O_RDONLY);
    dup2(null_in, 0);
    dup2(out_pipe[1], 1);
    dup2(out_pipe[1], 2);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    setenv("ORVEX_PORT_DIR", ports.c_str(), 1);
    execl(a.tool.c_str(), a.tool.c_str(), "-no_wait", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out_pipe[1]);

  // The tool flushes every message. Its first line of the download comes
  // right after it takes its start tick: the floor up to then belongs to the
  // bring-up and the version report.
  std::string out;
  std::optional<orvex_sim::Stats> before_download;
  std::optional<Clock::time_point> download_seen, finished_seen;
  bool timed_out = false;
  auto deadline = t0 + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(a.timeout_s));
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      timed_out = true;
      kill(-pid, SIGKILL);
      break;
    }
    pollfd p{out_pipe[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(std::min<long long>(left, 500))) <= 0) continue;
    char buf[8192];
    ssize_t n = read(out_pipe[0], buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
    if (!before_download && (out.find("(WARN)Default PATH") != std::string::npos ||
                             out.find("Firmware image file has been opened") != std::string::npos ||
                             out.find("Unable to open Firmware file") != std::string::npos)) {
      download_seen = Clock::now();
      before_download = sim.stats();
    }
    if (!finished_seen && out.find(">>This task finished after") != std::string::npos) finished_seen = Clock::now();
  }
  close(out_pipe[0]);
  int wstatus = 0;
  rusage ru{};
  wait4(pid, &wstatus, 0, &ru);
  double wall = std::chrono::duration<double>(Clock::now() - t0).count();

  sim.wait_idle(2000);
  sim.stop();
  if (trace) std::fclose(trace);
  orvex_sim::Stats st = sim.stats();

  std::vector<uint8_t> flash = sim.flash();
  bool flash_ok = flash.size() >= image.size() && std::equal(image.begin(), image.end(), flash.begin());
  for (size_t i = image.size(); flash_ok && i < flash.size(); ++i) flash_ok = flash[i] == 0xFF;

  if (!a.log.empty()) {
    std::ofstream f(a.log, std::ios::binary | std::ios::trunc);
    f << out;
  }
  if (a.keep.empty()) {
    std::error_code ec;
    fs::remove_all(root, ec);
  }

  int exit_status = WIFEXITED(wstatus) ? static_cast<int8_t>(WEXITSTATUS(wstatus)) : -128 - WTERMSIG(wstatus);
  std::optional<double> task = task_time(out);
  double floor_before = before_download ? before_download->floor_s : 0;
  double user = seconds(ru.ru_utime), sys = seconds(ru.ru_stime);
  std::printf(
      "kind=%s size=%zu timing=%d exit=%d flash_ok=%d timed_out=%d task_s=%.2f window_s=%.4f wall_s=%.4f "
      "floor_s=%.4f floor_download_s=%.4f pauses_download_s=%.4f bytes_in_download=%lld user_s=%.4f sys_s=%.4f cpu_share=%.4f maxrss_kib=%ld "
      "bytes_in=%llu bytes_out=%llu frames=%llu turnarounds=%llu commands=%llu wire_s=%.4f "
      "flash_busy_s=%.4f fixed_pauses_s=%.4f ignored_bytes=%llu malformed=%llu\n",
      a.kind == orvex_sim::PeerKind::bridge ? "bridge" : "uart", a.size, a.timing ? 1 : 0, exit_status,
      flash_ok ? 1 : 0, timed_out ? 1 : 0, task.value_or(-1),
      download_seen && finished_seen ? std::chrono::duration<double>(*finished_seen - *download_seen).count() : -1.0,
      wall, st.floor_s, before_download ? st.floor_s - floor_before : -1.0,
      before_download ? st.fixed_pauses_s - before_download->fixed_pauses_s : -1.0,
      before_download ? static_cast<long long>(st.bytes_in - before_download->bytes_in) : -1LL, user, sys, (user + sys) / wall,
      ru.ru_maxrss, static_cast<unsigned long long>(st.bytes_in), static_cast<unsigned long long>(st.bytes_out),
      static_cast<unsigned long long>(st.frames), static_cast<unsigned long long>(st.turnarounds),
      static_cast<unsigned long long>(st.commands), st.wire_s, st.flash_busy_s, st.fixed_pauses_s,
      static_cast<unsigned long long>(st.ignored_bytes), static_cast<unsigned long long>(st.malformed_frames));
  bool ok = exit_status == 0 && flash_ok && !timed_out && task.has_value();
  if (!ok) {
    std::fprintf(stderr, "orvex_bench: the download did not succeed (exit %d, flash %s%s)\n", exit_status,
                 flash_ok ? "holds the image" : "does not hold the image", timed_out ? ", timed out" : "");
    if (a.log.empty()) std::fprintf(stderr, "--- tool output ---\n%s\n", out.c_str());
  }
  return ok ? 0 : 1;
}
