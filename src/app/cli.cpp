// The tool's frame: banner, argument scan, the task, the closing pause and
// the exit status.
#include "app/options.h"

#include "common/console.h"
#include "common/status.h"
#include "port/discovery.h"
#include "port/platform.h"

#include <cstring>

std::string image_path = DEFAULT_IMAGE_PATH;

static const char BANNER_STARS[] = "********************************************";
static const char BANNER_TITLE[] = "*  >Programmer for ORVEX310 SPI Flash<     *";
static const char BANNER_OWNER[] = "*  orvex_flash - serial flash programmer   *";
static_assert(sizeof BANNER_STARS == 45 && sizeof BANNER_TITLE == 45 && sizeof BANNER_OWNER == 45,
              "banner lines are 44 characters");

void print_banner() {
  con_print("%s\n\r", BANNER_STARS);
  con_print("%s\n\r", BANNER_TITLE);
  con_print("%s\n\r", BANNER_OWNER);
  con_print("%s\n\r", BANNER_STARS);
}

// Options are found anywhere inside an argument and never rejected; the
// first of -fw_path, -no_wait, -port that an argument holds is the one that
// acts, and a later option overrides an earlier one.
uint32_t parse_arguments(char** argv, int argc, uint8_t* port) {
  uint32_t flags = 0;
  *port = 0;
  if (argc < 2 || !argv) return flags;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (!arg) continue;
    if (std::strstr(arg, "-fw_path")) {
      // The value is visited next like any other argument.
      if (i + 1 < argc && argv[i + 1]) image_path = argv[i + 1];
    } else if (std::strstr(arg, "-no_wait")) {
      flags |= OPT_NO_WAIT;
    } else if (std::strstr(arg, "-port")) {
      if (i + 1 < argc) {
        ++i;
        *port = qd_decimal_low8(argv[i]);
      }
    }
  }
  return flags;
}

int app_main(int argc, char** argv, task_fn task) {
  print_banner();
  uint8_t port = 0;
  uint32_t flags = parse_arguments(argv, argc, &port);
  int8_t status = task(port);
  con_flush();
  // The pause comes after failures too, so the window stays readable.
  if (!(flags & OPT_NO_WAIT)) plat_pause();
  con_flush();
  return static_cast<int>(status);
}
