// vexmon-dbadmin run as a subprocess on sets vexmon-dbcreate made in
// temporary directories: a copied and a moved set relocated, passwords set
// from a file and on a pseudo-terminal and read back through the engine,
// every refusal leaving each byte as it was, and damaged sets refused
// without a write or a crash.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <random>

#include "server/database/dbcache/admin_account.h"
#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/format.h"
#include "server/database/mdb/object_records.h"
#include "server/database/mdb/object_store.h"
#include "server/database/mdb/object_write.h"
#include "server/database/mdb/open_set.h"
#include "server/database/mdb/serialization_cache.h"
#include "server/database/support/hash.h"
#include "server/database/support/test_util.h"

namespace {

namespace fs = std::filesystem;
using testing_util::ProcessResult;
using testing_util::read_file;
using testing_util::run_process;
using testing_util::TempDir;
using Files = std::map<std::string, std::vector<std::uint8_t>>;

// The files the program may open: the MDB and its journal (it never opens the TSDB).
Files snapshot(const std::string& dir) {
  Files files;
  for (const std::string name : {"/main.odb", "/main.odbj"}) {
    if (fs::exists(dir + name)) files[name] = read_file(dir + name);
  }
  return files;
}

ProcessResult admin(const std::vector<std::string>& args) {
  return run_process(VEXMON_DBADMIN, args);
}

std::string make_set(const TempDir& dir, const std::string& name,
                     std::vector<std::string> args = {"-f", "-d", "DIR"},
                     const std::string& dialogue = "") {
  const std::string d = dir.file(name);
  fs::create_directory(d);
  for (std::string& arg : args) arg = arg == "DIR" ? d : arg;
  std::string answers = dialogue;
  for (std::size_t at; (at = answers.find("DIR")) != std::string::npos;) answers.replace(at, 3, d);
  const auto made = run_process(VEXMON_DBCREATE, args, answers);
  EXPECT_EQ(made.exit_code, 0) << made.err;
  return d;
}

// The administrator's digest as the engine reads it from the set in `dir`.
std::string stored_digest(const std::string& dir) {
  mdb::diagnostic_mask().set(0);
  mdb::open_set(dir + "/main.odb", {{}, true});
  const mdb::dobj account = mdb::load_object(*mdb::find_object(dbcache::kAdministratorNodeId));
  mdb::PropertyString digest;
  digest.deserialize(mdb::find_record(std::span(account.data).subspan(account.offset),
                                      dbcache::kPasswordDigestPropertyId)
                         ->bytes);
  mdb::close_set();
  return digest.value();
}

// Writes the object `id`, a child of the root domain, in a session of its own.
void add_object(const std::string& dir, mdb::NodeId id) {
  mdb::diagnostic_mask().set(0);
  mdb::open_set(dir + "/main.odb");
  mdb::serialization_cache().reset();
  mdb::serialization_cache().add(mdb::PropertyNodeId(0, id));
  mdb::serialization_cache().add(mdb::PropertyNodeId(2, {0, 1}));
  mdb::write_object({0xFFFFFFFFu, 0xFFFFFFFFu});
  mdb::close_set();
}

// set-password on a pseudo-terminal, typing `first` and `second` at its prompts.
ProcessResult on_terminal(const std::string& dir, const std::string& first,
                          const std::string& second) {
  int terminal = -1;
  const pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
  if (child == 0) {
    ::execl(VEXMON_DBADMIN, "vexmon-dbadmin", "set-password", dir.c_str(), nullptr);
    _exit(127);
  }
  ProcessResult result;
  char buffer[256];
  ssize_t n = 1;
  const auto read_until = [&](const std::string& text) {
    while (n > 0 && result.out.find(text) == std::string::npos) {
      if ((n = ::read(terminal, buffer, sizeof buffer)) > 0) result.out.append(buffer, n);
    }
  };
  for (const std::string& answer : {first + "\n", second + "\n"}) {
    read_until(result.out.empty() ? "password: " : "again: ");
    EXPECT_EQ(::write(terminal, answer.data(), answer.size()), ssize_t(answer.size()));
  }
  read_until("\x04");  // until the program ends
  ::close(terminal);
  int status = -1;
  ::waitpid(child, &status, 0);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

TEST(Admin, RelocatesACopiedAndMovedSetAndSetsItsPasswordLeavingTheOriginal) {
  TempDir dir;
  const std::string original = make_set(dir, "A"), copy = dir.file("B");
  ASSERT_EQ(run_process("/bin/cp", {"-a", original, copy}).exit_code, 0);
  const Files before = snapshot(original);
  // A relative directory is stored made absolute from the working directory.
  const auto r = admin({"relocate", "./" + fs::relative(copy).string()});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  mdb::HeaderImage header{};
  const auto bytes = read_file(copy + "/main.odb");
  std::copy_n(bytes.begin(), header.size(), header.begin());
  EXPECT_EQ(mdb::decode_header_image(header).journal_path,
            (fs::current_path() / fs::relative(copy) / "main.odbj").string());
  EXPECT_EQ(admin({"relocate", copy}).out,
            copy + "/main.odb now names the journal " + copy + "/main.odbj\n");
  EXPECT_EQ(admin({"relocate", copy}).out,
            copy + "/main.odb already names the journal " + copy + "/main.odbj\n");
  const std::string moved = dir.file("M");
  fs::rename(copy, moved);
  EXPECT_EQ(admin({"relocate", moved}).exit_code, 0);
  testing_util::write_file(dir.file("pw"), {'s', 'e', 'c', 'r', 'e', 't', '\n', 'x'});
  EXPECT_EQ(admin({"set-password", moved, "--pwfile", dir.file("pw")}).exit_code, 0);
  EXPECT_EQ(stored_digest(moved), security::md5_hex("secret"));
  const auto typed = on_terminal(moved, "typed secret", "typed secret");
  EXPECT_EQ(typed.exit_code, 0) << typed.out;
  EXPECT_EQ(typed.out.find("typed"), std::string::npos) << "echoed: " << typed.out;
  EXPECT_EQ(stored_digest(moved), security::md5_hex("typed secret"));
  EXPECT_EQ(stored_digest(original), security::md5_hex("qorvant"));
  EXPECT_TRUE(snapshot(original) == before) << "the original changed";
  const std::string internal = make_set(dir, "I", {"-i"}, "DIR\ni\n4\ny\n2\n8192\n10\nDIR\ny\n");
  const Files internal_before = snapshot(internal);
  EXPECT_EQ(admin({"relocate", internal}).out,
            internal + "/main.odb has an internal journal: nothing to relocate\n");
  EXPECT_TRUE(snapshot(internal) == internal_before);
}

TEST(Admin, RefusalsLeaveEveryByteAsItWas) {
  TempDir dir;
  const std::string set = make_set(dir, "A"), other = make_set(dir, "O", {"-f", "-n", "-d", "DIR"});
  const std::string empty = make_set(dir, "E", {"-f", "-c", "-d", "DIR"}), copy = dir.file("C");
  fs::copy(set, copy);
  // The other set's journal ends in a session whose index leaf names an
  // object of the session before, which this set does not hold.
  add_object(other, {1, 0});
  add_object(other, {1, 1});
  testing_util::write_file(dir.file("empty"), {'\n'});
  fs::copy(other + "/main.odbj", dir.file("moved.odbj"));
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"relocate", set, "--journal", dir.file("moved.odbj")}, "may not be its own"},
      {{"relocate", set, "--journal", empty + "/main.odbj"}, "belongs to the set whose header"},
      {{"relocate", set, "--journal", dir.file("none")}, "does not exist"},
      {{"set-password", other, "--pwfile", dir.file("empty")}, "has no administrator account"},
      {{"set-password", empty, "--pwfile", dir.file("empty")}, "has no administrator account"},
      {{"set-password", set, "--pwfile", dir.file("empty")}, "is empty"},
      {{"set-password", set, "--pwfile", dir.file("none")}, "cannot read the password file"},
      {{"set-password", copy, "--pwfile", dir.file("empty")}, "vexmon-dbadmin relocate"},
      {{"set-password", set}, "not a terminal"},
  };
  const Files before[] = {snapshot(set), snapshot(other), snapshot(empty), snapshot(copy)};
  const auto unchanged = [&] {
    return snapshot(set) == before[0] && snapshot(other) == before[1] &&
           snapshot(empty) == before[2] && snapshot(copy) == before[3];
  };
  for (const auto& [args, refusal] : cases) {
    const auto r = admin(args);
    EXPECT_EQ(r.exit_code, 1) << args[0] << " " << args[1] << "\n" << r.err;
    EXPECT_NE(r.err.find(refusal), std::string::npos) << r.err;
    EXPECT_TRUE(unchanged()) << args[0] << " " << args[1];
  }
  const auto mismatch = on_terminal(set, "one", "two");
  EXPECT_EQ(mismatch.exit_code, 1);
  EXPECT_NE(mismatch.out.find("the two passwords do not match"), std::string::npos);
  EXPECT_EQ(mismatch.out.find("one"), std::string::npos) << "echoed: " << mismatch.out;
  // A set another process holds.
  const mdb::SetLock held(set + "/main.odb", mdb::SetLock::Mode::shared);
  for (const auto& command : {"relocate", "set-password"}) {
    const auto r = admin({command, set});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("is in use by another process"), std::string::npos) << r.err;
  }
  EXPECT_TRUE(unchanged());
  for (const auto& args : std::vector<std::vector<std::string>>{
           {}, {"move", set}, {"relocate"}, {"relocate", set, "--pwfile", "x"}}) {
    EXPECT_EQ(admin(args).exit_code, 2);
  }
  EXPECT_TRUE(admin({"relocate", "--help"}).out.starts_with("Usage: vexmon-dbadmin relocate"));
  EXPECT_EQ(admin({"--version"}).out, "vexmon-dbadmin " VEXMON_VERSION "\n");
}

// Relocated copies of a set with bytes of its header, its first blocks and
// its journal header then changed at random: each command either succeeds
// on a set the damage left sound, or refuses it and leaves every byte as
// it was.
TEST(Admin, DamagedSetsAreRefusedWithoutAWriteOrACrash) {
  TempDir dir;
  const std::string original = make_set(dir, "A");
  testing_util::write_file(dir.file("pw"), {'p', 'w'});
  std::mt19937 random(15);
  const int runs = std::getenv("VEXMON_LONG_TESTS") ? 400 : 9;
  for (int run = 0; run < runs; ++run) {
    const std::string copy = dir.file("run" + std::to_string(run));
    fs::create_directory(copy);
    for (const auto& name : {"/main.odb", "/main.odbj"}) fs::copy(original + name, copy + name);
    ASSERT_EQ(admin({"relocate", copy}).exit_code, 0);
    const std::string file = copy + (run % 3 ? "/main.odb" : "/main.odbj");
    std::vector<std::uint8_t> bytes = read_file(file);
    const std::size_t span = run % 3 == 1 ? 1024 : run % 3 == 2 ? 8192 * 262 : 64;
    for (int i = 0; i <= run % 4; ++i) bytes[random() % span] ^= std::uint8_t(1 + random() % 255);
    testing_util::write_file(file, bytes);
    const Files before = snapshot(copy);
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"relocate", copy}, {"set-password", copy, "--pwfile", dir.file("pw")}}) {
      const auto r = admin(args);
      SCOPED_TRACE(args[0] + " run " + std::to_string(run) + ": " + r.err);
      ASSERT_TRUE(r.exit_code == 0 || r.exit_code == 1 || r.exit_code == 2);
      if (r.exit_code != 0) {
        EXPECT_TRUE(snapshot(copy) == before);
      }
    }
  }
}

}  // namespace
