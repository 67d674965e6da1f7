// MD5 (RFC 1321) and the digest texts the system compares and reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace parvel {

// One running MD5 computation. Each digest operation owns one for the length
// of its call; nothing is shared or kept between calls.
class Md5Context {
 public:
  Md5Context();

  // Feeds the next bytes of the message.
  void Update(const void* data, size_t size);

  // Pads the message, appends its bit count and writes the 16-byte digest.
  // The context is spent afterwards.
  void Finish(uint8_t digest[16]);

  // Finishes and gives the digest as 32 lowercase hexadecimal digits.
  std::u16string FinishHex();

 private:
  void Transform(const uint8_t* blocks, size_t count);

  uint32_t state_[4];
  uint64_t bitCount_ = 0;
  uint8_t buffer_[64];
};

// 32 lowercase hexadecimal digits of a 16-byte digest, high half of each byte first.
std::u16string DigestText(const uint8_t digest[16]);

// The digest text of a byte string.
std::u16string Md5OfBytes(const void* data, size_t size);

// The digest text of a text hashed one byte per character: U+0000 to U+00FF
// become the byte of the same value. The system only passes ASCII; a
// character above U+00FF, which has no such byte, is hashed as "?". Any length.
std::u16string TextMd5(std::u16string_view text);

// The label of the digest message box; the digest text follows it directly.
inline constexpr std::u16string_view kFileMd5Label = u"该文件MD5值为:";

// The text of the message box that shows a file's digest ("" = no digest).
std::u16string FileMd5MessageText(std::u16string_view digestText);

}  // namespace parvel
