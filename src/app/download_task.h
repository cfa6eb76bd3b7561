// The download task: bring-up, version report, image download, shutdown, time.
#pragma once
#include <cstdint>

int8_t download_task(uint8_t port);
