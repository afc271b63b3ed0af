// Setting values in an existing settings file the way a person edits it, for the installer: the
// lines of the keys given change, and nothing else does.
//
// The agent only reads kordane.ini; an installer given values on its command line writes them
// here. Every other line keeps its bytes: other keys, notes, other sections, the encoding (with
// its byte-order mark) and the line breaks. A key is found by the reader's rules (section and key
// names in any letter case, the first occurrence counts) and keeps its spelling; a key the
// section lacks is added after the section's last line, and a missing section is added at the
// end. Each value is written so that the reader gives back exactly that value: one with blanks
// around it, or in quotation marks, is put in quotation marks.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "settings/text_file.h"

namespace settings {

// Key and value, UTF-8.
using SettingValues = std::vector<std::pair<std::string, std::string>>;

// Why `value` cannot be a setting's value ("" when it can): a line break or another control
// character, or more characters than the reader returns.
std::string SettingValueProblem(std::string_view value);

// The file's new bytes. `encoding` is the file's (DetectFileEncoding); an empty file counts as a
// new one. Throws std::invalid_argument naming the key whose value cannot be written (see
// SettingValueProblem, or a character the file's code page lacks).
std::string UpdateIniText(std::string_view bytes, DetectedEncoding encoding, const std::string& section,
                          const SettingValues& values);

// Sets the values in the file at `path` in one step (a reader sees the old file or the new one).
// A missing file is created, in the platform's encoding for new text files. Throws
// std::invalid_argument as above, os::OsError when the file cannot be read or written.
void UpdateIniFile(const std::string& path, const std::string& section, const SettingValues& values);

}  // namespace settings
