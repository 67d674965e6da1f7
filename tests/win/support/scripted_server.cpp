#include "tests/win/support/scripted_server.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <sstream>

namespace parvel::test {
namespace {

// --- JSON ---------------------------------------------------------------------
// Only what the control API needs. Byte strings travel as JSON strings whose
// characters U+0000..U+00FF stand for the bytes 0..255, so every \u00XX escape
// the server writes turns back into exactly one byte here.

struct Json {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<Json> items;
  std::vector<std::pair<std::string, Json>> members;

  const Json& operator[](std::string_view key) const {
    static const Json kNothing;
    for (const auto& member : members) {
      if (member.first == key) return member.second;
    }
    return kNothing;
  }
};

class JsonReader {
 public:
  explicit JsonReader(std::string_view input) : input_(input) {}

  Json Document() {
    Json value = Value(0);
    SkipBlanks();
    if (at_ != input_.size()) Fail("text after the value");
    return value;
  }

 private:
  [[noreturn]] void Fail(const char* what) const {
    throw ScriptedServerError("scripted server: bad JSON from the control port (" +
                              std::string(what) + " at offset " + std::to_string(at_) + ")");
  }

  void SkipBlanks() {
    while (at_ < input_.size() && (input_[at_] == ' ' || input_[at_] == '\t' ||
                                   input_[at_] == '\r' || input_[at_] == '\n')) {
      ++at_;
    }
  }

  bool Eat(std::string_view word) {
    if (input_.substr(at_, word.size()) != word) return false;
    at_ += word.size();
    return true;
  }

  Json Value(int depth) {
    if (depth > 64) Fail("nesting too deep");
    SkipBlanks();
    if (at_ >= input_.size()) Fail("unexpected end");
    Json value;
    const char c = input_[at_];
    if (c == '{') {
      value.kind = Json::Kind::kObject;
      ++at_;
      SkipBlanks();
      if (Eat("}")) return value;
      do {
        SkipBlanks();
        if (at_ >= input_.size() || input_[at_] != '"') Fail("expected a key");
        std::string key = String();
        SkipBlanks();
        if (!Eat(":")) Fail("expected ':'");
        value.members.emplace_back(std::move(key), Value(depth + 1));
        SkipBlanks();
      } while (Eat(","));
      if (!Eat("}")) Fail("expected '}'");
    } else if (c == '[') {
      value.kind = Json::Kind::kArray;
      ++at_;
      SkipBlanks();
      if (Eat("]")) return value;
      do {
        value.items.push_back(Value(depth + 1));
        SkipBlanks();
      } while (Eat(","));
      if (!Eat("]")) Fail("expected ']'");
    } else if (c == '"') {
      value.kind = Json::Kind::kString;
      value.text = String();
    } else if (Eat("true")) {
      value.kind = Json::Kind::kBool;
      value.boolean = true;
    } else if (Eat("false")) {
      value.kind = Json::Kind::kBool;
    } else if (Eat("null")) {
    } else {
      const size_t start = at_;
      while (at_ < input_.size() && std::string_view("+-.eE0123456789").find(input_[at_]) !=
                                        std::string_view::npos) {
        ++at_;
      }
      if (start == at_) Fail("unexpected character");
      value.kind = Json::Kind::kNumber;
      value.number = std::strtod(std::string(input_.substr(start, at_ - start)).c_str(), nullptr);
    }
    return value;
  }

  unsigned Hex4() {
    if (at_ + 4 > input_.size()) Fail("short \\u escape");
    unsigned code = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = input_[at_++];
      code <<= 4;
      if (c >= '0' && c <= '9') {
        code |= unsigned(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        code |= unsigned(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        code |= unsigned(c - 'A' + 10);
      } else {
        Fail("bad \\u escape");
      }
    }
    return code;
  }

  static void AppendUtf8(std::string& out, unsigned code) {
    if (code < 0x800) {
      out += char(0xC0 | (code >> 6));
    } else if (code < 0x10000) {
      out += char(0xE0 | (code >> 12));
      out += char(0x80 | ((code >> 6) & 0x3F));
    } else {
      out += char(0xF0 | (code >> 18));
      out += char(0x80 | ((code >> 12) & 0x3F));
      out += char(0x80 | ((code >> 6) & 0x3F));
    }
    out += char(0x80 | (code & 0x3F));
  }

  std::string String() {
    ++at_;  // the opening quote
    std::string out;
    while (true) {
      if (at_ >= input_.size()) Fail("unterminated string");
      const char c = input_[at_++];
      if (c == '"') return out;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= input_.size()) Fail("unterminated escape");
      const char e = input_[at_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          unsigned code = Hex4();
          if (code <= 0xFF) {
            out += char(code);  // a byte of a byte string
          } else {
            // Only free text (error messages) holds more; it is kept as UTF-8.
            if (code >= 0xD800 && code < 0xDC00 && Eat("\\u")) {
              const unsigned low = Hex4();
              code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            }
            AppendUtf8(out, code);
          }
          break;
        }
        default: Fail("unknown escape");
      }
    }
  }

  std::string_view input_;
  size_t at_ = 0;
};

std::string JsonBytes(std::string_view bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || c >= 0x7F) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

// Builds one JSON object member by member.
class JsonObject {
 public:
  JsonObject& Raw(std::string_view key, const std::string& json) {
    text_ += text_.size() > 1 ? "," : "";
    text_ += JsonBytes(key) + ":" + json;
    return *this;
  }
  JsonObject& Bytes(std::string_view key, std::string_view value) {
    return Raw(key, JsonBytes(value));
  }
  JsonObject& Int(std::string_view key, int value) { return Raw(key, std::to_string(value)); }
  JsonObject& True(std::string_view key) { return Raw(key, "true"); }
  std::string Done() const { return text_ + "}"; }

 private:
  std::string text_ = "{";
};

std::string JsonOf(const HeaderList& headers) {
  std::string out = "[";
  for (const auto& header : headers) {
    out += out.size() > 1 ? "," : "";
    out += "[" + JsonBytes(header.first) + "," + JsonBytes(header.second) + "]";
  }
  return out + "]";
}

std::string JsonOf(const Response& r) {
  JsonObject o;
  o.Int("status", r.status);
  if (r.reason) o.Bytes("reason", *r.reason);
  if (!r.headers.empty()) o.Raw("headers", JsonOf(r.headers));
  if (!r.body.empty()) o.Bytes("body", r.body);
  if (r.count > 0) o.Int("count", r.count);
  if (r.cutAfter >= 0) o.Int("cut_after", r.cutAfter);
  if (r.holdAfterCut) o.True("hold");
  if (r.noContentLength) o.True("no_content_length");
  if (r.chunked) o.True("chunked");
  if (r.chunkSize > 0) o.Int("chunk_size", r.chunkSize);
  if (r.delayHeadersMs > 0) o.Int("delay_headers_ms", r.delayHeadersMs);
  if (r.delayBodyMs > 0) o.Int("delay_body_ms", r.delayBodyMs);
  if (r.bytesPerTick > 0) o.Int("bytes_per_tick", r.bytesPerTick);
  if (r.tickMs > 0) o.Int("tick_ms", r.tickMs);
  if (r.silent) o.True("silent");
  if (r.holdMs > 0) o.Int("hold_ms", r.holdMs);
  if (r.closeWithoutAnswer) o.True("close_without_answer");
  if (r.resetConnection) o.True("reset");
  if (r.closeConnection) o.True("close");
  if (r.raw) o.Bytes("raw", *r.raw);
  return o.Done();
}

std::string JsonOf(const Rule& rule) {
  JsonObject o;
  if (rule.port != 0) o.Int("port", rule.port);
  if (!rule.method.empty()) o.Bytes("method", rule.method);
  switch (rule.match) {
    case Rule::Match::kExact: o.Bytes("path", rule.path).Bytes("match", "exact"); break;
    case Rule::Match::kPrefix: o.Bytes("path", rule.path).Bytes("match", "prefix"); break;
    case Rule::Match::kAny: o.Bytes("match", "any"); break;
  }
  std::string responses = "[";
  for (const auto& response : rule.responses) {
    responses += responses.size() > 1 ? "," : "";
    responses += JsonOf(response);
  }
  o.Raw("responses", responses + "]");
  return o.Done();
}

std::string JsonOf(const std::vector<Rule>& rules) {
  std::string out = "[";
  for (const auto& rule : rules) {
    out += out.size() > 1 ? "," : "";
    out += JsonOf(rule);
  }
  return out + "]";
}

HeaderList PairsOf(const Json& list) {
  HeaderList out;
  for (const auto& pair : list.items) {
    if (pair.items.size() == 2) out.emplace_back(pair.items[0].text, pair.items[1].text);
  }
  return out;
}

RecordedRequest RecordOf(const Json& j) {
  RecordedRequest r;
  r.index = int(j["index"].number);
  r.port = int(j["port"].number);
  r.connection = int(j["connection"].number);
  r.time = j["time"].number;
  r.complete = j["complete"].boolean;
  r.head = j["head"].text;
  r.requestLine = j["request_line"].text;
  r.method = j["method"].text;
  r.target = j["target"].text;
  r.version = j["version"].text;
  r.path = j["path"].text;
  r.query = j["query"].text;
  r.decodedTarget = j["decoded_target"].text;
  r.headers = PairsOf(j["headers"]);
  r.body = j["body"].text;
  r.trailers = PairsOf(j["trailers"]);
  r.rule = int(j["rule"].number);
  r.response = int(j["response"].number);
  return r;
}

bool SameLetters(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

// --- the control connection ---------------------------------------------------

void StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) throw ScriptedServerError("scripted server: WSAStartup failed");
}

class Socket {
 public:
  Socket() : s_(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {}
  ~Socket() {
    if (s_ != INVALID_SOCKET) closesocket(s_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  SOCKET get() const { return s_; }

 private:
  SOCKET s_;
};

int PortFromEnvironment(const char* name, int fallback) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return fallback;
  char* end = nullptr;
  const long port = std::strtol(value, &end, 10);
  if (*end != '\0' || port <= 0 || port > 65535) {
    throw ScriptedServerError(std::string("scripted server: ") + name + "=" + value +
                              " is not a port number");
  }
  return int(port);
}

}  // namespace

// --- Response and Rule ----------------------------------------------------------

Response Response::Ok(std::string body, std::string contentType) {
  Response r;
  r.body = std::move(body);
  if (!contentType.empty()) r.headers.emplace_back("Content-Type", std::move(contentType));
  return r;
}

Response Response::Status(int status, std::string body) {
  Response r;
  r.status = status;
  r.body = std::move(body);
  return r;
}

Response Response::Redirect(std::string location, int status) {
  Response r;
  r.status = status;
  r.headers.emplace_back("Location", std::move(location));
  return r;
}

Response Response::Silence(int atMostMs) {
  Response r;
  r.silent = true;
  r.holdMs = atMostMs;
  return r;
}

Response Response::Hangup() {
  Response r;
  r.closeWithoutAnswer = true;
  return r;
}

Response Response::Raw(std::string bytes) {
  Response r;
  r.raw = std::move(bytes);
  return r;
}

Response& Response::Header(std::string name, std::string value) {
  headers.emplace_back(std::move(name), std::move(value));
  return *this;
}
Response& Response::Reason(std::string text) {
  reason = std::move(text);
  return *this;
}
Response& Response::Times(int requests) {
  count = requests;
  return *this;
}
Response& Response::CutAfter(int bytes, bool hold) {
  cutAfter = bytes;
  holdAfterCut = hold;
  return *this;
}
Response& Response::HoldAtMost(int ms) {
  holdMs = ms;
  return *this;
}
Response& Response::NoContentLength() {
  noContentLength = true;
  return *this;
}
Response& Response::Chunked(int chunkBytes) {
  chunked = true;
  chunkSize = chunkBytes;
  return *this;
}
Response& Response::DelayHeaders(int ms) {
  delayHeadersMs = ms;
  return *this;
}
Response& Response::DelayBody(int ms) {
  delayBodyMs = ms;
  return *this;
}
Response& Response::Trickle(int bytes, int everyMs) {
  bytesPerTick = bytes;
  tickMs = everyMs;
  return *this;
}
Response& Response::WithReset() {
  resetConnection = true;
  return *this;
}
Response& Response::CloseConnection() {
  closeConnection = true;
  return *this;
}

Rule Rule::Path(std::string path) {
  Rule r;
  r.path = std::move(path);
  r.match = Match::kExact;
  return r;
}
Rule Rule::Prefix(std::string prefix) {
  Rule r;
  r.path = std::move(prefix);
  r.match = Match::kPrefix;
  return r;
}
Rule Rule::AnyPath() { return Rule(); }
Rule& Rule::On(int servicePort) {
  port = servicePort;
  return *this;
}
Rule& Rule::Method(std::string verb) {
  method = std::move(verb);
  return *this;
}
Rule& Rule::Reply(Response response) {
  responses.push_back(std::move(response));
  return *this;
}

// --- records --------------------------------------------------------------------

std::optional<std::string> RecordedRequest::Header(std::string_view name) const {
  for (const auto& header : headers) {
    if (SameLetters(header.first, name)) return header.second;
  }
  return std::nullopt;
}

std::vector<std::string> RecordedRequest::Headers(std::string_view name) const {
  std::vector<std::string> values;
  for (const auto& header : headers) {
    if (SameLetters(header.first, name)) values.push_back(header.second);
  }
  return values;
}

std::string Escape(std::string_view bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          out += "\\x";
          out += kHex[c >> 4];
          out += kHex[c & 15];
        } else {
          out += ch;
        }
    }
  }
  return out;
}

std::ostream& operator<<(std::ostream& out, const RecordedRequest& r) {
  out << "#" << r.index << " port " << r.port << " \"" << Escape(r.requestLine) << "\"";
  if (!r.complete) out << " (incomplete)";
  if (!r.body.empty()) out << " body " << r.body.size() << " bytes \"" << Escape(r.body.substr(0, 64)) << "\"";
  return out << " rule " << r.rule << "/" << r.response;
}

// --- ScriptedServer -------------------------------------------------------------

ScriptedServer::ScriptedServer()
    : controlPort_(PortFromEnvironment("PARVEL_TEST_CONTROL_PORT", kControlPort)),
      mainPort_(PortFromEnvironment("PARVEL_TEST_MAIN_PORT", kServicePort)),
      secondPort_(PortFromEnvironment("PARVEL_TEST_SECOND_PORT", kSecondPort)),
      thirdPort_(PortFromEnvironment("PARVEL_TEST_THIRD_PORT", kThirdPort)) {}

std::string ScriptedServer::Url(const std::string& path, int port) const {
  return "http://127.0.0.1:" + std::to_string(port != 0 ? port : mainPort_) + path;
}

std::wstring ScriptedServer::WideUrl(const std::string& path, int port) const {
  // Addresses are ASCII; any other byte is widened as it is (Latin-1).
  const std::string url = Url(path, port);
  std::wstring wide;
  for (const char c : url) wide += wchar_t(static_cast<unsigned char>(c));
  return wide;
}

std::u16string ScriptedServer::Url16(const std::string& path, int port) const {
  const std::string url = Url(path, port);
  std::u16string wide;
  for (const char c : url) wide += char16_t(static_cast<unsigned char>(c));
  return wide;
}

std::string ScriptedServer::Call(const std::string& method, const std::string& target,
                                 const std::string& body, int timeoutMs) {
  StartWinsock();
  const std::string where = "127.0.0.1:" + std::to_string(controlPort_);
  Socket s;
  if (s.get() == INVALID_SOCKET) {
    throw ScriptedServerError("scripted server: socket() failed: " + std::to_string(WSAGetLastError()));
  }
  const DWORD timeout = DWORD(timeoutMs);
  setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
  setsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(controlPort_));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw ScriptedServerError("scripted server: cannot reach the control port " + where +
                              " (Winsock error " + std::to_string(WSAGetLastError()) +
                              "); is the parvel_server test fixture running?");
  }
  const std::string request = method + " " + target + " HTTP/1.0\r\nHost: " + where +
                              "\r\nContent-Type: application/json\r\nContent-Length: " +
                              std::to_string(body.size()) + "\r\n\r\n" + body;
  for (size_t sent = 0; sent < request.size();) {
    const int n = send(s.get(), request.data() + sent, int(request.size() - sent), 0);
    if (n <= 0) {
      throw ScriptedServerError("scripted server: sending to " + where + " failed (Winsock error " +
                                std::to_string(WSAGetLastError()) + ")");
    }
    sent += size_t(n);
  }
  std::string answer;
  char buffer[16384];
  while (true) {
    const int n = recv(s.get(), buffer, sizeof buffer, 0);
    if (n == 0) break;
    if (n < 0) {
      throw ScriptedServerError("scripted server: no answer from " + where + " to " + method + " " +
                                target + " (Winsock error " + std::to_string(WSAGetLastError()) + ")");
    }
    answer.append(buffer, size_t(n));
  }
  const size_t space = answer.find(' ');
  const size_t end = answer.find("\r\n\r\n");
  if (space == std::string::npos || end == std::string::npos) {
    throw ScriptedServerError("scripted server: garbled answer from " + where + ": " +
                              Escape(answer.substr(0, 200)));
  }
  const int status = std::atoi(answer.c_str() + space + 1);
  std::string document = answer.substr(end + 4);
  if (status != 200) {
    const Json error = JsonReader(document).Document();
    throw ScriptedServerError("scripted server refused " + method + " " + target + " (" +
                              std::to_string(status) + "): " + error["error"].text);
  }
  return document;
}

void ScriptedServer::Reset() { Call("POST", "/reset", {}, 10000); }

void ScriptedServer::Add(const Rule& rule) { Call("POST", "/script/append", JsonOf(rule), 10000); }

void ScriptedServer::Add(const std::vector<Rule>& rules) {
  Call("POST", "/script/append", JsonOf(rules), 10000);
}

void ScriptedServer::Set(const std::vector<Rule>& rules) {
  Call("POST", "/script", JsonOf(rules), 10000);
}

void ScriptedServer::Reply(const std::string& path, const Response& response, int port) {
  Add(Rule::Path(path).On(port).Reply(response));
}

std::vector<RecordedRequest> ScriptedServer::Requests(int since) {
  const Json answer =
      JsonReader(Call("GET", "/requests?since=" + std::to_string(since), {}, 10000)).Document();
  std::vector<RecordedRequest> records;
  for (const auto& item : answer["requests"].items) records.push_back(RecordOf(item));
  return records;
}

std::vector<RecordedRequest> ScriptedServer::WaitForRequests(int count, int timeoutMs) {
  const Json answer = JsonReader(Call("GET",
                                      "/requests?since=0&count=" + std::to_string(count) +
                                          "&wait=" + std::to_string(timeoutMs),
                                      {}, timeoutMs + 15000))
                          .Document();
  std::vector<RecordedRequest> records;
  for (const auto& item : answer["requests"].items) records.push_back(RecordOf(item));
  return records;
}

bool ScriptedServer::Healthy() {
  try {
    return JsonReader(Call("GET", "/health", {}, 5000)).Document()["ok"].boolean;
  } catch (const ScriptedServerError&) {
    return false;
  }
}

}  // namespace parvel::test
