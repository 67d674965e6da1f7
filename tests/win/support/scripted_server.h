// Client of the scripted HTTP server (tests/server/scripted_server.py) for the
// Windows test programs: it sets the script that answers the requests of the
// code under test and reads back exactly what arrived.
//
// It talks to the server's control port over plain Winsock, never WinHTTP,
// because WinHTTP is what the tests examine.
//
//   parvel::test::ScriptedServer server;   // one per test fixture is fine
//   server.Reset();                        // in SetUp: empty script, no records
//   server.Add(Rule::Path("/download/ParvelUpdat.txt")
//                  .Reply(Response::Ok(manifest))
//                  .Reply(Response::Ok(manifest).CutAfter(10)));
//   server.Add(Rule::Prefix("/Setup_open-V").On(server.SecondPort())
//                  .Reply(Response::Ok(installer, "application/octet-stream")
//                             .Trickle(4096, 100)));
//   ... run the code under test against server.Url("/download/ParvelUpdat.txt") ...
//   auto requests = server.Requests();
//   EXPECT_EQ(requests[0].requestLine, "GET /download/ParvelUpdat.txt HTTP/1.1");
//
// Every text here is a byte string: std::string holds the exact bytes that
// travel (or travelled) on the wire, whatever they are.
#pragma once

#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace parvel::test {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// A failure of the control connection or a script the server refused. Inside
// a GoogleTest body it ends the test with this message.
class ScriptedServerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One scripted answer. Unless told otherwise the server adds Content-Length
// after the scripted headers and keeps the connection open (HTTP/1.1).
struct Response {
  int status = 200;
  std::optional<std::string> reason;  // absent: the standard reason phrase
  HeaderList headers;                 // sent in order, duplicates kept
  std::string body;
  // How many requests this response answers before the next one in the rule
  // takes over. 0 means once, except for a rule's last response, which then
  // repeats for ever; a last response with a count uses the rule up.
  int count = 0;

  // Delivery.
  int cutAfter = -1;            // only this many body bytes, then close
  bool holdAfterCut = false;    // after the cut stay silent instead of closing
  bool noContentLength = false; // no Content-Length: the body ends at close
  bool chunked = false;         // Transfer-Encoding: chunked
  int chunkSize = 0;            // bytes per chunk; 0 = one chunk
  int delayHeadersMs = 0;       // pause before the status line
  int delayBodyMs = 0;          // pause between the head and the body
  int bytesPerTick = 0;         // with tickMs: the body this many bytes at a
  int tickMs = 0;               //   time, pausing tickMs between pieces
  bool silent = false;          // never answer (until the client gives up or Reset)
  int holdMs = 0;               // silence, or the hold after a cut, ends (the
                                //   server closes) after this long; 0 = never
  bool closeWithoutAnswer = false;  // close as soon as the request is read
  bool resetConnection = false; // any close of this answer is a TCP reset
  bool closeConnection = false; // add "Connection: close" and close after it
  std::optional<std::string> raw;   // these exact bytes are the whole answer

  // Ready-made answers.
  static Response Ok(std::string body = {}, std::string contentType = "text/plain");
  static Response Status(int status, std::string body = {});
  static Response Redirect(std::string location, int status = 302);
  // Silence: under Wine, WinHTTP waits for the response headers without any
  // limit unless the request sets WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT
  // (WinHttpSetTimeouts does not bound that wait); give atMostMs so that a
  // client without that option is let go and the test cannot hang.
  static Response Silence(int atMostMs = 0);
  static Response Hangup();  // close without answering
  static Response Raw(std::string bytes);

  // Refinements, to be chained.
  Response& Header(std::string name, std::string value);
  Response& Reason(std::string text);
  Response& Times(int requests);
  Response& CutAfter(int bytes, bool hold = false);
  Response& HoldAtMost(int ms);
  Response& NoContentLength();
  Response& Chunked(int chunkBytes = 0);
  Response& DelayHeaders(int ms);
  Response& DelayBody(int ms);
  Response& Trickle(int bytes, int everyMs);
  Response& WithReset();
  Response& CloseConnection();
};

// Which requests a rule answers. The first rule (in the order added) that
// matches and still has a response left answers; with none the server answers
// 404 with the text "no rule for <target>".
struct Rule {
  enum class Match {
    kExact,   // the path without its query; or the whole target when `path` holds a "?"
    kPrefix,  // the start of the whole target, query included
    kAny,
  };
  int port = 0;        // a service port, 0 = any
  std::string method;  // exact ("GET"); empty = any
  std::string path;
  Match match = Match::kAny;
  std::vector<Response> responses;  // used in order

  static Rule Path(std::string path);
  static Rule Prefix(std::string prefix);
  static Rule AnyPath();
  Rule& On(int servicePort);
  Rule& Method(std::string verb);
  Rule& Reply(Response response);
};

// One request as it arrived on a service port.
struct RecordedRequest {
  int index = 0;       // 0, 1, ... in order of arrival since the last Reset
  int port = 0;
  int connection = 0;  // requests on one TCP connection share the number
  double time = 0;     // the server's monotonic clock at the first byte, seconds
  bool complete = false;  // false: the client stopped in the middle of it
  std::string head;        // every byte up to and including the blank line
  std::string requestLine; // the bytes before the first CR LF, exactly
  std::string method;
  std::string target;      // as sent: no decoding, absolute form kept
  std::string version;
  std::string path;        // target up to the first "?" (path only for absolute form)
  std::string query;       // after the first "?"
  std::string decodedTarget;  // target with %XX decoded
  HeaderList headers;      // in order; values without surrounding blanks
  std::string body;        // Content-Length or de-chunked body
  HeaderList trailers;
  int rule = -1;           // which rule and response answered; -1 = none
  int response = -1;

  // The first value of the header `name` (letter case ignored), if any.
  std::optional<std::string> Header(std::string_view name) const;
  // Every value of the header `name`, in order.
  std::vector<std::string> Headers(std::string_view name) const;
};

// A byte string made readable for messages: printable ASCII as is, other
// bytes as \r, \n, \t or \xHH, and the backslash doubled.
std::string Escape(std::string_view bytes);
// One line per request, for failure messages; GoogleTest prints records with it.
std::ostream& operator<<(std::ostream& out, const RecordedRequest& request);

class ScriptedServer {
 public:
  // The defaults; PARVEL_TEST_CONTROL_PORT, PARVEL_TEST_MAIN_PORT,
  // PARVEL_TEST_SECOND_PORT and PARVEL_TEST_THIRD_PORT override them (the
  // server reads the same variables). The library's built-in update server
  // is the main port, 47321, in the test build.
  static constexpr int kControlPort = 47320;
  static constexpr int kServicePort = 47321;
  static constexpr int kSecondPort = 47322;
  static constexpr int kThirdPort = 47323;

  ScriptedServer();

  int ControlPort() const { return controlPort_; }
  int MainPort() const { return mainPort_; }
  int SecondPort() const { return secondPort_; }
  int ThirdPort() const { return thirdPort_; }

  // "http://127.0.0.1:PORT" + path; port 0 is the main port.
  std::string Url(const std::string& path, int port = 0) const;
  std::wstring WideUrl(const std::string& path, int port = 0) const;
  std::u16string Url16(const std::string& path, int port = 0) const;

  // Clears script and records and closes every open service connection,
  // silent ones included.
  void Reset();
  // Appends rules to the script.
  void Add(const Rule& rule);
  void Add(const std::vector<Rule>& rules);
  // Replaces the script (records stay).
  void Set(const std::vector<Rule>& rules);
  // Shorthand: any method on `path` (exact) of `port` (0 = any) gets `response`.
  void Reply(const std::string& path, const Response& response, int port = 0);

  // The records with index >= since.
  std::vector<RecordedRequest> Requests(int since = 0);
  // Waits until at least `count` requests have arrived, or timeoutMs has
  // passed, and returns all records (check the size).
  std::vector<RecordedRequest> WaitForRequests(int count, int timeoutMs = 10000);
  // Whether the control port answers.
  bool Healthy();

 private:
  std::string Call(const std::string& method, const std::string& target,
                   const std::string& body, int timeoutMs);

  int controlPort_;
  int mainPort_;
  int secondPort_;
  int thirdPort_;
};

}  // namespace parvel::test
