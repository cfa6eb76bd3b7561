// The simulated ORVEX310 module: a serial peer (serial bridge, built-in UART
// or nothing) on a pseudo-terminal, the chip's registers and memory, the SPI
// flash behind its controller, and the programmer firmware that serves the
// flash commands. Runs on its own thread; tests link it as orvex_sim_lib.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orvex_sim {

enum class PeerKind {
  bridge,        // answers sync with 0x5B, acknowledges with 0xAC, obeys rate changes
  builtin_uart,  // answers sync with 0x5A, never acknowledges
  silent,        // never answers anything
};

// Initial flash content when no flash file is loaded.
enum class FlashContent {
  erased,  // all 0xFF; an existing flash file is loaded instead
  demo,    // image control block at 0x1000 and two images with build headers
           // (overrides an existing flash file)
};

// Failure values the programmer firmware leaves in the state register.
// Never 9 (ready) and never a command code (6, 7, 8).
constexpr uint32_t PROG_FAIL_BAD_COMMAND = 0x10;   // block's code differs from the one started, or unknown
constexpr uint32_t PROG_FAIL_BAD_LENGTH = 0x11;    // byte_count 0, or above 32768 for read/write
constexpr uint32_t PROG_FAIL_OUT_OF_BOUNDS = 0x12; // beyond the flash (or no flash)
constexpr uint32_t PROG_FAIL_CROSSES_BLOCK = 0x13; // a write spans two 32 KiB blocks
constexpr uint32_t PROG_FAIL_CHECKSUM = 0x14;      // write data does not match data_checksum
constexpr uint32_t PROG_FAIL_VERIFY = 0x15;        // written area was not erased: read-back differs
constexpr uint32_t PROG_FAIL_UNALIGNED = 0x16;     // erase start or length not on a 4 KiB sector

// Faults on demand. Counts and positions are 1-based; unset means never.
struct Faults {
  bool programmer_never_ready = false;
  uint32_t fail_command = 0;              // programmer command 6/7/8 that ends in fail_state
  uint32_t fail_state = 0x55;
  std::optional<uint64_t> wrong_ack_at_frame;  // the n-th frame gets wrong_ack_byte instead of 0xAC
  bool wrong_ack_at_rate_change = false;       // every rate change gets wrong_ack_byte (rate kept)
  uint8_t wrong_ack_byte = 0xEE;
  std::optional<uint64_t> silent_after_frames;  // after n frames nothing more is answered
  std::optional<uint64_t> corrupt_byte_at;      // n-th byte sent by the module is inverted
  std::optional<uint64_t> drop_byte_at;         // n-th byte sent by the module is never sent
  std::optional<uint64_t> hangup_after_bytes;   // line hung up once n bytes have been received
  std::optional<uint64_t> corrupt_data_byte_at; // n-th byte of block-write data received is inverted
  std::optional<uint64_t> corrupt_received_byte_at;  // n-th byte received (at the right rate) is inverted
};

struct SimConfig {
  PeerKind kind = PeerKind::bridge;
  // Publish the pty as <port_dir>/<friendly_name> (a symlink); empty: not published.
  std::string port_dir;
  std::string friendly_name = "Board Bridge (COM9)";
  // Attach to this existing tty instead of creating a pty (real null-modem line).
  std::string attach_tty;

  uint32_t chip_id = 0x1002A0;   // register 0x1000
  uint32_t revision = 1;         // register 0x13F4
  uint32_t jedec_id = 0x001440EF;  // 8 Mbit; 0xFFFFFFFF: no flash answers

  // The file is the flash: loaded at start (if it exists) and saved after every change.
  std::string flash_file;
  FlashContent flash_content = FlashContent::erased;

  // Wire timing; off: everything answers at once.
  bool timing = false;
  double latency_ms = 1.0;            // each turnaround of the line
  double page_program_ms = 0.7;       // per 256 bytes programmed
  double erase_ms_per_64k = 150.0;    // per 64 KiB erased
  double startup_ms = 50.0;           // programmer start to ready

  // A frame or block data left unfinished this long is dropped as malformed.
  double partial_timeout_ms = 250.0;

  // Decoded exchanges, one line each. Sink empty: standard error.
  bool trace = false;
  std::function<void(const std::string&)> trace_sink;

  Faults faults;
};

struct Stats {
  uint64_t frames = 0;            // well-formed frames received
  uint64_t malformed_frames = 0;  // recorded, never answered
  uint64_t stray_bytes = 0;       // bytes outside any frame (not 0x12 or 0xA5)
  uint64_t sync_bytes = 0;
  uint64_t bytes_in = 0;          // bytes received at the right rate
  uint64_t bytes_out = 0;         // bytes sent
  uint64_t ignored_bytes = 0;     // bytes that arrived at a wrong line rate
  uint64_t commands = 0;          // programmer commands run
  uint64_t failed_commands = 0;
  uint64_t programmer_starts = 0;
  uint64_t chip_resets = 0;
  uint64_t rate_changes = 0;
  uint64_t port_opens = 0;        // opens of the port by others (pty only)
  uint64_t port_closes = 0;
  uint64_t turnarounds = 0;
  double flash_busy_s = 0;        // time the flash and programmer were busy
  double fixed_pauses_s = 0;      // pauses the tool must make (start, close, reset)
  double wire_s = 0;              // bytes each way at the rate in force
  double overlap_s = 0;           // polls answered "busy": their bytes and turnarounds
                                  // pass while the flash works anyway
  double floor_s = 0;             // wire + turnarounds x latency + busy + pauses - overlap
  std::vector<std::vector<uint8_t>> malformed;  // the first 64 malformed frames
};

// Formats statistics as "name value" lines (the exit report of orvex_sim).
std::string format_stats(const Stats& s);

class Simulator {
 public:
  explicit Simulator(SimConfig cfg);
  ~Simulator();  // stops, removes the published link
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Creates the line and starts the module's thread; throws std::runtime_error on failure.
  void start();
  void stop();

  std::string tty_path() const;   // the pty slave (or the attached tty)
  std::string port_path() const;  // the published link, empty when not published

  std::vector<uint8_t> flash() const;
  std::vector<uint8_t> memory(uint32_t addr, size_t len) const;
  uint32_t reg(uint32_t addr) const;       // 32-bit little-endian word of chip memory
  uint32_t line_rate() const;              // the module side's current line rate
  bool programmer_running() const;
  Stats stats() const;

  // Waits until the module thread has handled everything received so far
  // (tests use it before looking at state). False on timeout.
  bool wait_idle(int timeout_ms = 1000) const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// The programmer firmware file the simulated chip accepts: a 12-byte header,
// then the payload (magic, length, body, CRC-32) loaded at 0xD0000.
std::vector<uint8_t> programmer_firmware_file();
void write_programmer_firmware(const std::string& path);
// True when the bytes are a payload the simulated chip would start.
bool valid_programmer_payload(const std::vector<uint8_t>& payload);

// Flash content with an image control block and two images with build headers.
std::vector<uint8_t> demo_flash(size_t size = 0x100000);
// The image a download of the demo flashes (at most 0x40000 bytes).
std::vector<uint8_t> demo_image();
// The input firmware file with its build information header at offset 12.
std::vector<uint8_t> demo_input_firmware();
// Lays out dir/firmware/m2m_aio.bin, dir/firmware/wifi_v111/ASIC_A0/wifi_firmware.bin,
// dir/programmer_firmware/release/programmer_firmware.bin and the working
// directory dir/work/a/b/c; returns the working directory.
std::string write_demo_workspace(const std::string& dir);

// Trace decoding, reusable for any capture of the line.
std::string hex_bytes(const uint8_t* data, size_t n, size_t max = 32);
std::string register_name(uint32_t addr);  // "" when the address has no name
// One 13-byte frame in words, e.g. "write reg 0x0000108C (prog state) = 0x00000009".
std::string describe_frame(const uint8_t* frame13);
// XOR of bytes 1..12 with byte 2 taken as 0: the frame checksum.
uint8_t frame_checksum(const uint8_t* frame13);

}  // namespace orvex_sim
