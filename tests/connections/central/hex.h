// Byte strings for tests, written as hex with quoted ASCII.
#pragma once

#include <string>
#include <string_view>

namespace centraltest {

// "61 01 f4" -> bytes; quoted text inserts its ASCII bytes: "04 'NAME'".
inline std::string Hex(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    char c = text[i];
    if (c == ' ') {
      ++i;
    } else if (c == '\'') {
      std::size_t end = text.find('\'', i + 1);
      out.append(text.substr(i + 1, end - i - 1));
      i = end + 1;
    } else {
      out += static_cast<char>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16));
      i += 2;
    }
  }
  return out;
}

}  // namespace centraltest
