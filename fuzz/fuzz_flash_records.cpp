// The flash's image control block and the images' build headers, decoded
// from any flash content: a whole download task against a well-behaved
// module whose flash reads hand out the input.
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
  fake_line::reset(fake_line::Peer::responder, data, size);
  qd_discovery_reset();
  qd_chip_forget_id();
  spi_flash_forget_size();
  int8_t status = download_task(9);
  // A well-behaved module always takes the image.
  if (status != 0 || fake_line::port_left_open() || fake_line::closed_unrestored()) __builtin_trap();
  return 0;
}
