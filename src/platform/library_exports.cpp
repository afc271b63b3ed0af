#include "platform/library_exports.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <stdexcept>

namespace os {

namespace {

[[noreturn]] void Malformed(const std::string& what) { throw std::runtime_error("it is not a library: " + what); }

// Bounds-checked reads of a file's bytes.
class Bytes {
 public:
  Bytes(const ReadAtFn& read, std::uint64_t size) : read_(read), size_(size) {}
  std::uint64_t size() const { return size_; }

  std::string Block(std::uint64_t offset, std::uint64_t n, const char* what) const {
    if (n > kMaxExportBytes || offset > size_ || n > size_ - offset) Malformed(std::string(what) + " lies outside the file");
    std::string out(static_cast<std::size_t>(n), '\0');
    std::size_t got = 0;
    while (got < out.size()) {
      const std::size_t r = read_(offset + got, out.data() + got, out.size() - got);
      if (r == 0) Malformed(std::string(what) + " cannot be read whole");
      got += r;
    }
    return out;
  }

 private:
  const ReadAtFn& read_;
  std::uint64_t size_;
};

template <class T>
T Le(const std::string& b, std::size_t at) {
  if (at > b.size() || sizeof(T) > b.size() - at) Malformed("a table is cut short");
  T v = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) v |= static_cast<T>(static_cast<T>(static_cast<unsigned char>(b[at + i])) << (8 * i));
  return v;
}

// The NUL-terminated name at `at` of a string table; "" when it runs past the table.
std::string NameAt(const std::string& table, std::uint64_t at) {
  if (at >= table.size()) return {};
  const std::size_t end = table.find('\0', static_cast<std::size_t>(at));
  if (end == std::string::npos) return {};
  return table.substr(static_cast<std::size_t>(at), end - static_cast<std::size_t>(at));
}

// ELF: the defined global functions of the dynamic symbol table (the one the loader binds by).
std::set<std::string> ElfExports(const Bytes& file, const std::set<std::string>& wanted) {
  const std::string h = file.Block(0, 64, "the ELF header");
  if (h[4] != 2) Malformed("not a 64-bit library");
  if (h[5] != 1) Malformed("not a little-endian library");
  const auto shoff = Le<std::uint64_t>(h, 0x28);
  const auto shentsize = Le<std::uint16_t>(h, 0x3A);
  std::uint64_t shnum = Le<std::uint16_t>(h, 0x3C);
  if (shoff == 0 || shentsize < 64) Malformed("it has no section table");
  if (shnum == 0) shnum = Le<std::uint64_t>(file.Block(shoff, 64, "the section table"), 0x20);  // more than 0xff00
  const std::string sections = file.Block(shoff, shnum * shentsize, "the section table");
  auto section = [&](std::uint64_t i, std::size_t field) {
    return static_cast<std::size_t>(i * shentsize + field);
  };
  std::set<std::string> found;
  bool any = false;
  for (std::uint64_t i = 0; i < shnum; ++i) {
    if (Le<std::uint32_t>(sections, section(i, 4)) != 11) continue;  // SHT_DYNSYM
    any = true;
    const auto offset = Le<std::uint64_t>(sections, section(i, 0x18));
    const auto size = Le<std::uint64_t>(sections, section(i, 0x20));
    const auto link = Le<std::uint32_t>(sections, section(i, 0x28));
    const auto entsize = Le<std::uint64_t>(sections, section(i, 0x38));
    if (entsize < 24 || link >= shnum) Malformed("its symbol table is malformed");
    const std::string symbols = file.Block(offset, size, "the symbol table");
    const std::string names = file.Block(Le<std::uint64_t>(sections, section(link, 0x18)),
                                         Le<std::uint64_t>(sections, section(link, 0x20)), "the symbol names");
    for (std::uint64_t at = 0; at + entsize <= symbols.size(); at += entsize) {
      const auto sym = static_cast<std::size_t>(at);
      const auto info = static_cast<unsigned char>(symbols[sym + 4]);
      const auto other = static_cast<unsigned char>(symbols[sym + 5]);
      const auto shndx = Le<std::uint16_t>(symbols, sym + 6);
      const unsigned bind = info >> 4, type = info & 0xF, visibility = other & 3;
      const bool global = bind == 1 || bind == 2 || bind == 10;  // GLOBAL, WEAK, GNU_UNIQUE
      const bool function = type == 2 || type == 10;             // FUNC, GNU_IFUNC
      if (shndx == 0 || !global || !function || (visibility != 0 && visibility != 3)) continue;
      std::string name = NameAt(names, Le<std::uint32_t>(symbols, sym));
      if (wanted.count(name)) found.insert(std::move(name));
    }
  }
  if (!any) Malformed("it has no dynamic symbol table");
  return found;
}

// PE: the names of the export table (forwarded names included: the loader resolves them).
std::set<std::string> PeExports(const Bytes& file, const std::set<std::string>& wanted) {
  const std::string dos = file.Block(0, 64, "the DOS header");
  const auto pe = Le<std::uint32_t>(dos, 0x3C);
  const std::string coff = file.Block(pe, 24, "the PE header");
  if (coff.compare(0, 4, std::string("PE\0\0", 4)) != 0) Malformed("no PE signature");
  const auto sections_n = Le<std::uint16_t>(coff, 6);
  const auto optional_size = Le<std::uint16_t>(coff, 20);
  const std::string opt = file.Block(pe + 24, optional_size, "the optional header");
  const auto magic = Le<std::uint16_t>(opt, 0);
  if (magic != 0x10B && magic != 0x20B) Malformed("an unknown optional header");
  const std::size_t dirs = magic == 0x20B ? 112 : 96;
  if (Le<std::uint32_t>(opt, dirs - 4) == 0) return {};  // no data directories: no exports
  const auto export_rva = Le<std::uint32_t>(opt, dirs);
  if (export_rva == 0) return {};
  const std::string table = file.Block(std::uint64_t{pe} + 24 + optional_size, std::uint64_t{sections_n} * 40, "the section table");
  auto offset_of = [&](std::uint32_t rva) -> std::uint64_t {
    for (std::size_t s = 0; s < sections_n; ++s) {
      const auto vsize = Le<std::uint32_t>(table, s * 40 + 8), va = Le<std::uint32_t>(table, s * 40 + 12);
      const auto raw_size = Le<std::uint32_t>(table, s * 40 + 16), raw = Le<std::uint32_t>(table, s * 40 + 20);
      if (rva >= va && rva - va < std::max(vsize, raw_size)) {
        if (rva - va >= raw_size) Malformed("an export lies outside the file");
        return std::uint64_t{raw} + (rva - va);
      }
    }
    Malformed("an export lies outside every section");
  };
  const std::string dir = file.Block(offset_of(export_rva), 40, "the export table");
  const auto count = Le<std::uint32_t>(dir, 24);
  const std::uint32_t names_rva = Le<std::uint32_t>(dir, 32);
  std::set<std::string> found;
  if (count == 0) return found;
  const std::string name_rvas = file.Block(offset_of(names_rva), std::uint64_t{count} * 4, "the export names");
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint64_t at = offset_of(Le<std::uint32_t>(name_rvas, std::size_t{i} * 4));
    const std::string chunk = file.Block(at, std::min<std::uint64_t>(256, file.size() - at), "an export name");
    std::string name = NameAt(chunk, 0);
    if (wanted.count(name)) found.insert(std::move(name));
  }
  return found;
}

}  // namespace

std::string FirstMissingExport(const ReadAtFn& read, std::uint64_t size, const std::vector<std::string>& names) {
  const Bytes file(read, size);
  const std::string magic = file.Block(0, std::min<std::uint64_t>(4, size), "its first bytes");
  const std::set<std::string> wanted(names.begin(), names.end());
  std::set<std::string> found;
  if (magic == "\x7f" "ELF") found = ElfExports(file, wanted);
  else if (magic.size() >= 2 && magic.compare(0, 2, "MZ") == 0) found = PeExports(file, wanted);
  else Malformed("neither an ELF nor a PE file");
  for (const std::string& n : names)
    if (!found.count(n)) return n;
  return {};
}

}  // namespace os
