#include "app/download_task.h"
#include "app/options.h"
#include "port/platform.h"

// An interruption during the task releases the port and ends the run; the
// closing pause keeps the platform's own handling.
static int8_t interruptible_download_task(uint8_t port) {
  plat_set_interrupt_handler(true);
  int8_t status = download_task(port);
  plat_set_interrupt_handler(false);
  return status;
}

int main(int argc, char** argv) { return app_main(argc, argv, interruptible_download_task); }
