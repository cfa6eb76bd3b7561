// Finding the module's port: the listing of serial devices by friendly name,
// the open test, the probe loop and the choice of the port.
#include "port/discovery.h"

#include "common/console.h"
#include "common/status.h"
#include "port/platform.h"
#include "port/port.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>

port_entry port_table[PORT_LIST_SIZE];
static uint8_t builtin_uart = 0;

static const char* const COM_TAG = "(COM";
static const char* const DEBUGGER_TEXT = "KAVO Virtual COM Port";

uint8_t qd_decimal_low8(const char* text) {
  if (!text) return 0;
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
  while (std::isspace(*s)) ++s;
  bool negative = false;
  if (*s == '+' || *s == '-') {
    negative = *s == '-';
    ++s;
  }
  // Unsigned arithmetic wraps, which keeps the low eight bits of any length.
  uint32_t value = 0;
  while (*s >= '0' && *s <= '9') {
    value = value * 10u + static_cast<uint32_t>(*s - '0');
    ++s;
  }
  if (negative) value = 0u - value;
  return static_cast<uint8_t>(value & 0xFFu);
}

bool qd_port_name_number(const char* friendly_name, uint8_t* number) {
  const char* tag = friendly_name ? std::strstr(friendly_name, COM_TAG) : nullptr;
  if (!tag) return false;
  *number = qd_decimal_low8(tag + std::strlen(COM_TAG));
  return true;
}

namespace {

struct enum_state {
  port_entry* list;
  int count;
};

bool enum_visit(const char* name, void* ctx) {
  enum_state* st = static_cast<enum_state*>(ctx);
  // The list holds PORT_LIST_SIZE entries; later devices are not taken.
  if (st->count >= PORT_LIST_SIZE) return false;
  const char* debugger = std::strstr(name, DEBUGGER_TEXT);
  uint8_t number = 0;
  bool has_com = qd_port_name_number(name, &number);
  if (!has_com && !debugger) return true;
  port_entry& e = st->list[st->count];
  if (has_com) e.number = number;
  if (debugger) {
    con_plain("%s\n", debugger);
    e.debugger_port = 1;
  }
  ++st->count;
  return st->count < PORT_LIST_SIZE;
}

}  // namespace

int qd_uart_enum_ports(port_entry* list) {
  enum_state st{list, 0};
  return plat_list_ports(enum_visit, &st) == 0 ? 0 : 1;
}

int8_t qd_uart_check_ports(port_entry* table) {
  port_entry list[PORT_LIST_SIZE];
  std::memset(list, 0, sizeof list);
  qd_uart_enum_ports(list);
  int8_t status = QD_OK;
  int added = 0;
  for (int i = 0; i < PORT_LIST_SIZE && list[i].number != 0; ++i) {
    plat_port* p = plat_open(list[i].number);
    if (!p) {
      status = QD_ERR_PORT;
      continue;
    }
    table[added].number = list[i].number;
    table[added].debugger_port = list[i].debugger_port;
    ++added;
    plat_close(p);
  }
  return status;
}

uint8_t qd_bus_port_detect(uint8_t* found, qd_probe_fn probe) {
  con_plain("Detecting ports...\n");
  qd_uart_check_ports(port_table);
  uint8_t count = 0;
  for (int i = 0; i < PORT_LIST_SIZE && port_table[i].number != 0; ++i) {
    int number = port_table[i].number;
    if (qd_uart_connect(&number) != QD_OK) {
      con_print(">>(ERR):Connect uart\n");
      continue;
    }
    int8_t answer = probe ? probe() : -1;
    if (answer >= 0) {
      port_table[i].builtin_uart = static_cast<uint8_t>(answer);
      if (found) found[count] = port_table[i].number;
      ++count;
      con_plain("Avail port COM%d\n", port_table[i].number);
    }
    qd_bus_deinit();
  }
  if (count == 0) QD_LOG_ERR("Failed to find any COM ports\n");
  con_plain("%d of ports found\n", count);
  return count;
}

int8_t qd_uart_connect(int* port) {
  if (!port) return QD_ERR_PORT;
  if (*port == 0) {
    con_print("Enter port number: \n");
    con_flush();
    long typed = 0;
    if (std::scanf("%ld", &typed) != 1) typed = 0;
    // A number outside 1..255 names no port; it is not cut down to another
    // port's number.
    if (typed < 1 || typed > 255) {
      *port = (typed >= INT_MIN && typed <= INT_MAX) ? static_cast<int>(typed) : 0;
      con_print(">Invalid port number\n");
      return QD_ERR_PORT;
    }
    *port = static_cast<int>(typed);
  }
  uint8_t number = static_cast<uint8_t>(*port & 0xFF);
  const port_entry* hit = nullptr;
  for (int i = 0; i < PORT_LIST_SIZE && port_table[i].number != 0; ++i) {
    if (port_table[i].number == number) {
      hit = &port_table[i];
      break;
    }
  }
  if (hit) builtin_uart = hit->builtin_uart;
  if (number == 0) {
    con_print(">Invalid port number\n");
    return QD_ERR_PORT;
  }
  return qd_uart_init(number, hit ? hit->debugger_port : 0);
}

uint8_t qd_uart_is_builtin() { return builtin_uart; }

void qd_discovery_reset() {
  std::memset(port_table, 0, sizeof port_table);
  builtin_uart = 0;
}
