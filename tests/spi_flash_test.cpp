// Flash identification through the chip's flash controller and the size
// derived from it: the capacity codes the size rule covers, the cache, and
// the identification that fails on the way (completion poll, id read).
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "chip/chip.h"
#include "common/status.h"
#include "fake_bridge_chip.h"
#include "orvex_sim/simulator.h"
#include "port/discovery.h"
#include "port/port.h"
#include "programmer/spi_flash.h"
#include "support/test_support.h"

namespace {

namespace sim = orvex_sim;

constexpr uint32_t DONE_REG = 0x10218;
constexpr uint32_t ID_ADDR = 0x1084;

const std::string NO_SIZE = "(APP)(ERR)[spi_flash_get_size][#]Cann't Detect Flash size\n\r";

template <class F>
std::string captured(F&& f) {
  testing::internal::CaptureStdout();
  f();
  return tsup::mask_log_lines(testing::internal::GetCapturedStdout());
}

void reset_tool() {
  qd_bus_deinit();
  qd_discovery_reset();
  qd_chip_forget_id();
  spi_flash_forget_size();
}

void open_com(int port) {
  ASSERT_EQ(qd_chip_open(&port), QD_OK);
}

// Identification on the simulated module. Codes 17..31 give 2^(code-17)
// Mbit and are kept; anything else (no flash, 0, a code whose size would not
// fit 32 bits in bytes) gives 0 and is tried again next time.
TEST(FlashSize, CapacityCodesAndCache) {
  struct Case {
    uint32_t jedec;
    std::string out;
    uint32_t mbit;
    uint32_t bytes;
  };
  const Case cases[] = {
      {0x001440EF, "Flash ID 1440ef \n\r(APP)(INFO)Flash Size 8 Mb\n\r", 8, 1048576},
      {0x001140EF, "Flash ID 1140ef \n\r(APP)(INFO)Flash Size 1 Mb\n\r", 1, 131072},
      {0x001F40EF, "Flash ID 1f40ef \n\r(APP)(INFO)Flash Size 16384 Mb\n\r", 16384, 0x80000000u},
      {0x001040EF, "Flash ID 1040ef \n\r" + NO_SIZE, 0, 0},
      {0x002040EF, "Flash ID 2040ef \n\r" + NO_SIZE, 0, 0},
      {0xFFFFFFFF, "Flash ID ffffffff \n\r" + NO_SIZE, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << "jedec 0x" << c.jedec);
    reset_tool();
    tsup::PortDir ports;
    sim::SimConfig cfg;
    cfg.port_dir = ports.path();
    cfg.friendly_name = "Board Bridge (COM9)";
    cfg.jedec_id = c.jedec;
    sim::Simulator module(cfg);
    module.start();
    open_com(9);

    uint32_t mbit = 99;
    EXPECT_EQ(captured([&] { mbit = spi_flash_get_size(); }), c.out);
    EXPECT_EQ(mbit, c.mbit);
    // The controller was set up for a 4-byte read of the id into 0x1084.
    ASSERT_TRUE(module.wait_idle());
    EXPECT_EQ(module.reg(0x10208), 4u);
    EXPECT_EQ(module.reg(0x1020C), 0x9Fu);
    EXPECT_EQ(module.reg(0x10214), 1u);
    EXPECT_EQ(module.reg(0x1021C), ID_ADDR);
    EXPECT_EQ(module.reg(0x10204), 0x81u);

    // Once found, the size comes from the cache: nothing read, nothing printed.
    const uint64_t frames = module.stats().frames;
    uint32_t bytes = 99;
    std::string again = captured([&] { bytes = spi_flash_size_bytes(); });
    EXPECT_EQ(bytes, c.bytes);
    ASSERT_TRUE(module.wait_idle());
    if (c.mbit != 0) {
      EXPECT_EQ(again, "");
      EXPECT_EQ(module.stats().frames, frames);
    } else {
      EXPECT_EQ(again, c.out);
      EXPECT_EQ(module.stats().frames, 2 * frames);
    }
    reset_tool();
  }
}

// The completion poll: at most 501 reads without sleeping; a failed poll or
// a failed read of the id word gives the id 0, never a stale value.
TEST(FlashId, FailedIdentificationGivesZero) {
  struct Case {
    const char* name;
    std::optional<uint32_t> done_on_read;  // 1-based read that returns 1; nullopt: never
    bool poll_silent;                      // the first poll gets no answer
    bool id_silent;                        // the read of 0x1084 gets no answer
    uint32_t id;
    uint32_t polls;
  };
  const Case cases[] = {
      {"done at once", 1, false, false, 0x001440EF, 1},
      {"done on the 500th poll", 500, false, false, 0x001440EF, 500},
      {"done only on the 501st poll", 501, false, false, 0, 501},
      {"never done", std::nullopt, false, false, 0, 501},
      {"poll unanswered", 1, true, false, 0, 1},
      {"id word unanswered", 1, false, true, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    reset_tool();
    fake::BridgeChip chip([&](uint32_t address, uint32_t earlier) -> std::optional<uint32_t> {
      if (address == DONE_REG) {
        if (c.poll_silent) return std::nullopt;
        return c.done_on_read && earlier + 1 == *c.done_on_read ? 1u : 0u;
      }
      if (address == ID_ADDR) {
        if (c.id_silent) return std::nullopt;
        // The word a stale frame would have shown.
        return 0x001440EF;
      }
      return 0;
    });
    tsup::PortDir ports;
    ports.add("Fake Bridge (COM7)", chip.path());
    open_com(7);

    uint32_t mbit = 99;
    std::string out = captured([&] { mbit = spi_flash_get_size(); });
    if (c.id != 0) {
      EXPECT_EQ(out, "Flash ID 1440ef \n\r(APP)(INFO)Flash Size 8 Mb\n\r");
      EXPECT_EQ(mbit, 8u);
    } else {
      EXPECT_EQ(out, "Flash ID 0 \n\r" + NO_SIZE);
      EXPECT_EQ(mbit, 0u);
    }
    EXPECT_EQ(chip.reads(DONE_REG), c.polls);
    const bool completed = c.done_on_read && *c.done_on_read <= 500 && !c.poll_silent;
    EXPECT_EQ(chip.reads(ID_ADDR), completed ? 1u : 0u);
    const std::vector<std::pair<uint32_t, uint32_t>> setup = {
        {0x10208, 4}, {0x1020C, 0x9F}, {0x10214, 1}, {0x1021C, ID_ADDR}, {0x10204, 0x81}};
    EXPECT_EQ(chip.reg_writes(), setup);
    reset_tool();
  }
}

}  // namespace
