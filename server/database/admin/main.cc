// vexmon-dbadmin: administration of a database set through the engines:
// relocating a copied or moved set's journal, and setting the
// administrator's password. Exit status 0 done, 1 refused or failed with
// the set unchanged, 2 usage error or a set that cannot be opened.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "server/database/admin/options.h"
#include "server/database/admin/relocate.h"
#include "server/database/admin/set_access.h"
#include "server/database/admin/set_password.h"
#include "server/database/mdb/diagnostics.h"
#include "server/database/support/errors.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const admin::ParsedOptions parsed = admin::parse_options(args);
  if (!parsed.options) {
    std::cerr << "vexmon-dbadmin: " << parsed.error << "\n" << admin::kUsage;
    return admin::kUnopenable;
  }
  const admin::Options& options = *parsed.options;
  // The engine's diagnostic lines are for its developers, not this tool's users.
  mdb::diagnostic_mask().set(0);
  try {
    switch (options.command) {
      case admin::Command::help:
        std::cout << admin::kUsage;
        return admin::kDone;
      case admin::Command::version:
        std::cout << "vexmon-dbadmin " VEXMON_VERSION "\n";
        return admin::kDone;
      case admin::Command::relocate:
        return admin::relocate(options.directory, options.journal);
      case admin::Command::set_password:
        return admin::set_password(options.directory, options.pwfile);
    }
  } catch (const admin::Failure& failure) {
    std::cerr << "vexmon-dbadmin: " << failure.text << "\n";
    return failure.exit_code;
  } catch (const error::Exception& e) {
    std::cerr << "vexmon-dbadmin: " << e.text() << "\n";
    return admin::kRefused;
  } catch (const std::exception& e) {
    std::cerr << "vexmon-dbadmin: " << e.what() << "\n";
    return admin::kRefused;
  }
  return admin::kRefused;
}
