#include "updater/updater.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <string>

namespace parvel {
namespace {

// GoogleTest prints char16_t strings as code points; this keeps failure
// messages readable for the Chinese texts.
std::string Narrow(std::u16string_view text) {
  std::string out;
  for (char16_t unit : text) {
    if (unit < 0x80) {
      out.push_back(static_cast<char>(unit));
    } else if (unit < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (unit >> 6)));
      out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xE0 | (unit >> 12)));
      out.push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    }
  }
  return out;
}

constexpr std::u16string_view kAddress = u"http://127.0.0.1:47321/download/Setup_open-V2.0.exe";

// ---------------------------------------------------------------- command line

struct SplitCase {
  const char* name;
  std::u16string_view commandLine;
  UpdateMode mode;
  std::u16string_view downloadUrl;
  std::u16string_view sizeText;
};

class SplitCommandLineTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitCommandLineTest, SplitsAtTheRightSeparator) {
  const SplitCase& c = GetParam();
  const auto command = SplitCommandLine(c.commandLine);
  ASSERT_TRUE(command.has_value());
  EXPECT_EQ(command->mode, c.mode);
  EXPECT_EQ(Narrow(command->downloadUrl), Narrow(c.downloadUrl));
  EXPECT_EQ(Narrow(command->sizeText), Narrow(c.sizeText));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitCommandLineTest,
    testing::Values(
        SplitCase{"HashIsAutomatic", u"http://h/Setup_open-V2.0.exe#9.6", UpdateMode::Automatic,
                  u"http://h/Setup_open-V2.0.exe", u"9.6"},
        SplitCase{"TildeIsManual", u"http://h/Setup_open-V2.0.exe~9.6", UpdateMode::Manual,
                  u"http://h/Setup_open-V2.0.exe", u"9.6"},
        // A "~" before a "#" belongs to the address: the "#" wins wherever it is.
        SplitCase{"TildeBeforeHash", u"http://h/a~b/Setup_open-V2.0.exe#9.6", UpdateMode::Automatic,
                  u"http://h/a~b/Setup_open-V2.0.exe", u"9.6"},
        SplitCase{"HashBeforeTilde", u"http://h/Setup_open-V2.0.exe#9~6", UpdateMode::Automatic,
                  u"http://h/Setup_open-V2.0.exe", u"9~6"},
        SplitCase{"SeveralHashes", u"a#9#6#", UpdateMode::Automatic, u"a", u"9#6#"},
        SplitCase{"SeveralTildes", u"a~9~6", UpdateMode::Manual, u"a", u"9~6"},
        SplitCase{"HashLast", u"http://h/Setup_open-V2.0.exe#", UpdateMode::Automatic,
                  u"http://h/Setup_open-V2.0.exe", u""},
        SplitCase{"TildeLast", u"http://h/Setup_open-V2.0.exe~", UpdateMode::Manual,
                  u"http://h/Setup_open-V2.0.exe", u""},
        SplitCase{"SeparatorFirst", u"#9.6", UpdateMode::Automatic, u"", u"9.6"},
        SplitCase{"SeparatorAlone", u"~", UpdateMode::Manual, u"", u""},
        // Nothing is trimmed or unquoted: the text is taken as the system holds it.
        SplitCase{"SpacesAndQuotesKept", u"\"a b\" # 9.6 ", UpdateMode::Automatic, u"\"a b\" ",
                  u" 9.6 "}),
    [](const testing::TestParamInfo<SplitCase>& info) { return info.param.name; });

TEST(SplitCommandLine, NoSeparatorMeansNothingToDo) {
  EXPECT_FALSE(SplitCommandLine(u"").has_value());
  EXPECT_FALSE(SplitCommandLine(u"ParvelUpdate.exe").has_value());
  EXPECT_FALSE(SplitCommandLine(u"\"C:\\Program Files\\Parvel\\ParvelUpdate.exe\"").has_value());
  EXPECT_FALSE(SplitCommandLine(kAddress).has_value());
}

// ------------------------------------------------------ address-derived texts

TEST(AddressTexts, WorkedExample) {
  EXPECT_EQ(Narrow(LocalFileName(kAddress)), "Setup_open-V2.0.exe");
  EXPECT_EQ(Narrow(VersionText(kAddress)), "V2.0");
  EXPECT_EQ(Narrow(BalloonText(kAddress)), "当前版本 v1.0，最新版本V2.0");
  EXPECT_TRUE(IsUsableAddress(kAddress));
}

TEST(AddressTexts, FirstOccurrencesCount) {
  // An earlier "-" moves the start of the version text, as the balloon has
  // always shown it; the address is still usable.
  constexpr std::u16string_view dashInHost = u"http://cdn-2/Setup_open-V2.0.exe";
  EXPECT_EQ(Narrow(VersionText(dashInHost)), "2/Setup_open-V2.0");
  EXPECT_TRUE(IsUsableAddress(dashInHost));

  constexpr std::u16string_view twice = u"http://h/Setup_open-V1/x/Setup_open-V2.exe";
  EXPECT_EQ(Narrow(LocalFileName(twice)), "Setup_open-V1/x/Setup_open-V2.exe");
  EXPECT_EQ(Narrow(VersionText(twice)), "V1/x/Setup_open-V2");

  // The first ".exe" ends the version, whatever follows.
  constexpr std::u16string_view tail = u"http://h/Setup_open-V3.exe.exe";
  EXPECT_EQ(Narrow(VersionText(tail)), "V3");
  EXPECT_EQ(Narrow(LocalFileName(tail)), "Setup_open-V3.exe.exe");
}

TEST(AddressTexts, MissingPieces) {
  EXPECT_EQ(LocalFileName(u"http://h/ParvelSetup.exe"), u"");
  EXPECT_EQ(Narrow(VersionText(u"http://h/ParvelSetup.exe")), "http://h/ParvelSetup");  // no "-": from the start
  EXPECT_EQ(VersionText(u"http://h/Setup_open-V2.0"), u"");                              // no ".exe"
  EXPECT_EQ(VersionText(u"http://h/a.exe/Setup_open-V2.0"), u"");                        // ".exe" before the "-"
  EXPECT_EQ(VersionText(u"x-.exe"), u"");
}

struct AddressCase {
  const char* name;
  std::u16string_view address;
};

class UnusableAddressTest : public testing::TestWithParam<AddressCase> {};

TEST_P(UnusableAddressTest, IsRefused) { EXPECT_FALSE(IsUsableAddress(GetParam().address)); }

INSTANTIATE_TEST_SUITE_P(
    Cases, UnusableAddressTest,
    testing::Values(
        AddressCase{"Empty", u""},
        AddressCase{"NoFileNameStart", u"http://h/download/ParvelSetup-V2.0.exe"},
        AddressCase{"CaseMatters", u"http://h/setup_open-V2.0.exe"},
        AddressCase{"NoExe", u"http://h/Setup_open-V2.0.zip"},
        AddressCase{"ExeBeforeFirstDash", u"http://h/a.exe/Setup_open-V2.0.zip"},
        AddressCase{"ExeBeforeFirstDashEvenWithLaterExe", u"http://h/a.exe/Setup_open-V2.0.exe"},
        AddressCase{"Slash", u"http://h/Setup_open-V2.0/evil.exe"},
        AddressCase{"Backslash", u"http://h/Setup_open-V2.0\\..\\evil.exe"},
        AddressCase{"DoubleDot", u"http://h/Setup_open-V..exe"},
        AddressCase{"Colon", u"http://h/Setup_open-V2.0.exe:stream"},
        AddressCase{"Query", u"http://h/Setup_open-V2.0.exe?x=1"},
        AddressCase{"Star", u"http://h/Setup_open-V*.exe"},
        AddressCase{"Quote", u"http://h/Setup_open-V2.0.exe\""},
        AddressCase{"Angles", u"http://h/Setup_open-V<2>.exe"},
        AddressCase{"Pipe", u"http://h/Setup_open-V2|0.exe"},
        AddressCase{"Tab", u"http://h/Setup_open-V2.0\t.exe"},
        AddressCase{"LineBreak", u"http://h/Setup_open-V2.0.exe\r\n"},
        AddressCase{"Delete", u"http://h/Setup_open-V2.0\x7f.exe"}),
    [](const testing::TestParamInfo<AddressCase>& info) { return info.param.name; });

TEST(IsUsableAddress, PlainNamesPass) {
  EXPECT_TRUE(IsUsableAddress(u"http://h/Setup_open-V2.0.exe"));
  EXPECT_TRUE(IsUsableAddress(u"http://h/a~b/Setup_open-V2.0.exe"));
  EXPECT_TRUE(IsUsableAddress(u"http://h/Parvel_Setup_open-V2.0.1 beta.exe"));
  EXPECT_TRUE(IsUsableAddress(u"http://h/Setup_open-V版本2.exe"));
  // What lies before the file name is the server's business.
  EXPECT_TRUE(IsUsableAddress(u"http://h:80/a/../b?c=d/Setup_open-V2.0.exe"));
}

// ------------------------------------------------------------ tray texts

TEST(TrayTexts, FixedTexts) {
  EXPECT_EQ(Narrow(TrayTipText()), "Parvel正在检测更新当前版本V 1.1");
  EXPECT_EQ(Narrow(BalloonTitle()), "Parvel升级提示，发现新版本");
}

TEST(BoundedCopy, KeepsAtMost63UnitsAndAlwaysTerminates) {
  struct Case {
    size_t length;
    size_t kept;
  };
  for (const Case c : {Case{0, 0}, Case{1, 1}, Case{62, 62}, Case{63, 63}, Case{64, 63}, Case{200, 63}}) {
    SCOPED_TRACE(c.length);
    std::u16string text;
    for (size_t i = 0; i < c.length; ++i) text.push_back(static_cast<char16_t>(u'A' + i % 26));
    // A larger buffer filled with a marker shows that nothing is written past the capacity.
    std::array<char16_t, kTrayTextCapacity + 8> buffer;
    buffer.fill(u'#');
    BoundedCopy(buffer.data(), kTrayTextCapacity, text);
    EXPECT_EQ(std::u16string(buffer.data()), text.substr(0, c.kept));
    for (size_t i = kTrayTextCapacity; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], u'#') << i;
  }
}

TEST(BoundedCopy, CutsALongBalloonAfterIts63rdUnit) {
  const std::u16string address = u"http://h/Setup_open-V" + std::u16string(80, u'9') + u".exe";
  const std::u16string text = BalloonText(address);
  ASSERT_GT(text.size(), 63u);
  std::array<char16_t, kTrayTextCapacity> buffer{};
  BoundedCopy(buffer.data(), buffer.size(), text);
  EXPECT_EQ(std::u16string(buffer.data()), text.substr(0, 63));
}

TEST(BoundedCopy, ZeroCapacityWritesNothing) {
  char16_t unit = u'#';
  BoundedCopy(&unit, 0, u"text");
  EXPECT_EQ(unit, u'#');
}

// -------------------------------------------------------------- progress

TEST(ProgressPercentage, Values) {
  struct Case {
    std::uint32_t progress, maximum, expected;
  };
  for (const Case c : {
           Case{0, 0, 0},                    // no length known
           Case{123456, 0, 0},               // still no length known
           Case{0, 1000, 0},
           Case{250, 1000, 25},
           Case{1, 3, 33},                   // truncated,
           Case{2, 3, 66},                   // never rounded
           Case{1000, 1000, 100},
           Case{1500, 1000, 150},            // more than announced: passed on as it is
           Case{0x80000000u, 0xFFFFFFFFu, 50},  // both taken as unsigned
           Case{0xFFFFFFFEu, 0xFFFFFFFFu, 99},
           Case{0xFFFFFFFFu, 0xFFFFFFFFu, 100},
           // 100 × (2^32 - 1) does not fit 32 bits: its low 32 bits are kept.
           Case{0xFFFFFFFFu, 1, 0xFFFFFF9Cu},
           Case{0x80000000u, 1, 0},  // 2^31 × 100 = 50 × 2^32: nothing in the low half
       }) {
    EXPECT_EQ(ProgressPercentage(c.progress, c.maximum), c.expected)
        << c.progress << " of " << c.maximum;
  }
}

TEST(RemainingSeconds, Values) {
  EXPECT_FALSE(RemainingSeconds(0, 1).has_value());
  EXPECT_FALSE(RemainingSeconds(0, 500).has_value());
  EXPECT_EQ(RemainingSeconds(1, 3), 297);
  EXPECT_EQ(RemainingSeconds(25, 10), 30);
  EXPECT_EQ(RemainingSeconds(3, 1), 32);  // 97 / 3, truncated
  EXPECT_EQ(RemainingSeconds(99, 5), 0);  // 5 / 99
  EXPECT_EQ(RemainingSeconds(100, 1), 0);
  EXPECT_EQ(RemainingSeconds(100, 1000), 0);
}

TEST(RemainingTimeLine, ExactText) {
  const std::u16string spaces(11, u' ');
  EXPECT_EQ(Narrow(RemainingTimeLine(30, u"9.6")), Narrow(u"30 秒" + spaces + u"文件大小: 9.6MB"));
  EXPECT_EQ(Narrow(RemainingTimeLine(297, u"12")), Narrow(u"297 秒" + spaces + u"文件大小: 12MB"));
  // An empty size (the separator was the last character) leaves "MB" alone.
  EXPECT_EQ(Narrow(RemainingTimeLine(0, u"")), Narrow(u"0 秒" + spaces + u"文件大小: MB"));
  EXPECT_EQ(Narrow(RemainingTimeLine(-5, u"1")), Narrow(u"-5 秒" + spaces + u"文件大小: 1MB"));
  EXPECT_EQ(Narrow(RemainingTimeLine(2147483647, u"1")), Narrow(u"2147483647 秒" + spaces + u"文件大小: 1MB"));
  EXPECT_EQ(Narrow(RemainingTimeLine(-2147483647 - 1, u"1")),
            Narrow(u"-2147483648 秒" + spaces + u"文件大小: 1MB"));
}

TEST(RemainingTimeLine, FromPositionAndTicks) {
  // The line that timer ticks produce at the worked positions.
  const std::u16string spaces(11, u' ');
  EXPECT_EQ(Narrow(RemainingTimeLine(*RemainingSeconds(1, 3), u"9.6")),
            Narrow(u"297 秒" + spaces + u"文件大小: 9.6MB"));
  EXPECT_EQ(Narrow(RemainingTimeLine(*RemainingSeconds(100, 7), u"9.6")),
            Narrow(u"0 秒" + spaces + u"文件大小: 9.6MB"));
}

}  // namespace
}  // namespace parvel
