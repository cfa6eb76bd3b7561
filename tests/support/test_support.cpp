#include "support/test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdio_ext.h>
#include <stdexcept>

namespace tsup {

TempDir::TempDir() {
  char tmpl[] = "/tmp/orvex_test_XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
  chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

PtyPair::PtyPair() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
    throw std::runtime_error("posix_openpt failed");
  slave_path_ = ptsname(master_);
  slave_ = open(slave_path_.c_str(), O_RDWR | O_NOCTTY);
  if (slave_ < 0) throw std::runtime_error("open slave failed");
  termios t{};
  tcgetattr(slave_, &t);
  cfmakeraw(&t);
  tcsetattr(slave_, TCSANOW, &t);
  int fl = fcntl(master_, F_GETFL);
  fcntl(master_, F_SETFL, fl | O_NONBLOCK);
}

PtyPair::~PtyPair() {
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
}

void PtyPair::send(const std::vector<uint8_t>& bytes) const {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{master_, POLLOUT, 0};
      poll(&p, 1, 100);
    } else {
      throw std::runtime_error("pty write failed");
    }
  }
}

std::vector<uint8_t> PtyPair::recv(size_t n, int timeout_ms) const {
  std::vector<uint8_t> out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (out.size() < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    uint8_t buf[4096];
    size_t want = std::min(sizeof buf, n - out.size());
    ssize_t r = read(master_, buf, want);
    if (r > 0) out.insert(out.end(), buf, buf + r);
    else if (r < 0 && errno != EAGAIN && errno != EINTR) break;
  }
  return out;
}

std::vector<uint8_t> PtyPair::drain(int idle_ms) const {
  std::vector<uint8_t> out;
  for (;;) {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, idle_ms) <= 0) break;
    uint8_t buf[4096];
    ssize_t r = read(master_, buf, sizeof buf);
    if (r > 0) out.insert(out.end(), buf, buf + r);
    else if (r < 0 && errno != EAGAIN && errno != EINTR) break;
  }
  return out;
}

void PtyPair::close_master() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

PortDir::PortDir() {
  const char* old = std::getenv("ORVEX_PORT_DIR");
  if (old) {
    had_old_ = true;
    old_ = old;
  }
  setenv("ORVEX_PORT_DIR", dir_.path().c_str(), 1);
}

PortDir::~PortDir() {
  if (had_old_) setenv("ORVEX_PORT_DIR", old_.c_str(), 1);
  else unsetenv("ORVEX_PORT_DIR");
}

void PortDir::add(const std::string& friendly_name, const std::string& target) const {
  std::string link = dir_.path() + "/" + friendly_name;
  if (symlink(target.c_str(), link.c_str()) != 0) throw std::runtime_error("symlink failed");
}

static void reset_stdin_stream() {
  __fpurge(stdin);
  clearerr(stdin);
}

StdinFrom::StdinFrom(const std::string& data) {
  saved_ = dup(0);
  int p[2];
  if (pipe(p) != 0) throw std::runtime_error("pipe failed");
  if (!data.empty() && write(p[1], data.data(), data.size()) != static_cast<ssize_t>(data.size()))
    throw std::runtime_error("stdin pipe write failed");
  close(p[1]);
  dup2(p[0], 0);
  close(p[0]);
  reset_stdin_stream();
}

StdinFrom::StdinFrom(int fd) {
  saved_ = dup(0);
  if (fd >= 0) dup2(fd, 0);
  else close(0);
  reset_stdin_stream();
}

StdinFrom::~StdinFrom() {
  reset_stdin_stream();
  if (saved_ >= 0) {
    dup2(saved_, 0);
    close(saved_);
  } else {
    close(0);
  }
}

static void set_nonblock(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

RunResult run_process(const std::vector<std::string>& argv, const RunOptions& opts) {
  RunResult res;
  int out_pipe[2], err_pipe[2], in_pipe[2] = {-1, -1};
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
  bool feed = !opts.stdin_data.empty();
  if (feed && pipe(in_pipe) != 0) throw std::runtime_error("pipe failed");
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    setpgid(0, 0);
    if (feed) {
      dup2(in_pipe[0], 0);
    } else {
      int fd = open("/dev/null", O_RDONLY);
      dup2(fd, 0);
    }
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0) _exit(126);
    for (const auto& e : opts.env) putenv(strdup(e.c_str()));
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (feed) {
    close(in_pipe[0]);
    size_t done = 0;
    while (done < opts.stdin_data.size()) {
      ssize_t n = write(in_pipe[1], opts.stdin_data.data() + done, opts.stdin_data.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    close(in_pipe[1]);
  }
  set_nonblock(out_pipe[0]);
  set_nonblock(err_pipe[0]);
  auto deadline = start + std::chrono::milliseconds(opts.timeout_ms);
  bool out_open = true, err_open = true;
  while (out_open || err_open) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      res.timed_out = true;
      kill(-pid, SIGKILL);
      break;
    }
    pollfd p[2] = {{out_open ? out_pipe[0] : -1, POLLIN, 0}, {err_open ? err_pipe[0] : -1, POLLIN, 0}};
    poll(p, 2, static_cast<int>(std::min<long long>(left, 200)));
    char buf[65536];
    if (out_open) {
      ssize_t n = read(out_pipe[0], buf, sizeof buf);
      if (n > 0) res.out.append(buf, static_cast<size_t>(n));
      else if (n == 0) out_open = false;
    }
    if (err_open) {
      ssize_t n = read(err_pipe[0], buf, sizeof buf);
      if (n > 0) res.err.append(buf, static_cast<size_t>(n));
      else if (n == 0) err_open = false;
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  close(out_pipe[0]);
  close(err_pipe[0]);
  res.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (WIFEXITED(status)) res.exit_status = WEXITSTATUS(status);
  else if (WIFSIGNALED(status)) res.term_signal = WTERMSIG(status);
  return res;
}

termios tty_settings(const std::string& tty) {
  termios t{};
  int fd = open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) throw std::runtime_error("cannot open " + tty);
  tcgetattr(fd, &t);
  close(fd);
  return t;
}

termios give_unusual_settings(const std::string& tty, bool xon) {
  int fd = open(tty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) throw std::runtime_error("cannot open " + tty);
  termios t{};
  tcgetattr(fd, &t);
  cfsetispeed(&t, B19200);
  cfsetospeed(&t, B19200);
  t.c_cflag |= CSTOPB;
  if (xon) t.c_iflag |= IXON;
  tcsetattr(fd, TCSANOW, &t);
  tcgetattr(fd, &t);
  close(fd);
  return t;
}

bool same_settings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
         cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b) &&
         std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string mask_log_lines(const std::string& text) {
  static const std::string prefix = "(APP)(ERR)[";
  std::string out;
  size_t pos = 0;
  for (;;) {
    size_t hit = text.find(prefix, pos);
    if (hit == std::string::npos) break;
    size_t name_end = text.find(']', hit + prefix.size());
    if (name_end == std::string::npos || name_end + 1 >= text.size() || text[name_end + 1] != '[') {
      out.append(text, pos, hit + prefix.size() - pos);
      pos = hit + prefix.size();
      continue;
    }
    size_t num = name_end + 2, num_end = num;
    while (num_end < text.size() && text[num_end] >= '0' && text[num_end] <= '9') ++num_end;
    if (num_end == num || num_end >= text.size() || text[num_end] != ']') {
      out.append(text, pos, name_end + 1 - pos);
      pos = name_end + 1;
      continue;
    }
    out.append(text, pos, num - pos);
    out += "#]";
    pos = num_end + 1;
  }
  out.append(text, pos, std::string::npos);
  return out;
}

}  // namespace tsup
