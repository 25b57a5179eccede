// Reading a new password for the administrator account: twice from the
// terminal without echo, or from the first line of a file.
//
// The password is only returned to the caller: nothing here prints, logs
// or stores it, and buffers that held a rejected password are cleared.
#pragma once

#include <unistd.h>

#include <string>

namespace dbcache {

// A password, or why none was read.
struct PasswordRead {
  std::string password;  // empty when refused
  std::string refusal;   // one line saying why; empty when a password was read

  bool ok() const { return refusal.empty(); }
};

// Asks twice for a password on the terminal `in_fd`, echo switched off
// while it is typed, with the prompts on `prompt_fd`. Refused when in_fd is
// not a terminal, when the two answers differ, and when it is empty. The
// terminal's settings are restored afterwards, also when SIGINT, SIGTERM,
// SIGHUP or SIGQUIT ends the process while it waits.
PasswordRead read_password_twice(int in_fd = STDIN_FILENO, int prompt_fd = STDERR_FILENO);

// The first line of the file at `path`, without its line end. Refused when
// the file cannot be read or the line is empty.
PasswordRead read_password_file(const std::string& path);

}  // namespace dbcache
