// The Windows executable, orvex_flash.exe, run under Wine against simulated
// modules: each COM port is a dosdevices link to a module's pseudo-terminal
// and each listed device a key in the prefix's registry, so the Win32 serial
// and device-listing code runs for real. Every case runs twice, once as
// orvex_flash.exe and once as the Linux build against identical modules:
// the Windows output must be the Linux output byte for byte, each "\n"
// written as "\r\n" by the console's text mode. The exit status and the flash
// written are checked on the Windows run, and its ports must be put back as
// they were wherever the Linux build puts them back.
//
// The cases run only when ORVEX_WIN_EXE names the executable (the Windows
// test script sets it); the script also sees to it that Wine is there.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "orvex_sim/simulator.h"
#include "port/platform.h"
#include "support/test_support.h"

namespace {

namespace sim = orvex_sim;
namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const char* const PORTS_CLASS_GUID = "{4d36e978-e325-11ce-bfc1-08002be10318}";
const char* const TEST_ENUMERATOR = "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\ORVEXTEST";

std::string env_or_empty(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

std::string find_on_path(const std::string& name) {
  std::string path = env_or_empty("PATH");
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string candidate = path.substr(start, end - start) + "/" + name;
    if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

// The console's text mode: every "\n" goes out as "\r\n".
std::string text_mode(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// Masks what differs from run to run: source line numbers and times.
std::string normalise(const std::string& out) {
  static const std::regex times(R"( *[0-9]+\.[0-9]+ sec)");
  return std::regex_replace(tsup::mask_log_lines(out), times, " # sec");
}

// ---------------------------------------------------------------------------
// One Wine prefix for the whole run.

class WinePrefix : public testing::Environment {
 public:
  static WinePrefix* instance;

  void SetUp() override {
    exe_ = env_or_empty("ORVEX_WIN_EXE");
    if (exe_.empty()) return;
    wine_ = find_on_path("wine");
    wineserver_ = find_on_path("wineserver");
    ASSERT_FALSE(wine_.empty() || wineserver_.empty()) << "Wine is not installed";
    ASSERT_EQ(access(exe_.c_str(), R_OK), 0) << exe_;
    dir_ = std::make_unique<tsup::TempDir>();
    prefix_ = dir_->file("prefix");
    fs::create_directories(prefix_);
    setenv("WINEPREFIX", prefix_.c_str(), 1);
    setenv("WINEDEBUG", "-all", 1);
    // No offer to install the .NET and HTML runtimes while the prefix is made.
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    // A persistent server keeps the prefix's services up between the runs;
    // with all output to /dev/null nothing of it holds a test's pipes open.
    ASSERT_EQ(shell("'" + wineserver_ + "' -p"), 0);
    ASSERT_EQ(shell("'" + wine_ + "' wineboot"), 0);
    ASSERT_TRUE(fs::is_directory(prefix_ + "/drive_c/windows/system32")) << "wineboot made no prefix";
    ready_ = true;
  }

  void TearDown() override {
    if (!wineserver_.empty() && dir_) shell("'" + wineserver_ + "' -k");
    dir_.reset();
  }

  bool ready() const { return ready_; }
  const std::string& exe() const { return exe_; }
  const std::string& wine() const { return wine_; }
  const std::string& prefix() const { return prefix_; }
  std::string dosdevice(int com) const { return prefix_ + "/dosdevices/com" + std::to_string(com); }

 private:
  static int shell(const std::string& cmd) {
    std::string full = cmd + " </dev/null >/dev/null 2>&1";
    return std::system(full.c_str());
  }

  bool ready_ = false;
  std::string exe_, wine_, wineserver_, prefix_;
  std::unique_ptr<tsup::TempDir> dir_;
};

WinePrefix* WinePrefix::instance =
    static_cast<WinePrefix*>(testing::AddGlobalTestEnvironment(new WinePrefix));

// Makes a pty the controlling terminal of a session of its own, so that no
// process that opens it later (the wineserver is a session leader without a
// terminal) takes it over and gets a hang-up when the module closes the line.
class TerminalHolder {
 public:
  explicit TerminalHolder(const std::string& tty) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      setsid();
      int fd = open(tty.c_str(), O_RDWR);
      if (fd >= 0) ioctl(fd, TIOCSCTTY, 0);
      char c = fd >= 0 ? 'y' : 'n';
      if (write(ready[1], &c, 1) != 1) _exit(1);
      for (;;) pause();
    }
    close(ready[1]);
    char c = 0;
    if (pid_ > 0 && read(ready[0], &c, 1) != 1) c = 0;
    close(ready[0]);
    EXPECT_EQ(c, 'y') << "could not hold " << tty;
  }
  ~TerminalHolder() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  TerminalHolder(const TerminalHolder&) = delete;
  TerminalHolder& operator=(const TerminalHolder&) = delete;

 private:
  pid_t pid_ = -1;
};

// ---------------------------------------------------------------------------
// Modules, cases and the two runs.

struct Module {
  std::string friendly_name;
  int com = 0;  // the number in the friendly name
  sim::PeerKind kind = sim::PeerKind::bridge;
  bool present = true;  // false: listed, but no device behind the name
  bool never_ready = false;
  bool timing = false;  // bytes take their time on the wire, the flash its time to work
  uint32_t chip_id = 0x1002A0;
  uint32_t jedec_id = 0x001440EF;
  uint32_t fail_command = 0;  // programmer command that fails
};

enum class FlashAfter { unchanged, image, erased };

struct Case {
  const char* name = "";
  std::vector<Module> modules;
  size_t target = 0;  // the module that is flashed
  std::vector<std::string> args;
  std::string stdin_data;
  int exit_status = 0;  // as Wine reports it: the low byte of the Windows exit code
  FlashAfter flash_after = FlashAfter::image;
  double max_seconds = 60;
  size_t image_size = 40000;
  std::string image_rel = "firmware/m2m_aio.bin";  // from the tree's root; empty: no image
  bool input_file = true;
};

Case named(const char* name) {
  Case c;
  c.name = name;
  return c;
}

// An image that opens with the bytes a text-mode file read would mangle
// (CR LF, Ctrl-Z), then every byte value, the flow-control characters 0x11
// and 0x13 among them, so neither a file nor a line that eats bytes can go
// unnoticed.
Bytes test_image(size_t n) {
  Bytes b(n);
  const uint8_t lead[] = {0x0D, 0x0A, 0x1A, 0x11, 0x13};
  uint32_t x = 12345;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1664525u + 1013904223u;
    if (i < sizeof lead) b[i] = lead[i];
    else if (i < 512) b[i] = static_cast<uint8_t>(i);
    else b[i] = static_cast<uint8_t>(x >> 24);
  }
  return b;
}

struct Side {
  tsup::TempDir root;
  std::string cwd;
  std::vector<std::unique_ptr<sim::Simulator>> sims;
  std::vector<Bytes> initial_flash;
  std::vector<termios> before;
};

void prepare(Side& side, const Case& c) {
  side.cwd = sim::write_demo_workspace(side.root.path());
  fs::remove(side.root.file("firmware/m2m_aio.bin"));
  if (!c.input_file) fs::remove(side.root.file("firmware/wifi_v111/ASIC_A0/wifi_firmware.bin"));
  if (!c.image_rel.empty()) tsup::write_file(side.root.file(c.image_rel), test_image(c.image_size));
  for (const Module& m : c.modules) {
    sim::SimConfig cfg;
    cfg.kind = m.kind;
    cfg.flash_content = sim::FlashContent::demo;
    cfg.faults.programmer_never_ready = m.never_ready;
    cfg.timing = m.timing;
    cfg.chip_id = m.chip_id;
    cfg.jedec_id = m.jedec_id;
    cfg.faults.fail_command = m.fail_command;
    side.sims.push_back(std::make_unique<sim::Simulator>(cfg));
    side.sims.back()->start();
    side.initial_flash.push_back(side.sims.back()->flash());
    side.before.push_back(tsup::give_unusual_settings(side.sims.back()->tty_path(), false));
  }
}

// The registry keys and dosdevices links of the Windows run.
class WindowsPorts {
 public:
  WindowsPorts(const WinePrefix& wine, const Case& c, const Side& side, const tsup::TempDir& tmp) {
    std::string reg = "Windows Registry Editor Version 5.00\r\n\r\n[-" + std::string(TEST_ENUMERATOR) + "]\r\n";
    for (size_t i = 0; i < c.modules.size(); ++i) {
      const Module& m = c.modules[i];
      reg += "\r\n[" + std::string(TEST_ENUMERATOR) + "\\PORT" + std::to_string(i) + "\\0]\r\n";
      reg += "\"ClassGUID\"=\"" + std::string(PORTS_CLASS_GUID) + "\"\r\n";
      reg += "\"FriendlyName\"=\"" + m.friendly_name + "\"\r\n";
      if (!m.present) continue;
      std::string link = wine.dosdevice(m.com);
      fs::remove(link);
      EXPECT_EQ(symlink(side.sims[i]->tty_path().c_str(), link.c_str()), 0) << link;
      links_.push_back(link);
      holders_.push_back(std::make_unique<TerminalHolder>(side.sims[i]->tty_path()));
    }
    std::string file = tmp.file("ports.reg");
    tsup::write_file(file, Bytes(reg.begin(), reg.end()));
    tsup::RunResult r = tsup::run_process({wine.wine(), "reg", "import", file});
    EXPECT_EQ(r.exit_status, 0) << "reg import: " << r.out << r.err;
  }
  ~WindowsPorts() {
    for (const auto& link : links_) fs::remove(link);
  }

 private:
  std::vector<std::string> links_;
  std::vector<std::unique_ptr<TerminalHolder>> holders_;
};

tsup::RunResult run_windows(const Case& c, Side& side) {
  const WinePrefix& wine = *WinePrefix::instance;
  tsup::TempDir tmp;
  WindowsPorts ports(wine, c, side, tmp);
  std::vector<std::string> argv = {wine.wine(), wine.exe()};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  tsup::RunOptions opts;
  opts.cwd = side.cwd;
  opts.stdin_data = c.stdin_data;
  opts.timeout_ms = 120000;
  tsup::RunResult r = tsup::run_process(argv, opts);
  for (auto& s : side.sims) s->wait_idle();
  return r;
}

tsup::RunResult run_linux(const Case& c, Side& side) {
  tsup::TempDir ports;
  for (size_t i = 0; i < c.modules.size(); ++i) {
    const Module& m = c.modules[i];
    std::string target = m.present ? side.sims[i]->tty_path() : ports.file("no-such-device");
    EXPECT_EQ(symlink(target.c_str(), ports.file(m.friendly_name).c_str()), 0);
  }
  std::vector<std::string> argv = {ORVEX_FLASH_BIN};
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  tsup::RunOptions opts;
  opts.cwd = side.cwd;
  opts.stdin_data = c.stdin_data;
  opts.env = {"ORVEX_PORT_DIR=" + ports.path()};
  tsup::RunResult r = tsup::run_process(argv, opts);
  for (auto& s : side.sims) s->wait_idle();
  return r;
}

// The Linux run is the reference, checked by its own suite: one that misses
// its known outcome (on a busy machine) is run again on fresh modules.
tsup::RunResult run_reference(const Case& c, std::unique_ptr<Side>& side) {
  tsup::RunResult ref;
  for (int attempt = 0; attempt < 2; ++attempt) {
    side = std::make_unique<Side>();
    prepare(*side, c);
    ref = run_linux(c, *side);
    if (ref.exit_status == c.exit_status) break;
  }
  return ref;
}

class WineTest : public testing::Test {
 protected:
  void SetUp() override {
    if (WinePrefix::instance->ready()) return;
    if (!WinePrefix::instance->exe().empty()) FAIL() << "no Wine prefix to run " << WinePrefix::instance->exe();
    GTEST_SKIP() << "ORVEX_WIN_EXE not set: run scripts/test_windows.sh";
  }
};

void run_case(const Case& c) {
  SCOPED_TRACE(c.name);
  Side win_side;
  prepare(win_side, c);
  tsup::RunResult win = run_windows(c, win_side);

  std::unique_ptr<Side> ref_holder;
  tsup::RunResult ref = run_reference(c, ref_holder);
  Side& ref_side = *ref_holder;

  EXPECT_FALSE(win.timed_out);
  ASSERT_FALSE(ref.out.empty());
  EXPECT_EQ(normalise(win.out), text_mode(normalise(ref.out)));
  EXPECT_EQ(win.exit_status, c.exit_status);
  EXPECT_EQ(ref.exit_status, c.exit_status) << "the Linux build disagrees";
  EXPECT_LT(win.seconds, c.max_seconds);

  const Bytes image = test_image(c.image_size);
  for (size_t i = 0; i < win_side.sims.size(); ++i) {
    if (!c.modules[i].present) continue;
    const std::string& name = c.modules[i].friendly_name;
    // The port is put back as it was wherever the Linux build puts it back.
    const termios win_after = tsup::tty_settings(win_side.sims[i]->tty_path());
    const termios ref_after = tsup::tty_settings(ref_side.sims[i]->tty_path());
    const termios& win_before = win_side.before[i];
    const termios& ref_before = ref_side.before[i];
    const tcflag_t framing = CSTOPB | CSIZE | PARENB;
    bool win_restored = cfgetospeed(&win_after) == cfgetospeed(&win_before) &&
                        (win_after.c_cflag & framing) == (win_before.c_cflag & framing);
    bool ref_restored = cfgetospeed(&ref_after) == cfgetospeed(&ref_before) &&
                        (ref_after.c_cflag & framing) == (ref_before.c_cflag & framing);
    EXPECT_EQ(win_restored, ref_restored) << name << ": line settings after the run";
    if (c.flash_after == FlashAfter::image) {
      EXPECT_TRUE(win_restored) << name << ": line settings not restored";
    }

    Bytes want = win_side.initial_flash[i];
    if (i == c.target && c.flash_after != FlashAfter::unchanged) std::fill(want.begin(), want.end(), 0xFF);
    if (i == c.target && c.flash_after == FlashAfter::image) std::copy(image.begin(), image.end(), want.begin());
    EXPECT_TRUE(win_side.sims[i]->flash() == want) << name << ": flash content differs";
  }
  if (!c.image_rel.empty()) {
    EXPECT_EQ(tsup::read_file(win_side.root.file(c.image_rel)), image) << "image file changed";
  }
}

const Module BRIDGE9{"Board Bridge (COM9)", 9};

TEST_F(WineTest, BridgeGivenOnTheCommandLine) {
  Case c = named("bridge given with -port");
  c.modules = {BRIDGE9};
  c.args = {"-port", "9", "-no_wait"};
  run_case(c);
}

TEST_F(WineTest, DebuggerPortFoundNextToAPortThatDoesNotOpen) {
  // The debugger's port gets its own line settings; with software flow
  // control on, the image's 0x11 and 0x13 bytes would not reach the flash.
  Case c = named("debugger port detected");
  c.modules = {{"USB Serial Port (COM5)", 5, sim::PeerKind::bridge, false},
               {"KAVO Virtual COM Port (COM7)", 7}};
  c.target = 1;
  c.args = {"-no_wait"};
  run_case(c);
}

TEST_F(WineTest, BuiltinUartAboveCom9NextToASilentPort) {
  Case c = named("built-in UART on COM12");
  c.modules = {{"A Silent Port (COM2)", 2, sim::PeerKind::silent}, {"Chip UART (COM12)", 12, sim::PeerKind::builtin_uart}};
  c.target = 1;
  c.args = {"-no_wait"};
  run_case(c);
}

// Friendly names are read into 300 bytes: a name that fills them with its
// terminator is listed, one byte more and the device is passed over.
TEST_F(WineTest, FriendlyNameThatDoesNotFitIsPassedOver) {
  auto name_of_length = [](size_t n, int com) {
    std::string tail = " (COM" + std::to_string(com) + ")";
    return std::string(n - tail.size(), 'N') + tail;
  };
  Case c = named("long friendly names");
  c.modules = {{name_of_length(300, 4), 4}, {name_of_length(299, 8), 8}};
  c.target = 1;
  c.args = {"-no_wait"};
  Side side;
  prepare(side, c);
  tsup::RunResult r = run_windows(c, side);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out.find("Avail port COM4"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Avail port COM8\r\n1 of ports found\r\n"), std::string::npos) << r.out;
  EXPECT_TRUE(side.sims[1]->flash() != side.initial_flash[1]) << "COM8 was not flashed";
}

// At the line's real pace nothing may overtake bytes still on their way:
// not a rate change, not the close after the built-in UART's reset.
TEST_F(WineTest, WireTiming) {
  for (sim::PeerKind kind : {sim::PeerKind::bridge, sim::PeerKind::builtin_uart}) {
    Case c = named(kind == sim::PeerKind::bridge ? "bridge, timed" : "built-in UART, timed");
    c.modules = {{"Chip Port (COM4)", 4, kind}};
    c.modules[0].timing = true;
    c.args = {"-no_wait"};
    run_case(c);
  }
}

TEST_F(WineTest, PromptWhenTwoPortsAnswer) {
  const std::vector<Module> two = {{"Board Bridge (COM5)", 5}, {"Chip UART (COM6)", 6, sim::PeerKind::builtin_uart}};
  Case c = named("the user picks COM6");
  c.modules = two;
  c.target = 1;
  c.args = {"-no_wait"};
  c.stdin_data = "6\n";
  run_case(c);

  c = named("letters typed at the prompt");
  c.modules = two;
  c.args = {"-no_wait"};
  c.stdin_data = "abc\n";
  c.exit_status = 250;  // -6
  c.flash_after = FlashAfter::unchanged;
  run_case(c);
}

TEST_F(WineTest, FailuresEndTheTaskWithTheirStatus) {
  Case c = named("no serial device");
  c.args = {"-no_wait"};
  c.exit_status = 255;  // -1
  c.flash_after = FlashAfter::unchanged;
  run_case(c);

  c = named("port that does not exist");
  c.args = {"-port", "99", "-no_wait"};
  c.exit_status = 250;  // -6
  c.flash_after = FlashAfter::unchanged;
  run_case(c);

  // 2000 polls of 1 ms: seconds at most, not half a minute of 15.6 ms ticks.
  c = named("programmer never ready");
  c.modules = {BRIDGE9};
  c.modules[0].never_ready = true;
  c.args = {"-port", "9", "-no_wait"};
  c.exit_status = 251;  // -5
  c.flash_after = FlashAfter::unchanged;
  c.max_seconds = 15;
  run_case(c);

  c = named("chip id refused");
  c.modules = {BRIDGE9};
  c.modules[0].chip_id = 0x101000;
  c.args = {"-port", "9", "-no_wait"};
  c.exit_status = 244;  // -12
  c.flash_after = FlashAfter::unchanged;
  run_case(c);

  c = named("no flash identified");
  c.modules = {BRIDGE9};
  c.modules[0].jedec_id = 0xFFFFFFFF;
  c.args = {"-port", "9", "-no_wait"};
  c.exit_status = 244;
  c.flash_after = FlashAfter::unchanged;
  run_case(c);

  c = named("a write window fails");
  c.modules = {BRIDGE9};
  c.modules[0].fail_command = 6;
  c.args = {"-port", "9", "-no_wait"};
  c.exit_status = 244;
  c.flash_after = FlashAfter::erased;
  run_case(c);
}

TEST_F(WineTest, ImageFiles) {
  std::vector<Case> cases;
  for (size_t n : {size_t{1}, size_t{32769}, size_t{0x40000}}) {
    Case c = named("image size");
    c.image_size = n;
    cases.push_back(c);
  }
  Case c = named("image one byte over the limit");
  c.image_size = 0x40001;
  c.exit_status = 244;  // -12
  c.flash_after = FlashAfter::unchanged;
  cases.push_back(c);

  c = named("-fw_path elsewhere");
  c.image_rel = "host/win32/image.bin";
  c.image_size = 5000;
  c.args = {"-fw_path", "../image.bin"};
  cases.push_back(c);

  c = named("image file and input file missing");
  c.image_rel.clear();
  c.input_file = false;
  c.exit_status = 244;  // -12
  c.flash_after = FlashAfter::unchanged;
  cases.push_back(c);

  for (Case& k : cases) {
    k.modules = {BRIDGE9};
    k.args.insert(k.args.end(), {"-port", "9", "-no_wait"});
    run_case(k);
  }
}

// Runs argv with stderr discarded and stdin on /dev/null, or on a pipe that
// stays open and empty (hold_stdin); once stdout holds `marker`, sends `sig`
// to the process. Returns stdout and the exit status.
tsup::RunResult run_and_signal(const std::vector<std::string>& argv, const std::string& cwd,
                               const std::string& marker, int sig, bool hold_stdin = false) {
  tsup::RunResult res;
  int out[2];
  int in[2] = {-1, -1};
  if (pipe(out) != 0) return res;
  if (hold_stdin && pipe(in) != 0) return res;
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    int null_fd = open("/dev/null", O_RDWR);
    dup2(hold_stdin ? in[0] : null_fd, 0);
    dup2(out[1], 1);
    dup2(null_fd, 2);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  if (hold_stdin) close(in[0]);
  bool signalled = false;
  auto deadline = start + std::chrono::seconds(60);
  for (;;) {
    if (std::chrono::steady_clock::now() > deadline) {
      res.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[4096];
    ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    res.out.append(buf, static_cast<size_t>(n));
    if (!signalled && res.out.find(marker) != std::string::npos) {
      kill(pid, sig);
      signalled = true;
    }
  }
  close(out[0]);
  if (hold_stdin) close(in[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  res.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (WIFEXITED(status)) res.exit_status = WEXITSTATUS(status);
  else if (WIFSIGNALED(status)) res.term_signal = WTERMSIG(status);
  return res;
}

// Ctrl-C while the tool waits for the programmer firmware: the port gets
// its own settings back, one line says what happened (through the console's
// text mode like every other line, and nothing after it) and the process ends
// with 130. At the port prompt the tool waits for a key, not for the line,
// and the interruption is still handled.
TEST_F(WineTest, CtrlC) {
  const WinePrefix& wine = *WinePrefix::instance;
  const std::string message = text_mode(PLAT_INTERRUPTED_MESSAGE);
  struct Interrupted {
    const char* name;
    std::vector<Module> modules;
    std::vector<std::string> args;
    const char* marker;
  };
  Module never_ready = BRIDGE9;
  never_ready.never_ready = true;
  const std::vector<Interrupted> cases = {
      {"waiting for the programmer", {never_ready}, {"-port", "9", "-no_wait"}, ">Waiting for chip permission..."},
      {"at the port prompt",
       {{"Board Bridge (COM5)", 5}, {"Chip UART (COM6)", 6, sim::PeerKind::builtin_uart}},
       {"-no_wait"},
       "Enter port number: "},
  };
  for (const Interrupted& k : cases) {
    SCOPED_TRACE(k.name);
    Case c = named(k.name);
    c.modules = k.modules;
    Side side;
    prepare(side, c);
    tsup::TempDir tmp;
    tsup::RunResult r;
    {
      WindowsPorts ports(wine, c, side, tmp);
      std::vector<std::string> argv = {wine.wine(), wine.exe()};
      argv.insert(argv.end(), k.args.begin(), k.args.end());
      r = run_and_signal(argv, side.cwd, k.marker, SIGINT, true);
    }
    for (auto& s : side.sims) s->wait_idle();
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, PLAT_EXIT_INTERRUPTED);
    ASSERT_GE(r.out.size(), message.size());
    EXPECT_EQ(r.out.substr(r.out.size() - message.size()), message) << r.out;
    EXPECT_EQ(r.out.find(message), r.out.size() - message.size()) << "message repeated";
    for (size_t i = 0; i < side.sims.size(); ++i) {
      const termios after = tsup::tty_settings(side.sims[i]->tty_path());
      EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&side.before[i])) << c.modules[i].friendly_name;
      EXPECT_EQ(after.c_cflag & CSTOPB, side.before[i].c_cflag & CSTOPB) << c.modules[i].friendly_name;
    }
  }
}

// The command prompt sees the status as the signed number the task returned.
TEST_F(WineTest, ErrorLevelIsTheSignedStatus) {
  const WinePrefix& wine = *WinePrefix::instance;
  tsup::TempDir tmp;
  std::string exe_path = "Z:" + wine.exe();
  for (auto& ch : exe_path)
    if (ch == '/') ch = '\\';
  std::string bat = "@echo off\r\n\"" + exe_path + "\" -port 99 -no_wait >NUL\r\necho status %ERRORLEVEL%\r\n";
  tsup::write_file(tmp.file("run.bat"), Bytes(bat.begin(), bat.end()));
  tsup::RunOptions opts;
  opts.cwd = tmp.path();
  tsup::RunResult r = tsup::run_process({wine.wine(), "cmd", "/c", "run.bat"}, opts);
  EXPECT_EQ(r.out, "status -6\r\n");
}

// Without -no_wait the task ends with the command interpreter's pause, which
// returns when standard input is closed.
TEST_F(WineTest, PauseAfterTheTask) {
  Case c = named("pause after a download");
  c.modules = {BRIDGE9};
  c.args = {"-port", "9"};
  Side side;
  prepare(side, c);
  tsup::RunResult win = run_windows(c, side);
  c.args.push_back("-no_wait");
  std::unique_ptr<Side> ref_side;
  tsup::RunResult ref = run_reference(c, ref_side);

  EXPECT_FALSE(win.timed_out);
  EXPECT_EQ(win.exit_status, 0);
  std::string without_pause = text_mode(normalise(ref.out));
  std::string got = normalise(win.out);
  ASSERT_GE(got.size(), without_pause.size());
  EXPECT_EQ(got.substr(0, without_pause.size()), without_pause);
  EXPECT_NE(got.find("Press any key", without_pause.size()), std::string::npos) << got.substr(without_pause.size());
}

}  // namespace
