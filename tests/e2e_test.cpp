// The whole tool: the real orvex_flash binary, run three levels below a
// firmware tree against simulated modules on pseudo-terminals. Each case
// compares the whole of stdout byte for byte, the exit status, the flash
// afterwards and the line settings of every port after the tool has gone.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "orvex_sim/simulator.h"
#include "support/test_support.h"

namespace {

namespace sim = orvex_sim;
using Bytes = std::vector<uint8_t>;

constexpr const char* IMAGE_REL = "../../../firmware/m2m_aio.bin";
constexpr const char* INPUT_REL = "../../../firmware/wifi_v111/ASIC_A0/wifi_firmware.bin";
constexpr size_t FLASH_8MBIT = 0x100000;

// ---------------------------------------------------------------------------
// Content: images, the input firmware file, a flash with a control block.

void put_le32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

void put_text(Bytes& b, size_t at, const std::string& s) { std::memcpy(b.data() + at, s.data(), s.size()); }

Bytes build_header(uint32_t version, const std::string& date, const std::string& time) {
  Bytes h(36, 0);
  put_le32(h, 0, 0xDADBABBA);
  put_le32(h, 4, 0x01020304);
  put_le32(h, 8, version);
  put_text(h, 12, date);
  put_text(h, 24, time);
  return h;
}

// Pseudo-random bytes that begin with the bytes a text-mode read would mangle
// and that hold the flow-control characters too.
Bytes make_image(size_t n, uint32_t seed) {
  Bytes b(n);
  uint32_t x = seed;
  for (auto& v : b) {
    x = x * 1664525u + 1013904223u;
    v = static_cast<uint8_t>(x >> 24);
  }
  const uint8_t special[] = {0x0D, 0x0A, 0x1A, 0x11, 0x13, 0x00, 0xFF};
  for (size_t i = 0; i < sizeof special && i < n; ++i) b[i] = special[i];
  return b;
}

Bytes input_firmware_file() {
  Bytes f(12, 0x42);
  Bytes h = build_header(0x12301340, std::string("Dec  9 2026\0", 12), std::string("23:30:00\0", 9));
  f.insert(f.end(), h.begin(), h.end());
  f.insert(f.end(), 200, 0x99);
  return f;
}

// An 8 Mbit flash with an image control block and two images with build headers.
Bytes flash_with_two_images() {
  Bytes f(FLASH_8MBIT, 0xFF);
  const uint32_t working = 0x2000, rollback = 0x42000;
  Bytes cb(40, 0x00);
  put_le32(cb, 0, 0x1ABCDEF9);
  put_le32(cb, 4, 0xAAAAAAAA);
  put_le32(cb, 16, working);
  put_le32(cb, 20, 0x11201330);
  put_le32(cb, 24, rollback);
  put_le32(cb, 28, 0xBBBBBBBB);
  put_le32(cb, 32, 0x11201120);
  std::copy(cb.begin(), cb.end(), f.begin() + 0x1000);
  // The version words in the images' headers are not the ones reported.
  Bytes hw = build_header(0xFFFFFFFF, std::string("Nov 30 2026\0", 12), std::string("08:15:00\0", 9));
  Bytes hr = build_header(0xFFFFFFFF, "Oct  1 20261", "17:45:121");  // fields without NUL
  std::copy(hw.begin(), hw.end(), f.begin() + working + 0x810);
  std::copy(hr.begin(), hr.end(), f.begin() + rollback + 0x810);
  return f;
}

// ---------------------------------------------------------------------------
// Expected output, built from the tool's message texts.

class Out {
 public:
  // A message followed by the lone "\r".
  Out& msg(const std::string& s) {
    t_ += s + "\r";
    return *this;
  }
  Out& plain(const std::string& s) {
    t_ += s;
    return *this;
  }
  Out& info(const std::string& s) { return msg("(APP)(INFO)" + s); }
  Out& err(const std::string& fn, const std::string& s) { return msg("(APP)(ERR)[" + fn + "][#]" + s); }

  Out& banner() {
    const std::string stars(44, '*');
    msg(stars + "\n\r");
    msg("*  >Programmer for ORVEX310 SPI Flash<     *\n\r");
    msg("<owner line>\n\r");
    return msg(stars + "\n\r");
  }
  Out& init() { return msg(">>Init Programmer\n"); }
  // One entry per listed port, in listing order: -1 silent, 0 bridge, 1 built-in UART.
  Out& detect(const std::vector<std::pair<int, int>>& ports) {
    plain("Detecting ports...\n");
    int found = 0;
    for (auto [number, kind] : ports) {
      if (kind < 0) continue;
      info(kind == 1 ? "Built-in ORVEX310 UART Found\n" : "ORVEX310 Serial Bridge Found\n");
      plain("Avail port COM" + std::to_string(number) + "\n");
      ++found;
    }
    if (found == 0) err("qd_bus_port_detect", "Failed to find any COM ports\n");
    return plain(std::to_string(found) + " of ports found\n");
  }
  Out& chip_ok() { return msg("Chip id 1502a0\n").msg(">Waiting for chip permission...\n").msg("OK.\n\r"); }
  Out& init_failed() { return msg("(ERR)Failed To intilize programmer\n"); }

  Out& record(const std::string& title, const std::string& fw, const std::string& drv, const std::string& date,
              const std::string& time) {
    msg(title);
    msg("Firmware ver   : " + fw + "\n");
    msg("Min driver ver : " + drv + "\n");
    return msg("Firmware Build " + date + " Time " + time + "\n");
  }
  Out& input_record() {
    return record("----- Input Firmware File Version-----\n", "19.4.0", "18.3.0", "Dec  9 2026", "23:30:00");
  }
  Out& flash_records() {
    record("----- Flash Curren working Firmware Image Version-----\n", "19.3.0", "17.2.0", "Nov 30 2026", "08:15:00");
    return record("----- Flash Ota Rollback Firmware Image Version-----\n", "17.2.0", "17.2.0", "Oct  1 20261",
                  "17:45:121");
  }

  Out& opened(const std::string& path, bool default_path) {
    if (default_path) msg("\n(WARN)Default PATH for image file will be used.\r\n");
    msg("\n");
    return msg("Firmware image file has been opened:\n\t\"" + path + "\"\r\n");
  }
  Out& flash_id() { return msg("Flash ID 1440ef \n").info("Flash Size 8 Mb\n"); }
  Out& erase() { return msg(">Start erasing...\n").msg("Done\n").msg("#Erase time = # sec\n"); }
  // Programming of n bytes from offset 0, the windows up to `windows_done`.
  Out& program(size_t n, std::optional<size_t> windows_done = std::nullopt) {
    msg(">Start programming..\n");
    if (n == 0) return msg("Data size = 0");
    size_t total = (n + 0x7FFF) / 0x8000;
    size_t done = windows_done.value_or(total);
    for (size_t w = 1; w <= done; ++w) msg("\r>Complete Percentage = " + std::to_string(w * 100 / total) + "%.\r");
    if (done < total) return *this;
    return msg("\rDone\t\t\t\t\t\t").msg("\n#Programming time =# sec\n\r");
  }
  Out& success() { return msg("\nImage downloaded successfully.\r\n"); }
  Out& finished() { return msg("\n>>This task finished after # sec\n\r"); }
  Out& pause() { return plain("Press any key to continue . . . \n"); }

  const std::string& str() const { return t_; }

 private:
  std::string t_;
};

// Replaces the number between each `prefix` and the following " sec" with "#".
void mask_number(std::string& s, const std::string& prefix) {
  for (size_t at = s.find(prefix); at != std::string::npos; at = s.find(prefix, at + 1)) {
    size_t begin = at + prefix.size();
    size_t end = s.find(" sec", begin);
    if (end == std::string::npos || end == begin) continue;
    if (s.find_first_not_of("0123456789. ", begin) < end) continue;
    s.replace(begin, end - begin, "#");
  }
}

// Masks the source line numbers of error lines, the banner's owner line and
// the times; everything else stays byte for byte.
std::string normalise(const std::string& out) {
  std::string s = tsup::mask_log_lines(out);
  const std::string title = "*  >Programmer for ORVEX310 SPI Flash<     *\n\r\r";
  size_t at = s.find(title);
  if (at != std::string::npos) {
    size_t begin = at + title.size();
    size_t end = s.find('\n', begin);
    if (end != std::string::npos && end - begin == 44 && s[begin] == '*' && s[end - 1] == '*')
      s.replace(begin, 44, "<owner line>");
  }
  mask_number(s, "#Erase time = ");
  mask_number(s, "#Programming time =");
  mask_number(s, "This task finished after ");
  return s;
}

// ---------------------------------------------------------------------------
// The firmware tree and the modules.

struct Tree {
  tsup::TempDir root;
  std::string cwd;

  Tree() {
    namespace fs = std::filesystem;
    fs::create_directories(root.file("firmware/wifi_v111/ASIC_A0"));
    fs::create_directories(root.file("programmer_firmware/release"));
    fs::create_directories(root.file("a/b/c"));
    for (const char* d : {"firmware", "firmware/wifi_v111", "firmware/wifi_v111/ASIC_A0", "programmer_firmware",
                          "programmer_firmware/release", "a", "a/b", "a/b/c"})
      chmod(root.file(d).c_str(), 0755);
    sim::write_programmer_firmware(root.file("programmer_firmware/release/programmer_firmware.bin"));
    cwd = root.file("a/b/c");
  }
  std::string at(const std::string& rel) const { return cwd + "/" + rel; }
};

struct Module {
  const char* friendly_name;
  sim::PeerKind kind = sim::PeerKind::bridge;
  uint32_t chip_id = 0x1002A0;
  uint32_t jedec_id = 0x001440EF;
  bool two_images = false;
  bool never_ready = false;
  uint32_t fail_command = 0;
};

enum class FlashAfter { unchanged, image, erased };

struct Case {
  const char* name;
  std::vector<Module> modules;
  size_t target = 0;                      // the module whose flash is checked
  std::vector<std::string> args;          // after the program name
  std::optional<size_t> image_size = 40000;  // no value: no image file
  std::string image_rel = IMAGE_REL;      // where the image file is put
  bool input_file = true;
  bool read_only_image = false;           // run as an unprivileged user
  std::string stdin_data;
  int exit_status = 0;
  FlashAfter flash_after = FlashAfter::image;
  std::function<void(Out&, const Case&)> expect;
};

void run_case(const Case& c) {
  SCOPED_TRACE(c.name);
  Tree tree;
  tsup::TempDir ports;
  if (c.input_file) tsup::write_file(tree.at(INPUT_REL), input_firmware_file());
  Bytes image;
  if (c.image_size) {
    image = make_image(*c.image_size, static_cast<uint32_t>(*c.image_size) + 7);
    tsup::write_file(tree.at(c.image_rel), image);
    if (c.read_only_image) chmod(tree.at(c.image_rel).c_str(), 0444);
  }

  std::vector<std::unique_ptr<sim::Simulator>> sims;
  std::vector<Bytes> initial_flash;
  std::vector<termios> before;
  for (size_t i = 0; i < c.modules.size(); ++i) {
    const Module& m = c.modules[i];
    sim::SimConfig cfg;
    cfg.kind = m.kind;
    cfg.port_dir = ports.path();
    cfg.friendly_name = m.friendly_name;
    cfg.chip_id = m.chip_id;
    cfg.jedec_id = m.jedec_id;
    cfg.faults.programmer_never_ready = m.never_ready;
    cfg.faults.fail_command = m.fail_command;
    if (m.two_images) {
      cfg.flash_file = tree.root.file("flash" + std::to_string(i) + ".bin");
      tsup::write_file(cfg.flash_file, flash_with_two_images());
    }
    sims.push_back(std::make_unique<sim::Simulator>(cfg));
    sims.back()->start();
    // The unprivileged run must be able to open the port.
    if (c.read_only_image) chmod(sims.back()->tty_path().c_str(), 0666);
    initial_flash.push_back(sims.back()->flash());
    before.push_back(tsup::give_unusual_settings(sims.back()->tty_path()));
  }

  std::vector<std::string> argv;
  if (c.read_only_image)
    argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
  argv.push_back(ORVEX_FLASH_BIN);
  argv.insert(argv.end(), c.args.begin(), c.args.end());
  tsup::RunOptions opts;
  opts.cwd = tree.cwd;
  opts.env = {"ORVEX_PORT_DIR=" + ports.path()};
  opts.stdin_data = c.stdin_data;
  opts.timeout_ms = 60000;
  tsup::RunResult r = tsup::run_process(argv, opts);

  Out expected;
  c.expect(expected, c);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(normalise(r.out), expected.str());
  EXPECT_EQ(r.exit_status, c.exit_status);
  EXPECT_EQ(r.err, "");

  for (size_t i = 0; i < sims.size(); ++i) {
    sims[i]->wait_idle();
    EXPECT_TRUE(tsup::same_settings(tsup::tty_settings(sims[i]->tty_path()), before[i]))
        << "line settings of " << c.modules[i].friendly_name << " not restored";
    if (i != c.target) {
      EXPECT_EQ(sims[i]->flash(), initial_flash[i]) << "flash of an unchosen module changed";
      continue;
    }
    Bytes flash = sims[i]->flash();
    Bytes want = initial_flash[i];
    if (c.flash_after != FlashAfter::unchanged) std::fill(want.begin(), want.end(), 0xFF);
    if (c.flash_after == FlashAfter::image) std::copy(image.begin(), image.end(), want.begin());
    EXPECT_TRUE(flash == want) << "flash content differs";
  }
  if (c.image_size) {
    EXPECT_TRUE(tsup::read_file(tree.at(c.image_rel)) == image) << "image file changed";
  }
}

// The usual run of a bridge given with -port, after the bring-up.
void report_and_download(Out& o, const Case& c, bool two_images = false) {
  o.input_record();
  if (two_images) o.flash_records();
  o.opened(c.image_rel, c.image_rel == IMAGE_REL).flash_id().erase().program(*c.image_size).success().finished();
}

const Module BRIDGE{"Board Bridge (COM9)"};

std::vector<Case> cases() {
  std::vector<Case> v;

  Case c;
  c.name = "bridge given with -port";
  c.modules = {BRIDGE};
  c.args = {"-port", "9", "-no_wait"};
  c.expect = [](Out& o, const Case& c) {
    o.banner().init().chip_ok();
    report_and_download(o, c);
  };
  v.push_back(c);

  c = Case{};
  c.name = "built-in UART found next to a silent port";
  c.modules = {{"Chip UART (COM3)", sim::PeerKind::builtin_uart}, {"A Silent Port (COM2)", sim::PeerKind::silent}};
  c.args = {"-no_wait"};
  c.expect = [](Out& o, const Case& c) {
    o.banner().init().detect({{2, -1}, {3, 1}}).chip_ok();
    report_and_download(o, c);
  };
  v.push_back(c);

  c = Case{};
  c.name = "two answering ports, the user picks one";
  c.modules = {{"Board Bridge (COM5)"}, {"Chip UART (COM6)", sim::PeerKind::builtin_uart}};
  c.target = 1;
  c.args = {"-no_wait"};
  c.stdin_data = "6\n";
  c.expect = [](Out& o, const Case& c) {
    o.banner().init().detect({{5, 0}, {6, 1}}).msg("Enter port number: \n").chip_ok();
    report_and_download(o, c);
  };
  v.push_back(c);

  c = Case{};
  c.name = "no port answers";
  c.modules = {{"A Silent Port (COM2)", sim::PeerKind::silent}};
  c.args = {"-no_wait"};
  c.exit_status = 255;
  c.flash_after = FlashAfter::unchanged;
  c.expect = [](Out& o, const Case&) { o.banner().init().detect({{2, -1}}).init_failed(); };
  v.push_back(c);

  c = Case{};
  c.name = "-port names a port that does not exist";
  c.modules = {BRIDGE};
  c.args = {"-port", "7", "-no_wait"};
  c.exit_status = 250;
  c.flash_after = FlashAfter::unchanged;
  c.expect = [](Out& o, const Case&) {
    o.banner().init().err("qd_uart_init", "Could not open port\n").msg(">>(ERR):Connect Fail\n").init_failed();
  };
  v.push_back(c);

  c = Case{};
  c.name = "chip id refused";
  c.modules = {{"Board Bridge (COM9)", sim::PeerKind::bridge, 0x101000}};
  c.args = {"-port", "9", "-no_wait"};
  c.exit_status = 244;
  c.flash_after = FlashAfter::unchanged;
  c.expect = [](Out& o, const Case&) {
    o.banner().init().msg(">>(ERR):Invalid chip ID = 0x00151000\n").msg(">>(ERR):Connect ORV3100 Dx Fail\n");
    o.init_failed();
  };
  v.push_back(c);

  c = Case{};
  c.name = "programmer never ready";
  c.modules = {BRIDGE};
  c.modules[0].never_ready = true;
  c.args = {"-port", "9", "-no_wait"};
  c.exit_status = 251;
  c.flash_after = FlashAfter::unchanged;
  c.expect = [](Out& o, const Case&) {
    o.banner().init().msg("Chip id 1502a0\n").msg(">Waiting for chip permission...\n");
    o.info("Time out for wait firmware Run\n").init_failed();
  };
  v.push_back(c);

  c = Case{};
  c.name = "flash with a control block and two images";
  c.modules = {BRIDGE};
  c.modules[0].two_images = true;
  c.args = {"-port", "9", "-no_wait"};
  c.expect = [](Out& o, const Case& c) {
    o.banner().init().chip_ok();
    report_and_download(o, c, true);
  };
  v.push_back(c);

  for (size_t n : {size_t{1}, size_t{32768}, size_t{32769}, size_t{262144}}) {
    c = Case{};
    c.name = "image size";
    c.modules = {BRIDGE};
    c.args = {"-port", "9", "-no_wait"};
    c.image_size = n;
    c.expect = [](Out& o, const Case& c) {
      o.banner().init().chip_ok();
      report_and_download(o, c);
    };
    v.push_back(c);
  }

  c = Case{};
  c.name = "empty image";
  c.modules = {BRIDGE};
  c.args = {"-port", "9", "-no_wait"};
  c.image_size = 0;
  c.exit_status = 244;
  c.flash_after = FlashAfter::erased;
  c.expect = [](Out& o, const Case& c) {
    o.banner().init().chip_ok().input_record().opened(c.image_rel, true).flash_id().erase().program(0);
    o.msg(">\r\n[ERR]Error Writing Image\r\n").finished();
  };
  v.push_back(c);

  c = Case{};
  c.name = "image one byte over the limit";
  c.modules = {BRIDGE};
  c.modules[0].two_images = true;
  c.args = {"-port", "9", "-no_wait"};
  c.image_size = 262145;
  c.exit_status = 244;
  c.flash_after = FlashAfter::unchanged;
  c.expect = [](Out& o, const Case& c) {
    o.banner().init().chip_ok().input_record().flash_records().opened(c.image_rel, true);
    o.msg("[ERR]Image's size is larger than Flash size.\r\n").finished();
  };
  v.push_back(c);

  c = Case{};
  c.name = "image larger than the flash";
  c.modules = {BRIDGE};
  c.modules[0].jedec_id = 0x001140EF;  // 1 Mbit: 131072 bytes
  c.args = {"-port", "9", "-no_wait"};
  c.image_size = 131073;
  c.exit_status = 244;
  c.flash_after = FlashAfter::unchanged;
  c.expect = [](Out& o, const Case& c) {
    o.banner().init().chip_ok().input_record().opened(c.image_rel, true);
    o.msg("Flash ID 1140ef \n").info("Flash Size 1 Mb\n");
    o.msg("[ERR]Image's size is larger than Flash size.\r\n").finished();
  };
  v.push_back(c);

  c = Case{};
  c.name = "image missing, input file missing";
  c.modules = {BRIDGE};
  c.modules[0].two_images = true;
  c.args = {"-port", "9", "-no_wait"};
  c.image_size.reset();
  c.input_file = false;
  c.exit_status = 244;
  c.flash_after = FlashAfter::unchanged;
  c.expect = [](Out& o, const Case&) {
    o.banner().init().chip_ok().plain(std::string("failed to open firmware file \n") + INPUT_REL + "\n");
    o.flash_records().msg("\n(WARN)Default PATH for image file will be used.\r\n").msg("\n");
    o.msg(std::string("[ERR]Unable to open Firmware file:\n\t\"") + IMAGE_REL + "\"\r\n").finished();
  };
  v.push_back(c);

  c = Case{};
  c.name = "read-only image, unprivileged user";
  c.modules = {BRIDGE};
  c.modules[0].two_images = true;
  c.args = {"-port", "9", "-no_wait"};
  c.read_only_image = true;
  c.exit_status = 244;
  c.flash_after = FlashAfter::unchanged;
  c.expect = [](Out& o, const Case&) {
    o.banner().init().chip_ok().input_record().flash_records();
    o.msg("\n(WARN)Default PATH for image file will be used.\r\n").msg("\n");
    o.msg(std::string("[ERR]Unable to open Firmware file:\n\t\"") + IMAGE_REL + "\"\r\n").finished();
  };
  v.push_back(c);

  c = Case{};
  c.name = "no flash identified";
  c.modules = {BRIDGE};
  c.modules[0].jedec_id = 0xFFFFFFFF;
  c.args = {"-port", "9", "-no_wait"};
  c.exit_status = 244;
  c.flash_after = FlashAfter::unchanged;
  c.expect = [](Out& o, const Case& c) {
    // Without a flash the programmer cannot read the control block either.
    o.banner().init().chip_ok().input_record().msg("Failed to read spi flash\n").opened(c.image_rel, true);
    o.msg("Flash ID ffffffff \n").err("spi_flash_get_size", "Cann't Detect Flash size\n");
    o.msg("Error while erasing SPI FLash.\r\n").finished();
  };
  v.push_back(c);

  c = Case{};
  c.name = "a write window fails";
  c.modules = {BRIDGE};
  c.modules[0].fail_command = 6;
  c.args = {"-port", "9", "-no_wait"};
  c.image_size = 70000;
  c.exit_status = 244;
  c.flash_after = FlashAfter::erased;
  c.expect = [](Out& o, const Case& c) {
    o.banner().init().chip_ok().input_record().opened(c.image_rel, true).flash_id().erase();
    o.program(*c.image_size, 0).msg(">\r\n[ERR]Error Writing Image\r\n").finished();
  };
  v.push_back(c);

  c = Case{};
  c.name = "-fw_path: the default path with a suffix";
  c.modules = {BRIDGE};
  c.image_rel = std::string(IMAGE_REL) + ".new";
  c.args = {"-fw_path", c.image_rel, "-port", "9", "-no_wait"};
  c.expect = [](Out& o, const Case& c) {
    o.banner().init().chip_ok();
    o.input_record().opened(c.image_rel, true).flash_id().erase().program(*c.image_size).success().finished();
  };
  v.push_back(c);

  c = Case{};
  c.name = "-fw_path elsewhere, pause at end of input";
  c.modules = {BRIDGE};
  c.image_rel = "../image.bin";
  c.args = {"-port", "9", "-fw_path", c.image_rel};
  c.image_size = 5000;
  c.expect = [](Out& o, const Case& c) {
    o.banner().init().chip_ok();
    o.input_record().opened(c.image_rel, false).flash_id().erase().program(*c.image_size).success().finished();
    o.pause();
  };
  v.push_back(c);

  return v;
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class EndToEnd : public testing::TestWithParam<Case> {};

TEST_P(EndToEnd, Run) { run_case(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Scenarios, EndToEnd, testing::ValuesIn(cases()),
                         [](const testing::TestParamInfo<Case>& info) {
                           std::string n = std::to_string(info.index) + "_" + info.param.name;
                           if (info.param.image_size && std::string(info.param.name) == "image size")
                             n += "_" + std::to_string(*info.param.image_size);
                           for (auto& ch : n)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

}  // namespace
