#include "campaign/child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>

extern char** environ;
#include <cstring>
#include <stdexcept>

namespace campaign {

double now_s() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

Child::Child(const std::vector<std::string>& argv, const std::string& cwd, const std::vector<std::string>& env) {
  // Everything the child needs is built before the fork: a campaign runs
  // several children from threads, and only async-signal-safe calls are
  // allowed between fork and exec there.
  std::vector<std::string> env_strings;
  for (char** e = environ; *e; ++e) env_strings.emplace_back(*e);
  env_strings.insert(env_strings.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (auto& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> arg_strings = argv;
  std::vector<char*> args;
  for (auto& a : arg_strings) args.push_back(a.data());
  args.push_back(nullptr);
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  start_s_ = now_s();
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    setpgid(0, 0);
    // The signals a test sends must reach the tool's own handling.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    dup2(null_fd, 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    // No other descriptor goes along: a simulator's own end of a line held
    // open by the tool would keep the line from ever hanging up.
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  out_fd_ = out_pipe[0];
  err_fd_ = err_pipe[0];
  fcntl(out_fd_, F_SETFL, fcntl(out_fd_, F_GETFL) | O_NONBLOCK);
  fcntl(err_fd_, F_SETFL, fcntl(err_fd_, F_GETFL) | O_NONBLOCK);
}

Child::~Child() {
  if (!done_ && pid_ > 0) {
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_fd_ >= 0) close(out_fd_);
  if (err_fd_ >= 0) close(err_fd_);
}

bool Child::pump(int wait_ms) {
  if (out_fd_ < 0 && err_fd_ < 0) return false;
  pollfd p[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  poll(p, 2, wait_ms);
  char buf[65536];
  for (int i = 0; i < 2; ++i) {
    int& fd = i == 0 ? out_fd_ : err_fd_;
    std::string& to = i == 0 ? res_.out : res_.err;
    if (fd < 0) continue;
    for (;;) {
      ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) {
        to.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n == 0) {
        close(fd);
        fd = -1;
      }
      break;
    }
  }
  return out_fd_ >= 0 || err_fd_ >= 0;
}

bool Child::wait_for_output(const std::string& text, int timeout_ms) {
  double deadline = now_s() + timeout_ms / 1000.0;
  while (res_.out.find(text) == std::string::npos) {
    if (now_s() > deadline) return false;
    if (!pump(20)) return res_.out.find(text) != std::string::npos;
  }
  return true;
}

void Child::send_signal(int sig) const {
  if (!done_ && pid_ > 0) kill(pid_, sig);
}

ChildResult Child::finish(int timeout_ms) {
  if (done_) return res_;
  double deadline = now_s() + timeout_ms / 1000.0;
  while (pump(50)) {
    if (now_s() > deadline) {
      res_.timed_out = true;
      kill(-pid_, SIGKILL);
      break;
    }
  }
  int status = 0;
  rusage ru{};
  wait4(pid_, &status, 0, &ru);
  done_ = true;
  // What a grandchild (none expected) left in the pipes is not waited for.
  pump(0);
  res_.wall_s = now_s() - start_s_;
  res_.cpu_s = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
               static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  if (WIFEXITED(status)) res_.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) res_.term_signal = WTERMSIG(status);
  return res_;
}

}  // namespace campaign
