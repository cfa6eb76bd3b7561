// The image download: the image file read whole, the flash erased and the
// image written from offset 0.
#pragma once
#include <cstdint>

constexpr uint32_t max_image_size = 0x40000;

int8_t download_image();
