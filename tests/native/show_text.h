// Readable forms of test values for failure messages.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace parvel {

// A UTF-16 text with printable ASCII as it is and every other unit as \xNN.
inline std::string Show(std::u16string_view text) {
  std::string out;
  for (const char16_t c : text) {
    if (c >= 0x20 && c < 0x7f && c != u'\\') {
      out += static_cast<char>(c);
    } else {
      char buffer[16];
      std::snprintf(buffer, sizeof buffer, "\\x%02x", static_cast<unsigned>(c));
      out += buffer;
    }
  }
  return out;
}

}  // namespace parvel
