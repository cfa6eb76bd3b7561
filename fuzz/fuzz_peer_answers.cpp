// Whatever the far end of the line answers: the whole download task with
// every byte read taken from the input (silence once it runs out). The
// first byte chooses between a port named on the command line and detection.
#include <cstdint>

#include "app/download_task.h"
#include "chip/chip.h"
#include "fake_platform.h"
#include "harness_support.h"
#include "port/discovery.h"
#include "programmer/spi_flash.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  harness::quiet_stdout();
  harness::enter_workspace(100);
  return 0;
}

extern "C" int ORVEX_FUZZ_ENTRY(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uint8_t port = (data[0] & 1) ? 9 : 0;
  fake_line::reset(fake_line::Peer::raw, data + 1, size - 1);
  qd_discovery_reset();
  qd_chip_forget_id();
  spi_flash_forget_size();
  int8_t status = download_task(port);
  bool known = status == 0 || status == -1 || status == -5 || status == -6 || status == -12;
  if (!known || fake_line::port_left_open() || fake_line::closed_unrestored()) __builtin_trap();
  return 0;
}
