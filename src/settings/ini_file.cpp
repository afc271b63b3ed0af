#include "settings/ini_file.h"

#include <functional>
#include <string_view>

#include "common/text.h"
#include "platform/os.h"
#include "settings/app_dir.h"
#include "settings/text_file.h"

namespace settings {

namespace {

// Only this much of a line is looked at; a longer one is cut (its value would be cut at 2047
// characters anyway). Keeps a garbage file of one enormous line from using enormous memory.
constexpr std::size_t kMaxLineBytes = 16 * 1024;
constexpr std::size_t kChunk = 64 * 1024;

bool IsBlank(char32_t c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == 0x1A; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && IsBlank(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
  return s;
}

// The agent's own settings file is read as SettingsFileMode() says; any other as it is.
os::File::Mode ModeFor(const std::string& path) {
  return path == SettingsFilePath() ? SettingsFileMode() : os::File::Mode::kRead;
}

// Whether a file is valid UTF-8 through and through; read in pieces, as it may be of any size.
bool IsUtf8File(const std::string& path) {
  os::File f(path, ModeFor(path));
  std::string chunk(kChunk, '\0');
  text::Utf8Validator v;
  while (std::size_t n = f.Read(chunk.data(), chunk.size())) {
    v.Feed(std::string_view(chunk.data(), n));
    if (v.Failed()) return false;
  }
  return v.Valid();
}

// Feeds `on_line` with each line of the file, decoded to UTF-8, until it returns false.
// Returns false when the file cannot be read at all.
bool ScanLines(const std::string& path, const std::function<bool(std::string_view)>& on_line) {
  try {
    os::File f(path, ModeFor(path));
    std::string chunk(kChunk, '\0');
    std::size_t n = f.Read(chunk.data(), chunk.size());
    DetectedEncoding det = DetectEncoding(std::string_view(chunk.data(), n));
    // Without a mark the encoding is a property of the whole file: a file copied from a Windows
    // store is Windows-1252 even when its first lines happen to be plain ASCII.
    if (det.bom_size == 0 && os::UnmarkedTextIsUtf8() && IsUtf8File(path)) det.encoding = FileEncoding::kUtf8;
    const bool wide = det.encoding == FileEncoding::kUtf16LE || det.encoding == FileEncoding::kUtf16BE;
    const std::size_t unit = wide ? 2 : 1;
    std::string line;  // raw bytes of the current line
    auto emit = [&]() -> bool {
      std::string decoded = DecodeText(line, det.encoding);
      line.clear();
      return on_line(decoded);
    };
    std::size_t pos = det.bom_size;
    std::string carry;  // an odd trailing byte of a UTF-16 chunk
    for (;;) {
      std::string_view data(chunk.data(), n);
      std::string joined;
      if (!carry.empty()) {
        joined = carry + std::string(data.substr(pos));
        data = joined;
        pos = 0;
        carry.clear();
      }
      std::size_t i = pos;
      for (; i + unit <= data.size(); i += unit) {
        unsigned c;
        if (!wide) {
          c = static_cast<unsigned char>(data[i]);
        } else {
          auto a = static_cast<unsigned char>(data[i]), b = static_cast<unsigned char>(data[i + 1]);
          c = det.encoding == FileEncoding::kUtf16LE ? (a | (b << 8)) : ((a << 8) | b);
        }
        if (c == '\r' || c == '\n') {  // a CR LF pair only adds an empty line
          if (!emit()) return true;
          continue;
        }
        if (line.size() + unit <= kMaxLineBytes) line.append(data.substr(i, unit));
      }
      if (i < data.size()) carry.assign(data.substr(i));
      n = f.Read(chunk.data(), chunk.size());
      pos = 0;
      if (n == 0) break;
    }
    if (!line.empty()) emit();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// The profile-file value rules: section and key names without regard to case, blanks around the
// value removed, one pair of matching quotation marks removed, at most 2047 UTF-16 units.
std::optional<std::string> FindValue(const std::string& path, const std::string& section, const std::string& key) {
  const std::string_view want_section = Trim(section);
  const std::string_view want_key = Trim(key);
  std::optional<std::string> found;
  bool in_section = false;
  ScanLines(path, [&](std::string_view raw) {
    std::string_view line = Trim(raw);
    if (!line.empty() && line.front() == '[') {
      auto close = line.rfind(']');
      if (close != std::string_view::npos) {
        in_section = text::EqualsIgnoreCase(Trim(line.substr(1, close - 1)), want_section);
        return true;
      }
    }
    if (!in_section) return true;
    auto eq = line.find('=');
    if (eq == std::string_view::npos) return true;  // a line without "=" holds no value
    if (!text::EqualsIgnoreCase(Trim(line.substr(0, eq)), want_key)) return true;
    std::string_view value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    // The profile functions hand back a C string: a NUL ends the value.
    if (auto nul = value.find('\0'); nul != std::string_view::npos) value = value.substr(0, nul);
    std::u16string units = text::Utf8ToUtf16(value);
    if (units.size() > kMaxValueLength) {
      units.resize(kMaxValueLength);
      found = text::Utf16ToUtf8(units);
    } else {
      found = std::string(value);
    }
    return false;  // the first match counts
  });
  return found;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string TIniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) const {
  return FindValue(path_, section, key).value_or(def);
}

std::int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key, std::int32_t def) const {
  std::string s = ReadString(section, key, "");
  // "0x10" is taken as "$10"; the number rule below also knows "0x" after a sign.
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.replace(0, 2, "$");
  return StrToIntDef(s, def);
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

std::string SettingsFilePath() { return AppDirectory() + kSettingsFileName; }

os::File::Mode SettingsFileMode() { return DataBesideProgram() ? os::File::Mode::kReadOwn : os::File::Mode::kRead; }

std::optional<std::int32_t> ParseInteger(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
  bool hex = false;
  if (i < s.size() && (s[i] == '$' || s[i] == 'x' || s[i] == 'X')) {
    hex = true;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= s.size()) return std::nullopt;  // empty text or a bare prefix
  if (hex) {
    std::uint64_t v = 0;
    int significant = 0;
    for (; i < s.size(); ++i) {
      int d = HexDigit(s[i]);
      if (d < 0) return std::nullopt;
      if (v != 0 || d != 0) ++significant;
      if (significant > 8) return std::nullopt;
      v = (v << 4) | static_cast<unsigned>(d);
    }
    // Eight hexadecimal digits fill the 32 bits, the sign bit included ($FFFFFFFF is -1).
    auto bits = static_cast<std::uint32_t>(v);
    auto value = static_cast<std::int32_t>(bits);
    return negative ? static_cast<std::int32_t>(0u - bits) : value;
  }
  std::int64_t v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return std::nullopt;
    v = v * 10 + (s[i] - '0');
    if (v > 2147483648LL) return std::nullopt;
  }
  if (negative) v = -v;
  if (v > 2147483647LL || v < -2147483648LL) return std::nullopt;
  return static_cast<std::int32_t>(v);
}

std::int32_t StrToIntDef(const std::string& s, std::int32_t def) { return ParseInteger(s).value_or(def); }

}  // namespace settings
