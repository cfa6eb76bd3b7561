// orvex_campaign: the fault campaign as one command.
//   orvex_campaign [--seed N] [--runs N] [--jobs N] [--sizes a,b,c] [--tool PATH] [--quiet]
// Prints one line per run and the table at the end; exits 1 when any run
// broke a promise (undetectable corruptions are reported, not counted as
// violations, and never as successes).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "campaign/campaign.h"

int main(int argc, char** argv) {
  campaign::Config cfg;
  cfg.tool = ORVEX_FLASH_BIN;
  bool quiet = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--seed") {
      cfg.seed = std::strtoull(value().c_str(), nullptr, 0);
    } else if (a == "--runs") {
      cfg.runs = std::atoi(value().c_str());
    } else if (a == "--jobs") {
      cfg.jobs = std::atoi(value().c_str());
    } else if (a == "--tool") {
      cfg.tool = value();
    } else if (a == "--sizes") {
      cfg.sizes.clear();
      std::string list = value();
      for (char* p = list.data(); *p;) {
        char* end = nullptr;
        cfg.sizes.push_back(std::strtoull(p, &end, 0));
        p = *end == ',' ? end + 1 : end;
        if (end == p && *p) break;
      }
    } else if (a == "--quiet") {
      quiet = true;
    } else {
      std::fprintf(stderr,
                   "usage: orvex_campaign [--seed N] [--runs N] [--jobs N] [--sizes a,b,c] [--tool PATH] [--quiet]\n");
      return 2;
    }
  }
  if (cfg.sizes.empty() || cfg.runs <= 0) {
    std::fprintf(stderr, "nothing to run\n");
    return 2;
  }
  std::printf("fault campaign: seed %llu, %d runs, tool %s\n", static_cast<unsigned long long>(cfg.seed), cfg.runs,
              cfg.tool.c_str());
  std::fflush(stdout);
  if (!quiet) {
    cfg.on_run = [](const campaign::RunRecord& r) {
      std::printf("%-24s %6.2f s  cpu %5.2f s  exit %3d  %s\n", campaign::outcome_name(r.outcome), r.wall_s, r.cpu_s,
                  r.exit_status, campaign::describe(r.plan).c_str());
      std::fflush(stdout);
    };
  }
  campaign::Result result = campaign::run_campaign(cfg);
  std::printf("\n%s", campaign::format_table(result).c_str());
  return result.violations() == 0 ? 0 : 1;
}
