// Which functions a library file exports, read from the file's bytes before anything loads it.
//
// Loading a library runs its initialisers at once, with the agent's full rights, so a file that
// turns out not to be the library wanted must be told apart before it loads, never after. Both
// formats are read here, on every platform, so that each is tested where the tests run: ELF
// (64-bit, little-endian: its dynamic symbol table) and PE (PE32 and PE32+: its export table).
// The reader trusts nothing in the file: every offset and size is checked against the file's size,
// and no table may take more than kMaxExportBytes.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace os {

inline constexpr std::uint64_t kMaxExportBytes = 64u << 20;

// Reads up to n bytes at an offset of the file; returns the count read (0 at its end).
using ReadAtFn = std::function<std::size_t(std::uint64_t offset, void* buf, std::size_t n)>;

// The first of `names` that the library file (of `size` bytes) does not export as a function; ""
// when it exports every one. Throws std::runtime_error, worded for a log line ("it is not a
// library: ..."), when the file is neither an ELF nor a PE library or its tables are malformed.
std::string FirstMissingExport(const ReadAtFn& read, std::uint64_t size, const std::vector<std::string>& names);

}  // namespace os
