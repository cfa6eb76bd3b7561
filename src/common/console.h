// Console conventions shared by every layer.
//
// Most messages are followed by a lone "\r" written separately; a few are
// plain prints. Driver errors are "(APP)(ERR)[function][line]" + message + "\r",
// information lines "(APP)(INFO)" + message + "\r". Everything goes to stdout
// and is flushed after each message, so the order holds on a pipe or a file.
#pragma once
#include <cstdint>

#if defined(__GNUC__) || defined(__clang__)
#define QD_PRINTF_FMT(a, b) __attribute__((format(printf, a, b)))
#else
#define QD_PRINTF_FMT(a, b)
#endif

// Message, then the lone "\r".
void con_print(const char* fmt, ...) QD_PRINTF_FMT(1, 2);
// Plain print, no "\r".
void con_plain(const char* fmt, ...) QD_PRINTF_FMT(1, 2);
// Error line of a driver layer; use QD_LOG_ERR so the caller's name and line are filled in.
void con_log_err(const char* func, int line, const char* fmt, ...) QD_PRINTF_FMT(3, 4);
// Information line.
void con_log_info(const char* fmt, ...) QD_PRINTF_FMT(1, 2);
// Flush stdout (before reading stdin, the pause and exit).
void con_flush();

#define QD_LOG_ERR(...) con_log_err(__func__, __LINE__, __VA_ARGS__)
