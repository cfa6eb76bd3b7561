#include "image/download.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "app/options.h"
#include "common/console.h"
#include "common/status.h"
#include "programmer/programmer.h"
#include "programmer/spi_flash.h"

// Length of the default path: any path that starts with it draws the warning.
constexpr size_t DEFAULT_IMAGE_PATH_LEN = 29;

int8_t download_image() {
  // Lives for the call only; a fresh zeroed buffer each time.
  std::vector<uint8_t> image(max_image_size, 0);

  if (image_path.size() >= DEFAULT_IMAGE_PATH_LEN &&
      std::memcmp(image_path.data(), DEFAULT_IMAGE_PATH, DEFAULT_IMAGE_PATH_LEN) == 0)
    con_print("\n(WARN)Default PATH for image file will be used.\r\n");

  // Opened for update so a read-only image is refused, but never written.
  std::FILE* file = std::fopen(image_path.c_str(), "rb+");
  con_print("\n");
  if (!file) {
    con_print("[ERR]Unable to open Firmware file:\n\t\"%s\"\r\n", image_path.c_str());
    return QD_ERR_FAIL;
  }
  con_print("Firmware image file has been opened:\n\t\"%s\"\r\n", image_path.c_str());

  long size = -1;
  if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
  std::fseek(file, 0, SEEK_SET);
  // A failed size query (-1) counts as too large.
  if (size < 0 || static_cast<unsigned long>(size) > max_image_size) {
    std::fclose(file);
    con_print("[ERR]Image's size is larger than Flash size.\r\n");
    return QD_ERR_FAIL;
  }
  uint32_t image_size = static_cast<uint32_t>(size);

  // The whole image must be in memory before the flash is touched: a short
  // read would otherwise put zeros in the flash in place of the missing bytes.
  size_t got = std::fread(image.data(), 1, image_size, file);
  std::fclose(file);
  if (got != image_size) {
    con_print("[ERR]Unable to read Firmware file:\n\t\"%s\"\r\n", image_path.c_str());
    return QD_ERR_FAIL;
  }

  // Refuse an image that cannot fit before erasing anything. A found size is
  // cached, so the erase below does not identify the flash again; with no
  // flash identified the erase cannot succeed, and asking again would only
  // repeat the identification lines.
  uint32_t flash_bytes = spi_flash_size_bytes();
  if (flash_bytes != 0 && image_size > flash_bytes) {
    con_print("[ERR]Image's size is larger than Flash size.\r\n");
    return QD_ERR_FAIL;
  }

  if (flash_bytes == 0 || programmer_erase_all() != QD_OK) {
    con_print("Error while erasing SPI FLash.\r\n");
    return QD_ERR_FAIL;
  }
  if (programmer_write(image.data(), 0, image_size) != QD_OK) {
    con_print(">\r\n[ERR]Error Writing Image\r\n");
    return QD_ERR_FAIL;
  }
  return QD_OK;
}
