// The files the simulator lays out (programmer firmware, demo workspace and
// flash) and the orvex_sim program itself: ready line, port, exit report.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "orvex_sim/simulator.h"
#include "sim_tool_side.h"
#include "support/test_support.h"

using namespace simtest;

namespace {

uint32_t le(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(b[at]) | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

bool exists(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0;
}

TEST(SimFiles, ProgrammerFirmwareFileIsHeaderThenAValidPayload) {
  Bytes file = orvex_sim::programmer_firmware_file();
  ASSERT_GE(file.size(), 16u);
  Bytes body(file.begin() + 12, file.end());
  EXPECT_LE(body.size(), 65535u);
  EXPECT_TRUE(orvex_sim::valid_programmer_payload(body));
  for (size_t at : {size_t{0}, size_t{5}, body.size() / 2, body.size() - 1}) {
    Bytes bad = body;
    bad[at] ^= 0x01;
    EXPECT_FALSE(orvex_sim::valid_programmer_payload(bad)) << "byte " << at;
  }
  EXPECT_FALSE(orvex_sim::valid_programmer_payload(Bytes(body.begin(), body.end() - 1)));
  // The build lays down the same file.
  EXPECT_EQ(tsup::read_file(std::string(ORVEX_BINARY_DIR) + "/programmer_firmware.bin"), file);
}

TEST(SimFiles, DemoWorkspaceResolvesTheToolsRelativePaths) {
  tsup::TempDir dir;
  std::string work = orvex_sim::write_demo_workspace(dir.path());
  ASSERT_TRUE(exists(work));
  const std::string image = work + "/../../../firmware/m2m_aio.bin";
  const std::string input = work + "/../../../firmware/wifi_v111/ASIC_A0/wifi_firmware.bin";
  const std::string prog = work + "/../../../programmer_firmware/release/programmer_firmware.bin";
  ASSERT_TRUE(exists(image) && exists(input) && exists(prog));

  Bytes img = tsup::read_file(image);
  EXPECT_LE(img.size(), 0x40000u);
  EXPECT_EQ(img, orvex_sim::demo_image());
  EXPECT_EQ(tsup::read_file(prog), orvex_sim::programmer_firmware_file());

  // Input file: build information header at offset 12.
  Bytes in = tsup::read_file(input);
  ASSERT_GE(in.size(), 48u);
  EXPECT_EQ(le(in, 12), 0xDADBABBAu);
  EXPECT_EQ(le(in, 20), 0x13301361u);  // firmware 19.6.1, driver 19.3.0
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&in[24])), "Mar 18 2026");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&in[36])), "14:02:33");
}

TEST(SimFiles, ImageAndDemoFlashCarryAControlBlockAndTwoBuildHeaders) {
  for (const Bytes& f : {orvex_sim::demo_image(), orvex_sim::demo_flash(0x100000)}) {
    ASSERT_EQ(le(f, 0x1000), 0x1ABCDEF9u);
    for (size_t off : {size_t{16}, size_t{24}}) {
      uint32_t image = le(f, 0x1000 + off);
      ASSERT_LT(image + 0x810 + 36, f.size());
      EXPECT_EQ(le(f, image + 0x810), 0xDADBABBAu);
      uint32_t version = le(f, 0x1000 + off + (off == 16 ? 4 : 8));
      EXPECT_NE(version & 0xFF0, 0u) << "firmware major or minor set, so the report prints it";
      EXPECT_EQ(le(f, image + 0x810 + 8), version);
    }
  }
  // The image replaces the flash content with other versions.
  const Bytes old = orvex_sim::demo_flash(0x100000);
  EXPECT_NE(le(orvex_sim::demo_image(), 0x1014), le(old, 0x1014));
}

// Runs orvex_sim in the background with its standard output on a pipe.
class SimProcess {
 public:
  explicit SimProcess(std::vector<std::string> args) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      std::vector<char*> argv;
      std::string bin = ORVEX_SIM_BIN;
      argv.push_back(bin.data());
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(bin.c_str(), argv.data());
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
  }
  ~SimProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_);
  }
  std::string line() {
    std::string s;
    char c;
    while (read(out_, &c, 1) == 1 && c != '\n') s += c;
    return s;
  }
  int terminate() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

TEST(SimProgram, PublishesThePortAndReportsAtExit) {
  tsup::TempDir dir;
  const std::string stats = dir.file("stats.txt");
  const std::string flash = dir.file("flash.bin");
  SimProcess sim({"--kind", "uart", "--port-dir", dir.path(), "--name", "Test UART (COM4)", "--stats", stats,
                  "--flash", flash, "--demo-flash", "--chip-id", "0x1002B0"});
  std::string ready = sim.line();
  ASSERT_EQ(ready.rfind("ready tty=/dev/pts/", 0), 0u) << ready;
  const std::string link = dir.file("Test UART (COM4)");
  EXPECT_NE(ready.find(" port=" + link), std::string::npos);
  EXPECT_EQ(tsup::read_file(flash), orvex_sim::demo_flash(0x100000));
  {
    ToolSide tool(link, false);
    tool.send({0x12});
    EXPECT_EQ(tool.recv(1), Bytes{0x5A});
    EXPECT_EQ(tool.read_reg(0x1000), 0x1002B0u);
  }
  EXPECT_EQ(sim.terminate(), 0);
  EXPECT_FALSE(exists(link));
  std::string report = "\n";
  for (uint8_t b : tsup::read_file(stats)) report += static_cast<char>(b);
  EXPECT_NE(report.find("\nframes 1\n"), std::string::npos) << report;
  EXPECT_NE(report.find("\nsync_bytes 1\n"), std::string::npos) << report;
  EXPECT_NE(report.find("\nfloor_s "), std::string::npos) << report;
}

TEST(SimProgram, HelpAndBadArguments) {
  auto help = tsup::run_process({ORVEX_SIM_BIN, "--help"});
  EXPECT_EQ(help.exit_status, 0);
  for (const char* flag : {"--kind", "--port-dir", "--tty", "--jedec", "--flash", "--timing", "--trace",
                           "--fault-hangup-after", "--write-programmer", "--demo-workspace"})
    EXPECT_NE(help.out.find(flag), std::string::npos) << flag;
  for (std::vector<std::string> bad : {std::vector<std::string>{"--kind", "modem"}, {"--jedec", "x"}, {"--nope"},
                                       {"--fault-command", "8"}}) {
    bad.insert(bad.begin(), ORVEX_SIM_BIN);
    EXPECT_EQ(tsup::run_process(bad).exit_status, 2) << bad[1];
  }
}

}  // namespace
