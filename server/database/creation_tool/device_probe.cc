// The probe has two halves: libblkid knows file systems, partition tables,
// RAID and LVM members, swap and encrypted volumes; the magic at the very
// start of the device tells this project's own files, which libblkid does
// not know. Every file of a database set starts with its magic at byte 0.
#include "server/database/creation_tool/device_probe.h"

#include <blkid/blkid.h>
#include <fcntl.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <string_view>

#include "server/database/creation_tool/run_failure.h"
#include "server/database/mdb/format.h"
#include "server/database/mdb/journal_format.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/file_io.h"
#include "server/database/support/text_format.h"
#include "server/database/tsdb/format.h"

namespace creation_tool {
namespace {

[[noreturn]] void unreadable(const std::string& path, int error_code) {
  refuse_with_reason("Unable to examine device " + support::quoted(path), error_code);
}

std::optional<std::string> own_content(const std::string& path) {
  const support::UniqueFd fd = support::open_file(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (!fd.is_open()) unreadable(path, errno);
  std::array<std::uint8_t, 4> magic{};
  const support::Transfer read = support::pread_full(fd.get(), magic.data(), magic.size(), 0);
  if (read.error != 0) unreadable(path, read.error);
  if (read.done < magic.size()) return std::nullopt;
  switch (support::load_be32(magic.data())) {
    case mdb::kMdbMagic:
      return "a Vexmon MDB";
    case mdb::kJournalMagic:
      return "a Vexmon MDB journal";
    case tsdb::kHeaderMagic:
      return "a Vexmon TSDB";
    default:
      return std::nullopt;
  }
}

// `word` after its indefinite article.
std::string with_article(const std::string& word) {
  const bool vowel =
      !word.empty() && std::string_view("aeiouAEIOU").find(word[0]) != std::string_view::npos;
  return (vowel ? "an " : "a ") + word;
}

// libblkid's USAGE value as words.
std::string usage_words(const char* usage) {
  const std::string u = usage ? usage : "";
  if (u == "filesystem") return " file system";
  if (u == "raid") return " RAID member";
  if (u == "crypto") return " encrypted volume";
  return " signature";
}

std::optional<std::string> blkid_content(const std::string& path) {
  const std::unique_ptr<blkid_struct_probe, decltype(&blkid_free_probe)> probe(
      blkid_new_probe_from_filename(path.c_str()), &blkid_free_probe);
  if (!probe) unreadable(path, errno);
  blkid_probe_enable_superblocks(probe.get(), 1);
  blkid_probe_set_superblocks_flags(probe.get(),
                                    BLKID_SUBLKS_TYPE | BLKID_SUBLKS_LABEL | BLKID_SUBLKS_USAGE);
  blkid_probe_enable_partitions(probe.get(), 1);
  blkid_probe_set_partitions_flags(probe.get(), BLKID_PARTS_MAGIC);
  const int found = blkid_do_safeprobe(probe.get());
  if (found == 1) return std::nullopt;
  if (found == -2) return "more than one signature";
  if (found < 0) unreadable(path, errno);
  auto value = [&probe](const char* name) -> const char* {
    const char* text = nullptr;
    return blkid_probe_lookup_value(probe.get(), name, &text, nullptr) == 0 ? text : nullptr;
  };
  if (const char* table = value("PTTYPE"); table && !value("TYPE")) {
    return with_article(table) + " partition table";
  }
  std::string phrase =
      with_article(value("TYPE") ? value("TYPE") : "unknown") + usage_words(value("USAGE"));
  if (const char* label = value("LABEL")) phrase += " labelled " + support::quoted(label);
  return phrase;
}

}  // namespace

std::optional<std::string> existing_content(const std::string& path) {
  if (auto own = own_content(path)) return own;
  return blkid_content(path);
}

}  // namespace creation_tool
