// Bringing the programmer firmware up on the chip and releasing the link.
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <vector>

#include "bridge/bridge.h"
#include "chip/chip.h"
#include "common/console.h"
#include "common/status.h"
#include "port/discovery.h"
#include "port/port.h"
#include "programmer/programmer.h"

static constexpr uint32_t CHIP_ID_FAMILY_MASK = 0xFFFFF000;
static constexpr uint32_t CHIP_ID_FAMILY = 0x150000;
static constexpr uint32_t PROG_FAST_BAUD = 500000;
static constexpr uint32_t PROG_START_SETTLE_MS = 100;
// The payload must hold at least the 4 bytes copied to PROG_HEAD_COPY_ADDR,
// and one block write carries at most a 16-bit length.
static constexpr long PROG_FILE_MIN_SIZE = PROG_FILE_HEADER_SIZE + 4;
static constexpr long PROG_PAYLOAD_MAX_SIZE = 0xFFFF;

// Reads the programmer firmware file whole into file_data; prints the reason
// and returns QD_ERR_FAIL when the file cannot be used.
static int8_t programmer_read_file(std::vector<uint8_t>* file_data) {
  // A directory or a device has no length to seek to, and a fifo would block
  // the open; only a plain file is read.
  std::error_code error;
  std::filesystem::file_status kind = std::filesystem::status(PROG_FILE_PATH, error);
  if (!error && std::filesystem::exists(kind) && !std::filesystem::is_regular_file(kind)) {
    con_print("Programmer fw file at \n%s\nis not a regular file\n", PROG_FILE_PATH);
    return QD_ERR_FAIL;
  }
  std::FILE* file = std::fopen(PROG_FILE_PATH, "rb");
  if (file == nullptr) {
    con_print("Failed to open programmer fw file at \n%s\n", PROG_FILE_PATH);
    return QD_ERR_FAIL;
  }
  long length = -1;
  if (std::fseek(file, 0, SEEK_END) == 0) length = std::ftell(file);
  bool rewound = length >= 0 && std::fseek(file, 0, SEEK_SET) == 0;
  if (!rewound) {
    std::fclose(file);
    con_print("Programmer fw file at \n%s\ncould not be read whole\n", PROG_FILE_PATH);
    return QD_ERR_FAIL;
  }
  if (length < PROG_FILE_MIN_SIZE) {
    std::fclose(file);
    con_print("Programmer fw file at \n%s\nis too short: %ld bytes, at least %ld needed\n", PROG_FILE_PATH, length,
              PROG_FILE_MIN_SIZE);
    return QD_ERR_FAIL;
  }
  if (length - static_cast<long>(PROG_FILE_HEADER_SIZE) > PROG_PAYLOAD_MAX_SIZE) {
    std::fclose(file);
    con_print("Programmer fw file at \n%s\nis too large: payload of %ld bytes, at most %ld allowed\n", PROG_FILE_PATH,
              length - static_cast<long>(PROG_FILE_HEADER_SIZE), PROG_PAYLOAD_MAX_SIZE);
    return QD_ERR_FAIL;
  }
  file_data->resize(static_cast<size_t>(length));
  size_t got = std::fread(file_data->data(), 1, file_data->size(), file);
  std::fclose(file);
  if (got != file_data->size()) {
    con_print("Programmer fw file at \n%s\ncould not be read whole\n", PROG_FILE_PATH);
    return QD_ERR_FAIL;
  }
  return QD_OK;
}

int8_t programmer_load_firmware() {
  std::vector<uint8_t> file_data;
  int8_t status = programmer_read_file(&file_data);
  if (status != QD_OK) return status;

  // A failure of these writes shows up as a failed or timed-out ready wait.
  const uint8_t* payload = file_data.data() + PROG_FILE_HEADER_SIZE;
  uint16_t payload_size = static_cast<uint16_t>(file_data.size() - PROG_FILE_HEADER_SIZE);
  qd_chip_write_block(PROG_LOAD_ADDR, payload, payload_size);
  qd_chip_write_block(PROG_HEAD_COPY_ADDR, payload, 4);
  qd_chip_write_reg(PROG_START_REG, PROG_START_VALUE);
  qd_sleep(PROG_START_SETTLE_MS);
  return QD_OK;
}

// Polls the state register until the programmer firmware reads ready:
// at most PROG_READY_POLLS + 1 reads with a 1 ms sleep between them.
static int8_t programmer_wait_ready() {
  uint32_t polls = 0;
  for (;;) {
    uint32_t state = 0;
    int8_t status = qd_chip_read_reg_with_ret(PROG_STATE_REG, &state);
    if (status != QD_OK) return status;
    polls++;
    if (polls > PROG_READY_POLLS) {
      con_log_info("Time out for wait firmware Run\n");
      return QD_ERR_NOT_READY;
    }
    if (state == PROG_STATE_READY) {
      con_print("OK.\n\r");
      return QD_OK;
    }
    qd_sleep(1);
  }
}

int8_t programmer_init(uint8_t port) {
  int port_number = port;
  if (port == 0) {
    uint8_t found[PORT_LIST_SIZE] = {};
    uint8_t answered = qd_bus_port_detect(found, qd_uart_sync_cmd);
    if (answered == 0) return QD_ERR_SYNC;
    // Several answering ports: 0 makes the open ask the user.
    port_number = answered == 1 ? found[0] : 0;
  }

  int8_t status = qd_chip_open(&port_number);
  if (status != QD_OK) {
    con_print(">>(ERR):Connect Fail\n");
    return status;
  }

  uint32_t chip_id = qd_chip_get_id();
  if ((chip_id & CHIP_ID_FAMILY_MASK) != CHIP_ID_FAMILY) {
    con_print(">>(ERR):Invalid chip ID = 0x%08lx\n", static_cast<unsigned long>(chip_id));
    con_print(">>(ERR):Connect ORV3100 Dx Fail\n");
    return QD_ERR_FAIL;
  }
  con_print("Chip id %lx\n", static_cast<unsigned long>(chip_id));

  status = programmer_load_firmware();
  if (status != QD_OK) return status;

  con_print(">Waiting for chip permission...\n");
  uart_config fast = {PROG_FAST_BAUD};
  // The built-in UART follows the firmware on its own; only a bridge is told.
  if (qd_uart_is_builtin() == 0) {
    status = qd_chip_set_rate(&fast);
    if (status != QD_OK) return status;
  }
  // A failed move of the PC side shows up in the ready wait.
  qd_bus_reinit(&fast);
  return programmer_wait_ready();
}

int8_t programmer_deinit() {
  if (qd_uart_is_builtin() != 0) {
    qd_chip_reset();
  } else {
    uart_config slow = {UART_DEFAULT_BAUD};
    qd_chip_set_rate(&slow);
  }
  return qd_bus_deinit();
}
