#include "digest/md5.h"

#include <cstring>

namespace parvel {
namespace {

inline uint32_t RotateLeft(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t LoadLittleEndian(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// The four round functions, written in the forms that need the fewest
// operations; they give the same values as RFC 1321's F, G, H and I.
inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return y ^ (z & (x ^ y)); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

#define PARVEL_MD5_STEP(f, a, b, c, d, x, s, t) \
  a += f(b, c, d) + (x) + (t);                  \
  a = RotateLeft(a, s) + b

}  // namespace

Md5Context::Md5Context() : state_{0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u}, buffer_{} {}

void Md5Context::Transform(const uint8_t* blocks, size_t count) {
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  for (; count != 0; --count, blocks += 64) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = LoadLittleEndian(blocks + 4 * i);
    const uint32_t aa = a, bb = b, cc = c, dd = d;

    PARVEL_MD5_STEP(F, a, b, c, d, x[0], 7, 0xd76aa478u);
    PARVEL_MD5_STEP(F, d, a, b, c, x[1], 12, 0xe8c7b756u);
    PARVEL_MD5_STEP(F, c, d, a, b, x[2], 17, 0x242070dbu);
    PARVEL_MD5_STEP(F, b, c, d, a, x[3], 22, 0xc1bdceeeu);
    PARVEL_MD5_STEP(F, a, b, c, d, x[4], 7, 0xf57c0fafu);
    PARVEL_MD5_STEP(F, d, a, b, c, x[5], 12, 0x4787c62au);
    PARVEL_MD5_STEP(F, c, d, a, b, x[6], 17, 0xa8304613u);
    PARVEL_MD5_STEP(F, b, c, d, a, x[7], 22, 0xfd469501u);
    PARVEL_MD5_STEP(F, a, b, c, d, x[8], 7, 0x698098d8u);
    PARVEL_MD5_STEP(F, d, a, b, c, x[9], 12, 0x8b44f7afu);
    PARVEL_MD5_STEP(F, c, d, a, b, x[10], 17, 0xffff5bb1u);
    PARVEL_MD5_STEP(F, b, c, d, a, x[11], 22, 0x895cd7beu);
    PARVEL_MD5_STEP(F, a, b, c, d, x[12], 7, 0x6b901122u);
    PARVEL_MD5_STEP(F, d, a, b, c, x[13], 12, 0xfd987193u);
    PARVEL_MD5_STEP(F, c, d, a, b, x[14], 17, 0xa679438eu);
    PARVEL_MD5_STEP(F, b, c, d, a, x[15], 22, 0x49b40821u);

    PARVEL_MD5_STEP(G, a, b, c, d, x[1], 5, 0xf61e2562u);
    PARVEL_MD5_STEP(G, d, a, b, c, x[6], 9, 0xc040b340u);
    PARVEL_MD5_STEP(G, c, d, a, b, x[11], 14, 0x265e5a51u);
    PARVEL_MD5_STEP(G, b, c, d, a, x[0], 20, 0xe9b6c7aau);
    PARVEL_MD5_STEP(G, a, b, c, d, x[5], 5, 0xd62f105du);
    PARVEL_MD5_STEP(G, d, a, b, c, x[10], 9, 0x02441453u);
    PARVEL_MD5_STEP(G, c, d, a, b, x[15], 14, 0xd8a1e681u);
    PARVEL_MD5_STEP(G, b, c, d, a, x[4], 20, 0xe7d3fbc8u);
    PARVEL_MD5_STEP(G, a, b, c, d, x[9], 5, 0x21e1cde6u);
    PARVEL_MD5_STEP(G, d, a, b, c, x[14], 9, 0xc33707d6u);
    PARVEL_MD5_STEP(G, c, d, a, b, x[3], 14, 0xf4d50d87u);
    PARVEL_MD5_STEP(G, b, c, d, a, x[8], 20, 0x455a14edu);
    PARVEL_MD5_STEP(G, a, b, c, d, x[13], 5, 0xa9e3e905u);
    PARVEL_MD5_STEP(G, d, a, b, c, x[2], 9, 0xfcefa3f8u);
    PARVEL_MD5_STEP(G, c, d, a, b, x[7], 14, 0x676f02d9u);
    PARVEL_MD5_STEP(G, b, c, d, a, x[12], 20, 0x8d2a4c8au);

    PARVEL_MD5_STEP(H, a, b, c, d, x[5], 4, 0xfffa3942u);
    PARVEL_MD5_STEP(H, d, a, b, c, x[8], 11, 0x8771f681u);
    PARVEL_MD5_STEP(H, c, d, a, b, x[11], 16, 0x6d9d6122u);
    PARVEL_MD5_STEP(H, b, c, d, a, x[14], 23, 0xfde5380cu);
    PARVEL_MD5_STEP(H, a, b, c, d, x[1], 4, 0xa4beea44u);
    PARVEL_MD5_STEP(H, d, a, b, c, x[4], 11, 0x4bdecfa9u);
    PARVEL_MD5_STEP(H, c, d, a, b, x[7], 16, 0xf6bb4b60u);
    PARVEL_MD5_STEP(H, b, c, d, a, x[10], 23, 0xbebfbc70u);
    PARVEL_MD5_STEP(H, a, b, c, d, x[13], 4, 0x289b7ec6u);
    PARVEL_MD5_STEP(H, d, a, b, c, x[0], 11, 0xeaa127fau);
    PARVEL_MD5_STEP(H, c, d, a, b, x[3], 16, 0xd4ef3085u);
    PARVEL_MD5_STEP(H, b, c, d, a, x[6], 23, 0x04881d05u);
    PARVEL_MD5_STEP(H, a, b, c, d, x[9], 4, 0xd9d4d039u);
    PARVEL_MD5_STEP(H, d, a, b, c, x[12], 11, 0xe6db99e5u);
    PARVEL_MD5_STEP(H, c, d, a, b, x[15], 16, 0x1fa27cf8u);
    PARVEL_MD5_STEP(H, b, c, d, a, x[2], 23, 0xc4ac5665u);

    PARVEL_MD5_STEP(I, a, b, c, d, x[0], 6, 0xf4292244u);
    PARVEL_MD5_STEP(I, d, a, b, c, x[7], 10, 0x432aff97u);
    PARVEL_MD5_STEP(I, c, d, a, b, x[14], 15, 0xab9423a7u);
    PARVEL_MD5_STEP(I, b, c, d, a, x[5], 21, 0xfc93a039u);
    PARVEL_MD5_STEP(I, a, b, c, d, x[12], 6, 0x655b59c3u);
    PARVEL_MD5_STEP(I, d, a, b, c, x[3], 10, 0x8f0ccc92u);
    PARVEL_MD5_STEP(I, c, d, a, b, x[10], 15, 0xffeff47du);
    PARVEL_MD5_STEP(I, b, c, d, a, x[1], 21, 0x85845dd1u);
    PARVEL_MD5_STEP(I, a, b, c, d, x[8], 6, 0x6fa87e4fu);
    PARVEL_MD5_STEP(I, d, a, b, c, x[15], 10, 0xfe2ce6e0u);
    PARVEL_MD5_STEP(I, c, d, a, b, x[6], 15, 0xa3014314u);
    PARVEL_MD5_STEP(I, b, c, d, a, x[13], 21, 0x4e0811a1u);
    PARVEL_MD5_STEP(I, a, b, c, d, x[4], 6, 0xf7537e82u);
    PARVEL_MD5_STEP(I, d, a, b, c, x[11], 10, 0xbd3af235u);
    PARVEL_MD5_STEP(I, c, d, a, b, x[2], 15, 0x2ad7d2bbu);
    PARVEL_MD5_STEP(I, b, c, d, a, x[9], 21, 0xeb86d391u);

    a += aa;
    b += bb;
    c += cc;
    d += dd;
  }
  state_[0] = a;
  state_[1] = b;
  state_[2] = c;
  state_[3] = d;
}

#undef PARVEL_MD5_STEP

void Md5Context::Update(const void* data, size_t size) {
  if (size == 0) return;
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t used = static_cast<size_t>((bitCount_ >> 3) & 63);
  bitCount_ += static_cast<uint64_t>(size) << 3;

  if (used != 0) {
    const size_t room = 64 - used;
    if (size < room) {
      std::memcpy(buffer_ + used, bytes, size);
      return;
    }
    std::memcpy(buffer_ + used, bytes, room);
    Transform(buffer_, 1);
    bytes += room;
    size -= room;
  }
  // Whole blocks straight from the caller's memory, no copy.
  const size_t whole = size / 64;
  Transform(bytes, whole);
  bytes += whole * 64;
  size -= whole * 64;
  if (size != 0) std::memcpy(buffer_, bytes, size);
}

void Md5Context::Finish(uint8_t digest[16]) {
  uint8_t length[8];
  for (int i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(bitCount_ >> (8 * i));
  // One 1 bit, then zeros up to 56 bytes modulo 64, then the bit count.
  static const uint8_t kPadding[64] = {0x80};
  const size_t used = static_cast<size_t>((bitCount_ >> 3) & 63);
  Update(kPadding, used < 56 ? 56 - used : 120 - used);
  Update(length, 8);
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<uint8_t>(state_[i] >> (8 * j));
  }
}

std::u16string Md5Context::FinishHex() {
  uint8_t digest[16];
  Finish(digest);
  return DigestText(digest);
}

std::u16string DigestText(const uint8_t digest[16]) {
  static const char16_t kDigits[] = u"0123456789abcdef";
  std::u16string text(32, u'0');
  for (int i = 0; i < 16; ++i) {
    text[2 * i] = kDigits[digest[i] >> 4];
    text[2 * i + 1] = kDigits[digest[i] & 15];
  }
  return text;
}

std::u16string Md5OfBytes(const void* data, size_t size) {
  Md5Context context;
  context.Update(data, size);
  return context.FinishHex();
}

std::u16string TextMd5(std::u16string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (char16_t c : text) bytes.push_back(c <= 0xFF ? static_cast<char>(c) : '?');
  return Md5OfBytes(bytes.data(), bytes.size());
}

std::u16string FileMd5MessageText(std::u16string_view digestText) {
  std::u16string text(kFileMd5Label);
  text += digestText;
  return text;
}

}  // namespace parvel
