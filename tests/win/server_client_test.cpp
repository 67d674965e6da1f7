// The scripted server and its client, seen from inside Wine: each way of
// answering reaches a real WinHTTP client as scripted, and the records hold
// what travelled.
#include <winsock2.h>
#include <windows.h>
#include <winhttp.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "tests/win/support/scripted_server.h"

namespace {

using parvel::test::Escape;
using parvel::test::Response;
using parvel::test::Rule;
using parvel::test::ScriptedServer;
using parvel::test::ScriptedServerError;
using testing::ElementsAre;
using testing::HasSubstr;

class InternetHandle {
 public:
  explicit InternetHandle(HINTERNET h) : h_(h) {}
  ~InternetHandle() {
    if (h_ != nullptr) WinHttpCloseHandle(h_);
  }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  HINTERNET get() const { return h_; }

 private:
  HINTERNET h_;
};

struct Fetched {
  DWORD error = 0;  // 0 when the whole exchange went through
  DWORD status = 0;
  std::wstring rawHeaders;
  std::string body;
  int reads = 0;  // reads that delivered bytes
  double seconds = 0;
};

// One plain WinHTTP exchange, reading the body as it becomes available.
// The receive time-out bounds the wait for the response headers as well:
// Wine's WinHTTP needs the receive-response option for that, since
// WinHttpSetTimeouts leaves that wait unbounded there.
Fetched Fetch(const std::wstring& url, DWORD receiveTimeoutMs = 10000, const wchar_t* verb = L"GET",
              const std::string& data = {}, const wchar_t* extraHeaders = nullptr) {
  const auto start = std::chrono::steady_clock::now();
  Fetched f;
  const auto done = [&](bool failed) {
    if (failed) f.error = GetLastError();
    f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return f;
  };
  InternetHandle session(WinHttpOpen(L"parvel-support-test", WINHTTP_ACCESS_TYPE_NO_PROXY,
                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  WinHttpSetTimeouts(session.get(), 0, 5000, 5000, int(receiveTimeoutMs));
  wchar_t host[256] = {};
  wchar_t path[2048] = {};
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof parts;
  parts.lpszHostName = host;
  parts.dwHostNameLength = 256;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = 2048;
  if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) return done(true);
  InternetHandle connection(WinHttpConnect(session.get(), host, parts.nPort, 0));
  InternetHandle request(WinHttpOpenRequest(connection.get(), verb, path, nullptr, WINHTTP_NO_REFERER,
                                            WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
  if (request.get() == nullptr) return done(true);
  WinHttpSetOption(request.get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &receiveTimeoutMs,
                   sizeof receiveTimeoutMs);
  if (extraHeaders != nullptr) {
    WinHttpAddRequestHeaders(request.get(), extraHeaders, DWORD(-1), WINHTTP_ADDREQ_FLAG_ADD);
  }
  void* optional = data.empty() ? WINHTTP_NO_REQUEST_DATA : const_cast<char*>(data.data());
  if (!WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, optional, DWORD(data.size()),
                          DWORD(data.size()), 0) ||
      !WinHttpReceiveResponse(request.get(), nullptr)) {
    return done(true);
  }
  DWORD size = 0;
  WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                      nullptr, &size, WINHTTP_NO_HEADER_INDEX);
  f.rawHeaders.assign(size / sizeof(wchar_t), L'\0');
  if (WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                          f.rawHeaders.data(), &size, WINHTTP_NO_HEADER_INDEX)) {
    f.rawHeaders.resize(size / sizeof(wchar_t));
  }
  size = sizeof f.status;
  WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                      WINHTTP_HEADER_NAME_BY_INDEX, &f.status, &size, WINHTTP_NO_HEADER_INDEX);
  while (true) {
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request.get(), &available)) return done(true);
    if (available == 0) break;
    std::string chunk(available, '\0');
    DWORD got = 0;
    if (!WinHttpReadData(request.get(), chunk.data(), available, &got)) return done(true);
    if (got == 0) break;
    f.body.append(chunk.data(), got);
    ++f.reads;
  }
  return done(false);
}

// Sends bytes over a bare socket and returns the whole answer (until close).
std::string SendRaw(int port, const std::string& bytes) {
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(u_short(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    send(s, bytes.data(), int(bytes.size()), 0);
    char buffer[4096];
    for (int n; (n = recv(s, buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, size_t(n));
  }
  closesocket(s);
  WSACleanup();
  return answer;
}

class ServerClientTest : public testing::Test {
 protected:
  void SetUp() override { server.Reset(); }
  ScriptedServer server;
};

TEST_F(ServerClientTest, AnswersWithTheScriptedStatusHeadersAndBody) {
  const std::string body("a\0b\xff\r\n", 6);
  server.Reply("/a/b", Response::Status(203, body)
                           .Reason("Scripted Here")
                           .Header("Set-Cookie", "a=1; path=/")
                           .Header("Content-Type", "text/plain; charset=UTF-8")
                           .Header("Set-Cookie", "b=2"));
  const Fetched f = Fetch(server.WideUrl("/a/b?q=1"));
  ASSERT_EQ(f.error, 0u);
  EXPECT_EQ(f.status, 203u);
  EXPECT_EQ(f.body, body);
  EXPECT_EQ(f.rawHeaders.rfind(L"HTTP/1.1 203 Scripted Here\r\n", 0), 0u) << f.rawHeaders.c_str();
  EXPECT_NE(f.rawHeaders.find(L"Set-Cookie: a=1; path=/\r\nContent-Type: text/plain; charset=UTF-8\r\n"
                              L"Set-Cookie: b=2\r\nContent-Length: 6\r\n"),
            std::wstring::npos)
      << f.rawHeaders.c_str();

  const Fetched missing = Fetch(server.WideUrl("/nothing"));
  EXPECT_EQ(missing.status, 404u);
  EXPECT_EQ(missing.body, "no rule for /nothing");
}

TEST_F(ServerClientTest, RecordsWhatTravelledByteForByte) {
  server.Add(Rule::Path("/post").Method("POST").Reply(Response::Ok("taken")));
  const Fetched f = Fetch(server.WideUrl("/post?x=%41", server.SecondPort()), 10000, L"POST",
                          std::string("k=\0\xe4", 4), L"X-Test: one\r\n");
  // The rule names no port, so it answers on the second port too.
  EXPECT_EQ(f.status, 200u);
  EXPECT_EQ(f.body, "taken");

  // A request line no client library would send: a bare CR and LF, a space,
  // "%" and bytes above 0x7F in the target must all come back exactly.
  const std::string line = std::string("GET /odd path\rx\n%zz\xe4\xb8\xad\x01 HTTP/1.1");
  const std::string answer = SendRaw(server.MainPort(), line + "\r\nConnection: close\r\n\r\n");
  EXPECT_THAT(answer, HasSubstr("404 Not Found"));

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  const auto& post = requests[0];
  EXPECT_EQ(post.requestLine, "POST /post?x=%41 HTTP/1.1");
  EXPECT_EQ(post.port, server.SecondPort());
  EXPECT_EQ(post.path, "/post");
  EXPECT_EQ(post.query, "x=%41");
  EXPECT_EQ(post.decodedTarget, "/post?x=A");
  EXPECT_EQ(post.body, std::string("k=\0\xe4", 4));
  EXPECT_EQ(post.Header("x-test"), "one");
  EXPECT_EQ(post.Header("host"), "127.0.0.1:" + std::to_string(server.SecondPort()));
  EXPECT_EQ(post.Header("Content-Length"), "4");
  EXPECT_EQ(post.rule, 0);
  EXPECT_TRUE(post.complete);

  const auto& odd = requests[1];
  EXPECT_EQ(odd.requestLine, line) << Escape(odd.requestLine);
  EXPECT_EQ(odd.target, "/odd path\rx\n%zz\xe4\xb8\xad\x01");
  EXPECT_EQ(odd.method, "GET");
  EXPECT_EQ(odd.head, line + "\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(odd.rule, -1);
  EXPECT_EQ(server.Requests(1).size(), 1u);
}

TEST_F(ServerClientTest, UsesResponsesInOrderAndThenTheNextRule) {
  server.Add(Rule::Path("/q")
                 .Reply(Response::Ok("one").Times(2))
                 .Reply(Response::Ok("two"))
                 .Reply(Response::Ok("last").Times(1)));
  server.Add(Rule::Prefix("/q").Reply(Response::Ok("prefix rule")));
  std::vector<std::string> bodies;
  for (int i = 0; i < 6; ++i) bodies.push_back(Fetch(server.WideUrl("/q")).body);
  EXPECT_THAT(bodies, ElementsAre("one", "one", "two", "last", "prefix rule", "prefix rule"));
}

// Wine reports a client time-out as the socket's error, Windows as WinHTTP's.
const auto kTimedOut = testing::AnyOf(DWORD(ERROR_WINHTTP_TIMEOUT), DWORD(WSAETIMEDOUT));

TEST_F(ServerClientTest, CutsTheBodyShortAfterAnnouncingAllOfIt) {
  const std::string body(1000, 'x');
  server.Reply("/cut", Response::Ok(body).CutAfter(300));
  server.Reply("/stall", Response::Ok(body).CutAfter(300, true).HoldAtMost(20000));
  const Fetched cut = Fetch(server.WideUrl("/cut"));
  EXPECT_EQ(cut.status, 200u);
  EXPECT_NE(cut.rawHeaders.find(L"Content-Length: 1000\r\n"), std::wstring::npos);
  EXPECT_EQ(cut.body, body.substr(0, 300));
  // Held after the cut, the connection stays open until the client gives up.
  const Fetched stalled = Fetch(server.WideUrl("/stall"), 1000);
  EXPECT_EQ(stalled.body, body.substr(0, 300));
  EXPECT_THAT(stalled.error, kTimedOut);
  EXPECT_LT(stalled.seconds, 15.0);
}

TEST_F(ServerClientTest, FramesTheBodyWithoutContentLengthOrInChunks) {
  std::string body;
  for (int i = 0; i < 3000; ++i) body += char('a' + i % 26);
  server.Reply("/close", Response::Ok(body).NoContentLength());
  server.Reply("/chunked", Response::Ok(body).Chunked(700));
  const struct {
    const char* path;
    const wchar_t* present;
    const wchar_t* absent;
  } cases[] = {
      {"/close", L"Content-Type: text/plain\r\n", L"Content-Length"},
      {"/chunked", L"Transfer-Encoding: chunked\r\n", L"Content-Length"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const Fetched f = Fetch(server.WideUrl(c.path));
    EXPECT_EQ(f.error, 0u);
    EXPECT_EQ(f.body, body);
    EXPECT_NE(f.rawHeaders.find(c.present), std::wstring::npos) << f.rawHeaders.c_str();
    EXPECT_EQ(f.rawHeaders.find(c.absent), std::wstring::npos) << f.rawHeaders.c_str();
  }
}

TEST_F(ServerClientTest, DelaysTheHeadersAndTricklesTheBody) {
  server.Reply("/late", Response::Ok("late").DelayHeaders(400));
  server.Reply("/slow", Response::Ok(std::string(500, 's')).Trickle(100, 100));
  const Fetched late = Fetch(server.WideUrl("/late"));
  EXPECT_EQ(late.body, "late");
  EXPECT_GE(late.seconds, 0.35);
  const Fetched slow = Fetch(server.WideUrl("/slow"));
  EXPECT_EQ(slow.body, std::string(500, 's'));
  EXPECT_GE(slow.seconds, 0.35);
  // The pieces arrive one by one, so a progress display sees them.
  EXPECT_GE(slow.reads, 3);
}

TEST_F(ServerClientTest, SilenceRunsIntoTheClientTimeoutWithoutBlockingOthers) {
  server.Reply("/mute", Response::Silence(20000));
  server.Reply("/x", Response::Ok("alive"));
  std::atomic<bool> muteDone{false};
  Fetched mute;
  std::thread waiter([&] {
    mute = Fetch(server.WideUrl("/mute"), 2000);
    muteDone = true;
  });
  ASSERT_EQ(server.WaitForRequests(1).size(), 1u);
  const Fetched other = Fetch(server.WideUrl("/x"));
  EXPECT_EQ(other.body, "alive");
  EXPECT_FALSE(muteDone) << "a held connection blocked the others";
  waiter.join();
  EXPECT_THAT(mute.error, kTimedOut);
  EXPECT_GE(mute.seconds, 1.5);
  EXPECT_LT(mute.seconds, 15.0) << "the client's time-out did not end the wait";
}

TEST_F(ServerClientTest, HangsUpOrRedirectsToTheOtherHost) {
  server.Reply("/hangup", Response::Hangup());
  EXPECT_NE(Fetch(server.WideUrl("/hangup")).error, 0u);

  // The client may retry a hang-up, so the records start afresh here.
  server.Reset();
  server.Reply("/old", Response::Redirect(server.Url("/new", server.SecondPort())));
  server.Reply("/new", Response::Ok("moved"), server.SecondPort());
  const Fetched f = Fetch(server.WideUrl("/old"));
  EXPECT_EQ(f.status, 200u);
  EXPECT_EQ(f.body, "moved");
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].port, server.MainPort());
  EXPECT_EQ(requests[1].port, server.SecondPort());
  EXPECT_EQ(requests[1].requestLine, "GET /new HTTP/1.1");
}

TEST_F(ServerClientTest, RefusedScriptsThrowWithTheReason) {
  try {
    server.Add(Rule::Path("/no-response"));
    FAIL() << "no exception";
  } catch (const ScriptedServerError& e) {
    EXPECT_THAT(e.what(), HasSubstr("needs at least one response"));
  }
  EXPECT_TRUE(server.Healthy());
}

}  // namespace
