// orvex_sim: the simulated module as a program. Publishes a serial port,
// runs until SIGINT or SIGTERM, then reports its statistics.
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "orvex_sim/simulator.h"

namespace {

const char* const USAGE =
    "usage: orvex_sim [options]\n"
    "Simulates the module on a pseudo-terminal until SIGINT or SIGTERM.\n"
    "\n"
    "Line:\n"
    "  --kind bridge|uart|silent  peer behind the port (default bridge)\n"
    "  --port-dir DIR             publish the port as DIR/NAME (a symbolic link)\n"
    "  --name NAME                friendly name (default \"Board Bridge (COM9)\")\n"
    "  --tty PATH                 use an existing tty (null-modem cable) instead of a pty\n"
    "Chip and flash:\n"
    "  --chip-id N                chip id register 0x1000 (default 0x1002A0)\n"
    "  --revision N               revision register 0x13F4 (default 1)\n"
    "  --jedec N                  flash identification (default 0x001440EF, 8 Mbit;\n"
    "                             0xFFFFFFFF: no flash)\n"
    "  --flash FILE               the file is the flash: loaded if it exists, saved\n"
    "                             after every change\n"
    "  --demo-flash               start with a control block and two images in flash\n"
    "Time (default: everything answers at once):\n"
    "  --timing                   bytes take 10 bits at the line rate, flash takes time\n"
    "  --latency-ms X             each turnaround of the line (default 1)\n"
    "  --page-ms X                programming time per 256 bytes (default 0.7)\n"
    "  --erase-ms X               erase time per 64 KiB (default 150)\n"
    "  --startup-ms X             programmer start-up (default 50)\n"
    "  --partial-timeout-ms X     drop a frame or block data left unfinished this\n"
    "                             long (default 250)\n"
    "Output:\n"
    "  --trace                    decode every exchange on standard error\n"
    "  --stats FILE               write the exit statistics there (default: stderr)\n"
    "Faults:\n"
    "  --fault-never-ready        the programmer never reports ready\n"
    "  --fault-command K=V        programmer command K (6, 7, 8) ends in state V\n"
    "  --fault-wrong-ack N        the N-th frame is answered with a wrong acknowledgement\n"
    "  --fault-wrong-ack-rate     line rate changes get a wrong acknowledgement\n"
    "  --fault-ack-byte B         the wrong acknowledgement byte (default 0xEE)\n"
    "  --fault-silent-after N     nothing is answered after N frames\n"
    "  --fault-corrupt-byte N     the N-th byte sent is inverted\n"
    "  --fault-drop-byte N        the N-th byte sent is left out\n"
    "  --fault-hangup-after N     hang up the line once N bytes have been received\n"
    "  --fault-corrupt-data N     the N-th byte of block-write data received is inverted\n"
    "  --fault-corrupt-received N the N-th byte received is inverted\n"
    "Files (write and exit):\n"
    "  --write-programmer FILE    the programmer firmware file this module accepts\n"
    "  --demo-workspace DIR       firmware, programmer firmware and a working folder\n"
    "                             three levels down; prints the working folder\n"
    "  --help                     this text\n"
    "\n"
    "Once the port is up, one line goes to standard output:\n"
    "  ready tty=<pty> port=<published link>\n";

[[noreturn]] void usage_error(const std::string& msg) {
  std::fprintf(stderr, "orvex_sim: %s\n%s", msg.c_str(), USAGE);
  std::exit(2);
}

uint64_t number(const std::string& flag, const char* text) {
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text, &end, 0);
  if (errno || end == text || *end || text[0] == '-') usage_error("bad number for " + flag + ": " + text);
  return v;
}

double real(const std::string& flag, const char* text) {
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (end == text || *end || v < 0) usage_error("bad value for " + flag + ": " + text);
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  orvex_sim::SimConfig cfg;
  std::string stats_file;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) usage_error(a + " needs a value");
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::fputs(USAGE, stdout);
      return 0;
    } else if (a == "--kind") {
      std::string k = value();
      if (k == "bridge") cfg.kind = orvex_sim::PeerKind::bridge;
      else if (k == "uart") cfg.kind = orvex_sim::PeerKind::builtin_uart;
      else if (k == "silent") cfg.kind = orvex_sim::PeerKind::silent;
      else usage_error("unknown kind " + k);
    } else if (a == "--port-dir") {
      cfg.port_dir = value();
    } else if (a == "--name") {
      cfg.friendly_name = value();
    } else if (a == "--tty") {
      cfg.attach_tty = value();
    } else if (a == "--chip-id") {
      cfg.chip_id = static_cast<uint32_t>(number(a, value()));
    } else if (a == "--revision") {
      cfg.revision = static_cast<uint32_t>(number(a, value()));
    } else if (a == "--jedec") {
      cfg.jedec_id = static_cast<uint32_t>(number(a, value()));
    } else if (a == "--flash") {
      cfg.flash_file = value();
    } else if (a == "--demo-flash") {
      cfg.flash_content = orvex_sim::FlashContent::demo;
    } else if (a == "--timing") {
      cfg.timing = true;
    } else if (a == "--latency-ms") {
      cfg.latency_ms = real(a, value());
    } else if (a == "--page-ms") {
      cfg.page_program_ms = real(a, value());
    } else if (a == "--erase-ms") {
      cfg.erase_ms_per_64k = real(a, value());
    } else if (a == "--startup-ms") {
      cfg.startup_ms = real(a, value());
    } else if (a == "--partial-timeout-ms") {
      cfg.partial_timeout_ms = real(a, value());
    } else if (a == "--trace") {
      cfg.trace = true;
    } else if (a == "--stats") {
      stats_file = value();
    } else if (a == "--fault-never-ready") {
      cfg.faults.programmer_never_ready = true;
    } else if (a == "--fault-command") {
      std::string kv = value();
      size_t eq = kv.find('=');
      if (eq == std::string::npos) usage_error("--fault-command takes K=V");
      cfg.faults.fail_command = static_cast<uint32_t>(number(a, kv.substr(0, eq).c_str()));
      cfg.faults.fail_state = static_cast<uint32_t>(number(a, kv.substr(eq + 1).c_str()));
    } else if (a == "--fault-wrong-ack") {
      cfg.faults.wrong_ack_at_frame = number(a, value());
    } else if (a == "--fault-wrong-ack-rate") {
      cfg.faults.wrong_ack_at_rate_change = true;
    } else if (a == "--fault-ack-byte") {
      cfg.faults.wrong_ack_byte = static_cast<uint8_t>(number(a, value()));
    } else if (a == "--fault-silent-after") {
      cfg.faults.silent_after_frames = number(a, value());
    } else if (a == "--fault-corrupt-byte") {
      cfg.faults.corrupt_byte_at = number(a, value());
    } else if (a == "--fault-drop-byte") {
      cfg.faults.drop_byte_at = number(a, value());
    } else if (a == "--fault-corrupt-received") {
      cfg.faults.corrupt_received_byte_at = number(a, value());
    } else if (a == "--fault-corrupt-data") {
      cfg.faults.corrupt_data_byte_at = number(a, value());
    } else if (a == "--fault-hangup-after") {
      cfg.faults.hangup_after_bytes = number(a, value());
    } else if (a == "--write-programmer") {
      try {
        orvex_sim::write_programmer_firmware(value());
      } catch (const std::exception& e) {
        std::fprintf(stderr, "orvex_sim: %s\n", e.what());
        return 1;
      }
      return 0;
    } else if (a == "--demo-workspace") {
      try {
        std::printf("%s\n", orvex_sim::write_demo_workspace(value()).c_str());
      } catch (const std::exception& e) {
        std::fprintf(stderr, "orvex_sim: %s\n", e.what());
        return 1;
      }
      return 0;
    } else {
      usage_error("unknown option " + a);
    }
  }

  // The signals are taken by sigwait below, not by a handler.
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &sigs, nullptr);

  orvex_sim::Simulator sim(cfg);
  try {
    sim.start();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvex_sim: %s\n", e.what());
    return 1;
  }
  std::printf("ready tty=%s port=%s\n", sim.tty_path().c_str(), sim.port_path().c_str());
  std::fflush(stdout);

  int sig = 0;
  sigwait(&sigs, &sig);
  sim.stop();

  std::string report = orvex_sim::format_stats(sim.stats());
  if (stats_file.empty()) {
    std::fputs(report.c_str(), stderr);
  } else {
    std::ofstream f(stats_file, std::ios::trunc);
    f << report;
    if (!f) {
      std::fprintf(stderr, "orvex_sim: cannot write %s\n", stats_file.c_str());
      return 1;
    }
  }
  return 0;
}
