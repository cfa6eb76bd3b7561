// Helpers shared by the tests: temporary folders, pseudo-terminal pairs
// published as ports, and running a program with captured output.
#pragma once
#include <termios.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tsup {

// A temporary directory removed (recursively) when it goes out of scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A pty pair; the test plays the peer on master(). The slave side is kept
// open by the pair so the port can be opened and closed repeatedly.
class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;
  int master() const { return master_; }
  int slave() const { return slave_; }
  const std::string& slave_path() const { return slave_path_; }
  // Writes all bytes to the master side.
  void send(const std::vector<uint8_t>& bytes) const;
  // Reads up to n bytes from the master, waiting at most timeout_ms in all.
  std::vector<uint8_t> recv(size_t n, int timeout_ms = 1000) const;
  // Reads whatever arrives until idle_ms pass without a byte.
  std::vector<uint8_t> drain(int idle_ms = 50) const;
  // Closes the master side: the peer hangs up.
  void close_master();

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slave_path_;
};

// Sets ORVEX_PORT_DIR to a fresh directory for the scope; restores it after.
class PortDir {
 public:
  PortDir();
  ~PortDir();
  const std::string& path() const { return dir_.path(); }
  // Publishes target as a port with the given friendly name.
  void add(const std::string& friendly_name, const std::string& target) const;

 private:
  TempDir dir_;
  std::string old_;
  bool had_old_ = false;
};

// Replaces standard input (descriptor 0 and the stdin stream) for the scope:
// with the given bytes followed by end of input, or with a duplicate of fd
// (a pty slave, say; -1 leaves standard input closed).
class StdinFrom {
 public:
  explicit StdinFrom(const std::string& data);
  explicit StdinFrom(int fd);
  ~StdinFrom();
  StdinFrom(const StdinFrom&) = delete;
  StdinFrom& operator=(const StdinFrom&) = delete;

 private:
  int saved_ = -1;
};

struct RunResult {
  int exit_status = -1;     // exit code (0..255), or -1 if killed by a signal
  int term_signal = 0;
  std::string out;          // stdout
  std::string err;          // stderr
  double seconds = 0;
  bool timed_out = false;
};

struct RunOptions {
  std::string cwd;                         // empty: inherit
  std::string stdin_data;                  // fed then closed
  bool stdin_null = true;                  // /dev/null when stdin_data is empty
  std::vector<std::string> env;            // extra NAME=VALUE entries
  int timeout_ms = 60000;
};

RunResult run_process(const std::vector<std::string>& argv, const RunOptions& opts = {});

// The settings a tty has now (opened without becoming its controlling terminal).
termios tty_settings(const std::string& tty);
// Gives a tty settings the tool never sets (19200 baud, two stop bits and,
// with xon, software flow control), so that their restore at close shows;
// returns them as read back.
termios give_unusual_settings(const std::string& tty, bool xon = true);
bool same_settings(const termios& a, const termios& b);

std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);
// Replaces each "[<digits>]" that follows "(APP)(ERR)[name]" with "[#]".
std::string mask_log_lines(const std::string& text);

}  // namespace tsup
