// The mailbox command channel to the programmer firmware and the flash
// operations built on it: reads, the whole-flash erase and windowed writes.
#include "chip/chip.h"
#include "common/console.h"
#include "common/status.h"
#include "port/port.h"
#include "programmer/programmer.h"
#include "programmer/spi_flash.h"

static void put_le32(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
  out[2] = static_cast<uint8_t>(value >> 16);
  out[3] = static_cast<uint8_t>(value >> 24);
}

static double seconds_since(uint32_t start_tick) {
  uint32_t elapsed = qd_tick_ms() - start_tick;
  return static_cast<double>(elapsed) / 1000.0;
}

uint8_t programmer_checksum(const uint8_t* data, uint32_t length) {
  // The programmer firmware checks the same rule: the last byte is left out.
  uint8_t sum = 0;
  for (uint32_t i = 0; i + 1 < length; i++) sum ^= data[i];
  return sum;
}

int8_t programmer_run_command(const programmer_command* command, const uint8_t* data, bool* read_failed) {
  uint8_t block[PROG_COMMAND_SIZE];
  put_le32(block + 0, command->command_code);
  put_le32(block + 4, command->data_checksum);
  put_le32(block + 8, command->byte_count);
  put_le32(block + 12, command->buffer_address);
  put_le32(block + 16, command->flash_address);

  // A write the peer refused fails the command even when the wait ends on 9:
  // a state register that never received the code still holds the 9 of the
  // previous command, which would pass a command that never ran as done.
  // Every step and the wait still run, so the line sees the same exchanges.
  bool sent = qd_chip_write_block(PROG_CMD_ADDR, block, PROG_COMMAND_SIZE) == QD_OK;
  if (command->command_code == PROG_CMD_WRITE && data != nullptr)
    sent = qd_chip_write_block(PROG_BUF_ADDR, data, static_cast<uint16_t>(command->byte_count)) == QD_OK && sent;
  sent = qd_chip_write_reg(PROG_STATE_REG, command->command_code) == QD_OK && sent;

  if (read_failed != nullptr) *read_failed = false;
  uint32_t polls = 0;
  uint32_t state = 0;
  for (;;) {
    if (qd_chip_read_reg_with_ret(PROG_STATE_REG, &state) != QD_OK) {
      if (read_failed != nullptr) *read_failed = true;
      return QD_ERR_FAIL;
    }
    if (state != command->command_code) break;
    polls++;
    if (polls > PROG_COMMAND_POLLS) return QD_ERR_FAIL;
    qd_sleep(1);
  }
  return state == PROG_STATE_READY && sent ? QD_OK : QD_ERR_FAIL;
}

int8_t programmer_read_cmd(uint32_t buffer_address, uint32_t flash_address, uint32_t length) {
  programmer_command command = {};
  command.command_code = PROG_CMD_READ;
  command.byte_count = length;
  command.buffer_address = buffer_address;
  command.flash_address = flash_address;
  return programmer_run_command(&command, nullptr, nullptr) == QD_OK ? QD_OK : QD_ERR_FAIL;
}

int8_t programmer_read_window(uint8_t* destination, uint32_t address, uint32_t length) {
  if (programmer_read_cmd(PROG_BUF_ADDR, address, length) != QD_OK) return QD_ERR_FAIL;
  return qd_chip_read_block(PROG_BUF_ADDR, destination, static_cast<uint16_t>(length));
}

int8_t programmer_read(uint8_t* destination, uint32_t address, uint32_t length) {
  if (length == 0) return QD_OK;
  // Read windows follow each other from the given address, unaligned.
  while (length > PROG_WINDOW_SIZE) {
    int8_t status = programmer_read_window(destination, address, PROG_WINDOW_SIZE);
    if (status != QD_OK) return status;
    destination += PROG_WINDOW_SIZE;
    address += PROG_WINDOW_SIZE;
    length -= PROG_WINDOW_SIZE;
  }
  return programmer_read_window(destination, address, length);
}

int8_t programmer_erase(uint32_t start, uint32_t size) {
  uint32_t start_tick = qd_tick_ms();
  con_print(">Start erasing...\n");
  programmer_command command = {};
  command.command_code = PROG_CMD_ERASE;
  command.byte_count = size;
  command.flash_address = start;
  bool read_failed = false;
  int8_t status = programmer_run_command(&command, nullptr, &read_failed);
  // A refused or timed-out erase still reports how long it took.
  if (!read_failed) {
    con_print("Done\n");
    con_print("#Erase time = %f sec\n", seconds_since(start_tick));
  }
  return status == QD_OK ? QD_OK : QD_ERR_FAIL;
}

int8_t programmer_erase_all() {
  uint32_t size = spi_flash_size_bytes();
  // No identified flash: an erase of length 0 would pass as success and the
  // download would then write over data it never erased.
  if (size == 0) return QD_ERR_FAIL;
  return programmer_erase(0, size);
}

int8_t programmer_write_window(uint32_t address, const uint8_t* data, uint32_t length) {
  programmer_command command = {};
  command.command_code = PROG_CMD_WRITE;
  command.data_checksum = programmer_checksum(data, length);
  command.byte_count = length;
  command.buffer_address = PROG_BUF_ADDR;
  command.flash_address = address;
  return programmer_run_command(&command, data, nullptr) == QD_OK ? QD_OK : QD_ERR_FAIL;
}

int8_t programmer_write(const uint8_t* data, uint32_t address, uint32_t size) {
  // Windows that size would fill from an aligned start; the percentage is
  // counted against this.
  uint32_t total = size / PROG_WINDOW_SIZE + (size % PROG_WINDOW_SIZE != 0 ? 1 : 0);
  uint32_t start_tick = qd_tick_ms();
  con_print(">Start programming..\n");
  if (size == 0) {
    con_print("Data size = %d", static_cast<int>(size));
    return QD_ERR_FAIL;
  }

  // Every window lies within one 32 KiB-aligned block of flash: an unaligned
  // start first fills up to the next boundary.
  uint32_t offset_in_window = address % PROG_WINDOW_SIZE;
  bool done = false;
  if (offset_in_window != 0) {
    uint32_t first = PROG_WINDOW_SIZE - offset_in_window;
    uint32_t n = size < first ? size : first;
    if (programmer_write_window(address, data, n) != QD_OK) return QD_ERR_FAIL;
    if (size < first) {
      done = true;
    } else {
      data += first;
      address += first;
      size -= first;
    }
  }

  uint32_t count = 0;
  while (!done && size > 0) {
    uint32_t n = size < PROG_WINDOW_SIZE ? size : PROG_WINDOW_SIZE;
    if (programmer_write_window(address, data, n) != QD_OK) return QD_ERR_FAIL;
    data += n;
    address += n;
    size -= n;
    count++;
    con_print("\r>Complete Percentage = %d%%.\r", static_cast<int>(count * 100 / total));
  }

  con_print("\rDone\t\t\t\t\t\t");
  con_print("\n#Programming time =%f sec\n\r", seconds_since(start_tick));
  return QD_OK;
}
