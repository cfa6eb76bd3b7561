// Version records: the input firmware file's build header, the flash's
// image control block and the images' build headers, and their printout.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/status.h"
#include "image/version.h"
#include "orvex_sim/simulator.h"
#include "port/discovery.h"
#include "programmer/programmer.h"
#include "support/test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

void put_le32(Bytes& b, size_t at, uint32_t v) {
  if (b.size() < at + 4) b.resize(at + 4, 0);
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void put_text(Bytes& b, size_t at, const std::string& s) {
  if (b.size() < at + s.size()) b.resize(at + s.size(), 0);
  std::memcpy(b.data() + at, s.data(), s.size());
}

// A 36-byte build header: marker, version word, date and time fields.
Bytes build_header(uint32_t version, const std::string& date, const std::string& time,
                   uint32_t marker = 0xDADBABBA) {
  Bytes h(36, 0);
  put_le32(h, 0, marker);
  put_le32(h, 4, 0x55555555);
  put_le32(h, 8, version);
  put_text(h, 12, date.substr(0, 12));
  put_text(h, 24, time.substr(0, 9));
  h[33] = h[34] = h[35] = 0x77;
  return h;
}

// A firmware file: 12 leading bytes, then the header, then a tail.
Bytes firmware_file(const Bytes& header, size_t tail = 64) {
  Bytes f(12 + header.size() + tail, 0xCD);
  std::fill(f.begin(), f.begin() + 12, 0xEE);
  std::copy(header.begin(), header.end(), f.begin() + 12);
  return f;
}

std::string record_lines(const std::string& title, const std::string& fw, const std::string& drv,
                         const std::string& date, const std::string& time) {
  return title + "\r" + "Firmware ver   : " + fw + "\n\r" + "Min driver ver : " + drv + "\n\r" +
         "Firmware Build " + date + " Time " + time + "\n\r";
}

std::string printed(const firmware_version_record& r, const char* title = "T\n") {
  testing::internal::CaptureStdout();
  print_version_record(title, &r);
  return testing::internal::GetCapturedStdout();
}

firmware_version_record poisoned() {
  firmware_version_record r;
  std::memset(&r, 0xA5, sizeof r);
  return r;
}

TEST(UnpackVersion, FieldsOfThePackedWord) {
  struct Case {
    uint32_t word;
    const char* fw;
    const char* drv;
  } cases[] = {
      {0x11201330, "19.3.0", "17.2.0"},
      {0xFFFFFFFF, "255.15.15", "255.15.15"},
      {0x00000010, "0.1.0", "0.0.0"},
      {0x0000000F, "0.0.15", "0.0.0"},
      {0xAB5C0000, "0.0.0", "171.5.12"},
  };
  for (const auto& c : cases) {
    firmware_version_record r{};
    unpack_version(c.word, &r);
    EXPECT_EQ(printed(r), record_lines("T\n", c.fw, c.drv, "", "")) << std::hex << c.word;
  }
}

TEST(PrintVersionRecord, TextsEndAtTheirFirstNulOrTheirFieldEnd) {
  firmware_version_record r{};
  unpack_version(0x11201330, &r);
  std::memcpy(r.build_date, "Dec 09 20261", 12);  // no NUL inside the field
  std::memcpy(r.build_time, "23:59:591", 9);     // no NUL either
  r.chip_id = 0x31313131;                         // would show if the time ran past its field
  EXPECT_EQ(printed(r, "----- Input Firmware File Version-----\n"),
            record_lines("----- Input Firmware File Version-----\n", "19.3.0", "17.2.0", "Dec 09 20261",
                         "23:59:591"));

  std::memcpy(r.build_date, "Dec\0 09 2026", 12);
  std::memcpy(r.build_time, "\0" "3:59:591", 9);
  EXPECT_EQ(printed(r), record_lines("T\n", "19.3.0", "17.2.0", "Dec", ""));
}

// The input file: its size, its marker and the header at offset 12.
TEST(InputFirmwareVersion, FilesRefusedOrRead) {
  const Bytes good = build_header(0x11201330, std::string("Dec  9 2026\0", 12), std::string("10:20:30\0", 9));
  Bytes short37 = firmware_file(good, 0);
  short37.resize(37);  // header cut after the first byte of the time
  Bytes exact36 = firmware_file(good, 0);
  exact36.resize(36);
  Bytes short37_nomarker = short37;
  short37_nomarker[12] = 0;
  Bytes swapped = firmware_file(build_header(0x11201330, "d", "t", 0xBAABDBDA));
  Bytes full_fields =
      firmware_file(build_header(0x00000010, "Jan 31 20261", "01:02:031"));

  struct Case {
    const char* name;
    const Bytes* content;  // null: no file
    int8_t status;
    const char* message;   // printed with the path appended and "\n"
    std::string record;    // printed record on success
  } cases[] = {
      {"missing", nullptr, -12, "failed to open firmware file \n", ""},
      {"36 bytes", &exact36, -12, "Incorrect file size \n", ""},
      {"37 bytes without marker", &short37_nomarker, -12,
       "File is not eligable for firmware version number <17.2 \n", ""},
      {"marker bytes reversed", &swapped, -12, "File is not eligable for firmware version number <17.2 \n", ""},
      {"37 bytes with marker", &short37, 0, nullptr, record_lines("T\n", "19.3.0", "17.2.0", "Dec  9 2026", "1")},
      {"whole header", &full_fields, 0, nullptr,
       record_lines("T\n", "0.1.0", "0.0.0", "Jan 31 20261", "01:02:031")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tsup::TempDir dir;
    std::string path = dir.file("wifi_firmware.bin");
    if (c.content) tsup::write_file(path, *c.content);

    firmware_version_record r = poisoned();
    testing::internal::CaptureStdout();
    int8_t status = read_input_firmware_version(path.c_str(), &r);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, c.status);
    if (c.message) {
      EXPECT_EQ(out, std::string(c.message) + path + "\n");  // plain: no "\r"
      firmware_version_record untouched = poisoned();
      EXPECT_EQ(std::memcmp(&r, &untouched, sizeof r), 0) << "record changed on failure";
    } else {
      EXPECT_EQ(out, "");
      EXPECT_EQ(printed(r), c.record);
      EXPECT_EQ(r.chip_id, 0u);
      EXPECT_EQ(read_input_firmware_version(path.c_str(), nullptr), 0);
    }
    if (c.content) {
      EXPECT_EQ(tsup::read_file(path), *c.content) << "file changed";
    }
  }
}

// ---------------------------------------------------------------------------
// The flash's records, read through the programmer from a simulated module
// whose flash holds a planted control block and build headers.

namespace sim = orvex_sim;

// A module on a pty with the programmer firmware running, the process
// working three levels below a tree that holds the programmer firmware file.
class Bench {
 public:
  explicit Bench(const Bytes& flash, uint32_t fail_command = 0) {
    namespace fs = std::filesystem;
    fs::create_directories(tree_.file("programmer_firmware/release"));
    fs::create_directories(tree_.file("a/b/c"));
    sim::write_programmer_firmware(tree_.file("programmer_firmware/release/programmer_firmware.bin"));
    old_cwd_ = fs::current_path().string();
    fs::current_path(tree_.file("a/b/c"));

    sim::SimConfig cfg;
    cfg.port_dir = ports_.path();
    cfg.friendly_name = "Bench Bridge (COM9)";
    cfg.flash_file = tree_.file("flash.bin");
    tsup::write_file(cfg.flash_file, flash);
    cfg.faults.fail_command = fail_command;
    sim_ = std::make_unique<sim::Simulator>(cfg);
    sim_->start();
    qd_discovery_reset();
    testing::internal::CaptureStdout();
    status_ = programmer_init(9);
    bring_up_ = testing::internal::GetCapturedStdout();
  }
  ~Bench() {
    if (status_ == QD_OK) {
      testing::internal::CaptureStdout();
      programmer_deinit();
      testing::internal::GetCapturedStdout();
    }
    std::filesystem::current_path(old_cwd_);
  }
  bool up() const { return status_ == QD_OK; }
  const std::string& bring_up() const { return bring_up_; }
  std::string file(const std::string& rel) const { return tree_.file(rel); }

 private:
  tsup::TempDir tree_;
  tsup::PortDir ports_;
  std::unique_ptr<sim::Simulator> sim_;
  std::string old_cwd_;
  int8_t status_ = -1;
  std::string bring_up_;
};

struct FlashLayout {
  uint32_t working_offset = 0x2000;
  uint32_t working_version = 0x11201330;
  bool working_header = true;
  uint32_t rollback_offset = 0x42000;
  uint32_t rollback_version = 0x11201120;
  bool rollback_header = true;
  bool control_block = true;
};

constexpr size_t FLASH_SIZE = 0x100000;  // the simulated module's 8 Mbit flash

Bytes flash_with(const FlashLayout& l) {
  Bytes f(FLASH_SIZE, 0xFF);
  if (!l.control_block) return f;
  Bytes cb(40, 0x3C);
  put_le32(cb, 0, 0x1ABCDEF9);
  put_le32(cb, 16, l.working_offset);
  put_le32(cb, 20, l.working_version);
  put_le32(cb, 24, l.rollback_offset);
  put_le32(cb, 32, l.rollback_version);
  std::copy(cb.begin(), cb.end(), f.begin() + 0x1000);
  // The headers' own version words are never the ones reported.
  Bytes hw = build_header(0x0000FFF0, std::string("Nov 30 2026\0", 12), std::string("08:15:00\0", 9));
  Bytes hr = build_header(0x0000FFF0, "Oct  1 20261", "17:45:121");
  auto plant = [&f](const Bytes& h, uint64_t at) {
    if (at + h.size() <= f.size()) std::copy(h.begin(), h.end(), f.begin() + static_cast<long>(at));
  };
  if (l.working_header) plant(hw, uint64_t{l.working_offset} + 0x810);
  if (l.rollback_header) plant(hr, uint64_t{l.rollback_offset} + 0x810);
  return f;
}

const std::string WORKING_TITLE = "----- Flash Curren working Firmware Image Version-----\n";
const std::string ROLLBACK_TITLE = "----- Flash Ota Rollback Firmware Image Version-----\n";

TEST(FlashFirmwareVersions, ReportOfTheFlashImages) {
  const std::string input_missing = std::string("failed to open firmware file \n") + INPUT_FIRMWARE_PATH + "\n";
  FlashLayout two;
  FlashLayout no_marker = two;
  no_marker.working_header = false;
  FlashLayout small_versions = two;
  small_versions.working_version = 0x00000010;  // only bit 4: 0.1.0
  small_versions.rollback_version = 0xFF0F000F; // patch and driver only: not shown
  FlashLayout working_unreadable = two;
  working_unreadable.working_offset = 0xFFFFF000;  // its header lies past the flash
  FlashLayout rollback_unreadable = two;
  rollback_unreadable.rollback_offset = 0x7FFFF000;
  FlashLayout erased;
  erased.control_block = false;

  struct Case {
    const char* name;
    Bytes flash;
    uint32_t fail_command;
    int8_t status;
    std::string output;  // after the input file's message
  } cases[] = {
      {"two images", flash_with(two), 0, 0,
       record_lines(WORKING_TITLE, "19.3.0", "17.2.0", "Nov 30 2026", "08:15:00") +
           record_lines(ROLLBACK_TITLE, "17.2.0", "17.2.0", "Oct  1 20261", "17:45:121")},
      {"erased flash", flash_with(erased), 0, -12, ""},
      {"header without marker", flash_with(no_marker), 0, 0,
       record_lines(WORKING_TITLE, "19.3.0", "17.2.0", "", "") +
           record_lines(ROLLBACK_TITLE, "17.2.0", "17.2.0", "Oct  1 20261", "17:45:121")},
      {"minor only, patch only", flash_with(small_versions), 0, 0,
       record_lines(WORKING_TITLE, "0.1.0", "0.0.0", "Nov 30 2026", "08:15:00")},
      {"working header unreadable", flash_with(working_unreadable), 0, 0,
       record_lines(WORKING_TITLE, "19.3.0", "17.2.0", "", "") +
           record_lines(ROLLBACK_TITLE, "17.2.0", "17.2.0", "Oct  1 20261", "17:45:121")},
      {"rollback header unreadable", flash_with(rollback_unreadable), 0, -12, ""},
      {"control block unreadable", flash_with(two), 7, -12, "Failed to read spi flash\n\r"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bench bench(c.flash, c.fail_command);
    ASSERT_TRUE(bench.up()) << bench.bring_up();
    testing::internal::CaptureStdout();
    int8_t status = report_firmware_versions();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(out, input_missing + c.output);
  }
}

// The versions come from the control block even when the status says the
// rollback header could not be read; the texts stay empty.
TEST(FlashFirmwareVersions, RecordsOnAFailedRollbackRead) {
  FlashLayout l;
  l.rollback_offset = 0x7FFFF000;
  Bench bench(flash_with(l));
  ASSERT_TRUE(bench.up()) << bench.bring_up();
  firmware_version_record working = poisoned(), rollback = poisoned();
  testing::internal::CaptureStdout();
  EXPECT_NE(read_flash_firmware_versions(&working, &rollback), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(printed(working), record_lines("T\n", "19.3.0", "17.2.0", "Nov 30 2026", "08:15:00"));
  EXPECT_EQ(printed(rollback), record_lines("T\n", "17.2.0", "17.2.0", "", ""));
  EXPECT_EQ(working.chip_id, 0u);
  // Either record may be left out.
  EXPECT_NE(read_flash_firmware_versions(nullptr, nullptr), 0);
}

}  // namespace
