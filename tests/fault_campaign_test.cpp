// A fixed-seed slice of the fault campaign: every fault kind over both peer
// kinds and small images, with the same checks as the full campaign. The
// whole campaign is the orvex_campaign command.
#include <gtest/gtest.h>

#include <iostream>

#include "campaign/campaign.h"

namespace {

using campaign::Fault;
using campaign::Outcome;

TEST(FaultCampaign, FixedSeedSliceKeepsEveryPromise) {
  campaign::Config cfg;
  cfg.tool = ORVEX_FLASH_BIN;
  cfg.seed = 20261210;
  cfg.runs = 2 * (campaign::FAULT_KINDS - 1);
  cfg.sizes = {1, 4097, 40000};
  cfg.jobs = 2;
  campaign::Result result = campaign::run_campaign(cfg);
  std::cout << campaign::format_table(result);

  ASSERT_EQ(result.runs.size(), static_cast<size_t>(cfg.runs));
  for (const auto& r : result.runs) {
    SCOPED_TRACE(campaign::describe(r.plan));
    EXPECT_NE(r.outcome, Outcome::violation) << testing::PrintToString(r.problems);
    // A corrupted last byte of a window passes the write checksum: the run
    // must land in its own class, never among the successes.
    if (r.plan.fault == Fault::corrupt_window_end) {
      EXPECT_EQ(r.outcome, Outcome::undetectable_corruption);
    }
    // A command start the module never took: a bridge refuses the frame and
    // the tool fails the command; the built-in UART acknowledges nothing, so
    // the window is lost unseen, and the run lands in a class of its own.
    if (r.plan.fault == Fault::corrupt_code_write) {
      EXPECT_EQ(r.outcome, r.plan.peer == orvex_sim::PeerKind::bridge ? Outcome::reported_failure
                                                                       : Outcome::lost_command);
    }
    // Faults the bring-up cannot get past end without the success line.
    if (r.plan.fault == Fault::never_ready || r.plan.fault == Fault::no_flash ||
        (r.plan.fault == Fault::command_fails && r.plan.command != 7)) {
      EXPECT_EQ(r.outcome, Outcome::reported_failure);
    }
  }
}

TEST(FaultCampaign, ExitStatusImpliedByTheLastFailure) {
  struct Case {
    const char* out;
    int status;
  } cases[] = {
      {"x\nImage downloaded successfully.\r\n\r\n>>This task finished after  1.00 sec\n\r", 0},
      {">\r\n[ERR]Error Writing Image\r\n\r\n>>This task finished after  1.00 sec\n\r", 244},
      {"(APP)(INFO)Time out for wait firmware Run\n\r(ERR)Failed To intilize programmer\n\r", 251},
      {">>(ERR):Invalid chip ID = 0x00000000\n\r(ERR)Failed To intilize programmer\n\r", 244},
      {"Detecting ports...\n(APP)(ERR)[qd_bus_port_detect][1]Failed to find any COM ports\n\r0 of ports found\n"
       "(ERR)Failed To intilize programmer\n\r",
       255},
      {"Detecting ports...\n10 of ports found\n(ERR)Failed To intilize programmer\n\r", 250},
      {">Waiting for chip permission...\n\r(ERR)Failed To intilize programmer\n\r", 250},
      {">Start programming..\n\r\n>>(ERR):Download interrupted\n\r", 130},
      {"banner only", -1},
  };
  for (const auto& c : cases) EXPECT_EQ(campaign::implied_exit_status(c.out), c.status) << c.out;
}

}  // namespace
