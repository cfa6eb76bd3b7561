// The download task in the process against a simulated module: what frames
// the two slots, which status it returns, when the time line appears and
// what it measures.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "app/download_task.h"
#include "app/options.h"
#include "chip/chip.h"
#include "common/status.h"
#include "orvex_sim/simulator.h"
#include "port/discovery.h"
#include "port/port.h"
#include "programmer/spi_flash.h"
#include "support/test_support.h"

namespace {

namespace sim = orvex_sim;
using Bytes = std::vector<uint8_t>;

void reset_tool() {
  qd_bus_deinit();
  qd_discovery_reset();
  qd_chip_forget_id();
  spi_flash_forget_size();
  image_path = DEFAULT_IMAGE_PATH;
}

// "%5.2f": at least five characters, space-padded.
const std::regex TIME_LINE(R"(\n>>This task finished after ( ?[0-9]+\.[0-9]{2}) sec\n\r\r$)");

TEST(DownloadTask, StatusAndTimeLine) {
  struct Case {
    const char* name;
    uint32_t chip_id;
    bool image_present;
    int8_t status;
    bool success_line;
    bool time_line;
  };
  const Case cases[] = {
      {"complete run", 0x1002A0, true, QD_OK, true, true},
      {"the download fails", 0x1002A0, false, QD_ERR_FAIL, false, true},
      {"the bring-up fails", 0x101000, true, QD_ERR_FAIL, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reset_tool();
    tsup::TempDir tree;
    const std::string work = sim::write_demo_workspace(tree.path());
    // A small image keeps the timed line short.
    const Bytes image = Bytes(4096, 0x5A);
    if (c.image_present) {
      tsup::write_file(tree.file("firmware/m2m_aio.bin"), image);
    } else {
      std::filesystem::remove(tree.file("firmware/m2m_aio.bin"));
    }
    const std::string old_cwd = std::filesystem::current_path().string();
    std::filesystem::current_path(work);

    tsup::PortDir ports;
    sim::SimConfig cfg;
    cfg.port_dir = ports.path();
    cfg.friendly_name = "Board Bridge (COM9)";
    cfg.chip_id = c.chip_id;
    // A bring-up of well over a second that the time line must not show.
    cfg.timing = true;
    cfg.latency_ms = 0;
    cfg.startup_ms = 1500;
    cfg.erase_ms_per_64k = 0;
    cfg.page_program_ms = 0;
    sim::Simulator module(cfg);
    module.start();

    testing::internal::CaptureStdout();
    auto t0 = std::chrono::steady_clock::now();
    int8_t status = download_task(9);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::string out = testing::internal::GetCapturedStdout();
    std::filesystem::current_path(old_cwd);

    EXPECT_EQ(status, c.status);
    EXPECT_EQ(out.rfind(">>Init Programmer\n\r", 0), 0u) << out;
    EXPECT_EQ(out.find("\nImage downloaded successfully.\r\n\r") != std::string::npos, c.success_line) << out;
    std::smatch m;
    const bool has_time = std::regex_search(out, m, TIME_LINE);
    EXPECT_EQ(has_time, c.time_line) << out;
    ASSERT_TRUE(module.wait_idle());
    if (c.time_line && has_time) {
      EXPECT_GE(m[1].length(), 5);
      // Bring-up and version report are outside the measured time.
      EXPECT_GE(wall, 1.5);
      EXPECT_LT(std::stod(m[1]), 1.0) << out;
      // The shutdown ran: the bridge is back at 115200.
      EXPECT_EQ(module.line_rate(), 115200u);
      EXPECT_EQ(module.stats().rate_changes, 2u);
    } else {
      EXPECT_EQ(out,
                ">>Init Programmer\n\r>>(ERR):Invalid chip ID = 0x00151000\n\r>>(ERR):Connect ORV3100 Dx Fail\n\r"
                "(ERR)Failed To intilize programmer\n\r");
      EXPECT_EQ(module.stats().rate_changes, 0u);
    }
    const Bytes flash = module.flash();
    if (c.success_line) {
      EXPECT_TRUE(Bytes(flash.begin(), flash.begin() + long(image.size())) == image);
    }
    reset_tool();
  }
}

}  // namespace
