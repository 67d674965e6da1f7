// Tests of the update server's addresses.
#include "http/update_server.h"

#include <gtest/gtest.h>

#include "http/http_request.h"

namespace parvel {
namespace {

TEST(UpdateServerTest, BuildsTheFourAddressesFromTheBase) {
  const UpdateServer server(u"http://updates.example.test");
  EXPECT_EQ(server.ManifestUrl(), u"http://updates.example.test/download/ParvelUpdat.txt");
  EXPECT_EQ(server.UsageReportUrl(u"123456789", u"1#3_5#17_2#"),
            u"http://updates.example.test/update?123456789=1#3_5#17_2#");
  EXPECT_EQ(server.InstallReportUrl(u"a1Bc2D", u"0000000000000", u"0123456789abcdef0123456789abcdef"),
            u"http://updates.example.test/install?a1Bc2D00000000000000123456789abcdef0123456789abcdef");
  EXPECT_EQ(server.UninstallReportUrl(u"123456"), u"http://updates.example.test/uninstall?123456");
  EXPECT_EQ(server.UninstallReportUrl(u"123456", u",2,5"), u"http://updates.example.test/uninstall?123456,2,5");
  // The free text goes out as typed: commas, spaces and line breaks included.
  EXPECT_EQ(server.UninstallReportUrl(u"123456", u",2,5", u"太慢, 真的\r\n#1"),
            u"http://updates.example.test/uninstall?123456,2,5,太慢, 真的\r\n#1");
  EXPECT_EQ(server.UninstallReportUrl(u"123456", u"", u"x"), u"http://updates.example.test/uninstall?123456,x");
}

TEST(UpdateServerTest, TheBuiltInServerIsAPlainBaseAddress) {
  const std::u16string base = UpdateServer::BuiltIn().Base();
  EXPECT_EQ(base.rfind(u"http://", 0), 0u);
  EXPECT_NE(base.back(), u'/');
  EXPECT_EQ(ManifestUrl(), base + u"/download/ParvelUpdat.txt");
  EXPECT_EQ(UsageReportUrl(u"1", u"1#"), base + u"/update?1=1#");
  EXPECT_EQ(InstallReportUrl(u"p", u"i", u"h"), base + u"/install?pih");
  EXPECT_EQ(UninstallReportUrl(u"1", u",3", u"t"), base + u"/uninstall?1,3,t");
}

TEST(UpdateServerTest, TellsHowLongAUsageReportMayBe) {
  const std::u16string identity = u"123456789012";
  const size_t room = UsageReportTextRoom(identity);
  // "/update?" + identity + "=" + text fills the path exactly.
  EXPECT_EQ(room + 8 + identity.size() + 1, kUrlPathRoom - 1);
  EXPECT_EQ(UsageReportTextRoom(std::u16string(2000, u'1')), 0u);
}

}  // namespace
}  // namespace parvel
