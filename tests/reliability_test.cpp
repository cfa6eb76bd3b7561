// The tool when things go wrong around it: the line hung up mid-run, the
// run interrupted by Ctrl-C or a termination request, and a second tool
// started on a port the first one is using. The real orvex_flash runs in
// the background against simulated modules on pseudo-terminals.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "campaign/child.h"
#include "orvex_sim/simulator.h"
#include "support/test_support.h"

namespace {

namespace sim = orvex_sim;
using Bytes = std::vector<uint8_t>;
using campaign::Child;
using campaign::ChildResult;

constexpr const char* IMAGE_REL = "firmware/m2m_aio.bin";
constexpr const char* INTERRUPTED = "\n>>(ERR):Download interrupted\n\r";
constexpr const char* SUCCESS = "\nImage downloaded successfully.\r\n";

Bytes make_image(size_t n) {
  Bytes b(n);
  uint32_t x = 12345;
  for (auto& v : b) {
    x = x * 1664525u + 1013904223u;
    v = static_cast<uint8_t>(x >> 24);
  }
  return b;
}

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The tool's files three levels above its working folder, and one module.
struct Rig {
  tsup::TempDir root;
  tsup::TempDir ports;
  std::string cwd;
  Bytes image;
  std::unique_ptr<sim::Simulator> module;
  termios unusual{};

  explicit Rig(size_t image_size, const sim::SimConfig& base = {}) {
    namespace fs = std::filesystem;
    fs::create_directories(root.file("firmware/wifi_v111/ASIC_A0"));
    fs::create_directories(root.file("programmer_firmware/release"));
    fs::create_directories(root.file("a/b/c"));
    cwd = root.file("a/b/c");
    image = make_image(image_size);
    tsup::write_file(root.file(IMAGE_REL), image);
    tsup::write_file(root.file("firmware/wifi_v111/ASIC_A0/wifi_firmware.bin"), sim::demo_input_firmware());
    sim::write_programmer_firmware(root.file("programmer_firmware/release/programmer_firmware.bin"));
    sim::SimConfig cfg = base;
    cfg.port_dir = ports.path();
    cfg.friendly_name = "Board Bridge (COM9)";
    module = std::make_unique<sim::Simulator>(cfg);
    module->start();
    // Settings of the port's own, so that their restore can be seen.
    unusual = tsup::give_unusual_settings(module->tty_path(), false);
  }

  std::unique_ptr<Child> start(std::vector<std::string> args = {"-port", "9", "-no_wait"}) const {
    args.insert(args.begin(), ORVEX_FLASH_BIN);
    return std::make_unique<Child>(args, cwd, std::vector<std::string>{"ORVEX_PORT_DIR=" + ports.path()});
  }

  // The port is free again: another program can open it and take its lock.
  bool port_free() const {
    int fd = open(module->tty_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free;
  }
};

// ---------------------------------------------------------------------------
// Interruption: the port's settings back, the port released, one line, and
// the status of the signal; never the success line.

struct InterruptCase {
  const char* name;
  int sig;
  bool during_bring_up;  // else mid-download
  int exit_status;
};

class Interruption : public testing::TestWithParam<InterruptCase> {};

TEST_P(Interruption, ReleasesThePortAndSaysSo) {
  const InterruptCase& c = GetParam();
  sim::SimConfig cfg;
  cfg.timing = true;  // a download of seconds, to land in its middle
  cfg.faults.programmer_never_ready = c.during_bring_up;
  Rig rig(0x40000, cfg);
  auto tool = rig.start();
  const char* landmark = c.during_bring_up ? ">Waiting for chip permission...\n" : ">Complete Percentage = 12%.";
  ASSERT_TRUE(tool->wait_for_output(landmark, 30000)) << tool->out();
  double sent = campaign::now_s();
  tool->send_signal(c.sig);
  ChildResult r = tool->finish(10000);

  EXPECT_LT(campaign::now_s() - sent, 1.0) << "not ended at once";
  EXPECT_EQ(r.exit_status, c.exit_status);
  EXPECT_TRUE(ends_with(r.out, INTERRUPTED)) << r.out.substr(r.out.size() > 200 ? r.out.size() - 200 : 0);
  EXPECT_EQ(r.out.find(SUCCESS), std::string::npos);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(tsup::same_settings(tsup::tty_settings(rig.module->tty_path()), rig.unusual)) << "port settings not restored";
  EXPECT_TRUE(rig.port_free());
  EXPECT_EQ(tsup::read_file(rig.root.file(IMAGE_REL)), rig.image) << "image file changed";
}

INSTANTIATE_TEST_SUITE_P(Signals, Interruption,
                         testing::Values(InterruptCase{"ctrl_c_mid_download", SIGINT, false, 130},
                                         InterruptCase{"sigterm_mid_download", SIGTERM, false, 143},
                                         InterruptCase{"ctrl_c_during_bring_up", SIGINT, true, 130},
                                         InterruptCase{"sighup_during_bring_up", SIGHUP, true, 129}),
                         [](const testing::TestParamInfo<InterruptCase>& i) { return std::string(i.param.name); });

// ---------------------------------------------------------------------------
// The line hung up (a cable pulled): the existing failure messages and
// statuses, at once; no loop on a dead line.

struct HangupCase {
  const char* name;
  uint64_t after_bytes;
  int exit_status;
  const char* failure;  // the failure message printed
  const char* tail;     // the output's last message
};

class LineGone : public testing::TestWithParam<HangupCase> {};

TEST_P(LineGone, FailsAtOnceWithTheUsualMessages) {
  const HangupCase& c = GetParam();
  sim::SimConfig cfg;
  cfg.faults.hangup_after_bytes = c.after_bytes;
  Rig rig(70000, cfg);
  auto tool = rig.start();
  ChildResult r = tool->finish(30000);
  std::string out = tsup::mask_log_lines(r.out);
  const std::string times_prefix = ">>This task finished after ";
  size_t times = out.find(times_prefix);
  if (times != std::string::npos) {
    size_t from = times + times_prefix.size();
    out.erase(from, out.find(" sec", from) - from);
  }

  EXPECT_EQ(r.exit_status, c.exit_status);
  EXPECT_NE(out.find(c.failure), std::string::npos) << out;
  EXPECT_TRUE(ends_with(out, c.tail)) << out.substr(out.size() > 300 ? out.size() - 300 : 0);
  EXPECT_EQ(r.err, "");
  // A clean run of this image takes about a second; a dead line adds only
  // the fixed pauses. Polling a dead line until the counted waits run out
  // (the 10001 polls of a programmer command) would take over ten seconds.
  EXPECT_LT(r.wall_s, 6.0);
  EXPECT_LT(r.cpu_s, 1.0);
  EXPECT_EQ(tsup::read_file(rig.root.file(IMAGE_REL)), rig.image);
}

INSTANTIATE_TEST_SUITE_P(
    Hangups, LineGone,
    testing::Values(HangupCase{"during_programmer_upload", 300, 250, ">Waiting for chip permission...\n\r",
                               "(ERR)Failed To intilize programmer\n\r"},
                    // The shutdown's own failed exchanges come between.
                    HangupCase{"mid_download", 40000, 244, ">\r\n[ERR]Error Writing Image\r\n\r",
                               "\n>>This task finished after  sec\n\r\r"}),
    [](const testing::TestParamInfo<HangupCase>& i) { return std::string(i.param.name); });

// ---------------------------------------------------------------------------
// A serial bridge that refuses the write of a programmer command's code: the
// state register still holds the 9 of the command before, and the command
// that never ran must not pass as done.

// The 1-based number of the first frame writing `code` to the state register
// in a clean run (the module numbers well-formed frames the same way).
uint64_t state_write_frame(uint32_t code) {
  std::vector<std::string> lines;
  sim::SimConfig cfg;
  cfg.trace = true;
  cfg.trace_sink = [&lines](const std::string& l) { lines.push_back(l); };
  Rig rig(40000, cfg);
  ChildResult r = rig.start()->finish(30000);
  EXPECT_EQ(r.exit_status, 0);
  rig.module->wait_idle();
  char want[64];
  std::snprintf(want, sizeof want, "(prog state) = 0x%08X", static_cast<unsigned>(code));
  uint64_t frame = 0;
  for (const auto& l : lines) {
    if (l.rfind("<- A5 ", 0) != 0 || l.find("malformed") != std::string::npos) continue;
    ++frame;
    if (l.find(want) != std::string::npos) return frame;
  }
  return 0;
}

TEST(RefusedCommand, IsAFailureNotTheLastCommandsReady) {
  struct Case {
    uint32_t code;
    const char* failure;
  } cases[] = {{8, "Error while erasing SPI FLash.\r\n\r"}, {6, ">\r\n[ERR]Error Writing Image\r\n\r"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    uint64_t frame = state_write_frame(c.code);
    ASSERT_NE(frame, 0u);
    sim::SimConfig cfg;
    cfg.faults.wrong_ack_at_frame = frame;
    Rig rig(40000, cfg);
    ChildResult r = rig.start()->finish(30000);
    EXPECT_EQ(r.exit_status, 244);
    EXPECT_EQ(r.out.find(SUCCESS), std::string::npos);
    EXPECT_NE(r.out.find(c.failure), std::string::npos) << r.out;
  }
}

// ---------------------------------------------------------------------------
// Two tools, one module: the second fails at the open and disturbs nothing.

TEST(TwoTools, SecondFailsAtTheOpenAndTheFirstFinishes) {
  sim::SimConfig cfg;
  cfg.timing = true;
  Rig rig(0x10000, cfg);
  auto first = rig.start();
  ASSERT_TRUE(first->wait_for_output(">Start programming..", 30000)) << first->out();

  // Named on the command line: the open fails.
  ChildResult named = rig.start()->finish(30000);
  std::string out = tsup::mask_log_lines(named.out);
  EXPECT_TRUE(ends_with(out, ">>Init Programmer\n\r(APP)(ERR)[qd_uart_init][#]Could not open port\n\r"
                             ">>(ERR):Connect Fail\n\r(ERR)Failed To intilize programmer\n\r"))
      << out;
  EXPECT_EQ(named.exit_status, 250);
  // Found by detection: the busy port is not even probed.
  ChildResult detected = rig.start({"-no_wait"})->finish(30000);
  EXPECT_EQ(detected.exit_status, 255) << detected.out;

  ChildResult r = first->finish(60000);
  EXPECT_EQ(r.exit_status, 0) << r.out;
  EXPECT_NE(r.out.find(SUCCESS), std::string::npos);
  rig.module->wait_idle();
  Bytes flash = rig.module->flash();
  EXPECT_TRUE(std::equal(rig.image.begin(), rig.image.end(), flash.begin())) << "flash does not hold the image";
  EXPECT_EQ(rig.module->stats().malformed_frames, 0u);
  EXPECT_TRUE(tsup::same_settings(tsup::tty_settings(rig.module->tty_path()), rig.unusual));
}

}  // namespace
