// Work in progress: the module engine lands next.
#include "orvex_sim/simulator.h"

#include <stdexcept>

namespace orvex_sim {
struct Simulator::Impl {};
Simulator::Simulator(SimConfig) : impl_(std::make_unique<Impl>()) {}
Simulator::~Simulator() = default;
void Simulator::start() { throw std::runtime_error("simulator not built yet"); }
void Simulator::stop() {}
std::string Simulator::tty_path() const { return {}; }
std::string Simulator::port_path() const { return {}; }
std::vector<uint8_t> Simulator::flash() const { return {}; }
std::vector<uint8_t> Simulator::memory(uint32_t, size_t) const { return {}; }
uint32_t Simulator::reg(uint32_t) const { return 0; }
uint32_t Simulator::line_rate() const { return 0; }
bool Simulator::programmer_running() const { return false; }
Stats Simulator::stats() const { return {}; }
bool Simulator::wait_idle(int) const { return false; }
std::string format_stats(const Stats&) { return {}; }
std::vector<uint8_t> programmer_firmware_file() { return {}; }
void write_programmer_firmware(const std::string&) {}
bool valid_programmer_payload(const std::vector<uint8_t>&) { return false; }
std::vector<uint8_t> demo_flash(size_t) { return {}; }
std::vector<uint8_t> demo_image() { return {}; }
std::vector<uint8_t> demo_input_firmware() { return {}; }
std::string write_demo_workspace(const std::string&) { return {}; }
std::string hex_bytes(const uint8_t*, size_t, size_t) { return {}; }
std::string register_name(uint32_t) { return {}; }
std::string describe_frame(const uint8_t*) { return {}; }
uint8_t frame_checksum(const uint8_t*) { return 0; }
}  // namespace orvex_sim
