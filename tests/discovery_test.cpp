// Finding the module's port: the listing rules over a port directory, the
// open test, the probe loop against peers on pseudo-terminals (scripted and
// simulated) and the choice of the port at the prompt.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bridge/bridge.h"
#include "common/status.h"
#include "orvex_sim/simulator.h"
#include "port/discovery.h"
#include "port/port.h"
#include "support/scripted_peer.h"
#include "support/test_support.h"

bool operator==(const port_entry& a, const port_entry& b) {
  return a.number == b.number && a.builtin_uart == b.builtin_uart && a.debugger_port == b.debugger_port;
}
void PrintTo(const port_entry& e, std::ostream* os) {
  *os << "{" << int(e.number) << "," << int(e.builtin_uart) << "," << int(e.debugger_port) << "}";
}

namespace {

std::vector<port_entry> table_prefix(size_t n) {
  return std::vector<port_entry>(port_table, port_table + n);
}

// Sends the sync byte over the open port and reads the one-byte answer:
// 0x5A is the built-in UART, 0x5B a serial bridge, anything else no answer.
int8_t sync_probe() {
  uint8_t b = 0x12;
  bus_transfer t{&b, 1};
  if (qd_bus_ioctl(BUS_IOCTL_WRITE, &t) != QD_OK) return -1;
  if (qd_bus_ioctl(BUS_IOCTL_READ, &t) != QD_OK) return -1;
  if (b == 0x5A) return 1;
  if (b == 0x5B) return 0;
  return -1;
}

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override { qd_discovery_reset(); }
  void TearDown() override {
    qd_uart_deinit();
    qd_discovery_reset();
  }
  tsup::PortDir dir;
};

TEST_F(Discovery, ListingTakesComNumbersAndDebuggerNames) {
  const char* names[] = {
      "A Bridge (COM3)",
      "KAVO Virtual COM Port (COM7)",
      "Mouse",                       // neither text: skipped
      "Probe KAVO Virtual COM Port",  // debugger without a number
      "Wide (COM260)",                // low eight bits: 4
      "Wrap (COM256)",                // low eight bits: 0
      "Zed (COM12) (COM13)",          // the first "(COM" counts
  };
  for (const char* n : names) dir.add(n, "/nonexistent");
  std::vector<port_entry> list(PORT_LIST_SIZE, port_entry{0, 0, 0});
  testing::internal::CaptureStdout();
  EXPECT_EQ(qd_uart_enum_ports(list.data()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "KAVO Virtual COM Port (COM7)\nKAVO Virtual COM Port\n");
  const std::vector<port_entry> want = {{3, 0, 0}, {7, 0, 1}, {0, 0, 1}, {4, 0, 0},
                                        {0, 0, 0}, {12, 0, 0}, {0, 0, 0}};
  EXPECT_EQ(std::vector<port_entry>(list.begin(), list.begin() + 7), want);
}

TEST_F(Discovery, ListingStopsAtTheListSize) {
  for (int i = 0; i < 300; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "P%03d (COM%d)", i, i % 255 + 1);
    dir.add(name, "/nonexistent");
  }
  // Room past the list's end, marked: nothing may be written there.
  std::vector<port_entry> list(PORT_LIST_SIZE + 50, port_entry{0, 0, 0});
  for (size_t i = PORT_LIST_SIZE; i < list.size(); ++i) list[i] = port_entry{0xEE, 0xEE, 0xEE};
  EXPECT_EQ(qd_uart_enum_ports(list.data()), 0);
  EXPECT_EQ(list[0].number, 1);
  EXPECT_EQ(list[PORT_LIST_SIZE - 1].number, 255);
  for (size_t i = PORT_LIST_SIZE; i < list.size(); ++i) EXPECT_EQ(list[i].number, 0xEE) << i;
}

TEST_F(Discovery, NoDeviceList) {
  setenv("ORVEX_PORT_DIR", (dir.path() + "/missing").c_str(), 1);
  std::vector<port_entry> list(PORT_LIST_SIZE, port_entry{0, 0, 0});
  EXPECT_EQ(qd_uart_enum_ports(list.data()), 1);
  EXPECT_EQ(list[0].number, 0);
}

TEST_F(Discovery, OpenTestKeepsPortsThatOpenAndStopsAtAnEmptyEntry) {
  tsup::PtyPair a, b, c, held;
  tsup::TempDir tmp;
  dir.add("A (COM3)", a.slave_path());
  dir.add("B (COM2)", tmp.file("gone"));  // cannot be opened
  dir.add("C (COM9)", held.slave_path());
  dir.add("D KAVO Virtual COM Port (COM5)", b.slave_path());
  dir.add("E KAVO Virtual COM Port", c.slave_path());  // number 0 ends the list
  dir.add("F (COM6)", c.slave_path());                  // never tested
  int other = open(held.slave_path().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);

  std::vector<port_entry> table(PORT_LIST_SIZE, port_entry{0, 0, 0});
  table[1].builtin_uart = 1;  // not touched by the open test
  testing::internal::CaptureStdout();
  EXPECT_EQ(qd_uart_check_ports(table.data()), QD_ERR_PORT);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "KAVO Virtual COM Port (COM5)\nKAVO Virtual COM Port\n");
  const std::vector<port_entry> want = {{3, 0, 0}, {5, 1, 1}, {0, 0, 0}};
  EXPECT_EQ(std::vector<port_entry>(table.begin(), table.begin() + 3), want);

  // No port is left open or locked.
  int again = open(a.slave_path().c_str(), O_RDWR | O_NOCTTY);
  EXPECT_EQ(flock(again, LOCK_EX | LOCK_NB), 0);
  close(again);
  close(other);
}

TEST_F(Discovery, ProbeLoopOverScriptedPeers) {
  tsup::PtyPair bridge, builtin, debugger, quiet, garbled;
  tsup::TempDir tmp;
  std::string not_a_tty = tmp.file("file");
  tsup::write_file(not_a_tty, {0});
  dir.add("Bridge (COM3)", bridge.slave_path());
  dir.add("Builtin (COM4)", builtin.slave_path());
  dir.add("File (COM8)", not_a_tty);  // opens, but is no serial line
  dir.add("Garbled (COM10)", garbled.slave_path());
  dir.add("KAVO Virtual COM Port (COM6)", debugger.slave_path());
  dir.add("Quiet (COM5)", quiet.slave_path());
  tsup::ScriptedPeer p1(bridge, {{1, {0x5B}}});
  tsup::ScriptedPeer p2(builtin, {{1, {0x5A}}});
  tsup::ScriptedPeer p3(debugger, {{1, {0x5B}}});
  tsup::ScriptedPeer p4(garbled, {{1, {0x77}}});

  uint8_t found[PORT_LIST_SIZE] = {};
  testing::internal::CaptureStdout();
  uint8_t count = qd_bus_port_detect(found, sync_probe);
  std::string out = tsup::mask_log_lines(testing::internal::GetCapturedStdout());

  EXPECT_EQ(out,
            "Detecting ports...\n"
            "KAVO Virtual COM Port (COM6)\n"
            "Avail port COM3\n"
            "Avail port COM4\n"
            "(APP)(ERR)[qd_uart_init][#]Could not Set Port Settings\n\r"
            ">>(ERR):Connect uart\n\r"
            "Avail port COM6\n"
            "3 of ports found\n");
  ASSERT_EQ(count, 3);
  EXPECT_EQ(std::vector<uint8_t>(found, found + 4), (std::vector<uint8_t>{3, 4, 6, 0}));
  const std::vector<port_entry> want = {{3, 0, 0}, {4, 1, 0}, {8, 0, 0}, {10, 0, 0},
                                        {6, 0, 1}, {5, 0, 0}, {0, 0, 0}};
  EXPECT_EQ(table_prefix(7), want);
  // Each answering peer saw the sync byte once, and every port was released.
  for (auto* p : {&p1, &p2, &p3, &p4}) EXPECT_EQ(p->finish(), std::vector<uint8_t>{0x12});
  EXPECT_EQ(quiet.drain(), std::vector<uint8_t>{0x12});
  EXPECT_EQ(qd_uart_deinit(), QD_OK);

  // The chosen port's entry sets the peer kind; a number that is not in the
  // table is still opened, and the kind stays as it was.
  struct Pick {
    int port;
    uint8_t builtin;
  };
  for (Pick pick : {Pick{4, 1}, Pick{3, 0}, Pick{4, 1}, Pick{5, 0}, Pick{4, 1}}) {
    int n = pick.port;
    ASSERT_EQ(qd_uart_connect(&n), QD_OK);
    EXPECT_EQ(qd_uart_is_builtin(), pick.builtin);
  }
  tsup::PtyPair late;
  dir.add("Late (COM9)", late.slave_path());
  int n = 9;
  ASSERT_EQ(qd_uart_connect(&n), QD_OK);
  EXPECT_EQ(qd_uart_is_builtin(), 1);
}

TEST_F(Discovery, NothingAnswers) {
  testing::internal::CaptureStdout();
  uint8_t found[PORT_LIST_SIZE] = {};
  EXPECT_EQ(qd_bus_port_detect(found, sync_probe), 0);
  EXPECT_EQ(tsup::mask_log_lines(testing::internal::GetCapturedStdout()),
            "Detecting ports...\n"
            "(APP)(ERR)[qd_bus_port_detect][#]Failed to find any COM ports\n\r"
            "0 of ports found\n");
}

TEST_F(Discovery, PromptForThePortNumber) {
  tsup::PtyPair pty;
  dir.add("Board (COM4)", pty.slave_path());
  const std::string prompt = "Enter port number: \n\r";
  const std::string invalid = ">Invalid port number\n\r";
  struct Case {
    const char* input;
    int8_t status;
    int port;
    std::string out;
  };
  const Case cases[] = {
      {"4\n", QD_OK, 4, prompt},
      {"\n  +4 and more", QD_OK, 4, prompt},
      {"abc\n", QD_ERR_PORT, 0, prompt + invalid},
      {"", QD_ERR_PORT, 0, prompt + invalid},
      {"0\n", QD_ERR_PORT, 0, prompt + invalid},
      {"260\n", QD_ERR_PORT, 260, prompt + invalid},  // not cut down to COM4
      {"-252\n", QD_ERR_PORT, -252, prompt + invalid},
      {"7\n", QD_ERR_PORT, 7, prompt + "(APP)(ERR)[qd_uart_init][#]Could not open port\n\r"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    tsup::StdinFrom in(c.input);
    int port = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(qd_uart_connect(&port), c.status);
    EXPECT_EQ(tsup::mask_log_lines(testing::internal::GetCapturedStdout()), c.out);
    EXPECT_EQ(port, c.port);
    qd_uart_deinit();
  }
}

TEST_F(Discovery, GivenPortUsesItsLowEightBitsWithoutPrompting) {
  tsup::PtyPair pty;
  dir.add("Board (COM4)", pty.slave_path());
  tsup::StdinFrom in("9\n");
  int port = 260;
  testing::internal::CaptureStdout();
  EXPECT_EQ(qd_uart_connect(&port), QD_OK);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(qd_uart_is_builtin(), 0);
}

TEST_F(Discovery, FindsSimulatedModulesWithTheSyncCommand) {
  using orvex_sim::PeerKind;
  struct Sim {
    PeerKind kind;
    const char* name;
  };
  const Sim sims[] = {{PeerKind::bridge, "Sim Bridge (COM3)"},
                      {PeerKind::builtin_uart, "Sim UART (COM4)"},
                      {PeerKind::silent, "Sim Silent (COM5)"},
                      {PeerKind::bridge, "KAVO Virtual COM Port (COM6)"}};
  std::vector<std::unique_ptr<orvex_sim::Simulator>> running;
  for (const Sim& s : sims) {
    orvex_sim::SimConfig cfg;
    cfg.kind = s.kind;
    cfg.port_dir = dir.path();
    cfg.friendly_name = s.name;
    running.push_back(std::make_unique<orvex_sim::Simulator>(cfg));
    running.back()->start();
  }
  uint8_t found[PORT_LIST_SIZE] = {};
  testing::internal::CaptureStdout();
  uint8_t count = qd_bus_port_detect(found, qd_uart_sync_cmd);
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_EQ(count, 3) << out;
  EXPECT_EQ(std::vector<uint8_t>(found, found + 3), (std::vector<uint8_t>{6, 3, 4}));
  const std::vector<port_entry> want = {{6, 0, 1}, {3, 0, 0}, {5, 0, 0}, {4, 1, 0}};
  EXPECT_EQ(table_prefix(4), want);
  EXPECT_NE(out.find("Avail port COM4\n"), std::string::npos);
  EXPECT_NE(out.find("3 of ports found\n"), std::string::npos);

  int n = 4;
  ASSERT_EQ(qd_uart_connect(&n), QD_OK);
  EXPECT_EQ(qd_uart_is_builtin(), 1);
  EXPECT_EQ(qd_uart_sync_cmd(), 1);
}

}  // namespace
