// UTF-16 text at the boundary to the Windows API.
//
// The whole system keeps its text as std::u16string, so the portable core is
// exact on Linux too, where wchar_t is four bytes. The Windows shell converts
// only at the API call, with these two helpers.
#pragma once

#include <string>
#include <string_view>

#ifdef _WIN32
#include <cwchar>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows keeps UTF-16 in wchar_t");

namespace parvel {

// A zero-terminated wide view of a UTF-16 string, for passing to the API.
inline const wchar_t* WidePtr(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

// A writable wide view, for API calls that fill a string sized beforehand.
inline wchar_t* WideBuffer(std::u16string& text) {
  return reinterpret_cast<wchar_t*>(text.data());
}

// The UTF-16 text of a zero-terminated wide string; a null pointer is empty.
inline std::u16string FromWide(const wchar_t* text) {
  if (text == nullptr) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(text), std::wcslen(text));
}

// The UTF-16 text of a counted wide string.
inline std::u16string FromWide(const wchar_t* text, size_t length) {
  if (text == nullptr) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}

}  // namespace parvel
#endif
