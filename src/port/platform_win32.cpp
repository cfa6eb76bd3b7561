// Windows backend of the port layer: Win32 serial API, the device-setup
// service for the port listing, GetTickCount, Sleep and the "pause" command.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <mmsystem.h>
#include <setupapi.h>

#include <cstdio>
#include <cstdlib>

#include "port/platform.h"

struct plat_port {
  HANDLE handle;
  DCB saved;           // settings as read at open, put back at close
  uint32_t baud_rate;  // line rate in force, 0 before the line is set up
};

namespace {

// Sleep(1) lasts a whole scheduler tick (about 15.6 ms) unless the timer
// resolution is raised; the 1 ms polls of the programmer rely on it.
struct timer_resolution {
  bool raised;
  timer_resolution() : raised(timeBeginPeriod(1) == TIMERR_NOERROR) {}
  ~timer_resolution() {
    if (raised) timeEndPeriod(1);
  }
  timer_resolution(const timer_resolution&) = delete;
  timer_resolution& operator=(const timer_resolution&) = delete;
};

timer_resolution g_timer_resolution;

constexpr DWORD FRIENDLY_NAME_SIZE = 300;

}  // namespace

int plat_list_ports(plat_port_visit_fn visit, void* ctx) {
  HDEVINFO devices = SetupDiGetClassDevsA(NULL, NULL, NULL, DIGCF_PRESENT | DIGCF_ALLCLASSES);
  if (devices == INVALID_HANDLE_VALUE) return 1;

  SP_DEVINFO_DATA info;
  BYTE name[FRIENDLY_NAME_SIZE];
  for (DWORD index = 0;; ++index) {
    ZeroMemory(&info, sizeof(info));
    info.cbSize = sizeof(SP_DEVINFO_DATA);
    if (!SetupDiEnumDeviceInfo(devices, index, &info)) break;
    DWORD required = 0;
    // A name that does not fit (or none at all) skips the device.
    if (!SetupDiGetDeviceRegistryPropertyA(devices, &info, SPDRP_FRIENDLYNAME, NULL, name,
                                           FRIENDLY_NAME_SIZE, &required))
      continue;
    name[FRIENDLY_NAME_SIZE - 1] = 0;
    if (!visit(reinterpret_cast<const char*>(name), ctx)) break;
  }
  SetupDiDestroyDeviceInfoList(devices);
  return 0;
}

// Interruptions (Ctrl-C, Ctrl-Break, a closed console). The console handler
// runs on a thread of its own while the main thread carries on, so it only
// posts the event; the main thread acts on it at its next read, write, rate
// change or sleep (within one 100 ms time-out): it puts the port back, prints
// the line through stdout like every other line and ends the process. Only a
// main thread that does not come by in time (waiting for a key at the port
// prompt) is stopped, and the handler then does the same itself.

// The port an interruption must put back and release: set once its settings
// are saved, taken away before it is closed.
static plat_port* volatile interrupt_port = nullptr;
static volatile LONG interrupt_event = -1;  // the console event, -1 while none came
static HANDLE main_thread = NULL;
constexpr DWORD INTERRUPT_GRACE_MS = 1000;

static UINT interrupt_exit_code(LONG event) {
  return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? PLAT_EXIT_INTERRUPTED : PLAT_EXIT_TERMINATED;
}

// Whoever takes the port first puts it back and closes it.
static void release_interrupt_port() {
  plat_port* port = static_cast<plat_port*>(
      InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&interrupt_port), NULL));
  if (!port) return;
  if (port->saved.DCBlength != 0) SetCommState(port->handle, &port->saved);
  CloseHandle(port->handle);
}

// On the main thread: ends the run when an interruption is pending.
static void check_interrupt() {
  LONG event = interrupt_event;
  if (event < 0) return;
  release_interrupt_port();
  std::fputs(PLAT_INTERRUPTED_MESSAGE, stdout);
  std::fflush(stdout);
  ExitProcess(interrupt_exit_code(event));
}

plat_port* plat_open(uint8_t number) {
  char path[16];
  std::snprintf(path, sizeof(path), "\\\\.\\COM%u", static_cast<unsigned>(number));
  HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (handle == INVALID_HANDLE_VALUE) return nullptr;
  plat_port* port = new plat_port;
  port->handle = handle;
  ZeroMemory(&port->saved, sizeof(port->saved));
  port->baud_rate = 0;
  return port;
}

bool plat_save_settings(plat_port* port) {
  DCB dcb;
  ZeroMemory(&dcb, sizeof(dcb));
  dcb.DCBlength = sizeof(DCB);
  if (!GetCommState(port->handle, &dcb)) return false;
  port->saved = dcb;
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&interrupt_port), port);
  return true;
}

bool plat_apply_line_settings(plat_port* port, bool debugger_port) {
  // Start from the settings read at open: the fields not set here (parity
  // check, XON/XOFF limits and characters, error/EOF/event characters) keep them.
  DCB dcb = port->saved;
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = CBR_115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = debugger_port ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fTXContinueOnXoff = FALSE;
  // XON/XOFF would swallow the bytes 0x11 and 0x13 of the binary protocol,
  // so it stays off on every port, the debugger's included.
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fAbortOnError = FALSE;
  if (!SetCommState(port->handle, &dcb)) return false;
  port->baud_rate = CBR_115200;
  // A freshly opened port starts empty, as it does on a Windows serial
  // driver; where the line outlives the handle (Wine on a tty), a late answer
  // to an earlier open would otherwise be read as this one's.
  PurgeComm(port->handle, PURGE_RXCLEAR);
  return true;
}

bool plat_read_timeouts(plat_port* port) {
  COMMTIMEOUTS timeouts;
  ZeroMemory(&timeouts, sizeof(timeouts));
  return GetCommTimeouts(port->handle, &timeouts) != FALSE;
}

bool plat_apply_timeouts(plat_port* port) {
  COMMTIMEOUTS timeouts;
  timeouts.ReadIntervalTimeout = 0;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 100;
  timeouts.WriteTotalTimeoutMultiplier = 0;
  timeouts.WriteTotalTimeoutConstant = 100;
  return SetCommTimeouts(port->handle, &timeouts) != FALSE;
}

int plat_read_byte(plat_port* port, uint8_t* byte) {
  check_interrupt();
  DWORD got = 0;
  BOOL ok = ReadFile(port->handle, byte, 1, &got, NULL);
  check_interrupt();
  if (!ok) return -1;
  return got == 1 ? 1 : 0;
}

static int64_t counter_now() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

// A write returns once its bytes have had their time on the wire (ten bits
// each at the rate in force). A driver that hands them to an adapter's buffer
// returns sooner, and a rate change or a close right after the write, with
// no answer awaited (built-in UART), would catch the last bytes still queued.
static void wait_for_wire(const plat_port* port, int64_t start, size_t size) {
  if (port->baud_rate == 0 || size == 0) return;
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  const int64_t ticks = static_cast<int64_t>(
      static_cast<double>(size) * 10.0 * static_cast<double>(frequency.QuadPart) / port->baud_rate);
  const int64_t until = start + ticks;
  for (;;) {
    int64_t left = until - counter_now();
    if (left <= 0) return;
    int64_t left_ms = left * 1000 / frequency.QuadPart;
    // Sleep the whole milliseconds but the last, then yield for the rest.
    if (left_ms >= 2) Sleep(static_cast<DWORD>(left_ms - 1));
    else SwitchToThread();
  }
}

bool plat_write_all(plat_port* port, const uint8_t* data, size_t size) {
  check_interrupt();
  if (size > MAXDWORD) return false;
  const int64_t start = counter_now();
  DWORD written = 0;
  if (!WriteFile(port->handle, data, static_cast<DWORD>(size), &written, NULL)) return false;
  // A write cut short by the time-out still reports success: count the bytes.
  if (written != static_cast<DWORD>(size)) return false;
  wait_for_wire(port, start, size);
  return true;
}

bool plat_set_rate(plat_port* port, uint32_t baud_rate) {
  check_interrupt();
  DCB dcb;
  ZeroMemory(&dcb, sizeof(dcb));
  dcb.DCBlength = sizeof(DCB);
  if (!GetCommState(port->handle, &dcb)) return false;
  dcb.BaudRate = baud_rate;
  if (!SetCommState(port->handle, &dcb)) return false;
  port->baud_rate = baud_rate;
  return true;
}

void plat_restore_settings(plat_port* port) {
  // Nothing to put back when the settings were never read.
  if (port->saved.DCBlength == 0) return;
  SetCommState(port->handle, &port->saved);
}

bool plat_close(plat_port* port) {
  InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&interrupt_port), NULL, port);
  bool closed = CloseHandle(port->handle) != FALSE;
  delete port;
  return closed;
}

void plat_sleep_ms(uint32_t ms) {
  Sleep(ms);
  check_interrupt();
}

uint32_t plat_tick_ms() { return static_cast<uint32_t>(GetTickCount()); }

void plat_pause() {
  std::fflush(stdout);
  std::system("pause");
}

static BOOL WINAPI plat_on_console_event(DWORD event) {
  InterlockedCompareExchange(&interrupt_event, static_cast<LONG>(event), -1);
  Sleep(INTERRUPT_GRACE_MS);
  // Still running: the main thread waits elsewhere. Stop it, so the port is
  // no longer in use, and finish here, past the C library, whose locks the
  // stopped thread may hold; each "\n" becomes "\r\n" as in text mode.
  if (main_thread) SuspendThread(main_thread);
  release_interrupt_port();
  static const char message[] = PLAT_INTERRUPTED_MESSAGE;
  char text[2 * sizeof message];
  DWORD length = 0;
  for (const char* c = message; *c; ++c) {
    if (*c == '\n') text[length++] = '\r';
    text[length++] = *c;
  }
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, length, &written, NULL);
  TerminateProcess(GetCurrentProcess(), interrupt_exit_code(interrupt_event));
  return TRUE;
}

void plat_set_interrupt_handler(bool on) {
  if (on) {
    if (!main_thread)
      DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &main_thread, 0, FALSE,
                      DUPLICATE_SAME_ACCESS);
    SetConsoleCtrlHandler(plat_on_console_event, TRUE);
    return;
  }
  SetConsoleCtrlHandler(plat_on_console_event, FALSE);
  // One that came in as the task ended still ends the run.
  check_interrupt();
}
