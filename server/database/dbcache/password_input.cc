// Password input without echo.
//
// Invariant: while echo is off, saved_terminal holds the settings to put
// back and the handlers of the terminating signals put them back before the
// signal takes its default course, so the user's terminal never stays
// silent.
#include "server/database/dbcache/password_input.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <iterator>

#include <termios.h>

#include "server/database/support/text_format.h"

namespace dbcache {

namespace {

constexpr int kRestoringSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

volatile std::sig_atomic_t saved_fd = -1;
struct termios saved_terminal {};

extern "C" void restore_and_reraise(int signal_number) {
  if (saved_fd >= 0) ::tcsetattr(saved_fd, TCSAFLUSH, &saved_terminal);
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}

// Switches echo off on `fd` for its lifetime; the line end still echoes.
class EchoOff {
 public:
  explicit EchoOff(int fd) {
    saved_terminal = {};
    ::tcgetattr(fd, &saved_terminal);
    struct termios silent = saved_terminal;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    silent.c_lflag |= ECHONL;
    saved_fd = fd;
    for (std::size_t i = 0; i < std::size(kRestoringSignals); ++i) {
      previous_[i] = std::signal(kRestoringSignals[i], restore_and_reraise);
    }
    ::tcsetattr(fd, TCSAFLUSH, &silent);
  }
  ~EchoOff() {
    ::tcsetattr(saved_fd, TCSAFLUSH, &saved_terminal);
    saved_fd = -1;
    for (std::size_t i = 0; i < std::size(kRestoringSignals); ++i) {
      std::signal(kRestoringSignals[i], previous_[i]);
    }
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  void (*previous_[std::size(kRestoringSignals)])(int);
};

void write_text(int fd, const std::string& text) {
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n <= 0 && errno != EINTR) return;
    if (n > 0) done += static_cast<std::size_t>(n);
  }
}

// One line from `fd`, without its line end; stops at the end of input.
std::string read_line(int fd) {
  std::string line;
  char c;
  for (;;) {
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || c == '\n') break;
    line.push_back(c);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

void clear(std::string& text) {
  ::explicit_bzero(text.data(), text.size());
  text.clear();
}

PasswordRead refused(std::string reason) { return {{}, std::move(reason)}; }

}  // namespace

PasswordRead read_password_twice(int in_fd, int prompt_fd) {
  if (!::isatty(in_fd)) {
    return refused("standard input is not a terminal: give the password with --pwfile");
  }
  std::string first, second;
  {
    EchoOff silent(in_fd);
    write_text(prompt_fd, "New administrator password: ");
    first = read_line(in_fd);
    write_text(prompt_fd, "Enter it again: ");
    second = read_line(in_fd);
  }
  const bool same = first == second;
  clear(second);
  if (!same) {
    clear(first);
    return refused("the two passwords do not match");
  }
  if (first.empty()) return refused("the password is empty");
  return {std::move(first), {}};
}

PasswordRead read_password_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return refused("cannot read the password file " + support::quoted(path) + ": " +
                   std::strerror(errno));
  }
  std::string line;
  std::getline(file, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) return refused("the first line of " + support::quoted(path) + " is empty");
  return {std::move(line), {}};
}

}  // namespace dbcache
