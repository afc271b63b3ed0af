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
// The encoding of a whole file: its byte-order mark; without one, where unmarked text is UTF-8
// (Linux), UTF-8 when the bytes are valid UTF-8 (but for a character cut short at the very end);
// ANSI otherwise.
DetectedEncoding DetectFileEncoding(std::string_view bytes);
std::string_view ByteOrderMark(FileEncoding e);

// How a new text file is written: the ANSI code page without a mark on Windows (with the UTF-8
// mark when that code page is UTF-8), UTF-8 without a mark on Linux.
struct NewFileFormat {
  FileEncoding encoding;
  bool with_bom;
};
NewFileFormat NewTextFileFormat();

// Bytes (without the mark) to UTF-8 text. Never fails: a broken sequence gives U+FFFD.
std::string DecodeText(std::string_view bytes, FileEncoding e);
// UTF-8 text to bytes (without the mark). ANSI: unrepresentable characters give the default one.
std::string EncodeText(std::string_view utf8, FileEncoding e);

// Lines end at CR LF, a lone CR or a lone LF; a last line without a break is a line too, and the
// final break does not make an empty line.
std::vector<std::string> SplitLines(std::string_view text);

}  // namespace settings
