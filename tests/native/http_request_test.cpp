// Tests of the request engine's portable core: the verb, what is taken from
// the response headers, the cookie collection, the body buffer and its
// reading loop, the progress value, the code page, the completeness test and
// the object name that goes on the wire.
#include "http/http_request.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/native/show_text.h"

namespace parvel {
namespace {

TEST(HttpRequestTest, StartsWithTheInitialValueOfEveryField) {
  const HttpRequest r(u"http://example.test/x");
  EXPECT_EQ(r.url, u"http://example.test/x");
  EXPECT_TRUE(r.hostName.empty());
  EXPECT_TRUE(r.rawHeaders.empty());
  EXPECT_TRUE(r.bodyText.empty());
  EXPECT_TRUE(r.charset.empty());
  EXPECT_FALSE(r.bodyBytes);
  EXPECT_EQ(r.bodyLength, 0);
  EXPECT_FALSE(r.progressCallback);
  EXPECT_EQ(r.contentLength, 0);
  EXPECT_TRUE(r.receivedCookies.empty());
  EXPECT_TRUE(r.sendCookies.empty());
  EXPECT_EQ(r.postData, nullptr);
  EXPECT_EQ(r.postDataLength, 0u);
  EXPECT_TRUE(r.extraHeaders.empty());
  EXPECT_TRUE(r.proxyServer.empty());
  EXPECT_EQ(r.lastError, 0u);
  EXPECT_TRUE(r.statusCode.empty());
  EXPECT_EQ(r.userAgent, u"Mozilla/5.0 (Windows; U; Windows NT 5.1; zh-CN; rv:1.9.2.3) Gecko/20100401 Firefox/3.6.3");
  EXPECT_EQ(r.userAgent.size(), 88u);
  EXPECT_FALSE(r.charsetFixed);
  EXPECT_TRUE(r.proxyUserName.empty());
  EXPECT_TRUE(r.proxyPassword.empty());
  EXPECT_TRUE(r.location.empty());
  EXPECT_EQ(r.resolveTimeout, 0);
  EXPECT_EQ(r.connectTimeout, 60000);
  EXPECT_EQ(r.sendTimeout, 30000);
  EXPECT_EQ(r.receiveTimeout, 30000);
  EXPECT_EQ(r.BodyText(), u"");
}

TEST(HttpRequestTest, AcceptsGetAndPostInAnyCaseAndNothingElse) {
  const struct {
    std::u16string_view method;
    std::u16string_view verb;
  } cases[] = {
      {u"GET", u"GET"}, {u"get", u"GET"}, {u"gEt", u"GET"}, {u"POST", u"POST"}, {u"post", u"POST"}, {u"PUT", u""},
      {u"", u""},       {u"GE", u""},     {u"GETS", u""},   {u" GET", u""},     {u"HEAD", u""},     {u"P\u00d3ST", u""},
  };
  for (const auto& c : cases) EXPECT_EQ(RequestVerb(c.method), c.verb) << Show(c.method);
}

// --- header extraction -------------------------------------------------------

TEST(HttpHeaderTest, TakesCharsetLengthLocationAndCookies) {
  HttpRequest r(u"http://h/");
  r.rawHeaders =
      u"HTTP/1.1 302 Found\r\n"
      u"content-type: text/html; CHARSET=GB2312\r\n"
      u"Content-Length: 1234\r\n"
      u"Location: http://h/next?a=1 b\r\n"
      u"Set-Cookie: a=1; path=/\r\n"
      u"set-cookie:\t b=2\r\n"
      u"\r\n";
  ExtractHeaderFields(r);
  EXPECT_EQ(r.charset, u"GB2312");
  EXPECT_EQ(r.contentLength, 1234);
  EXPECT_EQ(r.location, u"http://h/next?a=1 b");
  EXPECT_EQ(r.receivedCookies, u"a=1; path=/; b=2;");
}

TEST(HttpHeaderTest, KeepsEarlierValuesWhenAHeaderIsMissing) {
  HttpRequest r(u"http://h/");
  r.charset = u"utf-8";
  r.contentLength = 77;
  r.location = u"/before";
  r.receivedCookies = u"x=1;";
  r.rawHeaders = u"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nServer: s\r\n\r\n";
  ExtractHeaderFields(r);
  EXPECT_EQ(r.charset, u"utf-8");
  EXPECT_EQ(r.contentLength, 77);
  EXPECT_EQ(r.location, u"/before");
  EXPECT_EQ(r.receivedCookies, u"x=1;");
}

TEST(HttpHeaderTest, LeavesAPresetCharsetAlone) {
  HttpRequest r(u"http://h/");
  r.charset = u"utf-8";
  r.charsetFixed = true;
  r.rawHeaders = u"HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=gb2312\r\n\r\n";
  ExtractHeaderFields(r);
  EXPECT_EQ(r.charset, u"utf-8");
}

TEST(HttpHeaderTest, ReadsOnlyWhatThePatternsAllow) {
  const struct {
    std::u16string_view headers;
    std::u16string_view charset;
    int32_t contentLength;
    std::u16string_view location;
  } cases[] = {
      // A quoted charset does not start with a letter, digit, "-" or "_".
      {u"HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=\"utf-8\"\r\n\r\n", u"", 0, u""},
      {u"HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf8\r\n\r\n", u"utf8", 0, u""},
      {u"HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=x_y-z.1\r\n\r\n", u"x_y-z", 0, u""},
      // The first match counts.
      {u"HTTP/1.1 200 OK\r\ncharset=a\r\ncharset=b\r\n\r\n", u"a", 0, u""},
      {u"HTTP/1.1 200 OK\r\ncontent-length: 512\r\n\r\n", u"", 512, u""},
      // Exactly one space after the colon.
      {u"HTTP/1.1 200 OK\r\nContent-Length:512\r\n\r\n", u"", 0, u""},
      {u"HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\n", u"", INT32_MAX, u""},
      // A Location on a last line without a line end yields nothing.
      {u"HTTP/1.1 200 OK\r\nLocation: /x", u"", 0, u""},
      {u"HTTP/1.1 200 OK\r\nLOCATION: /y\n", u"", 0, u"/y"},
      {u"HTTP/1.1 200 OK\r\nContent-Location: /z\r\n\r\n", u"", 0, u"/z"},
  };
  for (const auto& c : cases) {
    HttpRequest r(u"http://h/");
    r.rawHeaders = std::u16string(c.headers);
    ExtractHeaderFields(r);
    EXPECT_EQ(r.charset, c.charset) << Show(c.headers);
    EXPECT_EQ(r.contentLength, c.contentLength) << Show(c.headers);
    EXPECT_EQ(r.location, c.location) << Show(c.headers);
  }
}

TEST(HttpHeaderTest, CollectsDistinctSetCookieValues) {
  const struct {
    std::u16string_view before;
    std::u16string_view headers;
    std::u16string_view after;
  } cases[] = {
      {u"", u"Set-Cookie: a=1; path=/\r\nSet-Cookie: b=2\r\n", u"a=1; path=/; b=2;"},
      {u"", u"Set-Cookie: a=1\r\nSet-Cookie: a=1\r\n", u"a=1;"},
      {u"", u"Set-Cookie: SID=Abc\r\nSet-Cookie: sid=aBC\r\n", u"SID=Abc;"},
      // A value that ends with ";" gets no second one.
      {u"", u"Set-Cookie: a=1;\r\n", u"a=1;"},
      // Spaces at the end are trimmed before the closing ";".
      {u"", u"Set-Cookie: a=1   \r\n", u"a=1;"},
      // New values follow the old text directly; a retried answer repeats them.
      {u"a=1;", u"Set-Cookie: a=1\r\n", u"a=1;a=1;"},
      {u"x=9;", u"Set-Cookie: a=1\r\nSet-Cookie: b=2\r\n", u"x=9;a=1; b=2;"},
      // No Set-Cookie: nothing changes, not even the missing ";".
      {u"odd", u"Server: s\r\n", u"odd"},
  };
  for (const auto& c : cases) {
    HttpRequest r(u"http://h/");
    r.receivedCookies = std::u16string(c.before);
    r.rawHeaders = u"HTTP/1.1 200 OK\r\n" + std::u16string(c.headers) + u"\r\n";
    ExtractHeaderFields(r);
    EXPECT_EQ(r.receivedCookies, c.after) << Show(c.headers);
  }
}

TEST(HttpCookieTest, JoinsTrimsAndCloses) {
  const struct {
    std::u16string_view before;
    std::vector<std::u16string> values;
    std::u16string_view after;
  } cases[] = {
      {u"", {u"a=1", u"b=2", u"c=3"}, u"a=1; b=2; c=3;"},
      {u"  ", {u"a=1"}, u"a=1;"},
      {u"", {u" "}, u""},
      {u"", {u"a=1; "}, u"a=1;"},
      {u"k=v; ", {u"a=1"}, u"k=v; a=1;"},
      {u"", {u"\ta=1\t"}, u"\ta=1\t;"},
  };
  for (const auto& c : cases) {
    std::u16string cookies(c.before);
    CollectCookies(cookies, c.values);
    EXPECT_EQ(cookies, c.after) << Show(c.before);
  }
}

// --- decoding decisions ------------------------------------------------------

TEST(HttpDecodingTest, ChoosesUtf8OnlyForUtf8Charsets) {
  const struct {
    std::u16string_view charset;
    BodyCodePage page;
  } cases[] = {
      {u"utf-8", BodyCodePage::Utf8},  {u"UTF-8", BodyCodePage::Utf8},  {u"Utf-8", BodyCodePage::Utf8},
      {u"utf-8x", BodyCodePage::Utf8}, {u"utf8", BodyCodePage::Ansi},   {u"utf-", BodyCodePage::Ansi},
      {u"", BodyCodePage::Ansi},       {u"gb2312", BodyCodePage::Ansi}, {u"\"utf-8\"", BodyCodePage::Ansi},
      {u"utf-16", BodyCodePage::Ansi},
  };
  for (const auto& c : cases) EXPECT_EQ(CodePageForCharset(c.charset), c.page) << Show(c.charset);
}

TEST(HttpDecodingTest, TextEndsAtItsFirstZero) {
  EXPECT_EQ(TextBeforeZero(std::u16string_view(u"ab\0cd", 5)), u"ab");
  EXPECT_EQ(TextBeforeZero(u"abc"), u"abc");
  EXPECT_EQ(TextBeforeZero(std::u16string_view(u"\0x", 2)), u"");
}

TEST(HttpCompletenessTest, AnOpenedHtmlDocumentMustBeClosed) {
  const struct {
    std::u16string_view body;
    bool cut;
  } cases[] = {
      {u"<HTML><body>half", true},
      {u"<!DOCTYPE html><html lang=\"zh\">", false},  // "<html>" itself never opens
      {u"<html><body></body></HTML>", false},
      {u"<Html>\r\n</hTmL>", false},
      {u"plain text", false},
      {u"</html> only", false},
      {u"", false},
      {u"<html>", true},
  };
  for (const auto& c : cases) EXPECT_EQ(LacksClosingHtmlTag(c.body), c.cut) << Show(c.body);
}

// --- progress ----------------------------------------------------------------

TEST(HttpProgressTest, IsThePercentageOfTheAnnouncedLength) {
  const struct {
    int32_t received;
    int32_t contentLength;
    double value;
  } cases[] = {
      {0, 1000, 0.0},
      {500, 1000, 50.0},
      {1000, 1000, 100.0},
      {1500, 1000, 150.0},
      {1, 3, 100.0 / 3},
      // Both counts are taken as unsigned 32-bit values.
      {1, -1, 100.0 / 4294967295.0},
      {-1, 4294967, 4294967295.0 * 100.0 / 4294967.0},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(ProgressValue(c.received, c.contentLength), c.value) << c.received << "/" << c.contentLength;
  }
}

TEST(HttpProgressTest, ReportsOnlyWithACallbackAndALength) {
  HttpRequest r(u"http://h/");
  std::vector<double> seen;
  ReportProgress(r, 10);  // no callback
  r.progressCallback = [&](double value) { seen.push_back(value); };
  ReportProgress(r, 10);  // no length
  r.contentLength = 20;
  ReportProgress(r, 10);
  EXPECT_EQ(seen, std::vector<double>{50.0});
}

// --- the body buffer ---------------------------------------------------------

TEST(HttpBodyBufferTest, DoublesUntilTheBytesAndTheirZeroFit) {
  const struct {
    uint32_t capacity;
    uint64_t needed;
    uint32_t grown;
  } cases[] = {
      {204800, 0, 204800},        {204800, 204799, 204800},
      {204800, 204800, 409600},  // no room left for the zero byte
      {204800, 300000, 409600},   {204800, 409600, 819200},
      {204800, 500000, 819200},  // one read beyond twice the capacity
      {204800, 3276800, 6553600}, {204800, uint64_t{INT32_MAX} - 1, 3355443200u},
      {204800, INT32_MAX, 0},     {204800, uint64_t{1} << 40, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GrownBodyCapacity(c.capacity, c.needed), c.grown) << c.capacity << " for " << c.needed;
  }
}

// A body delivered in scripted pieces, recording what the reader asked for.
class ScriptedBody : public BodySource {
 public:
  explicit ScriptedBody(std::vector<std::string> pieces) : pieces_(std::move(pieces)) {}

  int failQueryAt = -1;  // the question with this number fails
  int failReadAt = -1;   // the read with this number fails
  uint32_t queryError = 12002;
  std::vector<uint32_t> readSizes;
  int queries = 0;

  bool QueryAvailable(uint32_t& available, uint32_t& error) override {
    if (queries++ == failQueryAt) {
      error = queryError;
      return false;
    }
    available = next_ < pieces_.size() ? static_cast<uint32_t>(pieces_[next_].size()) : 0;
    return true;
  }

  bool Read(uint8_t* buffer, uint32_t size, uint32_t& read) override {
    readSizes.push_back(size);
    if (static_cast<int>(readSizes.size()) - 1 == failReadAt) return false;
    read = 0;
    if (next_ >= pieces_.size()) return true;
    const std::string& piece = pieces_[next_++];
    read = static_cast<uint32_t>(std::min<size_t>(size, piece.size()));
    std::memcpy(buffer, piece.data(), read);
    return true;
  }

 private:
  std::vector<std::string> pieces_;
  size_t next_ = 0;
};

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + i % 23);
  return bytes;
}

std::vector<std::string> Split(const std::string& bytes, size_t piece) {
  std::vector<std::string> pieces;
  for (size_t at = 0; at < bytes.size(); at += piece) pieces.push_back(bytes.substr(at, piece));
  return pieces;
}

std::string Body(const HttpRequest& r) {
  return std::string(reinterpret_cast<const char*>(r.bodyBytes.Data()), static_cast<size_t>(r.bodyLength));
}

TEST(HttpBodyReadingTest, ReportsProgressBeforeEveryChunkAndAtTheEnd) {
  HttpRequest r(u"http://h/");
  r.contentLength = 1000;
  std::vector<double> seen;
  r.progressCallback = [&](double value) { seen.push_back(value); };
  const std::string bytes = Pattern(1000);
  ScriptedBody body(Split(bytes, 100));
  EXPECT_EQ(ReadBody(r, body), BodyReadResult::Read);
  EXPECT_EQ(Body(r), bytes);
  EXPECT_EQ(seen, (std::vector<double>{0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 100}));
  // Each chunk asks for exactly what is available; the last question finds 0.
  EXPECT_EQ(body.readSizes, (std::vector<uint32_t>{100, 100, 100, 100, 100, 100, 100, 100, 100, 100, 0}));
}

TEST(HttpBodyReadingTest, NeverReportsWithoutAContentLength) {
  HttpRequest r(u"http://h/");
  int calls = 0;
  r.progressCallback = [&](double) { ++calls; };
  ScriptedBody body(Split(Pattern(500), 100));
  EXPECT_EQ(ReadBody(r, body), BodyReadResult::Read);
  EXPECT_EQ(calls, 0);
}

TEST(HttpBodyReadingTest, ReportsValuesBeyondAHundredWhenMoreArrivesThanAnnounced) {
  HttpRequest r(u"http://h/");
  r.contentLength = 100;
  std::vector<double> seen;
  r.progressCallback = [&](double value) { seen.push_back(value); };
  ScriptedBody body(Split(Pattern(250), 100));
  ReadBody(r, body);
  EXPECT_EQ(seen, (std::vector<double>{0, 100, 200, 250, 250}));
}

TEST(HttpBodyReadingTest, GrowsTheBufferAsTheBodyNeeds) {
  const struct {
    size_t size;
    size_t piece;
    uint32_t capacity;
  } cases[] = {
      {0, 1, 204800},           {1, 1, 204800},           {204799, 8192, 204800},   {204800, 8192, 409600},
      {300000, 8192, 409600},   {300000, 300000, 409600}, {500000, 500000, 819200},  // a single read beyond twice the
                                                                                     // capacity
      {1000000, 4096, 1638400},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    HttpRequest r(u"http://h/");
    const std::string bytes = Pattern(c.size);
    ScriptedBody body(Split(bytes, c.piece));
    ASSERT_EQ(ReadBody(r, body), BodyReadResult::Read);
    EXPECT_EQ(r.bodyBytes.Capacity(), c.capacity);
    EXPECT_EQ(r.bodyLength, static_cast<int32_t>(c.size));
    EXPECT_EQ(Body(r), bytes);
    // The byte after the body, and the rest of the buffer, are zero.
    const uint8_t* data = r.bodyBytes.Data();
    size_t nonZero = 0;
    for (size_t i = c.size; i < r.bodyBytes.Capacity(); ++i) nonZero += data[i] != 0;
    EXPECT_EQ(nonZero, 0u);
  }
}

TEST(HttpBodyReadingTest, ReplacesTheBodyOfAnEarlierAttempt) {
  HttpRequest r(u"http://h/");
  ScriptedBody first(Split(Pattern(300000), 65536));
  ReadBody(r, first);
  ASSERT_EQ(r.bodyBytes.Capacity(), 409600u);
  ScriptedBody second({"xy"});
  ReadBody(r, second);
  EXPECT_EQ(r.bodyBytes.Capacity(), 204800u);
  EXPECT_EQ(Body(r), "xy");
  EXPECT_EQ(r.bodyBytes.Data()[2], 0);
}

TEST(HttpBodyReadingTest, AFailedQuestionRecordsItsErrorAndKeepsWhatCame) {
  HttpRequest r(u"http://h/");
  r.lastError = 5;
  r.contentLength = 1000;
  std::vector<double> seen;
  r.progressCallback = [&](double value) { seen.push_back(value); };
  ScriptedBody body(Split(Pattern(1000), 100));
  body.failQueryAt = 3;
  EXPECT_EQ(ReadBody(r, body), BodyReadResult::Read);
  EXPECT_EQ(r.lastError, 12002u);
  EXPECT_EQ(Body(r), Pattern(300));
  EXPECT_EQ(seen, (std::vector<double>{0, 10, 20, 30}));
}

TEST(HttpBodyReadingTest, AFailedReadEndsTheBodyWithoutAnError) {
  HttpRequest r(u"http://h/");
  r.lastError = 5;
  ScriptedBody body(Split(Pattern(1000), 100));
  body.failReadAt = 2;
  EXPECT_EQ(ReadBody(r, body), BodyReadResult::Read);
  EXPECT_EQ(r.lastError, 5u);
  EXPECT_EQ(Body(r), Pattern(200));
}

TEST(HttpBodyReadingTest, ABufferThatCannotGrowKeepsTheBytesBeforeIt) {
  HttpRequest r(u"http://h/");
  r.contentLength = 300000;
  std::vector<double> seen;
  r.progressCallback = [&](double value) { seen.push_back(value); };
  const std::string bytes = Pattern(300000);
  ScriptedBody body(Split(bytes, 100000));
  EXPECT_EQ(ReadBody(r, body, 204800), BodyReadResult::CouldNotGrow);
  EXPECT_EQ(r.bodyBytes.Capacity(), 204800u);
  // The third chunk has been read from the service and is dropped.
  EXPECT_EQ(Body(r), bytes.substr(0, 200000));
  EXPECT_EQ(r.bodyBytes.Data()[200000], 0);
  ASSERT_FALSE(seen.empty());
  EXPECT_DOUBLE_EQ(seen.back(), 200000 * 100.0 / 300000);
}

TEST(HttpBodyReadingTest, NoFirstBufferReadsNothing) {
  HttpRequest r(u"http://h/");
  ScriptedBody earlier({"old"});
  ReadBody(r, earlier);
  ScriptedBody body({"abc"});
  EXPECT_EQ(ReadBody(r, body, 1000), BodyReadResult::NoBuffer);
  EXPECT_FALSE(r.bodyBytes);
  EXPECT_EQ(r.bodyLength, 0);
  EXPECT_EQ(body.queries, 0);
}

// --- the object name on the wire ---------------------------------------------

TEST(HttpWireNameTest, EscapesWhatMayNotStandBareInARequestLine) {
  const struct {
    std::u16string_view path;
    std::u16string_view wire;
  } cases[] = {
      {u"/download/ParvelUpdat.txt", u"/download/ParvelUpdat.txt"},
      {u"/update?123=1#3_5#17_2#", u"/update?123=1#3_5#17_2#"},
      {u"/a b", u"/a%20b"},
      {u"/q?x\r\ny", u"/q?x%0D%0Ay"},
      {std::u16string_view(u"/\t\x01\x1f\x7f\0", 6), u"/%09%01%1F%7F%00"},
      {u"/%41%zz%", u"/%41%zz%"},
      {u"/~!$&'()*+,;=:@[]{}|\\^`\"<>", u"/~!$&'()*+,;=:@[]{}|\\^`\"<>"},
      {u"/\u00e9", u"/%C3%A9"},
      {u"/\u4e2d\u6587", u"/%E4%B8%AD%E6%96%87"},
      {u"/\U0001F600", u"/%F0%9F%98%80"},
      {u"/\xd83d", u"/%EF%BF%BD"},
      {u"/\xde00x", u"/%EF%BF%BDx"},
      {u"", u""},
  };
  for (const auto& c : cases) EXPECT_EQ(WireObjectName(c.path), c.wire) << Show(c.path);
}

}  // namespace
}  // namespace parvel
