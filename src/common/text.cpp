#include "common/text.h"

#include <cstdint>
#include <cstring>

namespace text {

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

namespace detail {
char32_t DecodeOne(std::string_view s, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  int len;
  char32_t cp;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    ++i;
    return kReplacement;
  }
  if (i + static_cast<std::size_t>(len) > s.size()) {
    ++i;
    return kReplacement;
  }
  for (int k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return kReplacement;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return kReplacement;
  }
  i += static_cast<std::size_t>(len);
  return cp;
}
}  // namespace detail

std::string SanitizeUtf8(std::string_view s) {
  if (IsValidUtf8(s)) return std::string(s);  // the usual case, and far cheaper than rebuilding
  std::string out;
  out.reserve(s.size());
  ForEachCodePoint(s, [&](char32_t cp) { AppendUtf8(out, cp); });
  return out;
}

std::u16string Utf8ToUtf16(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  ForEachCodePoint(s, [&](char32_t cp) {
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  });
  return out;
}

std::string Utf16ToUtf8(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    char32_t c = s[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    }
    AppendUtf8(out, c);  // a lone surrogate becomes U+FFFD here
  }
  return out;
}

std::string Latin1ToUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (char c : s) AppendUtf8(out, static_cast<unsigned char>(c));
  return out;
}

std::string Utf8ToLatin1(std::string_view s, bool* lossy) {
  std::string out;
  out.reserve(s.size());
  bool lost = false;
  ForEachCodePoint(s, [&](char32_t cp) {
    if (cp > 0xFF) {
      out.push_back('?');
      lost = true;
    } else {
      out.push_back(static_cast<char>(cp));
    }
  });
  if (lossy) *lossy = lost;
  return out;
}

void Utf8Validator::Feed(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (bad_) return;
    if (need_ == 0) {
      // Plain ASCII eight bytes at a time.
      while (i + 8 <= bytes.size()) {
        std::uint64_t word;
        std::memcpy(&word, bytes.data() + i, 8);
        if (word & 0x8080808080808080ULL) break;
        i += 8;
      }
      if (i == bytes.size()) return;
    }
    const auto b = static_cast<unsigned char>(bytes[i++]);
    if (need_ == 0) {
      if (b < 0x80) continue;
      if ((b & 0xE0) == 0xC0) {
        need_ = 1, cp_ = b & 0x1F, min_ = 0x80;
      } else if ((b & 0xF0) == 0xE0) {
        need_ = 2, cp_ = b & 0x0F, min_ = 0x800;
      } else if ((b & 0xF8) == 0xF0) {
        need_ = 3, cp_ = b & 0x07, min_ = 0x10000;
      } else {
        bad_ = true;
      }
      continue;
    }
    if ((b & 0xC0) != 0x80) {
      bad_ = true;
      continue;
    }
    cp_ = (cp_ << 6) | (b & 0x3F);
    if (--need_ == 0 && (cp_ < min_ || cp_ > 0x10FFFF || (cp_ >= 0xD800 && cp_ <= 0xDFFF))) bad_ = true;
  }
}

bool IsValidUtf8(std::string_view s) {
  Utf8Validator v;
  v.Feed(s);
  return v.Valid();
}

static char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

std::string ToLowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

// ---- texts that came from outside ---------------------------------------------------------

std::string CapText(std::string_view s, std::size_t limit) {
  if (s.size() <= limit) return std::string(s);
  std::size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;  // whole characters only
  return SanitizeUtf8(s.substr(0, cut)) + "...[cortado: " + std::to_string(s.size()) + " bytes]";
}

namespace {

bool IsControl(char32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F); }

bool IsBidiControl(char32_t cp) {
  return cp == 0x061C || cp == 0x200E || cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

template <class Keep>
std::string Flatten(std::string_view s, Keep&& keep) {
  std::string out;
  out.reserve(s.size());
  bool after_cr = false;
  ForEachCodePoint(s, [&](char32_t cp) {
    const bool lf_after_cr = after_cr && cp == '\n';
    after_cr = cp == '\r';
    if (lf_after_cr) return;  // CR LF is one line break: one blank
    if (IsControl(cp)) {
      out.push_back(' ');
    } else if (keep(cp)) {
      AppendUtf8(out, cp);
    }
  });
  return out;
}

}  // namespace

std::string FlattenControls(std::string_view s) {
  bool plain = true;  // the usual case: nothing to change
  for (unsigned char c : s)
    if (c < 0x20 || c >= 0x7F) {
      plain = false;
      break;
    }
  if (plain) return std::string(s);
  return Flatten(s, [](char32_t) { return true; });
}

std::string ForTerminal(std::string_view s) {
  return Flatten(s, [](char32_t cp) { return !IsBidiControl(cp); });
}

}  // namespace text
