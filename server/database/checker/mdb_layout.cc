// Checking the MDB header and block layout.
#include "server/database/checker/mdb_layout.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "server/database/mdb/format.h"
#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"

namespace checker {

namespace {

using support::text_u32;

// The length of a regular file or block device; empty for anything else
// (a directory, say), which is no file of a set.
std::optional<std::uint64_t> file_length(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return std::nullopt;
  if (S_ISREG(status.st_mode)) return static_cast<std::uint64_t>(status.st_size);
  if (!S_ISBLK(status.st_mode)) return std::nullopt;
  const off_t end = ::lseek(fd, 0, SEEK_END);
  return end > 0 ? static_cast<std::uint64_t>(end) : 0;
}

}  // namespace

bool read_file_range(const std::string& path, std::uint64_t offset, std::uint64_t length,
                     std::vector<std::uint8_t>& out) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  // A damaged length must not make the checker allocate what the file
  // does not hold.
  const std::uint64_t size = file_length(fd).value_or(0);
  if (offset > size || length > size - offset) {
    ::close(fd);
    return false;
  }
  out.assign(length, 0);
  std::uint64_t done = 0;
  while (done < length) {
    const ssize_t got =
        ::pread(fd, out.data() + done, length - done, static_cast<off_t>(offset + done));
    if (got <= 0) break;
    done += static_cast<std::uint64_t>(got);
  }
  ::close(fd);
  return done == length;
}

std::optional<std::uint64_t> readable_length(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  const std::optional<std::uint64_t> length = file_length(fd);
  ::close(fd);
  return length;
}

std::optional<MdbLayout> check_mdb_header(const std::string& path, const std::string& file,
                                          Report& report) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    throw Unopenable{"cannot open " + path + ": " +
                     error::system_error_text(static_cast<std::uint32_t>(errno))};
  }
  const std::optional<std::uint64_t> length = file_length(fd);
  if (!length) {
    ::close(fd);
    throw Unopenable{"cannot open " + path + ": not a file or block device"};
  }
  MdbLayout layout;
  layout.file_bytes = *length;
  mdb::HeaderImage image{};
  const bool whole =
      ::pread(fd, image.data(), image.size(), 0) == static_cast<ssize_t>(image.size());
  ::close(fd);
  const auto fail = [&](const std::string& text) {
    report.problem(file, 0, "header", text);
    return std::nullopt;
  };
  if (!whole) {
    return fail("file is shorter than the " + text_u32(mdb::kHeaderSize) + "-byte header");
  }
  if (mdb::header_magic(image) != mdb::kMdbMagic) {
    return fail("magic is not VMDB");
  }
  if (mdb::header_version(image) != mdb::kMdbVersion) {
    return fail("version " + text_u32(mdb::header_version(image)) + " is not 1");
  }
  layout.block_size = mdb::header_block_size(image);
  if (!mdb::valid_block_size(layout.block_size)) {
    return fail("block size " + text_u32(layout.block_size) + " is not a power of two from " +
                text_u32(mdb::kMinBlockSize) + " to " + text_u32(mdb::kMaxBlockSize));
  }
  const std::uint32_t journal_type = mdb::header_journal_type(image);
  if (journal_type != mdb::journal_internal && journal_type != mdb::journal_external) {
    return fail("journal type " + text_u32(journal_type) +
                " is neither 1 (internal) nor 2 (external)");
  }
  mdb::HeaderFields fields;
  try {
    fields = mdb::decode_header_image(image);
  } catch (const error::Exception& e) {
    return fail(e.text());
  }
  const auto roots = static_cast<std::uint32_t>(fields.index_roots.size());
  if (roots < mdb::kMinIndexRoots || roots > mdb::kMaxIndexRoots) {
    return fail("index root count " + text_u32(roots) + " is outside " +
                text_u32(mdb::kMinIndexRoots) + " to " + text_u32(mdb::kMaxIndexRoots));
  }
  layout.internal_journal = journal_type == mdb::journal_internal;
  layout.journal_start = fields.journal_start;
  layout.journal_blocks = fields.journal_blocks;
  layout.journal_path = std::move(fields.journal_path);
  layout.roots = std::move(fields.index_roots);
  layout.first_map_block = fields.first_map_block;
  layout.first_data_block = fields.first_data_block;
  const std::uint32_t f = layout.first_map_block;
  const std::uint32_t d = layout.first_data_block;
  const std::uint32_t journal_end =
      layout.internal_journal ? layout.journal_start + layout.journal_blocks : 1;
  if (layout.internal_journal && (layout.journal_start == 0 || layout.journal_blocks == 0 ||
                                  journal_end < layout.journal_start)) {
    return fail("internal journal blocks " + text_u32(layout.journal_start) + " + " +
                text_u32(layout.journal_blocks) + " are not a run after block 0");
  }
  if (layout.internal_journal &&
      std::uint64_t{journal_end} * layout.block_size > layout.file_bytes) {
    return fail("internal journal blocks " + text_u32(layout.journal_start) + " + " +
                text_u32(layout.journal_blocks) + " run past the end of the file");
  }
  // The map may have any number of blocks: its entries cover (D - F) * B
  // blocks from block 0. The creation tool makes 256.
  if (f < journal_end || d <= f) {
    return fail("allocation map " + text_u32(f) + " .. " + text_u32(d) +
                " is not a run of blocks after the journal");
  }
  for (std::size_t i = 0; i < layout.roots.size(); ++i) {
    if (layout.roots[i] < d) {
      report.problem(file, 0, "header",
                     "index root " + text_u32(static_cast<std::uint32_t>(i)) + " names block " +
                         text_u32(layout.roots[i]) + " below the first data block " + text_u32(d));
    }
  }
  if (layout.file_bytes % layout.block_size != 0) {
    report.problem(
        file, std::nullopt, "layout",
        "length " + support::text_u64(layout.file_bytes) + " is not a whole number of blocks");
  }
  if (layout.blocks() < std::uint64_t{d} + 2) {
    return fail("the file holds " + support::text_u64(layout.blocks()) +
                " blocks, fewer than the layout's " + text_u32(d + 2));
  }
  return layout;
}

}  // namespace checker
