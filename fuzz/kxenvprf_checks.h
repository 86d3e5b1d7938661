// What the profile store's fuzz targets check on one input. The tests
// replay the inputs kept under tests/fixtures/fuzz through the same
// functions, so a finding stays fixed.
#pragma once

#include <cstddef>
#include <cstdint>

// Decodes the input as record text (up to its first NUL). false when a
// decoded record does not survive encoding and decoding again.
bool CheckProfileRecordInput(const std::uint8_t* data, std::size_t size);
// Unpacks an exact-size copy of the input as a value block. false when a
// refused block was left changed, a pair points outside the block, or the
// pairs do not survive packing and unpacking again.
bool CheckValueBlockInput(const std::uint8_t* data, std::size_t size);
