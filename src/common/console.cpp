#include "common/console.h"

#include <cstdarg>
#include <cstdio>

static void con_vwrite(const char* fmt, va_list ap) {
  std::vfprintf(stdout, fmt, ap);
}

void con_print(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  con_vwrite(fmt, ap);
  va_end(ap);
  std::fputs("\r", stdout);
  std::fflush(stdout);
}

void con_plain(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  con_vwrite(fmt, ap);
  va_end(ap);
  std::fflush(stdout);
}

void con_log_err(const char* func, int line, const char* fmt, ...) {
  std::fprintf(stdout, "(APP)(ERR)[%s][%d]", func, line);
  va_list ap;
  va_start(ap, fmt);
  con_vwrite(fmt, ap);
  va_end(ap);
  std::fputs("\r", stdout);
  std::fflush(stdout);
}

void con_log_info(const char* fmt, ...) {
  std::fputs("(APP)(INFO)", stdout);
  va_list ap;
  va_start(ap, fmt);
  con_vwrite(fmt, ap);
  va_end(ap);
  std::fputs("\r", stdout);
  std::fflush(stdout);
}

void con_flush() { std::fflush(stdout); }
