// Writes a seed for the peer_answers corpus: the answers a well-behaved
// serial bridge gives to a whole download task, so that the fuzzer starts
// from a run that gets all the way through.
//   fuzz_make_peer_seed OUTPUT_FILE
#include <cstdio>
#include <vector>

#include "app/download_task.h"
#include "fake_platform.h"
#include "harness_support.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_FILE\n", argv[0]);
    return 2;
  }
  std::FILE* out = std::fopen(argv[1], "wb");
  if (!out) return 1;
  harness::quiet_stdout();
  harness::enter_workspace(100);
  fake_line::reset(fake_line::Peer::responder, nullptr, 0);
  if (download_task(9) != 0) return 1;
  std::vector<uint8_t> seed = {1};  // first byte: the port named on the command line
  const auto& answers = fake_line::answered();
  seed.insert(seed.end(), answers.begin(), answers.end());
  std::fwrite(seed.data(), 1, seed.size(), out);
  std::fclose(out);
  return 0;
}
