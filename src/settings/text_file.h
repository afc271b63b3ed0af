// Encodings and line rules of the agent's text files (the settings file and the activity log).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace settings {

enum class FileEncoding { kAnsi, kUtf8, kUtf16LE, kUtf16BE };

struct DetectedEncoding {
  FileEncoding encoding;
  std::size_t bom_size;  // bytes of the byte-order mark at the start, 0 for ANSI
};

// EF BB BF is UTF-8, FF FE UTF-16 little-endian, FE FF UTF-16 big-endian; anything else ANSI.
DetectedEncoding DetectEncoding(std::string_view head);
std::string_view ByteOrderMark(FileEncoding e);

// Bytes (without the mark) to UTF-8 text. Never fails: a broken sequence gives U+FFFD.
std::string DecodeText(std::string_view bytes, FileEncoding e);
// UTF-8 text to bytes (without the mark). ANSI: unrepresentable characters give the default one.
std::string EncodeText(std::string_view utf8, FileEncoding e);

// Lines end at CR LF, a lone CR or a lone LF; a last line without a break is a line too, and the
// final break does not make an empty line.
std::vector<std::string> SplitLines(std::string_view text);

}  // namespace settings
