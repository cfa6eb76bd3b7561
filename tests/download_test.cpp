// The image download's own checks: the default-path warning, the open for
// update, and an image file that does not deliver the bytes its size
// promised. The full runs (sizes, erase, write, flash content) are in the
// end-to-end tests.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/options.h"
#include "common/status.h"
#include "image/download.h"
#include "orvex_sim/simulator.h"
#include "port/discovery.h"
#include "programmer/programmer.h"
#include "programmer/spi_flash.h"
#include "support/test_support.h"

namespace {

namespace sim = orvex_sim;
using Bytes = std::vector<uint8_t>;

// Runs with the process three levels below a fresh tree; restores the cwd.
class InTree {
 public:
  InTree() {
    namespace fs = std::filesystem;
    fs::create_directories(tree_.file("firmware"));
    fs::create_directories(tree_.file("programmer_firmware/release"));
    fs::create_directories(tree_.file("a/b/c"));
    sim::write_programmer_firmware(tree_.file("programmer_firmware/release/programmer_firmware.bin"));
    old_ = fs::current_path().string();
    fs::current_path(tree_.file("a/b/c"));
  }
  ~InTree() {
    std::filesystem::current_path(old_);
    image_path = DEFAULT_IMAGE_PATH;
  }
  std::string file(const std::string& rel) const { return tree_.file(rel); }

 private:
  tsup::TempDir tree_;
  std::string old_;
};

std::string downloaded(int8_t* status) {
  testing::internal::CaptureStdout();
  *status = download_image();
  return testing::internal::GetCapturedStdout();
}

const std::string WARNING = "\n(WARN)Default PATH for image file will be used.\r\n\r";

std::string unable_to_open(const std::string& path) {
  return "\n\r[ERR]Unable to open Firmware file:\n\t\"" + path + "\"\r\n\r";
}

// Paths that fail to open: the warning depends on the first 29 characters
// only, and nothing of the programmer is reached.
TEST(DownloadImage, WarningAndRefusedOpen) {
  InTree tree;
  struct Case {
    std::string path;
    bool warns;
  } cases[] = {
      {"../../../firmware/m2m_aio.bin", true},
      {"../../../firmware/m2m_aio.bin.old", true},
      {"../../../firmware/m2m_aio.bi", false},  // shorter than the default
      {"../../../firmware/m2m_aio.BIN", false},
      {"./../../firmware/m2m_aio.bin", false},
      {"", false},
      {"../../../firmware/m2m_aio.bin.d", true},  // a directory cannot be opened for update
  };
  std::filesystem::create_directories(tree.file("firmware/m2m_aio.bin.d"));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    image_path = c.path;
    int8_t status = 0;
    std::string out = downloaded(&status);
    EXPECT_EQ(status, QD_ERR_FAIL);
    EXPECT_EQ(out, (c.warns ? WARNING : "") + unable_to_open(c.path));
  }
}

// A file that reports more bytes than a read delivers (kernel attribute
// files report a page, then read a line): the download stops before the
// flash is identified or erased, and says which file it could not read.
TEST(DownloadImage, ShortReadStopsBeforeTheFlashIsTouched) {
  std::string source;
  for (const char* p : {"/sys/kernel/mm/transparent_hugepage/enabled", "/sys/kernel/mm/transparent_hugepage/defrag",
                        "/sys/kernel/mm/ksm/run", "/sys/power/state"}) {
    std::FILE* f = std::fopen(p, "rb+");
    if (!f) continue;
    char buf[8192];
    long end = (std::fseek(f, 0, SEEK_END) == 0) ? std::ftell(f) : -1;
    std::fseek(f, 0, SEEK_SET);
    size_t got = std::fread(buf, 1, sizeof buf, f);
    std::fclose(f);
    if (end > 0 && end <= 0x40000 && got < static_cast<size_t>(end)) {
      source = p;
      break;
    }
  }
  if (source.empty()) GTEST_SKIP() << "no file here reads shorter than its size";

  InTree tree;
  tsup::PortDir ports;
  sim::SimConfig cfg;
  cfg.port_dir = ports.path();
  cfg.friendly_name = "Bench Bridge (COM9)";
  cfg.flash_content = sim::FlashContent::demo;
  sim::Simulator module(cfg);
  module.start();
  Bytes before = module.flash();

  qd_discovery_reset();
  spi_flash_forget_size();
  testing::internal::CaptureStdout();
  int8_t up = programmer_init(9);
  std::string bring_up = testing::internal::GetCapturedStdout();
  ASSERT_EQ(up, QD_OK) << bring_up;

  image_path = source;
  int8_t status = 0;
  std::string out = downloaded(&status);
  EXPECT_EQ(status, QD_ERR_FAIL);
  EXPECT_EQ(out, "\n\rFirmware image file has been opened:\n\t\"" + source + "\"\r\n\r" +
                     "[ERR]Unable to read Firmware file:\n\t\"" + source + "\"\r\n\r");
  testing::internal::CaptureStdout();
  programmer_deinit();
  testing::internal::GetCapturedStdout();
  module.wait_idle();
  EXPECT_TRUE(module.flash() == before) << "flash touched";
  EXPECT_EQ(module.stats().commands, 0u);
}

}  // namespace
