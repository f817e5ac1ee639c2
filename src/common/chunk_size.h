#pragma once

#include <cstddef>

// Downloads, hashing and copies move data in pieces of this size, through one
// buffer per call, and report progress once per piece.
inline constexpr std::size_t ChunkSize = 131072;
