// The benchmark script runs to completion on a tiny image with wire timing
// off, for both peer kinds: every download succeeds (the helper checks the
// flash afterwards) and the summary holds one row per case. No timing is
// asserted here.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "support/test_support.h"

namespace {

std::string read_text(const std::string& path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

TEST(BenchScript, RunsToCompletionOnATinyImageWithoutTiming) {
  tsup::TempDir out;
  tsup::RunOptions opts;
  opts.timeout_ms = 120000;
  tsup::RunResult r = tsup::run_process(
      {"/bin/bash", std::string(ORVEX_SOURCE_DIR) + "/bench/run.sh", "--no-build", "--build-dir", ORVEX_BINARY_DIR,
       "--out", out.path(), "--sizes", "4", "--runs", "1", "--no-timing"},
      opts);
  ASSERT_FALSE(r.timed_out);
  ASSERT_EQ(r.exit_status, 0) << r.out << r.err;

  std::string csv = read_text(out.file("summary.csv"));
  EXPECT_NE(csv.find("\nbridge-4k-untimed,bridge,4096,1,0,"), std::string::npos) << csv;
  EXPECT_NE(csv.find("\nuart-4k-untimed,uart,4096,1,0,"), std::string::npos) << csv;
  EXPECT_NE(read_text(out.file("summary.md")).find("| bridge-4k-untimed |"), std::string::npos);
  EXPECT_NE(r.out.find("per byte without wire timing"), std::string::npos) << r.out;
}

}  // namespace
