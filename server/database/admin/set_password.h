// vexmon-dbadmin set-password: gives the administrator account of a set a
// new password.
#pragma once

#include <string>

namespace admin {

// Sets the password digest of the "admin" user object in one journaled
// transaction, the password taken from the first line of `pwfile` or, when
// it is empty, asked twice on the terminal. Returns the exit status.
int set_password(const std::string& directory, const std::string& pwfile);

}  // namespace admin
