// Which serial a transaction's TBEG must have carried for its TEND's CRC to
// match. A turn that ends with a transaction that logged nothing leaves its
// TBEG over the bytes of an older turn; those bytes then end with the TEND
// of that turn's transaction, whose CRC matches an older serial only. This
// tells that normal end of a turn from a damaged transaction of the turn.
#pragma once

#include <cstddef>
#include <cstdint>

namespace checker {

// The serial with `serial_high` as its upper 32 bits for which the bytes
// from `tbeg` (a TBEG and its TUPDs, `covered` bytes) have the CRC-32 `crc`.
// There is exactly one such serial: CRC-32 maps any 4 consecutive bytes one
// to one onto its register.
// REQUIRES: covered >= 16.
std::uint64_t serial_matching_crc(const std::uint8_t* tbeg, std::size_t covered, std::uint32_t crc,
                                  std::uint32_t serial_high);

}  // namespace checker
