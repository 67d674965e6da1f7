// The request engine under Wine: real WinHTTP against the scripted server,
// and through real proxies (tinyproxy, started by tests/proxy/proxy.sh).
#include <windows.h>
#include <winhttp.h>
#include <winsock2.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "common/text.h"
#include "http/http_request.h"
#include "http/http_request_win.h"
#include "http/update_server.h"
#include "tests/win/support/scripted_server.h"

namespace parvel {
namespace {

using test::Escape;
using test::RecordedRequest;
using test::Response;
using test::Rule;
using test::ScriptedServer;
using testing::HasSubstr;

// UTF-8 for messages and for comparing with what travelled.
std::string Utf8(std::u16string_view text) {
  if (text.empty()) return {};
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide, int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string out(size_t(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, int(text.size()), out.data(), size, nullptr, nullptr);
  return out;
}

std::u16string FromUtf8(std::string_view bytes) {
  if (bytes.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), int(bytes.size()), nullptr, 0);
  std::u16string out(size_t(size), u'\0');
  MultiByteToWideChar(CP_UTF8, 0, bytes.data(), int(bytes.size()), WideBuffer(out), size);
  return out;
}

std::string Body(const HttpRequest& r) {
  return std::string(reinterpret_cast<const char*>(r.bodyBytes.Data()), size_t(r.bodyLength));
}

// Time-outs short enough that a silent peer ends a test in seconds.
void Quick(HttpRequest& r, int receiveMs = 5000) {
  r.connectTimeout = 5000;
  r.sendTimeout = 5000;
  r.receiveTimeout = receiveMs;
}

// A loopback port that nothing listens on.
int ClosedPort() {
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int length = sizeof address;
  getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
  closesocket(s);
  WSACleanup();
  return ntohs(address.sin_port);
}

// Bytes of 中文 and 测试页面 in GBK, the narrow encoding of code page 936.
const std::string kGbkChinese = "\xD6\xD0\xCE\xC4";
const std::string kGbkTestPage = "\xB2\xE2\xCA\xD4\xD2\xB3\xC3\xE6";

class HttpEngineTest : public testing::Test {
 protected:
  void SetUp() override { server.Reset(); }

  std::u16string Url(const std::string& path, int port = 0) { return server.Url16(path, port); }

  ScriptedServer server;
};

TEST_F(HttpEngineTest, RunsUnderTheSimplifiedChineseAnsiCodePage) {
  // The wrapper runs Wine under a zh_CN locale, as the product's users run
  // Windows; every ANSI decoding below depends on it.
  EXPECT_EQ(GetACP(), 936u);
}

TEST_F(HttpEngineTest, SendsGetOrPostAndRefusesOtherMethodsAndAnEmptyUrl) {
  const struct {
    const char16_t* method;
    bool ok;
    uint32_t lastError;
    const char* requestLine;
  } cases[] = {
      {u"get", true, 0, "GET /m HTTP/1.1"},   {u"GET", true, 0, "GET /m HTTP/1.1"},
      {u"Post", true, 0, "POST /m HTTP/1.1"}, {u"PUT", false, 87, nullptr},
      {u"delete", false, 87, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Utf8(c.method));
    server.Reset();
    server.Reply("/m", Response::Ok("answer"));
    HttpRequest r(Url("/m"));
    Quick(r);
    EXPECT_EQ(r.Perform(c.method), c.ok);
    EXPECT_EQ(r.lastError, c.lastError);
    const auto requests = server.Requests();
    if (c.requestLine == nullptr) {
      // Nothing is opened: no request, and not even the host is taken.
      EXPECT_TRUE(requests.empty());
      EXPECT_TRUE(r.hostName.empty());
      continue;
    }
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].requestLine, c.requestLine);
    EXPECT_EQ(requests[0].Header("User-Agent"), Utf8(kDefaultUserAgent));
    EXPECT_EQ(r.hostName, u"127.0.0.1");
    EXPECT_EQ(r.statusCode, u"200");
    EXPECT_EQ(r.BodyText(), u"answer");
  }

  HttpRequest empty(u"");
  EXPECT_FALSE(empty.Perform(u"GET"));
  EXPECT_EQ(empty.lastError, 3u);
  EXPECT_TRUE(server.Requests().empty());
}

TEST_F(HttpEngineTest, SendsNothingForAPathOrHostBeyondItsRoom) {
  server.Add(Rule::Prefix("/").Reply(Response::Ok("long")));
  // The path with its query is split into room for 1300 characters with the
  // terminator: 1299 go out, 1300 do not.
  const std::string fits = "/q?" + std::string(1296, 'x');
  const std::string tooLong = "/q?" + std::string(1297, 'x');
  HttpRequest ok(Url(fits));
  Quick(ok);
  EXPECT_TRUE(ok.Perform(u"GET"));
  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].target, fits);

  server.Reset();
  server.Add(Rule::Prefix("/").Reply(Response::Ok("long")));
  HttpRequest over(Url(tooLong));
  Quick(over);
  EXPECT_FALSE(over.Perform(u"GET"));
  // The split fails before anything is sent; no error is recorded for it.
  EXPECT_EQ(over.lastError, 0u);
  EXPECT_TRUE(over.statusCode.empty());

  // A host of 260 characters does not fit its room either. (A 259-character
  // name would be looked up, which a test on loopback must not do.)
  HttpRequest host(u"http://" + std::u16string(260, u'h') + u"/x");
  EXPECT_FALSE(host.Perform(u"GET"));
  EXPECT_TRUE(host.hostName.empty());
  EXPECT_TRUE(server.Requests().empty());
}

TEST_F(HttpEngineTest, AnyStatusWithAWholeBodyIsASuccess) {
  const std::string page = "<html><head><title>404</title></head><body>not here</body></html>";
  server.Reply("/missing", Response::Status(404, page).Header("Content-Type", "text/html"));
  server.Reply("/broken", Response::Status(500, "server trouble"));
  HttpRequest missing(Url("/missing"));
  Quick(missing);
  EXPECT_TRUE(missing.Perform(u"GET"));
  EXPECT_EQ(missing.statusCode, u"404");
  EXPECT_EQ(missing.BodyText(), FromUtf8(page));
  EXPECT_EQ(missing.rawHeaders.rfind(u"HTTP/1.1 404 Not Found\r\n", 0), 0u) << Utf8(missing.rawHeaders);
  EXPECT_EQ(missing.rawHeaders.substr(missing.rawHeaders.size() - 4), u"\r\n\r\n");

  HttpRequest broken(Url("/broken"));
  Quick(broken);
  EXPECT_TRUE(broken.Perform(u"GET"));
  EXPECT_EQ(broken.statusCode, u"500");
  EXPECT_EQ(broken.BodyText(), u"server trouble");
  EXPECT_EQ(server.Requests().size(), 2u);
}

TEST_F(HttpEngineTest, AnHtmlDocumentWithoutItsClosingTagIsTriedThreeTimes) {
  server.Reply("/cut", Response::Ok("<HTML><body>half a page", "text/html"));
  HttpRequest r(Url("/cut"));
  Quick(r);
  EXPECT_FALSE(r.Perform(u"GET"));
  EXPECT_EQ(r.lastError, 13u);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  for (const auto& request : requests) EXPECT_EQ(request.requestLine, "GET /cut HTTP/1.1");
  // The last attempt's body is still there, for what it is worth.
  EXPECT_EQ(r.BodyText(), u"<HTML><body>half a page");

  // POST takes the body as it comes.
  server.Reset();
  server.Reply("/cut", Response::Ok("<HTML><body>half a page", "text/html"));
  HttpRequest post(Url("/cut"));
  Quick(post);
  EXPECT_TRUE(post.Perform(u"POST"));
  EXPECT_EQ(server.Requests().size(), 1u);

  // A later attempt that brings the whole page succeeds; the 13 of the
  // first attempt stays recorded.
  server.Reset();
  server.Add(Rule::Path("/cut")
                 .Reply(Response::Ok("<html><body>half", "text/html").Times(1))
                 .Reply(Response::Ok("<html><body>whole</body></html>", "text/html")));
  HttpRequest second(Url("/cut"));
  Quick(second);
  EXPECT_TRUE(second.Perform(u"get"));
  EXPECT_EQ(second.lastError, 13u);
  EXPECT_EQ(second.BodyText(), u"<html><body>whole</body></html>");
  EXPECT_EQ(server.Requests().size(), 2u);
}

TEST_F(HttpEngineTest, APlainBodyCutShortIsTakenAsFarAsItCame) {
  const std::string body(1000, 'p');
  server.Reply("/cut", Response::Ok(body).CutAfter(300));
  HttpRequest r(Url("/cut"));
  Quick(r);
  EXPECT_TRUE(r.Perform(u"GET"));
  EXPECT_EQ(r.contentLength, 1000);
  EXPECT_EQ(r.bodyLength, 300);
  EXPECT_EQ(r.BodyText(), FromUtf8(body.substr(0, 300)));
  EXPECT_EQ(server.Requests().size(), 1u);
}

TEST_F(HttpEngineTest, DecodesUtf8OnlyWhenTheCharsetSaysSoAndElseCodePage936) {
  const std::string utf8 = u8"中文";
  const struct {
    const char* contentType;
    std::string body;
    const char16_t* charset;
  } cases[] = {
      {"text/plain; charset=UTF-8", utf8, u"UTF-8"},         {"text/plain; charset=utf-8", utf8, u"utf-8"},
      {"text/html; charset=gb2312", kGbkChinese, u"gb2312"}, {"text/plain; charset=utf8", kGbkChinese, u"utf8"},
      {"text/plain; charset=\"utf-8\"", kGbkChinese, u""},   {"text/plain", kGbkChinese, u""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.contentType);
    server.Reset();
    server.Reply("/text", Response::Ok(c.body, c.contentType));
    HttpRequest r(Url("/text"));
    Quick(r);
    ASSERT_TRUE(r.Perform(u"GET"));
    EXPECT_EQ(r.charset, c.charset);
    EXPECT_EQ(r.BodyText(), u"中文") << Utf8(r.BodyText());
  }
}

TEST_F(HttpEngineTest, APresetOrEarlierCharsetDecidesWhenTheHeadersDoNot) {
  const std::string utf8 = u8"测试页面";
  server.Add(Rule::Path("/fixed").Reply(Response::Ok(utf8, "text/plain; charset=gb2312")));
  HttpRequest fixed(Url("/fixed"));
  Quick(fixed);
  fixed.charset = u"utf-8";
  fixed.charsetFixed = true;
  ASSERT_TRUE(fixed.Perform(u"GET"));
  EXPECT_EQ(fixed.charset, u"utf-8");
  EXPECT_EQ(fixed.BodyText(), u"测试页面");

  // A charset that one answer named decodes a later one that names none.
  server.Add(Rule::Path("/twice")
                 .Reply(Response::Ok(utf8, "text/plain; charset=utf-8").Times(1))
                 .Reply(Response::Ok(utf8 + "!", "text/plain")));
  HttpRequest twice(Url("/twice"));
  Quick(twice);
  ASSERT_TRUE(twice.Perform(u"GET"));
  ASSERT_TRUE(twice.Perform(u"GET"));
  EXPECT_EQ(twice.charset, u"utf-8");
  EXPECT_EQ(twice.BodyText(), u"测试页面!");

  // The same bytes on a fresh object are read in code page 936.
  server.Add(Rule::Path("/gbk").Reply(Response::Ok(kGbkTestPage, "text/plain")));
  HttpRequest gbk(Url("/gbk"));
  Quick(gbk);
  ASSERT_TRUE(gbk.Perform(u"GET"));
  EXPECT_EQ(gbk.BodyText(), u"测试页面");
}

TEST_F(HttpEngineTest, CollectsCookiesAcrossCallsAndSendsItsOwnHeaders) {
  server.Add(Rule::Path("/c")
                 .Reply(Response::Ok("first")
                            .Header("Set-Cookie", "a=1; path=/")
                            .Header("Set-Cookie", "b=2")
                            .Header("Set-Cookie", "b=2")
                            .Header("set-cookie", "A=1; PATH=/")
                            .Times(1))
                 .Reply(Response::Ok("second").Header("Set-Cookie", "c=3")));
  HttpRequest r(Url("/c"));
  Quick(r);
  r.sendCookies = u"k=v; q=1";
  r.extraHeaders = u"X-One: 1\r\nX-Two: two";
  ASSERT_TRUE(r.Perform(u"GET"));
  EXPECT_EQ(r.receivedCookies, u"a=1; path=/; b=2;");
  EXPECT_EQ(r.BodyText(), u"first");

  // A second call on the same object appends the new cookies directly and
  // replaces the body.
  r.sendCookies.clear();
  r.extraHeaders.clear();
  ASSERT_TRUE(r.Perform(u"GET"));
  EXPECT_EQ(r.receivedCookies, u"a=1; path=/; b=2;c=3;");
  EXPECT_EQ(r.BodyText(), u"second");

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].Header("Cookie"), "k=v; q=1");
  EXPECT_EQ(requests[0].Header("X-One"), "1");
  EXPECT_EQ(requests[0].Header("X-Two"), "two");
  // Nothing of the first call's service carries over: its cookie store went
  // with its handles, and the engine never sends receivedCookies itself.
  EXPECT_EQ(requests[1].Header("Cookie"), std::nullopt);
  EXPECT_EQ(requests[1].Header("X-One"), std::nullopt);
}

TEST_F(HttpEngineTest, ReadsEmptyLargeAndZeroHoldingBodies) {
  std::string large(300000, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = char('a' + i % 26);
  server.Reply("/empty", Response::Ok(""));
  server.Reply("/large", Response::Ok(large));
  server.Reply("/zero", Response::Ok(std::string("ab\0cd", 5)));
  server.Reply("/chunked", Response::Ok(large).Chunked(50000));
  server.Reply("/close", Response::Ok(large).NoContentLength());

  HttpRequest empty(Url("/empty"));
  Quick(empty);
  empty.bodyText = u"stale";
  ASSERT_TRUE(empty.Perform(u"GET"));
  EXPECT_EQ(empty.bodyLength, 0);
  EXPECT_EQ(empty.BodyText(), u"");
  EXPECT_EQ(empty.bodyBytes.Capacity(), 204800u);

  HttpRequest zero(Url("/zero"));
  Quick(zero);
  ASSERT_TRUE(zero.Perform(u"GET"));
  EXPECT_EQ(zero.bodyLength, 5);
  EXPECT_EQ(Body(zero), std::string("ab\0cd", 5));
  EXPECT_EQ(zero.BodyText(), u"ab");

  for (const char* path : {"/large", "/chunked", "/close"}) {
    SCOPED_TRACE(path);
    HttpRequest r(Url(path));
    Quick(r);
    ASSERT_TRUE(r.Perform(u"GET"));
    EXPECT_EQ(r.bodyLength, 300000);
    EXPECT_TRUE(Body(r) == large) << "the body arrived changed";
    // One doubling of the 204,800-byte buffer, and a zero byte after the body.
    EXPECT_EQ(r.bodyBytes.Capacity(), 409600u);
    EXPECT_EQ(r.bodyBytes.Data()[300000], 0);
    EXPECT_EQ(r.BodyText().size(), 300000u);
  }
}

TEST_F(HttpEngineTest, ReportsProgressAgainstTheAnnouncedLength) {
  server.Add(Rule::Path("/p").Reply(Response::Ok(std::string(1000, 'x')).Trickle(100, 20).Times(1)));
  // The same object asks again and gets more than the 1000 bytes that the
  // first answer announced, with no length of its own.
  server.Add(Rule::Path("/p").Reply(Response::Ok(std::string(1500, 'y')).Chunked(500)));
  HttpRequest r(Url("/p"));
  Quick(r);
  std::vector<double> seen;
  r.progressCallback = [&](double value) { seen.push_back(value); };
  ASSERT_TRUE(r.Perform(u"GET"));
  ASSERT_GE(seen.size(), 3u);
  EXPECT_EQ(seen.front(), 0.0);
  EXPECT_EQ(seen.back(), 100.0);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  // Each value is the share of the bytes stored so far, which the server
  // sends in pieces of 100.
  for (const double value : seen) EXPECT_EQ(value, double(int(value / 10)) * 10) << value;

  seen.clear();
  ASSERT_TRUE(r.Perform(u"GET"));
  EXPECT_EQ(r.contentLength, 1000);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), 150.0);

  // Without a Content-Length it is never called.
  HttpRequest fresh(Url("/p"));
  Quick(fresh);
  int calls = 0;
  fresh.progressCallback = [&](double) { ++calls; };
  ASSERT_TRUE(fresh.Perform(u"GET"));
  EXPECT_EQ(fresh.bodyLength, 1500);
  EXPECT_EQ(calls, 0);
}

TEST_F(HttpEngineTest, FollowsRedirectsAndReadsTheFinalResponse) {
  server.Reply("/old", Response::Redirect(server.Url("/new", server.SecondPort())));
  server.Reply("/new", Response::Ok("moved").Header("Location", "/where-it-points"), server.SecondPort());
  HttpRequest r(Url("/old"));
  Quick(r);
  ASSERT_TRUE(r.Perform(u"GET"));
  EXPECT_EQ(r.statusCode, u"200");
  EXPECT_EQ(r.BodyText(), u"moved");
  EXPECT_EQ(r.location, u"/where-it-points");
  // The host is the one of the URL asked for.
  EXPECT_EQ(r.hostName, u"127.0.0.1");
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].port, server.SecondPort());

  // The redirect's own Location is not taken: only the final headers count.
  server.Reply("/old2", Response::Redirect(server.Url("/new2")));
  server.Reply("/new2", Response::Ok("there"));
  HttpRequest plain(Url("/old2"));
  Quick(plain);
  ASSERT_TRUE(plain.Perform(u"GET"));
  EXPECT_EQ(plain.BodyText(), u"there");
  EXPECT_TRUE(plain.location.empty()) << Utf8(plain.location);
}

TEST_F(HttpEngineTest, GivesUpOnASilentServerAfterThreeTimeOuts) {
  server.Reply("/mute", Response::Silence());
  HttpRequest r(Url("/mute"));
  Quick(r, 500);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(r.Perform(u"GET"));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // Wine reports the socket's code for the wait on the headers, Windows its own.
  EXPECT_THAT(r.lastError, testing::AnyOf(DWORD(ERROR_WINHTTP_TIMEOUT), DWORD(WSAETIMEDOUT)));
  EXPECT_TRUE(r.statusCode.empty());
  // Every attempt waited its time-out. (The later attempts go out on the
  // connection the silent server holds, which it reads without recording.)
  EXPECT_GE(seconds, 3 * 0.5 - 0.1);
  EXPECT_GE(server.Requests().size(), 1u);
}

TEST_F(HttpEngineTest, PutsEveryCharacterOfTheQuerySafelyOnTheWire) {
  server.Add(Rule::Prefix("/").Reply(Response::Ok("noted")));
  const UpdateServer updates(FromUtf8(server.Url("")));
  const struct {
    std::u16string url;
    const char* requestLine;
    std::string decodedTarget;
  } cases[] = {
      {updates.UsageReportUrl(u"123456789", u"1#3_5#17_2#"), "GET /update?123456789=1%233_5%2317_2%23 HTTP/1.1",
       "/update?123456789=1#3_5#17_2#"},
      {updates.UninstallReportUrl(u"123456789", u",2,5", u"太慢 真的\r\n#1"),
       "GET /uninstall?123456789,2,5,%E5%A4%AA%E6%85%A2%20%E7%9C%9F%E7%9A%84%0D%0A%231 HTTP/1.1",
       "/uninstall?123456789,2,5," + Utf8(u"太慢 真的") + "\r\n#1"},
      // "%" is handed over as it stands, so a text that holds an escape is
      // read as one by the server.
      {FromUtf8(server.Url("/q?a%41\tb\x01")), "GET /q?a%41%09b%01 HTTP/1.1", "/q?aA\tb\x01"},
      {updates.ManifestUrl(), "GET /download/ParvelUpdat.txt HTTP/1.1", "/download/ParvelUpdat.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Utf8(c.url));
    server.Reset();
    server.Add(Rule::Prefix("/").Reply(Response::Ok("noted")));
    HttpRequest r(c.url);
    Quick(r);
    ASSERT_TRUE(r.Perform(u"GET"));
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    const std::string& line = requests[0].requestLine;
    EXPECT_EQ(line, c.requestLine) << Escape(line);
    EXPECT_EQ(requests[0].decodedTarget, c.decodedTarget) << Escape(requests[0].decodedTarget);
    // Two spaces part method, target and version; nothing else is bare.
    EXPECT_EQ(std::count(line.begin(), line.end(), ' '), 2) << Escape(line);
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << Escape(line);
    EXPECT_TRUE(requests[0].complete);
  }
}

TEST_F(HttpEngineTest, TheServiceAloneEscapesTheQueryTheSameWay) {
  // The engine escapes spaces, controls and non-ASCII itself before it hands
  // the object name over; here the service gets the raw text, to show that
  // Wine's own escaping puts the same bytes on the wire.
  server.Add(Rule::Prefix("/").Reply(Response::Ok("noted")));
  const std::u16string query = u"/uninstall?1,2,太慢 真的\r\n#1%41\t\U0001F600";
  UniqueWinHttpHandle session(
      WinHttpOpen(L"raw", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  UniqueWinHttpHandle connection(WinHttpConnect(session.Get(), L"127.0.0.1", INTERNET_PORT(server.MainPort()), 0));
  UniqueWinHttpHandle request(WinHttpOpenRequest(connection.Get(), L"GET", WidePtr(query), nullptr, WINHTTP_NO_REFERER,
                                                 WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
  ASSERT_TRUE(WinHttpSendRequest(request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0));
  ASSERT_TRUE(WinHttpReceiveResponse(request.Get(), nullptr));

  HttpRequest engine(FromUtf8(server.Url("")) + query);
  Quick(engine);
  ASSERT_TRUE(engine.Perform(u"GET"));
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].requestLine, requests[1].requestLine) << Escape(requests[0].requestLine);
}

TEST_F(HttpEngineTest, PostsItsDataInOneWrite) {
  server.Add(Rule::Path("/form").Method("POST").Reply(Response::Ok("<html>taken")));
  HttpRequest r(Url("/form"));
  Quick(r);
  const std::string data = "k=v&x=\xe4";
  r.postData.reset(new uint8_t[data.size()]);
  std::copy(data.begin(), data.end(), r.postData.get());
  r.postDataLength = uint32_t(data.size());
  // The send announces no length, so the caller names it.
  r.extraHeaders = u"Content-Length: " + FromUtf8(std::to_string(data.size())) +
                   u"\r\nContent-Type: application/x-www-form-urlencoded";
  ASSERT_TRUE(r.Perform(u"post"));
  EXPECT_EQ(r.BodyText(), u"<html>taken");
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].body, data);
}

TEST_F(HttpEngineTest, HttpsGoesOutEncrypted) {
  // A plain HTTP server cannot answer it; what arrives shows that the
  // request handle was opened secure.
  HttpRequest r(u"https://127.0.0.1:" + FromUtf8(std::to_string(server.MainPort())) + u"/secret");
  Quick(r, 1000);
  EXPECT_FALSE(r.Perform(u"GET"));
  EXPECT_NE(r.lastError, 0u);
  const auto requests = server.WaitForRequests(1, 5000);
  ASSERT_FALSE(requests.empty());
  for (const auto& request : requests) {
    ASSERT_FALSE(request.head.empty());
    EXPECT_EQ(request.head[0], '\x16') << "not a TLS handshake: " << Escape(request.head.substr(0, 16));
    EXPECT_EQ(request.head.find("/secret"), std::string::npos);
  }
}

// --- proxies -------------------------------------------------------------------
//
// tests/proxy/proxy.sh runs two tinyproxy instances on 127.0.0.1 for the
// whole run: an open one and one that asks for Basic credentials. Each names
// itself in the Via header it adds, so the scripted server's record shows
// which proxy carried a request.
//
// The proxies are addressed as "localhost": Wine's WinHTTP decides whether a
// request goes to a proxy by comparing the proxy's host name with the
// server's, and with both written 127.0.0.1 it sends the proxy a plain
// origin-form request, which the proxy refuses.

int EnvPort(const char* name, int fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? std::atoi(value) : fallback;
}

std::u16string OpenProxy() {
  return u"localhost:" + FromUtf8(std::to_string(EnvPort("PARVEL_TEST_PROXY_PORT", 47330)));
}
std::u16string AuthProxy() {
  return u"localhost:" + FromUtf8(std::to_string(EnvPort("PARVEL_TEST_AUTH_PROXY_PORT", 47331)));
}
constexpr char16_t kProxyUser[] = u"parvel-user";
constexpr char16_t kProxyPassword[] = u"parvel-pass";

const wchar_t kConnectionsKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

// A registry value as it was, put back (or removed again) when this goes.
class SavedRegistryValue {
 public:
  SavedRegistryValue(HKEY root, const wchar_t* key, const wchar_t* name) : root_(root), key_(key), name_(name) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root_, key_, 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) return;
    DWORD size = 0;
    if (RegQueryValueExW(opened, name_, nullptr, &type_, nullptr, &size) == ERROR_SUCCESS) {
      data_.resize(size);
      existed_ = RegQueryValueExW(opened, name_, nullptr, &type_, data_.data(), &size) == ERROR_SUCCESS;
      data_.resize(size);
    }
    RegCloseKey(opened);
  }
  SavedRegistryValue(const SavedRegistryValue&) = delete;
  SavedRegistryValue& operator=(const SavedRegistryValue&) = delete;
  ~SavedRegistryValue() {
    HKEY opened = nullptr;
    if (RegCreateKeyExW(root_, key_, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &opened, nullptr) != ERROR_SUCCESS) return;
    if (existed_) {
      RegSetValueExW(opened, name_, 0, type_, data_.data(), DWORD(data_.size()));
    } else {
      RegDeleteValueW(opened, name_);
    }
    RegCloseKey(opened);
  }

 private:
  HKEY root_;
  const wchar_t* key_;
  const wchar_t* name_;
  bool existed_ = false;
  DWORD type_ = REG_BINARY;
  std::vector<BYTE> data_;
};

// The current user's connection settings as the platform keeps them: DWORDs
// (little-endian) 0x46, a change counter, the flags, then the manual proxy,
// its bypass list and the automatic-configuration script URL, each a length
// and its narrow text.
enum ConnectionFlags : DWORD { kDirect = 1, kManualProxy = 2, kScriptUrl = 4, kAutoDetect = 8 };

void SetUserConnectionSettings(DWORD flags, const std::string& proxy, const std::string& script) {
  std::vector<BYTE> blob;
  const auto put = [&](DWORD value) {
    for (int i = 0; i < 4; ++i) blob.push_back(BYTE(value >> (8 * i)));
  };
  const auto text = [&](const std::string& value) {
    put(DWORD(value.size()));
    blob.insert(blob.end(), value.begin(), value.end());
  };
  put(0x46);
  put(1);
  put(flags);
  text(proxy);
  text("");
  text(script);
  blob.resize(blob.size() + 32, 0);
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kConnectionsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExW(key, L"DefaultConnectionSettings", 0, REG_BINARY, blob.data(), DWORD(blob.size())),
            ERROR_SUCCESS);
  RegCloseKey(key);
}

// The service's own default proxy, which every service handle opened with
// the default access type uses; empty for none.
void SetDefaultProxy(std::u16string proxy) {
  WINHTTP_PROXY_INFO info = {};
  info.dwAccessType = proxy.empty() ? WINHTTP_ACCESS_TYPE_NO_PROXY : WINHTTP_ACCESS_TYPE_NAMED_PROXY;
  info.lpszProxy = proxy.empty() ? nullptr : WideBuffer(proxy);
  ASSERT_TRUE(WinHttpSetDefaultProxyConfiguration(&info)) << GetLastError();
}

bool CameThrough(const RecordedRequest& request, const std::string& proxyName) {
  const auto via = request.Header("Via");
  return via.has_value() && via->find(proxyName) != std::string::npos;
}

std::vector<RecordedRequest> WithPath(const std::vector<RecordedRequest>& requests, const std::string& path) {
  std::vector<RecordedRequest> found;
  for (const auto& request : requests) {
    if (request.path == path) found.push_back(request);
  }
  return found;
}

class HttpProxyTest : public testing::Test {
 protected:
  void SetUp() override {
    server.Reset();
    server.Add(Rule::Prefix("/").Reply(Response::Ok("<html><body>origin</body></html>", "text/html")));
    SetDefaultProxy(u"");
    SetUserConnectionSettings(kDirect, "", "");
  }

  std::u16string Url16(const std::string& path) { return server.Url16(path); }

  // Whether this service honours a proxy set on a request handle
  // (WINHTTP_OPTION_PROXY). Wine 8 accepts the option and ignores it; the
  // request then goes straight to the server.
  bool ServiceHonoursRequestProxy() {
    UniqueWinHttpHandle session(
        WinHttpOpen(L"probe", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    UniqueWinHttpHandle connection(WinHttpConnect(session.Get(), L"127.0.0.1", INTERNET_PORT(server.MainPort()), 0));
    UniqueWinHttpHandle request(WinHttpOpenRequest(connection.Get(), L"GET", L"/probe", nullptr, WINHTTP_NO_REFERER,
                                                   WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
    std::u16string proxy = OpenProxy();
    WINHTTP_PROXY_INFO info = {WINHTTP_ACCESS_TYPE_NAMED_PROXY, WideBuffer(proxy), nullptr};
    WinHttpSetOption(request.Get(), WINHTTP_OPTION_PROXY, &info, sizeof info);
    if (!WinHttpSendRequest(request.Get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request.Get(), nullptr)) {
      ADD_FAILURE() << "the probe request failed: " << GetLastError();
      return false;
    }
    const auto probes = WithPath(server.Requests(), "/probe");
    const bool honoured = !probes.empty() && CameThrough(probes.back(), "parvel-open-proxy");
    if (!honoured) {
      std::cout << "[   NOTE   ] this WinHTTP ignores WINHTTP_OPTION_PROXY on a request handle\n";
      RecordProperty("request_proxy_option", "ignored");
    }
    return honoured;
  }

  ScriptedServer server;
  // Whatever a test sets is put back afterwards, for the tests that follow.
  SavedRegistryValue defaultProxy{HKEY_LOCAL_MACHINE, kConnectionsKey, L"WinHttpSettings"};
  SavedRegistryValue userSettings{HKEY_CURRENT_USER, kConnectionsKey, L"DefaultConnectionSettings"};
};

TEST_F(HttpProxyTest, TheFirstSendUsesTheServicesDefaultProxy) {
  SetDefaultProxy(OpenProxy());
  HttpRequest r(Url16("/via-default"));
  Quick(r);
  ASSERT_TRUE(r.Perform(u"GET")) << r.lastError;
  EXPECT_EQ(r.BodyText(), u"<html><body>origin</body></html>");
  const auto arrived = WithPath(server.Requests(), "/via-default");
  ASSERT_EQ(arrived.size(), 1u);
  EXPECT_TRUE(CameThrough(arrived[0], "parvel-open-proxy")) << arrived[0];
}

TEST_F(HttpProxyTest, TheProxyCredentialsAnswerTheProxysChallenge) {
  // The proxy that asks for credentials is both the default and the explicit
  // proxy, so the exchange goes through it whether or not the service honours
  // the request's proxy option; the credentials set on the request answer its
  // 407 either way.
  SetDefaultProxy(AuthProxy());
  const struct {
    const char16_t* user;
    const char16_t* password;
    bool passes;
  } cases[] = {
      {kProxyUser, kProxyPassword, true},
      {kProxyUser, u"wrong", false},
      // A password is only set together with a user name.
      {u"", kProxyPassword, false},
      {u"", u"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Utf8(c.user) + " / " + Utf8(c.password));
    server.Reset();
    server.Add(Rule::Prefix("/").Reply(Response::Ok("behind the proxy")));
    HttpRequest r(Url16("/guarded"));
    Quick(r);
    r.proxyServer = AuthProxy();
    r.proxyUserName = c.user;
    r.proxyPassword = c.password;
    // Any answer counts, the proxy's refusal included.
    EXPECT_TRUE(r.Perform(u"GET")) << r.lastError;
    const auto arrived = WithPath(server.Requests(), "/guarded");
    if (c.passes) {
      EXPECT_EQ(r.statusCode, u"200");
      EXPECT_EQ(r.BodyText(), u"behind the proxy");
      ASSERT_EQ(arrived.size(), 1u);
      EXPECT_TRUE(CameThrough(arrived[0], "parvel-auth-proxy")) << arrived[0];
    } else {
      EXPECT_NE(r.statusCode, u"200");
      EXPECT_TRUE(arrived.empty());
    }
  }
}

TEST_F(HttpProxyTest, AnExplicitProxyIsSetOnTheRequest) {
  const bool honoured = ServiceHonoursRequestProxy();
  server.Reset();
  server.Add(Rule::Prefix("/").Reply(Response::Ok("explicit")));
  HttpRequest r(Url16("/explicit"));
  Quick(r);
  r.proxyServer = OpenProxy();
  ASSERT_TRUE(r.Perform(u"GET")) << r.lastError;
  // The service took the option without complaint.
  EXPECT_EQ(r.lastError, 0u);
  EXPECT_EQ(r.BodyText(), u"explicit");
  const auto arrived = WithPath(server.Requests(), "/explicit");
  ASSERT_EQ(arrived.size(), 1u);
  EXPECT_EQ(CameThrough(arrived[0], "parvel-open-proxy"), honoured) << arrived[0];
}

TEST_F(HttpProxyTest, AFailedSendFallsBackOnTheUsersProxyScript) {
  const bool honoured = ServiceHonoursRequestProxy();
  server.Reset();
  server.Add(
      Rule::Path("/proxy.pac")
          .Reply(Response::Ok("function FindProxyForURL(url, host) { return \"PROXY " + Utf8(OpenProxy()) + "\"; }",
                              "application/x-ns-proxy-autoconfig")));
  server.Add(Rule::Prefix("/").Reply(Response::Ok("found through the script")));
  // The default proxy leads nowhere, so every first send fails.
  SetDefaultProxy(u"127.0.0.1:" + FromUtf8(std::to_string(ClosedPort())));
  SetUserConnectionSettings(kDirect | kScriptUrl, "", server.Url("/proxy.pac"));

  HttpRequest r(Url16("/behind-script"));
  Quick(r);
  const bool ok = r.Perform(u"GET");
  const auto requests = server.Requests();
  const auto scripts = WithPath(requests, "/proxy.pac");
  const auto arrived = WithPath(requests, "/behind-script");
  // The script was read: the user's settings named it and the service was
  // asked with the script alone after it refused detection and script
  // together. (Wine keeps a script it has read, so it is fetched once.)
  EXPECT_GE(scripts.size(), 1u);
  if (honoured) {
    EXPECT_TRUE(ok) << r.lastError;
    EXPECT_EQ(r.BodyText(), u"found through the script");
    ASSERT_EQ(arrived.size(), 1u);
    EXPECT_TRUE(CameThrough(arrived[0], "parvel-open-proxy")) << arrived[0];
  } else {
    // The script's proxy is set on the request and ignored, so the second
    // send takes the dead default proxy again, in each of the three attempts.
    std::cout << "[   NOTE   ] the script named " << Utf8(OpenProxy()) << "; the second send could not use it here\n";
    EXPECT_FALSE(ok);
    EXPECT_EQ(r.lastError, DWORD(ERROR_WINHTTP_CANNOT_CONNECT));
    EXPECT_TRUE(arrived.empty());
  }
}

TEST_F(HttpProxyTest, OnlyAScriptGivesAFailedSendASecondChance) {
  const std::u16string deadProxy = u"127.0.0.1:" + FromUtf8(std::to_string(ClosedPort()));
  const struct {
    const char* name;
    std::u16string defaultProxy;
    bool settings;
    DWORD flags;
    std::string manualProxy;
  } cases[] = {
      // A manual proxy and the detection switch are not used by themselves.
      {"manual proxy and detection", deadProxy, true, kDirect | kManualProxy | kAutoDetect, Utf8(OpenProxy())},
      {"no settings at all", deadProxy, false, 0, ""},
      {"nobody listening", u"", true, kDirect, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    server.Reset();
    server.Add(Rule::Prefix("/").Reply(Response::Ok("never")));
    SetDefaultProxy(c.defaultProxy);
    if (c.settings) {
      SetUserConnectionSettings(c.flags, c.manualProxy, "");
    } else {
      HKEY key = nullptr;
      if (RegOpenKeyExW(HKEY_CURRENT_USER, kConnectionsKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueW(key, L"DefaultConnectionSettings");
        RegCloseKey(key);
      }
    }
    const std::u16string url =
        c.defaultProxy.empty() ? u"http://127.0.0.1:" + FromUtf8(std::to_string(ClosedPort())) + u"/x" : Url16("/x");
    HttpRequest r(url);
    Quick(r);
    EXPECT_FALSE(r.Perform(u"GET"));
    EXPECT_EQ(r.lastError, DWORD(ERROR_WINHTTP_CANNOT_CONNECT));
    EXPECT_TRUE(server.Requests().empty());
  }
}

}  // namespace
}  // namespace parvel
