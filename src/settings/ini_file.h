// The read-only settings file "kordane.ini" and the profile-file rules used to read it.
//
// A reader holds only the path: every read opens and scans the file anew, so an edit counts the
// next time a value is read. Reads never fail: a missing, unreadable or garbage file, section or
// key gives the caller's default. A file with a byte-order mark is read as UTF-8 or UTF-16; one
// without is read in the ANSI code page, except on Linux, where a file of valid UTF-8 is UTF-8.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/os.h"

namespace settings {

inline constexpr const char* kSettingsFileName = "kordane.ini";
inline constexpr const char* kSettingsSection = "Kordane";

// Longest value returned, in UTF-16 units: the profile functions' 2048-character buffer less its NUL.
inline constexpr std::size_t kMaxValueLength = 2047;

class TIniFile {
 public:
  explicit TIniFile(std::string path) : path_(std::move(path)) {}
  const std::string& FileName() const { return path_; }

  std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
  std::int32_t ReadInteger(const std::string& section, const std::string& key, std::int32_t def) const;
  bool ReadBool(const std::string& section, const std::string& key, bool def) const;

 private:
  std::string path_;
};

// The settings file next to the executable.
std::string SettingsFilePath();
// How it is opened: as the agent's own file (no link, one name, a trusted owner) where the agent
// writes its data beside the program; followed through a link where it lies in root's program
// folder apart from the data (a package keeps the file itself in /etc).
os::File::Mode SettingsFileMode();

// Text to 32-bit integer, as the profile functions' callers read numbers: optional leading blanks, optional sign, then decimal digits
// or "$", "x", "X", "0x", "0X" and hexadecimal digits, nothing after. nullopt when not a number.
std::optional<std::int32_t> ParseInteger(const std::string& s);
std::int32_t StrToIntDef(const std::string& s, std::int32_t def);

}  // namespace settings
