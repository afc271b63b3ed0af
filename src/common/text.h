// Text conversions that need no operating system: UTF-8 (the program's own text), UTF-16 and
// Latin-1. Invalid input never throws: a broken sequence decodes to U+FFFD.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace text {

inline constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t cp);

// Calls f(code point) for every character of a UTF-8 text; invalid bytes give U+FFFD each.
template <class F>
void ForEachCodePoint(std::string_view s, F&& f);

// A text whose invalid UTF-8 sequences are replaced by U+FFFD.
std::string SanitizeUtf8(std::string_view s);

std::u16string Utf8ToUtf16(std::string_view s);
std::string Utf16ToUtf8(std::u16string_view s);  // lone surrogates give U+FFFD

// Latin-1 (ISO 8859-1): every byte is the character of the same number.
std::string Latin1ToUtf8(std::string_view s);
// Characters above U+00FF become '?'. Sets *lossy when that happened.
std::string Utf8ToLatin1(std::string_view s, bool* lossy = nullptr);

// Checks UTF-8 handed over piece by piece (a character may be split between pieces): the rules of
// the decoder above, so overlong forms, surrogates and values above U+10FFFF are invalid.
class Utf8Validator {
 public:
  void Feed(std::string_view bytes);
  // Everything fed so far is valid UTF-8 and ends with a whole character.
  bool Valid() const { return !bad_ && need_ == 0; }
  bool Failed() const { return bad_; }  // no later piece can make it valid

 private:
  bool bad_ = false;
  int need_ = 0;  // continuation bytes still due
  char32_t cp_ = 0, min_ = 0;
};
bool IsValidUtf8(std::string_view s);

// ---- texts that came from outside ---------------------------------------------------------

// The longest a text from outside (a server's error or rejection text, a database's message) may
// run in a report: enough for any real message, and little enough that a hostile one cannot fill
// a disk, however often it repeats.
inline constexpr std::size_t kOutsideTextLimit = 512;

// `s` (UTF-8) cut to at most `limit` bytes on a character boundary, with a mark that says it was
// cut and how long it was: "...[cortado: 1048576 bytes]". A text within the limit is returned as
// it is.
std::string CapText(std::string_view s, std::size_t limit = kOutsideTextLimit);

// One line of text: every line break (CR LF, CR or LF) becomes one blank, and every other control
// character (C0, DEL, C1) a blank too, so that a text can neither start a line of its own nor
// steer a terminal. Broken UTF-8 becomes U+FFFD.
std::string FlattenControls(std::string_view s);

// What a terminal may show safely: FlattenControls, and the bidirectional formatting characters
// (which reorder what is shown after them) removed.
std::string ForTerminal(std::string_view s);

bool EqualsIgnoreCase(std::string_view a, std::string_view b);  // ASCII letters only
std::string ToLowerAscii(std::string_view s);

// ---- implementation of the template -------------------------------------------------------

namespace detail {
// Decodes one character at s[i], advancing i; returns U+FFFD for an invalid sequence.
char32_t DecodeOne(std::string_view s, std::size_t& i);
}  // namespace detail

template <class F>
void ForEachCodePoint(std::string_view s, F&& f) {
  std::size_t i = 0;
  while (i < s.size()) f(detail::DecodeOne(s, i));
}

}  // namespace text
