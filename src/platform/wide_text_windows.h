// UTF-8, as the whole program keeps its texts, to and from the UTF-16 of the Windows API.
// Windows only: included by the platform files chosen for a Windows build.
#pragma once

#include <string>
#include <string_view>

#include "common/text.h"

namespace os::win {

inline std::wstring Wide(std::string_view utf8) {
  const std::u16string u = text::Utf8ToUtf16(utf8);
  return std::wstring(u.begin(), u.end());
}

inline std::string Narrow(std::wstring_view w) {
  return text::Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(w.data()), w.size()));
}

}  // namespace os::win
