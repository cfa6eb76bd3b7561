// A program run in the background with its output captured, so that a test
// can act while it runs (signal it, start a second one) and then collect its
// exit status, output, wall time and CPU time.
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace campaign {

struct ChildResult {
  int exit_status = -1;  // 0..255, or -1 when ended by a signal
  int term_signal = 0;
  bool timed_out = false;  // killed after the time limit
  std::string out;
  std::string err;
  double wall_s = 0;
  double cpu_s = 0;  // user + system time of the child
};

class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& cwd, const std::vector<std::string>& env);
  ~Child();  // kills a child still running
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Collects output until text appears in stdout; false when the child ends
  // or timeout_ms pass first.
  bool wait_for_output(const std::string& text, int timeout_ms);
  void send_signal(int sig) const;
  // Waits for the end; past timeout_ms the child is killed (timed_out).
  ChildResult finish(int timeout_ms);
  const std::string& out() const { return res_.out; }

 private:
  bool pump(int wait_ms);  // false once both pipes are closed
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  double start_s_ = 0;
  bool done_ = false;
  ChildResult res_;
};

double now_s();

}  // namespace campaign
