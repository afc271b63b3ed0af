#include "settings/ini_update.h"

#include <optional>
#include <stdexcept>

#include "common/text.h"
#include "platform/os.h"
#include "settings/ini_file.h"

namespace settings {

namespace {

// A settings file is a few hundred bytes; anything this large is not one.
constexpr std::size_t kMaxFileBytes = 1 << 20;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == 0x1A; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// One line of the file as its bytes: the text, then the line break (empty on a last line without one).
struct RawLine {
  std::string_view text;
  std::string_view end;
};

std::vector<RawLine> RawLines(std::string_view bytes, std::size_t unit, bool little_endian) {
  auto at = [&](std::size_t i) -> unsigned {
    if (unit == 1) return static_cast<unsigned char>(bytes[i]);
    auto a = static_cast<unsigned char>(bytes[i]), b = static_cast<unsigned char>(bytes[i + 1]);
    return little_endian ? (a | (b << 8)) : ((a << 8) | b);
  };
  std::vector<RawLine> lines;
  std::size_t start = 0, i = 0;
  while (i + unit <= bytes.size()) {
    const unsigned c = at(i);
    if (c != '\r' && c != '\n') {
      i += unit;
      continue;
    }
    std::size_t end = i + unit;
    if (c == '\r' && end + unit <= bytes.size() && at(end) == '\n') end += unit;
    lines.push_back({bytes.substr(start, i - start), bytes.substr(i, end - i)});
    start = i = end;
  }
  if (start < bytes.size()) lines.push_back({bytes.substr(start), {}});
  return lines;
}

// The value as the line will hold it: in quotation marks when the reader would otherwise take
// blanks or a pair of quotation marks away.
std::string Written(const std::string& value) {
  if (value.empty()) return value;
  const char a = value.front(), z = value.back();
  const bool quoted_already = value.size() >= 2 && (a == '"' || a == '\'') && z == a;
  if (IsBlank(a) || IsBlank(z) || quoted_already) return "\"" + value + "\"";
  return value;
}

}  // namespace

std::string SettingValueProblem(std::string_view value) {
  if (!text::IsValidUtf8(value)) return "it is not valid text";
  for (unsigned char c : value)
    if (c < 0x20 || c == 0x7F) return "it holds a line break or another control character";
  if (text::Utf8ToUtf16(value).size() > kMaxValueLength)
    return "it is longer than " + std::to_string(kMaxValueLength) + " characters";
  return {};
}

std::string UpdateIniText(std::string_view bytes, DetectedEncoding encoding, const std::string& section,
                          const SettingValues& values) {
  const FileEncoding enc = encoding.encoding;
  const bool wide = enc == FileEncoding::kUtf16LE || enc == FileEncoding::kUtf16BE;
  const std::size_t unit = wide ? 2 : 1;
  auto encode = [&](const std::string& key, const std::string& utf8) {
    std::string out = EncodeText(utf8, enc);
    if (DecodeText(out, enc) != utf8)
      throw std::invalid_argument(key + ": the value holds a character that the settings file's code page lacks");
    return out;
  };

  // Every value is checked before anything is written.
  std::vector<std::string> encoded;
  for (const auto& [key, value] : values) {
    if (std::string problem = SettingValueProblem(value); !problem.empty())
      throw std::invalid_argument(key + ": the value cannot be written: " + problem);
    encoded.push_back(encode(key, Written(value)));
  }

  const std::string_view bom = bytes.substr(0, encoding.bom_size);
  const std::vector<RawLine> lines = RawLines(bytes.substr(encoding.bom_size), unit, enc == FileEncoding::kUtf16LE);
  std::string line_break = "\r\n";
  for (const RawLine& l : lines)
    if (!l.end.empty()) {
      line_break = DecodeText(l.end, enc);
      break;
    }

  // What the reader would see: which lines replace a key's value, and where the section ends.
  std::vector<std::optional<std::size_t>> replaces(lines.size());  // index into `values`
  std::vector<bool> found(values.size(), false);
  std::optional<std::size_t> section_end;  // the last non-blank line of the section's first occurrence
  bool in_section = false, first_occurrence_done = false;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string decoded = DecodeText(lines[i].text, enc);
    const std::string_view line = Trim(decoded);
    if (!line.empty() && line.front() == '[') {
      if (auto close = line.rfind(']'); close != std::string_view::npos) {
        if (in_section) first_occurrence_done = true;
        in_section = text::EqualsIgnoreCase(Trim(line.substr(1, close - 1)), Trim(section));
        if (in_section && !first_occurrence_done) section_end = i;
        continue;
      }
    }
    if (!in_section) continue;
    if (!first_occurrence_done && !line.empty()) section_end = i;
    const auto eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    for (std::size_t k = 0; k < values.size(); ++k) {
      if (found[k] || !text::EqualsIgnoreCase(Trim(line.substr(0, eq)), Trim(values[k].first))) continue;
      found[k] = true;
      replaces[i] = k;
      break;
    }
  }

  const std::string nl = encode("line break", line_break);
  std::string added;  // the keys the file does not have yet
  for (std::size_t k = 0; k < values.size(); ++k)
    if (!found[k]) added += encode(values[k].first, values[k].first + "=") + encoded[k] + nl;
  if (!section_end && !added.empty()) added = encode(section, "[" + section + "]") + nl + added;

  std::string out(bom);
  const std::string equals = encode("=", "=");
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const RawLine& l = lines[i];
    if (replaces[i]) {
      // The key keeps its own bytes up to its "="; only the value changes.
      std::size_t eq = 0;
      while (l.text.substr(eq, unit) != equals) eq += unit;
      out.append(l.text.substr(0, eq + unit)).append(encoded[*replaces[i]]);
    } else {
      out.append(l.text);
    }
    const bool insert_here = section_end && *section_end == i && !added.empty();
    out.append(l.end.empty() && (insert_here || (!section_end && !added.empty() && i + 1 == lines.size()))
                   ? std::string_view(nl)
                   : l.end);
    if (insert_here) out += added;
  }
  if (!section_end) out += added;
  return out;
}

void UpdateIniFile(const std::string& path, const std::string& section, const SettingValues& values) {
  std::string bytes;
  DetectedEncoding encoding{};
  if (os::FileExists(path)) {
    os::File f(path, os::File::Mode::kRead);
    if (f.Size() > kMaxFileBytes) throw std::invalid_argument(path + " is too large for a settings file");
    bytes.resize(static_cast<std::size_t>(f.Size()));
    bytes.resize(f.Read(bytes.data(), bytes.size()));
  }
  if (bytes.empty()) {
    const NewFileFormat format = NewTextFileFormat();
    bytes = format.with_bom ? std::string(ByteOrderMark(format.encoding)) : std::string();
    encoding = {format.encoding, bytes.size()};
  } else {
    encoding = DetectFileEncoding(bytes);
  }
  const std::string updated = UpdateIniText(bytes, encoding, section, values);
  const std::string temp = path + ".novo";
  try {
    os::File f(temp, os::File::Mode::kCreate);
    f.Write(updated.data(), updated.size());
    f.Sync();
  } catch (...) {
    try {
      os::RemoveFile(temp);
    } catch (const std::exception&) {
    }
    throw;
  }
  os::ReplaceFileAtomically(temp, path);
}

}  // namespace settings
