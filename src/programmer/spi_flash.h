// Flash identification through the chip's own SPI flash controller, and the
// flash size derived from it (kept for the run once found).
#pragma once
#include <cstdint>

uint32_t spi_flash_read_id();
uint32_t spi_flash_get_size();
uint32_t spi_flash_size_bytes();

// Forgets the cached size; for tests.
void spi_flash_forget_size();
