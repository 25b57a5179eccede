// Fuzz target: the TSDB header and chain descriptors. The expanded input is
// a TSDB image: the target decodes the header, chooses a replica of each
// chain kind and follows its chain blocks while they lie in the image.
#include "server/database/fuzz/fuzz_files.h"
#include "server/database/support/errors.h"
#include "server/database/tsdb/format.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> image = fuzzing::expand({data, size});
  image.shrink_to_fit();
  try {
    const tsdb::HeaderFields header = tsdb::decode_header(image);
    if (header.magic != tsdb::kHeaderMagic) return 0;
    for (const tsdb::ChainKind* kind : tsdb::kChainKinds) {
      const std::uint32_t replica = tsdb::select_replica(image, *kind, header.chains);
      if (replica == tsdb::kNoFreeEntry || !tsdb::valid_block_size(header.block_size)) continue;
      const std::size_t blocks = image.size() / header.block_size;
      std::uint32_t block =
          tsdb::decode_descriptor(
              image.data() + tsdb::checked_descriptor_offset(image, *kind, replica, header.chains))
              .first_block;
      for (std::size_t step = 0; block != 0 && block < blocks && step < blocks; ++step) {
        const std::uint8_t* bytes = image.data() + std::size_t{block} * header.block_size;
        const tsdb::ChainBlockHeader chain_block = tsdb::decode_chain_block_header(bytes);
        if (chain_block.magic != kind->magic) break;
        for (std::uint32_t slot = 0; slot < tsdb::entries_per_block(*kind, header.block_size);
             ++slot) {
          tsdb::decode_entry(bytes + tsdb::entry_offset(*kind, slot), *kind);
        }
        block = chain_block.next_block;
      }
    }
  } catch (const tsdb::error_generic&) {
    // Refusing a damaged image is the expected outcome.
  }
  return 0;
}
