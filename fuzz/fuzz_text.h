// Turns fuzzer bytes into UTF-16 text. Each byte is one character (so the
// inputs stay readable and the fuzzer's dictionaries work), except that 0xFF
// followed by two bytes is the code unit they hold, little-endian, which
// reaches every UTF-16 value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace parvel_fuzz {

inline std::u16string Decode(const uint8_t* data, size_t size) {
  std::u16string text;
  text.reserve(size);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0xFF && i + 2 < size) {
      text += static_cast<char16_t>(data[i + 1] | (data[i + 2] << 8));
      i += 2;
    } else {
      text += static_cast<char16_t>(data[i]);
    }
  }
  return text;
}

// A zero-terminated copy in a heap block of exactly its size, so that the
// address sanitizer catches any read past the terminator.
inline std::unique_ptr<char16_t[]> ExactCopy(const std::u16string& text) {
  std::unique_ptr<char16_t[]> copy(new char16_t[text.size() + 1]);
  for (size_t i = 0; i < text.size(); ++i) copy[i] = text[i];
  copy[text.size()] = 0;
  return copy;
}

inline char16_t LowerAscii(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}

inline char16_t UpperAscii(char16_t c) {
  return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
}

}  // namespace parvel_fuzz
