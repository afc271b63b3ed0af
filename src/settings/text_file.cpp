#include "settings/text_file.h"

#include "common/text.h"
#include "platform/os.h"

namespace settings {

DetectedEncoding DetectEncoding(std::string_view head) {
  if (head.size() >= 3 && head.substr(0, 3) == "\xEF\xBB\xBF") return {FileEncoding::kUtf8, 3};
  if (head.size() >= 2 && head.substr(0, 2) == "\xFF\xFE") return {FileEncoding::kUtf16LE, 2};
  if (head.size() >= 2 && head.substr(0, 2) == "\xFE\xFF") return {FileEncoding::kUtf16BE, 2};
  return {FileEncoding::kAnsi, 0};
}

DetectedEncoding DetectFileEncoding(std::string_view bytes) {
  DetectedEncoding det = DetectEncoding(bytes);
  if (det.encoding == FileEncoding::kAnsi && os::UnmarkedTextIsUtf8()) {
    // A character cut short at the very end (a write a power cut interrupted) does not make the
    // rest of the file another encoding.
    text::Utf8Validator v;
    v.Feed(bytes);
    if (!v.Failed()) det.encoding = FileEncoding::kUtf8;
  }
  return det;
}

NewFileFormat NewTextFileFormat() {
  if (os::UnmarkedTextIsUtf8()) return {FileEncoding::kUtf8, false};
  // A UTF-8 system code page gets its mark, as the platform writes such files.
  if (os::AnsiCodePage() == 65001) return {FileEncoding::kUtf8, true};
  return {FileEncoding::kAnsi, false};
}

std::string_view ByteOrderMark(FileEncoding e) {
  switch (e) {
    case FileEncoding::kUtf8: return "\xEF\xBB\xBF";
    case FileEncoding::kUtf16LE: return "\xFF\xFE";
    case FileEncoding::kUtf16BE: return "\xFE\xFF";
    case FileEncoding::kAnsi: break;
  }
  return {};
}

std::string DecodeText(std::string_view bytes, FileEncoding e) {
  switch (e) {
    case FileEncoding::kAnsi: return os::AnsiToUtf8(bytes);
    case FileEncoding::kUtf8: return text::SanitizeUtf8(bytes);
    case FileEncoding::kUtf16LE:
    case FileEncoding::kUtf16BE: {
      const bool le = e == FileEncoding::kUtf16LE;
      std::u16string units;
      units.reserve(bytes.size() / 2);
      for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        auto a = static_cast<unsigned char>(bytes[i]), b = static_cast<unsigned char>(bytes[i + 1]);
        units.push_back(static_cast<char16_t>(le ? (a | (b << 8)) : ((a << 8) | b)));
      }
      std::string out = text::Utf16ToUtf8(units);
      if (bytes.size() % 2) text::AppendUtf8(out, text::kReplacement);
      return out;
    }
  }
  return {};
}

std::string EncodeText(std::string_view utf8, FileEncoding e) {
  switch (e) {
    case FileEncoding::kAnsi: return os::Utf8ToAnsi(utf8);
    case FileEncoding::kUtf8: return text::SanitizeUtf8(utf8);
    case FileEncoding::kUtf16LE:
    case FileEncoding::kUtf16BE: {
      const bool le = e == FileEncoding::kUtf16LE;
      std::u16string units = text::Utf8ToUtf16(utf8);
      std::string out;
      out.reserve(units.size() * 2);
      for (char16_t u : units) {
        char lo = static_cast<char>(u & 0xFF), hi = static_cast<char>(u >> 8);
        out.push_back(le ? lo : hi);
        out.push_back(le ? hi : lo);
      }
      return out;
    }
  }
  return {};
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t start = 0, i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.emplace_back(text.substr(start, i - start));
      i += (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
      start = i;
    } else {
      ++i;
    }
  }
  if (start < text.size()) lines.emplace_back(text.substr(start));
  return lines;
}

}  // namespace settings
