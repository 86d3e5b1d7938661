// What the fuzz targets of the table's line syntax check on one input. The
// tests replay the inputs kept under tests/fixtures/fuzz through the same
// functions, so a finding stays fixed.
#pragma once

#include <cstddef>
#include <cstdint>

// Parses the input (up to its first NUL, at most one line's worth) as a
// table line in a buffer of exactly its size. false when a parsed row
// points outside the buffer or its choices do not end inside it.
bool CheckTableLineInput(const std::uint8_t* data, std::size_t size);
// Splits the input into lines as a control file is read and each line into
// key and value, each line in a buffer of exactly its size. false when a
// key or value is empty, points outside its line, or the key holds a '='.
bool CheckControlFileInput(const std::uint8_t* data, std::size_t size);
