// The library's frame and file digests, under Wine: FileMd5 called directly,
// and GetMD5ForFileManager called by the test host as a host program would.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "common/program_directory.h"
#include "common/text.h"
#include "digest/digest_win.h"
#include "digest/md5.h"
#include "tests/win/support/host_runner.h"

namespace parvel {
namespace {

using test::HostQuote;
using test::RunHost;
using test::WriteBytes;

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (auto& b : bytes) b = static_cast<char>(random());
  return bytes;
}

std::u16string U16(const std::wstring& text) { return FromWide(text.c_str()); }
std::wstring Wide16(const std::u16string& text) { return WidePtr(text); }

TEST(FileMd5, BlockBoundariesGiveTheOneShotDigest) {
  const std::wstring dir = test::MakeScratchDirectory(L"md5-sizes");
  const size_t kSizes[] = {0, 3, 1023, 1024, 1025, 2047, 2048, 2049, 3 * 1024, 64 * 1024, 100000};
  for (size_t size : kSizes) {
    const std::string bytes = RandomBytes(size, static_cast<unsigned>(size));
    const std::wstring path = dir + L"f" + std::to_wstring(size) + L".bin";
    ASSERT_TRUE(WriteBytes(path, bytes));
    EXPECT_EQ(FileMd5(U16(path)), Md5OfBytes(bytes.data(), bytes.size())) << "size " << size;
  }
  ASSERT_TRUE(WriteBytes(dir + L"abc", "abc"));
  EXPECT_EQ(FileMd5(U16(dir + L"abc")), u"900150983cd24fb0d6963f7d28e17f72");
  ASSERT_TRUE(WriteBytes(dir + L"empty", ""));
  EXPECT_EQ(FileMd5(U16(dir + L"empty")), u"d41d8cd98f00b204e9800998ecf8427e");
}

TEST(FileMd5, BytesAreReadRawWithCarriageReturns) {
  const std::wstring dir = test::MakeScratchDirectory(L"md5-crlf");
  const std::string text = "line one\r\nline two\r\n\x1a after ctrl-z\r\n";
  ASSERT_TRUE(WriteBytes(dir + L"crlf.txt", text));
  EXPECT_EQ(FileMd5(U16(dir + L"crlf.txt")), Md5OfBytes(text.data(), text.size()));
  const std::string lf = "line one\nline two\n\x1a after ctrl-z\n";
  EXPECT_NE(FileMd5(U16(dir + L"crlf.txt")), Md5OfBytes(lf.data(), lf.size()));
}

TEST(FileMd5, FileHeldOpenForWritingIsStillRead) {
  const std::wstring path = test::MakeScratchDirectory(L"md5-shared") + L"busy.log";
  HANDLE writer = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(writer, "abc", 3, &written, nullptr));
  EXPECT_EQ(FileMd5(U16(path)), u"900150983cd24fb0d6963f7d28e17f72");
  ::CloseHandle(writer);

  // A program that allows no reading keeps the file to itself.
  HANDLE exclusive = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
  EXPECT_EQ(FileMd5(U16(path)), u"");
  ::CloseHandle(exclusive);
}

TEST(FileMd5, UnopenablePathsGiveTheEmptyText) {
  const std::wstring dir = test::MakeScratchDirectory(L"md5-missing");
  EXPECT_EQ(FileMd5(U16(dir + L"no-such-file.bin")), u"");
  EXPECT_EQ(FileMd5(u""), u"");
  EXPECT_EQ(FileMd5(U16(dir)), u"");                        // a directory
  EXPECT_EQ(FileMd5(u"C:\\no\\such\\dir\\x.bin"), u"");
  EXPECT_EQ(FileMd5(u"bad|name?.bin"), u"");
}

// Random files against the digests that md5sum computed for them on the
// Linux side (the list is made by the test fixture before this program runs).
TEST(FileMd5, RandomFilesMatchMd5sum) {
  const char* list = std::getenv("PARVEL_MD5_LIST");
  if (list == nullptr) GTEST_SKIP() << "PARVEL_MD5_LIST is not set";
  std::ifstream in(list);
  ASSERT_TRUE(in) << list;
  std::string line;
  int checked = 0;
  while (std::getline(in, line)) {
    // "digest  /unix/path": Wine shows the Unix root as drive Z:.
    const std::string digest = line.substr(0, 32);
    std::string path = "Z:" + line.substr(34);
    for (char& c : path) {
      if (c == '/') c = '\\';
    }
    EXPECT_EQ(test::Utf8(Wide16(FileMd5(U16(test::Wide(path))))), digest) << path;
    ++checked;
  }
  EXPECT_GT(checked, 0);
}

TEST(ProgramDirectory, IsTheRunningExecutablesDirectory) {
  const std::u16string directory = GetProgramDirectory();
  EXPECT_EQ(directory, U16(test::TestProgramDirectory()));
  ASSERT_FALSE(directory.empty());
  EXPECT_EQ(directory.back(), u'\\');
}

// A path that does not fit the first buffer is read again into a larger one
// until it fits whole. Started small, the buffer must grow several times.
TEST(ProgramDirectory, BufferGrowsUntilThePathFits) {
  const std::u16string whole = GetProgramDirectory();
  for (size_t initial : {1u, 2u, 5u, 16u, 33u}) {
    EXPECT_EQ(GetProgramDirectory(initial), whole) << "initial buffer " << initial;
  }
}

// What the user sees, through a real host that loads the library.
class GetMd5ForFileManager : public ::testing::Test {
 protected:
  std::wstring host_ = test::TestProgramDirectory() + L"TestHost.exe";
};

TEST_F(GetMd5ForFileManager, ShowsTheDigestOrTheLabelAlone) {
  const std::wstring dir = test::MakeScratchDirectory(L"md5-host");
  ASSERT_TRUE(WriteBytes(dir + L"abc.txt", "abc"));
  const std::string big = RandomBytes(5 * 1024 + 7, 7);
  ASSERT_TRUE(WriteBytes(dir + L"中文 名字.bin", big));
  const std::wstring bigDigest = Wide16(Md5OfBytes(big.data(), big.size()));

  const struct {
    std::wstring call;
    std::wstring text;
  } kCases[] = {
      {L"GetMD5ForFileManager=" + dir + L"abc.txt", L"该文件MD5值为:900150983cd24fb0d6963f7d28e17f72"},
      {L"GetMD5ForFileManager=" + dir + L"中文 名字.bin", L"该文件MD5值为:" + bigDigest},
      {L"GetMD5ForFileManager=" + dir + L"missing.bin", L"该文件MD5值为:"},
      {L"GetMD5ForFileManager", L"该文件MD5值为:"},          // empty path
      {L"GetMD5ForFileManager=<null>", L"该文件MD5值为:"},   // null pointer
  };
  std::vector<std::wstring> calls;
  for (const auto& c : kCases) calls.push_back(c.call);
  const test::HostRun run = RunHost(host_, L"ok,ok,ok,ok,ok", calls);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u);

  const auto boxes = run.Events("messagebox");
  const auto results = run.Events("result");
  ASSERT_EQ(boxes.size(), std::size(kCases));
  ASSERT_EQ(results.size(), std::size(kCases));
  for (size_t i = 0; i < std::size(kCases); ++i) {
    EXPECT_EQ(boxes[i], "messagebox caption=\"Parvel\" text=" + HostQuote(kCases[i].text) +
                            " buttons=ok icon=information owner=none answer=ok")
        << test::Utf8(kCases[i].call);
    EXPECT_EQ(results[i], "result call=GetMD5ForFileManager value=1");
  }
}

TEST_F(GetMd5ForFileManager, ReturnsOnlyWhenTheBoxIsClosed) {
  // The box is closed by the host's scripted answer; closing it with the
  // close command (Esc) works the same and the export still returns true.
  const std::wstring dir = test::MakeScratchDirectory(L"md5-close");
  ASSERT_TRUE(WriteBytes(dir + L"a", "a"));
  const test::HostRun run = RunHost(host_, L"", {L"GetMD5ForFileManager=" + dir + L"a"});
  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.events.size(), 3u);
  EXPECT_EQ(run.events[1], "messagebox caption=\"Parvel\" text=\"该文件MD5值为:0cc175b9c0f1b6a831c399e269772661\""
                           " buttons=ok icon=information owner=none answer=ok unscripted");
  EXPECT_EQ(run.events[2], "result call=GetMD5ForFileManager value=1");
}

}  // namespace
}  // namespace parvel
