// Status values shared by every layer: signed 8-bit, 0 is success.
#pragma once
#include <cstdint>

constexpr int8_t QD_OK = 0;
constexpr int8_t QD_ERR_SYNC = -1;        // unrecognised sync answer; no port answered discovery
constexpr int8_t QD_ERR_NOT_READY = -5;   // programmer firmware never reported ready
constexpr int8_t QD_ERR_PORT = -6;        // port or bridge exchange failed, invalid port number
constexpr int8_t QD_ERR_FAIL = -12;       // programmer command failed, file refused, chip id refused
