#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "digest/md5.h"
#include "updatelib/frame.h"
#include "common/program_directory.h"

namespace parvel {
namespace {

std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

// The test suite of RFC 1321, appendix A.5.
TEST(Md5, Rfc1321TestSuite) {
  const struct {
    const char* message;
    const char* digest;
  } kCases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : kCases) {
    const std::string message = c.message;
    EXPECT_EQ(Narrow(Md5OfBytes(message.data(), message.size())), c.digest) << '"' << message << '"';
    EXPECT_EQ(Narrow(TextMd5(std::u16string(message.begin(), message.end()))), c.digest) << '"' << message << '"';
  }
}

// Feeding the bytes in pieces of any size, as the file reader does with its
// 1024-byte blocks, gives the digest of the whole message: the lengths
// around the 56- and 64-byte padding boundaries and the block size matter.
TEST(Md5, PiecewiseUpdatesMatchOneShot) {
  std::mt19937 random(1321);
  std::vector<unsigned char> data(5000);
  for (auto& b : data) b = static_cast<unsigned char>(random());
  const size_t kLengths[] = {0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 1023, 1024, 1025, 2048, 3072, 5000};
  const size_t kPieces[] = {1, 3, 63, 64, 1024};
  for (size_t length : kLengths) {
    const std::u16string whole = Md5OfBytes(data.data(), length);
    for (size_t piece : kPieces) {
      Md5Context context;
      for (size_t at = 0; at < length; at += piece) context.Update(data.data() + at, std::min(piece, length - at));
      EXPECT_EQ(context.FinishHex(), whole) << "length " << length << " piece " << piece;
    }
  }
}

TEST(Md5, DigestTextIsLowercaseHighHalfFirst) {
  const uint8_t digest[16] = {0x00, 0x01, 0x0a, 0xf0, 0xff, 0x10, 0x9b, 0xc4,
                              0x5d, 0xe6, 0x7f, 0x80, 0x32, 0xab, 0xcd, 0xef};
  EXPECT_EQ(DigestText(digest), u"00010af0ff109bc45de67f8032abcdef");
}

TEST(Md5, TextMd5HashesOneBytePerCharacter) {
  // U+00E9 is the single byte 0xE9, not its UTF-8 form.
  const unsigned char latin[] = {'c', 'a', 'f', 0xE9};
  EXPECT_EQ(TextMd5(u"caf\u00e9"), Md5OfBytes(latin, sizeof latin));
  // A character without a one-byte form is hashed as "?".
  EXPECT_EQ(TextMd5(u"a\u4e2db"), TextMd5(u"a?b"));
  // No fixed work buffer: a long text is hashed whole.
  const std::u16string longText(1000, u'x');
  EXPECT_EQ(TextMd5(longText), Md5OfBytes(std::string(1000, 'x').data(), 1000));
  EXPECT_NE(TextMd5(longText), TextMd5(longText.substr(0, 260)));
}

TEST(Md5, MessageTextIsTheLabelAndTheDigest) {
  EXPECT_EQ(FileMd5MessageText(u""), u"该文件MD5值为:");
  EXPECT_EQ(FileMd5MessageText(u"900150983cd24fb0d6963f7d28e17f72"), u"该文件MD5值为:900150983cd24fb0d6963f7d28e17f72");
}

TEST(Frame, ProgramDirectoryKeepsTheLastBackslash) {
  EXPECT_EQ(DirectoryOfPath(u"C:\\A\\B\\host.exe"), u"C:\\A\\B\\");
  EXPECT_EQ(DirectoryOfPath(u"C:\\host.exe"), u"C:\\");
  EXPECT_EQ(DirectoryOfPath(u"\\\\server\\share\\dir\\host.exe"), u"\\\\server\\share\\dir\\");
  EXPECT_EQ(DirectoryOfPath(u"host.exe"), u"host.exe");
  EXPECT_EQ(DirectoryOfPath(u""), u"");
}

TEST(Frame, ApplicationTitleIsTheBaseName) {
  EXPECT_EQ(ApplicationTitleFromPath(u"C:\\Program Files\\Parvel\\Marlock.dll"), u"Marlock");
  EXPECT_EQ(ApplicationTitleFromPath(u"Z:\\a.b\\Marlock.dll"), u"Marlock");
  EXPECT_EQ(ApplicationTitleFromPath(u"Marlock"), u"Marlock");
  EXPECT_EQ(ApplicationTitleFromPath(u"C:\\x\\my.lib.dll"), u"my.lib");
}

}  // namespace
}  // namespace parvel
