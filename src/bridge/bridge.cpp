#include "bridge/bridge.h"

#include "common/console.h"
#include "common/status.h"
#include "port/discovery.h"

// Frame layout: start, command, checksum, length (LE16), address (LE32), value (LE32).
static constexpr uint8_t FRAME_CHECKSUM_POS = 2;
static constexpr uint8_t FRAME_CHECKSUM_SPAN = 12;  // bytes 1..12

static void put_le16(uint8_t* out, uint16_t v) {
  out[0] = static_cast<uint8_t>(v & 0xFF);
  out[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}

static void put_le32(uint8_t* out, uint32_t v) {
  out[0] = static_cast<uint8_t>(v & 0xFF);
  out[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
  out[2] = static_cast<uint8_t>((v >> 16) & 0xFF);
  out[3] = static_cast<uint8_t>((v >> 24) & 0xFF);
}

// The checksum is taken while its own byte is still 0, so a finished frame
// XORs to 0 over bytes 1..12.
static void build_frame(uint8_t* frame, uint8_t cmd, uint16_t length, uint32_t address, uint32_t value) {
  frame[0] = UART_FRAME_START;
  frame[1] = cmd;
  frame[FRAME_CHECKSUM_POS] = 0;
  put_le16(frame + 3, length);
  put_le32(frame + 5, address);
  put_le32(frame + 9, value);
  frame[FRAME_CHECKSUM_POS] = qd_uart_checksum(frame + 1, FRAME_CHECKSUM_SPAN);
}

static int8_t bus_write(const uint8_t* bytes, uint16_t size) {
  // The bus record is shared by reads and writes, hence the non-const buffer;
  // a write never modifies it.
  bus_transfer t{const_cast<uint8_t*>(bytes), size};
  return qd_bus_ioctl(BUS_IOCTL_WRITE, &t);
}

static int8_t bus_read(uint8_t* bytes, uint16_t size) {
  bus_transfer t{bytes, size};
  return qd_bus_ioctl(BUS_IOCTL_READ, &t);
}

// One acknowledgement byte; false when it is missing or not 0xAC.
static bool read_ack() {
  uint8_t ack = 0;
  if (bus_read(&ack, 1) != QD_OK) return false;
  return ack == UART_ACK;
}

uint8_t qd_uart_checksum(const uint8_t* bytes, uint8_t count) {
  uint8_t sum = 0;
  for (uint8_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum ^ bytes[i]);
  return sum;
}

int8_t qd_uart_sync_cmd() {
  int8_t result = QD_ERR_SYNC;
  uint8_t peer_kind = 0;
  uint8_t byte = UART_SYNC_BYTE;

  if (bus_write(&byte, 1) != QD_OK) {
    QD_LOG_ERR("failed to send cfg bytes\n");
    result = QD_ERR_PORT;
  } else if (bus_read(&byte, 1) != QD_OK) {
    result = QD_ERR_PORT;
  }

  // After a failed write or read the buffer still holds the sync byte itself,
  // which matches neither answer.
  if (byte == UART_SYNC_BUILTIN) {
    result = QD_OK;
    peer_kind = 1;
    con_log_info("Built-in ORVEX310 UART Found\n");
  } else if (byte == UART_SYNC_BRIDGE) {
    result = QD_OK;
    peer_kind = 0;
    con_log_info("ORVEX310 Serial Bridge Found\n");
  }

  if (result == QD_OK) return static_cast<int8_t>(peer_kind);
  return result;
}

int8_t qd_uart_read_reg_with_ret(uint32_t address, uint32_t* value_out) {
  int8_t status = QD_OK;
  // The answer is read into the frame buffer itself.
  uint8_t frame[UART_FRAME_SIZE];
  build_frame(frame, UART_CMD_READ_REG, 0, address, 0);

  if (bus_write(frame, UART_FRAME_SIZE) != QD_OK) {
    QD_LOG_ERR("failed to send cfg bytes\n");
    status = QD_ERR_PORT;
  } else if (qd_uart_is_builtin()) {
    if (bus_read(frame, 4) != QD_OK) status = QD_ERR_PORT;
  } else {
    if (bus_read(frame, 1) != QD_OK || frame[0] != UART_ACK) {
      status = QD_ERR_PORT;
    } else if (bus_read(frame, 4) != QD_OK) {
      status = QD_ERR_PORT;
    }
  }

  // The value arrives most significant byte first; stored whatever the status.
  *value_out = (static_cast<uint32_t>(frame[0]) << 24) | (static_cast<uint32_t>(frame[1]) << 16) |
               (static_cast<uint32_t>(frame[2]) << 8) | static_cast<uint32_t>(frame[3]);
  return status;
}

uint32_t qd_uart_read_reg(uint32_t address) {
  uint32_t value = 0;
  (void)qd_uart_read_reg_with_ret(address, &value);
  return value;
}

int8_t qd_uart_write_reg(uint32_t address, uint32_t value) {
  uint8_t frame[UART_FRAME_SIZE];
  build_frame(frame, UART_CMD_WRITE_REG, 0, address, value);

  if (bus_write(frame, UART_FRAME_SIZE) != QD_OK) {
    QD_LOG_ERR("write error\n");
    return QD_ERR_PORT;
  }
  if (qd_uart_is_builtin()) return QD_OK;
  if (!read_ack()) {
    QD_LOG_ERR("write error\n");
    return QD_ERR_PORT;
  }
  return QD_OK;
}

int8_t qd_uart_read_block(uint32_t address, uint8_t* buffer, uint16_t length) {
  uint8_t frame[UART_FRAME_SIZE];
  build_frame(frame, UART_CMD_READ_BLOCK, length, address, 0);

  if (bus_write(frame, UART_FRAME_SIZE) != QD_OK) {
    QD_LOG_ERR("write error\n");
    return QD_ERR_PORT;
  }
  if (!qd_uart_is_builtin() && !read_ack()) {
    QD_LOG_ERR("write error (Error sending the block read command)\n");
    return QD_ERR_PORT;
  }
  // Straight into the caller's buffer.
  if (bus_read(buffer, length) != QD_OK) {
    QD_LOG_ERR("read error\n");
    return QD_ERR_PORT;
  }
  return QD_OK;
}

int8_t qd_uart_write_block(uint32_t address, const uint8_t* buffer, uint16_t length) {
  uint8_t frame[UART_FRAME_SIZE];
  build_frame(frame, UART_CMD_WRITE_BLOCK, length, address, 0);

  if (bus_write(frame, UART_FRAME_SIZE) != QD_OK) {
    QD_LOG_ERR("write error\n");
    return QD_ERR_PORT;
  }
  const bool builtin = qd_uart_is_builtin() != 0;
  if (!builtin && !read_ack()) {
    QD_LOG_ERR("write error (Error sending the block write command)\n");
    return QD_ERR_PORT;
  }
  // Straight from the caller's buffer, in one write.
  if (bus_write(buffer, length) != QD_OK) {
    QD_LOG_ERR("write error\n");
    return QD_ERR_PORT;
  }
  if (builtin) return QD_OK;

  // A missing second acknowledgement fails silently; a wrong one is logged.
  uint8_t ack = 0;
  if (bus_read(&ack, 1) != QD_OK) return QD_ERR_PORT;
  if (ack != UART_ACK) {
    QD_LOG_ERR("write error\n");
    return QD_ERR_PORT;
  }
  return QD_OK;
}

int8_t qd_uart_reconfigure(const uart_config* config) {
  if (config == nullptr) {
    QD_LOG_ERR("NULL pointer\n");
    return QD_ERR_PORT;
  }
  uint8_t frame[UART_FRAME_SIZE];
  build_frame(frame, UART_CMD_RECONFIGURE, 0, 0, config->baud_rate);

  if (bus_write(frame, UART_FRAME_SIZE) != QD_OK) {
    QD_LOG_ERR("write error\n");
    return QD_ERR_PORT;
  }
  if (qd_uart_is_builtin()) return QD_OK;
  if (!read_ack()) {
    QD_LOG_ERR("write error\n");
    return QD_ERR_PORT;
  }
  return QD_OK;
}
