// Image files and programmer firmware files of awkward sizes and kinds:
// empty, shorter than a header, at and one past the limits, unreadable,
// directories and fifos. Each run of the real tool against a simulated
// bridge ends in its documented message and status, and the file is left
// as it was.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "orvex_sim/simulator.h"
#include "support/test_support.h"

namespace {

namespace sim = orvex_sim;
using Bytes = std::vector<uint8_t>;

constexpr const char* IMAGE_REL = "../../../firmware/m2m_aio.bin";
constexpr const char* PROGRAMMER_REL = "../../../programmer_firmware/release/programmer_firmware.bin";

enum class Target { image, programmer };
enum class Shape { sized, unreadable, directory, fifo };
enum class FlashAfter { unchanged, erased, image };

struct Case {
  const char* name;
  Target target;
  Shape shape;
  size_t size;  // for Shape::sized
  int exit_status;
  std::string message;  // must appear in the output
  FlashAfter flash;
};

uint32_t crc32(const uint8_t* data, size_t n) {
  uint32_t c = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    c ^= data[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

void put_le32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A programmer firmware file of exactly `size` bytes. From 28 bytes on its
// payload is one the simulated chip starts (magic, length, format, CRC-32);
// shorter files are filler the chip refuses.
Bytes programmer_file(size_t size) {
  Bytes f(size, 0x3C);
  if (size < 12 + 16) return f;
  size_t payload = size - 12;
  Bytes p(payload, 0);
  for (size_t i = 12; i < payload - 4; ++i) p[i] = static_cast<uint8_t>(i * 37 + 11);
  put_le32(p, 0, 0x4750584F);  // "OXPG"
  put_le32(p, 4, static_cast<uint32_t>(payload));
  put_le32(p, 8, 1);
  put_le32(p, payload - 4, crc32(p.data(), payload - 4));
  std::copy(p.begin(), p.end(), f.begin() + 12);
  return f;
}

Bytes image_file(size_t size) {
  Bytes b(size);
  for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>((i * 131 + 7) >> 3);
  return b;
}

std::string too_short(size_t n) {
  return std::string("Programmer fw file at \n") + PROGRAMMER_REL + "\nis too short: " + std::to_string(n) +
         " bytes, at least 16 needed\n\r";
}

const std::string UNABLE_TO_OPEN_IMAGE = std::string("[ERR]Unable to open Firmware file:\n\t\"") + IMAGE_REL + "\"\r\n\r";
const std::string NOT_REGULAR_PROGRAMMER =
    std::string("Programmer fw file at \n") + PROGRAMMER_REL + "\nis not a regular file\n\r(ERR)Failed To intilize programmer\n\r";
const std::string SUCCESS = "\nImage downloaded successfully.\r\n\r";

std::vector<Case> cases() {
  std::vector<Case> v;
  v.push_back({"image_0", Target::image, Shape::sized, 0, 244,
               ">Start programming..\n\rData size = 0\r>\r\n[ERR]Error Writing Image\r\n\r", FlashAfter::erased});
  for (size_t n : {1, 11, 12, 15, 16, 65547, 65548})
    v.push_back({"image", Target::image, Shape::sized, n, 0, SUCCESS, FlashAfter::image});
  v.push_back({"image_unreadable", Target::image, Shape::unreadable, 0, 244, UNABLE_TO_OPEN_IMAGE,
               FlashAfter::unchanged});
  v.push_back({"image_directory", Target::image, Shape::directory, 0, 244, UNABLE_TO_OPEN_IMAGE,
               FlashAfter::unchanged});
  // A fifo opens, but has no size to find: refused before the flash is touched.
  v.push_back({"image_fifo", Target::image, Shape::fifo, 0, 244,
               std::string("Firmware image file has been opened:\n\t\"") + IMAGE_REL +
                   "\"\r\n\r[ERR]Image's size is larger than Flash size.\r\n\r",
               FlashAfter::unchanged});

  for (size_t n : {0, 1, 11, 12, 15})
    v.push_back({"programmer", Target::programmer, Shape::sized, n, 244,
                 too_short(n) + "(ERR)Failed To intilize programmer\n\r", FlashAfter::unchanged});
  // Long enough to load, but no firmware the chip will start.
  v.push_back({"programmer", Target::programmer, Shape::sized, 16, 251,
               "(APP)(INFO)Time out for wait firmware Run\n\r(ERR)Failed To intilize programmer\n\r",
               FlashAfter::unchanged});
  // The largest payload one block write carries.
  v.push_back({"programmer", Target::programmer, Shape::sized, 65547, 0, SUCCESS, FlashAfter::image});
  v.push_back({"programmer", Target::programmer, Shape::sized, 65548, 244,
               std::string("Programmer fw file at \n") + PROGRAMMER_REL +
                   "\nis too large: payload of 65536 bytes, at most 65535 allowed\n\r",
               FlashAfter::unchanged});
  v.push_back({"programmer_unreadable", Target::programmer, Shape::unreadable, 0, 244,
               std::string("Failed to open programmer fw file at \n") + PROGRAMMER_REL +
                   "\n\r(ERR)Failed To intilize programmer\n\r",
               FlashAfter::unchanged});
  v.push_back({"programmer_directory", Target::programmer, Shape::directory, 0, 244, NOT_REGULAR_PROGRAMMER,
               FlashAfter::unchanged});
  v.push_back({"programmer_fifo", Target::programmer, Shape::fifo, 0, 244, NOT_REGULAR_PROGRAMMER,
               FlashAfter::unchanged});
  return v;
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name << " " << c.size; }

class OddFiles : public testing::TestWithParam<Case> {};

TEST_P(OddFiles, EndInTheDocumentedMessageAndStatus) {
  const Case& c = GetParam();
  namespace fs = std::filesystem;
  tsup::TempDir root;
  tsup::TempDir ports;
  for (const char* d : {"firmware/wifi_v111/ASIC_A0", "programmer_firmware/release", "a/b/c"})
    fs::create_directories(root.file(d));
  fs::permissions(root.path(), fs::perms::all, fs::perm_options::add);  // reachable by the unprivileged run
  for (const auto& e : fs::recursive_directory_iterator(root.path()))
    if (e.is_directory()) chmod(e.path().c_str(), 0755);
  const std::string cwd = root.file("a/b/c");
  const std::string image_path = root.file("firmware/m2m_aio.bin");
  const std::string programmer_path = root.file("programmer_firmware/release/programmer_firmware.bin");
  tsup::write_file(root.file("firmware/wifi_v111/ASIC_A0/wifi_firmware.bin"), sim::demo_input_firmware());

  Bytes image = image_file(c.target == Target::image && c.shape == Shape::sized ? c.size : 5000);
  Bytes programmer = c.target == Target::programmer && c.shape == Shape::sized ? programmer_file(c.size)
                                                                               : sim::programmer_firmware_file();
  const std::string odd_path = c.target == Target::image ? image_path : programmer_path;
  tsup::write_file(image_path, image);
  tsup::write_file(programmer_path, programmer);
  if (c.shape == Shape::directory || c.shape == Shape::fifo) {
    fs::remove(odd_path);
    if (c.shape == Shape::directory) {
      fs::create_directory(odd_path);
    } else {
      ASSERT_EQ(mkfifo(odd_path.c_str(), 0666), 0);
    }
  }
  if (c.shape == Shape::unreadable) chmod(odd_path.c_str(), 0);

  sim::SimConfig cfg;
  cfg.port_dir = ports.path();
  cfg.friendly_name = "Board Bridge (COM9)";
  cfg.flash_content = sim::FlashContent::demo;
  sim::Simulator module(cfg);
  module.start();
  chmod(module.tty_path().c_str(), 0666);
  Bytes flash_before = module.flash();

  std::vector<std::string> argv;
  // Root reads any file: an unreadable one needs an ordinary user.
  if (c.shape == Shape::unreadable) argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  argv.insert(argv.end(), {ORVEX_FLASH_BIN, "-port", "9", "-no_wait"});
  tsup::RunOptions opts;
  opts.cwd = cwd;
  opts.env = {"ORVEX_PORT_DIR=" + ports.path()};
  tsup::RunResult r = tsup::run_process(argv, opts);

  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_status, c.exit_status);
  EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "");
  if (c.exit_status != 0) {
    EXPECT_EQ(r.out.find(SUCCESS), std::string::npos);
  }

  module.wait_idle();
  Bytes flash = module.flash();
  Bytes want = flash_before;
  if (c.flash != FlashAfter::unchanged) std::fill(want.begin(), want.end(), 0xFF);
  if (c.flash == FlashAfter::image) std::copy(image.begin(), image.end(), want.begin());
  EXPECT_TRUE(flash == want) << "flash content differs";
  if (c.shape == Shape::sized) {
    EXPECT_EQ(tsup::read_file(image_path), image) << "image file changed";
    EXPECT_EQ(tsup::read_file(programmer_path), programmer) << "programmer firmware file changed";
  }
}

INSTANTIATE_TEST_SUITE_P(Files, OddFiles, testing::ValuesIn(cases()), [](const testing::TestParamInfo<Case>& i) {
  std::string n = i.param.name;
  if (i.param.shape == Shape::sized && n.find('_') == std::string::npos) n += "_" + std::to_string(i.param.size);
  return n;
});

}  // namespace
