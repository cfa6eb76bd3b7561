// The entry point: argument scan, banner, the task slot, the closing pause
// and the exit status.
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/options.h"
#include "common/status.h"
#include "support/test_support.h"

namespace {

const std::string BANNER =
    "********************************************\n\r\r"
    "*  >Programmer for ORVEX310 SPI Flash<     *\n\r\r"
    "*  orvex_flash - serial flash programmer   *\n\r\r"
    "********************************************\n\r\r";
const std::string PAUSE = "Press any key to continue . . . \n";

// argv as the program gets it, with the program name first.
struct Argv {
  explicit Argv(const std::vector<std::string>& args) : store{"orvex_flash"} {
    store.insert(store.end(), args.begin(), args.end());
    for (auto& s : store) ptrs.push_back(s.data());
    ptrs.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(store.size()); }
  char** argv() { return ptrs.data(); }
  std::vector<std::string> store;
  std::vector<char*> ptrs;
};

TEST(ParseArguments, Table) {
  const std::string def = DEFAULT_IMAGE_PATH;
  const std::string long_path(5000, 'p');
  struct Case {
    std::vector<std::string> args;
    int port;
    bool no_wait;
    std::string path;
  };
  const Case cases[] = {
      {{}, 0, false, def},
      {{"-port"}, 0, false, def},               // no value
      {{"-port", "COM5"}, 0, false, def},       // not a number: detect
      {{"-port", "300"}, 44, false, def},       // low eight bits
      {{"-port", "  -3"}, 253, false, def},     // white space and sign
      {{"-port", "+12x"}, 12, false, def},      // stops at the first non-digit
      {{"--port", "5"}, 5, false, def},         // substring match
      {{"-port", "3", "-port", "7"}, 7, false, def},
      {{"-port", "3", "-port", "COM1"}, 0, false, def},
      {{"-port", "-no_wait"}, 0, false, def},   // the value is not visited
      {{"-fw_path"}, 0, false, def},
      {{"-fw_path", "a.bin"}, 0, false, "a.bin"},
      {{"-fw_path", "x-no_wait.bin"}, 0, true, "x-no_wait.bin"},  // visited again
      {{"-fw_path", "-port", "9"}, 9, false, "-port"},
      {{"x-fw_path-port", "7"}, 0, false, "7"},  // first matching option only
      {{"--no_wait"}, 0, true, def},
      {{"-no_waiting", "junk", "-x"}, 0, true, def},
      {{"-fw_path", "a.bin", "-fw_path", "b.bin"}, 0, false, "b.bin"},
      {{"-fw_path", long_path}, 0, false, long_path},  // any length
  };
  for (const Case& c : cases) {
    std::string label;
    for (const auto& a : c.args) label += "[" + a.substr(0, 20) + "]";
    SCOPED_TRACE(label);
    image_path = DEFAULT_IMAGE_PATH;
    Argv a(c.args);
    uint8_t port = 99;
    uint32_t flags = parse_arguments(a.argv(), a.argc(), &port);
    EXPECT_EQ(port, c.port);
    EXPECT_EQ((flags & OPT_NO_WAIT) != 0, c.no_wait);
    EXPECT_EQ(image_path, c.path);
  }
  image_path = DEFAULT_IMAGE_PATH;
}

TEST(Banner, FourFramedLines) {
  testing::internal::CaptureStdout();
  print_banner();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), BANNER);
}

uint8_t seen_port;
int8_t task_status;
int8_t recording_task(uint8_t port) {
  seen_port = port;
  std::fputs("task\n", stdout);
  return task_status;
}

TEST(AppMain, RunsTheTaskAndReturnsItsStatusSignExtended) {
  for (int8_t status : {QD_OK, QD_ERR_SYNC, QD_ERR_PORT, QD_ERR_FAIL}) {
    SCOPED_TRACE(static_cast<int>(status));
    task_status = status;
    seen_port = 0;
    Argv a({"-port", "12", "-no_wait"});
    testing::internal::CaptureStdout();
    int rc = app_main(a.argc(), a.argv(), recording_task);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), BANNER + "task\n");
    EXPECT_EQ(rc, status);
    EXPECT_EQ(seen_port, 12);
  }
}

TEST(AppMain, PauseTakesOneByteAndNeverWaitsOnEndOfInput) {
  struct Case {
    const char* name;
    std::string input;
    bool closed;
    int next;  // what standard input gives after the pause
  };
  const Case cases[] = {
      {"bytes", "xyz", false, 'y'},
      {"end of input", "", false, EOF},
      {"closed", "", true, EOF},
  };
  task_status = QD_ERR_PORT;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto in = c.closed ? std::make_unique<tsup::StdinFrom>(-1) : std::make_unique<tsup::StdinFrom>(c.input);
    Argv a({});
    testing::internal::CaptureStdout();
    auto t0 = std::chrono::steady_clock::now();
    int rc = app_main(a.argc(), a.argv(), recording_task);
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), BANNER + "task\n" + PAUSE);
    EXPECT_EQ(rc, -6);
    EXPECT_LT(took, std::chrono::milliseconds(500));
    EXPECT_EQ(std::getc(stdin), c.next);
  }
}

TEST(AppMain, PauseOnTerminalWaitsForOneFreshKeyAndRestoresTerminal) {
  tsup::PtyPair tty;
  termios cooked{};
  ASSERT_EQ(tcgetattr(tty.slave(), &cooked), 0);
  cooked.c_lflag |= ICANON | ECHO | ISIG;
  ASSERT_EQ(tcsetattr(tty.slave(), TCSANOW, &cooked), 0);
  tsup::StdinFrom in(tty.slave());
  tty.send({'a'});  // typed before the pause: does not count
  usleep(20000);
  std::thread typist([&] {
    usleep(150000);
    tty.send({'k'});  // one key, no Enter
  });
  task_status = QD_OK;
  Argv a({});
  testing::internal::CaptureStdout();
  auto t0 = std::chrono::steady_clock::now();
  int rc = app_main(a.argc(), a.argv(), recording_task);
  auto took = std::chrono::steady_clock::now() - t0;
  typist.join();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), BANNER + "task\n" + PAUSE);
  EXPECT_EQ(rc, 0);
  EXPECT_GE(took, std::chrono::milliseconds(120));
  EXPECT_LT(took, std::chrono::seconds(3));
  termios after{};
  ASSERT_EQ(tcgetattr(tty.slave(), &after), 0);
  EXPECT_EQ(after.c_lflag, cooked.c_lflag);
  EXPECT_EQ(after.c_cc[VMIN], cooked.c_cc[VMIN]);
}

TEST(Binary, ExitStatusIsTheTaskStatusSignExtended) {
  tsup::TempDir no_ports;
  struct Case {
    std::vector<std::string> args;
    bool pause;
  };
  const Case cases[] = {
      {{"-no_wait", "-port", "5"}, false},
      {{"-port", "5"}, true},  // no standard input: the pause must not hang
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv{ORVEX_FLASH_BIN};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    tsup::RunOptions opts;
    opts.env = {"ORVEX_PORT_DIR=" + no_ports.path()};
    opts.timeout_ms = 20000;
    tsup::RunResult r = tsup::run_process(argv, opts);
    ASSERT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 250);  // -6 as the shell sees it
    EXPECT_EQ(r.out.rfind(BANNER, 0), 0u);
    EXPECT_NE(r.out.find("(APP)(ERR)[qd_uart_init]["), std::string::npos);
    bool paused = r.out.size() >= PAUSE.size() && r.out.compare(r.out.size() - PAUSE.size(), PAUSE.size(), PAUSE) == 0;
    EXPECT_EQ(paused, c.pause);
  }
}

}  // namespace
