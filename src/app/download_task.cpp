// The download task: bring-up, version report, image download, shutdown and
// the time of the download.
#include "app/download_task.h"

#include "common/console.h"
#include "common/status.h"
#include "image/download.h"
#include "image/version.h"
#include "port/port.h"
#include "programmer/programmer.h"

int8_t download_task(uint8_t port) {
  con_print(">>Init Programmer\n");
  int8_t status = programmer_init(port);
  if (status != QD_OK) {
    con_print("(ERR)Failed To intilize programmer\n");
    // A bring-up that failed after the open leaves the port current: give
    // the port its own settings back rather than leave it configured.
    qd_bus_deinit();
    return status;
  }

  // The report's status only stands until the download replaces it.
  status = report_firmware_versions();

  // The time covers the download and the shutdown, not the bring-up.
  uint32_t start_tick = qd_tick_ms();
  status = download_image();
  if (status == QD_OK) con_print("\nImage downloaded successfully.\r\n");
  programmer_deinit();
  uint32_t elapsed_ms = qd_tick_ms() - start_tick;
  con_print("\n>>This task finished after %5.2f sec\n\r", static_cast<double>(elapsed_ms) / 1000.0);
  return status;
}
