// Serial port layer: the one current port, its byte I/O behind the bus
// control entry, rate changes and the close that puts the port's own
// settings back. The operating system work is in the platform backend.
#include "port/port.h"

#include "common/console.h"
#include "common/status.h"
#include "port/platform.h"

static plat_port* port_handle = nullptr;

int8_t qd_uart_init(uint8_t port, uint8_t debugger_port) {
  // Only one port at a time: a port still open here would keep its lock.
  if (port_handle) qd_uart_deinit();

  plat_port* p = plat_open(port);
  if (!p) {
    QD_LOG_ERR("Could not open port\n");
    return QD_ERR_PORT;
  }
  if (!plat_save_settings(p)) {
    QD_LOG_ERR("Could not Set Port Settings\n");
    plat_close(p);
    return QD_ERR_PORT;
  }
  // From here a failure puts the saved settings back and closes the port,
  // so no half-configured port stays open (or locked).
  if (!plat_apply_line_settings(p, debugger_port != 0)) {
    QD_LOG_ERR("Could not Set Port Settings\n");
    plat_restore_settings(p);
    plat_close(p);
    return QD_ERR_PORT;
  }
  if (!plat_read_timeouts(p)) {
    QD_LOG_ERR("Could not Set Port Settings\n");
    plat_restore_settings(p);
    plat_close(p);
    return QD_ERR_PORT;
  }
  if (!plat_apply_timeouts(p)) {
    QD_LOG_ERR("Could not Set Port Settings\n");
    plat_restore_settings(p);
    plat_close(p);
    return QD_ERR_PORT;
  }
  port_handle = p;
  return QD_OK;
}

int8_t qd_bus_ioctl(uint8_t cmd, bus_transfer* transfer) {
  if (cmd != BUS_IOCTL_READ && cmd != BUS_IOCTL_WRITE) {
    QD_LOG_ERR("invalide ioclt cmd\n");
    return QD_ERR_PORT;
  }
  if (!transfer || (!transfer->buffer && transfer->size != 0)) {
    QD_LOG_ERR("NULL pointer\n");
    return QD_ERR_PORT;
  }
  if (cmd == BUS_IOCTL_READ) return qd_uart_read(transfer->buffer, transfer->size);
  return qd_uart_write(transfer->buffer, transfer->size);
}

// One platform read per byte, each with its own 100 ms time-out. A short
// read is silent; the bytes that came stay in the buffer.
int8_t qd_uart_read(uint8_t* buffer, int size) {
  if (size == 0) return QD_OK;
  if (size < 0 || !buffer || !port_handle) return QD_ERR_PORT;
  for (int i = 0; i < size; ++i) {
    if (plat_read_byte(port_handle, &buffer[i]) != 1) return QD_ERR_PORT;
  }
  return QD_OK;
}

// The whole buffer or a failure: a write the port did not complete is not
// reported as done.
int8_t qd_uart_write(const uint8_t* buffer, int size) {
  if (size < 0 || (size > 0 && !buffer) || !port_handle ||
      !plat_write_all(port_handle, buffer, static_cast<size_t>(size))) {
    QD_LOG_ERR("Error writing to PORT\n");
    return QD_ERR_PORT;
  }
  return QD_OK;
}

int8_t qd_bus_deinit() { return qd_uart_deinit(); }

int8_t qd_uart_deinit() {
  if (!port_handle) return QD_OK;
  plat_port* p = port_handle;
  port_handle = nullptr;
  plat_restore_settings(p);
  // Let the restored settings reach the device before it is closed.
  plat_sleep_ms(100);
  return plat_close(p) ? QD_OK : QD_ERR_PORT;
}

int8_t qd_bus_reinit(const uart_config* config) { return qd_uart_reinit(config); }

// Only the line rate changes; the settings saved at open stay as they were.
int8_t qd_uart_reinit(const uart_config* config) {
  if (!config) {
    QD_LOG_ERR("NULL pointer\n");
    return QD_ERR_PORT;
  }
  if (!port_handle || !plat_set_rate(port_handle, config->baud_rate)) {
    QD_LOG_ERR("Could not Set Port Settings\n");
    return QD_ERR_PORT;
  }
  return QD_OK;
}

void qd_sleep(uint32_t ms) { plat_sleep_ms(ms); }

uint32_t qd_tick_ms() { return plat_tick_ms(); }
