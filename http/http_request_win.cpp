#include "http/http_request_win.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <string>
#include <utility>

#include "common/text.h"

namespace parvel {

namespace {

// Texts that the proxy operations of WinHTTP hand back, released with GlobalFree.
struct GlobalTextTraits {
  using Handle = LPWSTR;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle text) { ::GlobalFree(text); }
};
using UniqueGlobalText = UniqueHandle<GlobalTextTraits>;

// How one attempt ended.
enum class AttemptEnd {
  Done,        // a response and its body were taken
  Failed,      // a step failed; its error is recorded
  Incomplete,  // the body opens an HTML document that is not closed
  Abort,       // the first body buffer could not be made: no further attempt
};

// The body as the service delivers it.
class ServiceBody : public BodySource {
 public:
  explicit ServiceBody(HINTERNET request) : request_(request) {}

  bool QueryAvailable(uint32_t& available, uint32_t& error) override {
    DWORD count = 0;
    if (!::WinHttpQueryDataAvailable(request_, &count)) {
      error = ::GetLastError();
      return false;
    }
    available = count;
    return true;
  }

  bool Read(uint8_t* buffer, uint32_t size, uint32_t& read) override {
    DWORD count = 0;
    const BOOL ok = ::WinHttpReadData(request_, buffer, size, &count);
    read = count;
    return ok != FALSE;
  }

 private:
  HINTERNET request_;
};

// Adds header lines to the request, merging a header that is already there
// with a semicolon.
void AddHeaders(HttpRequest& r, HINTERNET request, const std::u16string& lines) {
  if (!::WinHttpAddRequestHeaders(request, WidePtr(lines), static_cast<DWORD>(lines.size()),
                                  WINHTTP_ADDREQ_FLAG_COALESCE_WITH_SEMICOLON)) {
    r.lastError = ::GetLastError();
  }
}

// A text option. The service counts these lengths in characters.
bool SetTextOption(HINTERNET request, DWORD option, const std::u16string& text) {
  return ::WinHttpSetOption(request, option, const_cast<wchar_t*>(WidePtr(text)), static_cast<DWORD>(text.size())) !=
         FALSE;
}

// The explicit proxy and its credentials. Each failure is recorded; none
// stops the attempt.
void SetExplicitProxy(HttpRequest& r, HINTERNET request) {
  if (r.proxyServer.empty()) return;
  std::u16string server = r.proxyServer;
  WINHTTP_PROXY_INFO info = {};
  info.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
  info.lpszProxy = WideBuffer(server);
  info.lpszProxyBypass = WINHTTP_NO_PROXY_BYPASS;
  if (!::WinHttpSetOption(request, WINHTTP_OPTION_PROXY, &info, sizeof info)) r.lastError = ::GetLastError();
  if (r.proxyUserName.empty()) return;
  if (!SetTextOption(request, WINHTTP_OPTION_PROXY_USERNAME, r.proxyUserName)) r.lastError = ::GetLastError();
  if (!r.proxyPassword.empty() && !SetTextOption(request, WINHTTP_OPTION_PROXY_PASSWORD, r.proxyPassword)) {
    r.lastError = ::GetLastError();
  }
}

bool Send(HINTERNET request) {
  return ::WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) != FALSE;
}

// Asks the service which proxy the script at scriptUrl names for url. The
// first question allows automatic detection (by DHCP) as well; some
// implementations of the service refuse that pair outright, so a refused
// question is asked once more with the script alone, which is what the user
// configured.
bool AskScript(HINTERNET session, const std::u16string& url, LPWSTR scriptUrl, WINHTTP_PROXY_INFO& answer,
               DWORD& error) {
  WINHTTP_AUTOPROXY_OPTIONS options = {};
  options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT | WINHTTP_AUTOPROXY_CONFIG_URL;
  options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP;
  options.lpszAutoConfigUrl = scriptUrl;
  options.fAutoLogonIfChallenged = TRUE;
  if (::WinHttpGetProxyForUrl(session, WidePtr(url), &options, &answer)) return true;
  options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
  options.dwAutoDetectFlags = 0;
  if (::WinHttpGetProxyForUrl(session, WidePtr(url), &options, &answer)) return true;
  error = ::GetLastError();
  return false;
}

// After a failed send: sends once more through the proxy that the current
// user's automatic-configuration script names. Only the script counts; a
// manually configured proxy and the detection switch of the user's settings
// are not used by themselves. Returns whether the request went out; when it
// did not, error holds the last failure.
bool SendThroughUsersScript(HttpRequest& r, HINTERNET session, HINTERNET request, DWORD& error) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings = {};
  if (!::WinHttpGetIEProxyConfigForCurrentUser(&settings)) {
    error = ::GetLastError();
    return false;
  }
  const UniqueGlobalText scriptUrl(settings.lpszAutoConfigUrl);
  const UniqueGlobalText manualProxy(settings.lpszProxy);
  const UniqueGlobalText manualBypass(settings.lpszProxyBypass);
  if (settings.lpszAutoConfigUrl == nullptr || settings.lpszAutoConfigUrl[0] == L'\0') return false;

  WINHTTP_PROXY_INFO answer = {};
  if (!AskScript(session, r.url, settings.lpszAutoConfigUrl, answer, error)) {
    r.lastError = error;
    return false;
  }
  const UniqueGlobalText answerProxy(answer.lpszProxy);
  const UniqueGlobalText answerBypass(answer.lpszProxyBypass);
  if (!::WinHttpSetOption(request, WINHTTP_OPTION_PROXY, &answer, sizeof answer)) {
    error = ::GetLastError();
    return false;
  }
  if (!Send(request)) {
    error = ::GetLastError();
    return false;
  }
  return true;
}

// One header query as text: the size first, then the text into a zero-filled
// buffer of twice that size. False when either call fails.
bool QueryHeaderText(HINTERNET request, DWORD infoLevel, std::u16string& text) {
  DWORD size = 0;
  if (::WinHttpQueryHeaders(request, infoLevel, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                            WINHTTP_NO_HEADER_INDEX) ||
      ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return false;
  }
  // The size is in bytes; as many characters give twice the room.
  std::u16string buffer(size, u'\0');
  DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(char16_t));
  if (!::WinHttpQueryHeaders(request, infoLevel, WINHTTP_HEADER_NAME_BY_INDEX, WideBuffer(buffer), &bytes,
                             WINHTTP_NO_HEADER_INDEX)) {
    return false;
  }
  buffer.resize(std::min<size_t>(buffer.size(), bytes / sizeof(char16_t)));
  text = std::u16string(TextBeforeZero(buffer));
  return true;
}

// Decodes the body bytes, with the zero byte after them, into bodyText. When
// the chosen code page yields nothing the ANSI code page is tried; when that
// yields nothing too, bodyText keeps its value.
void DecodeBody(HttpRequest& r) {
  UINT codePage = CP_ACP;
  DWORD flags = MB_PRECOMPOSED;
  if (CodePageForCharset(r.charset) == BodyCodePage::Utf8) {
    codePage = CP_UTF8;
    flags = 0;
  }
  const char* source = reinterpret_cast<const char*>(r.bodyBytes.Data());
  const int sourceLength = r.bodyLength + 1;
  int length = ::MultiByteToWideChar(codePage, flags, source, sourceLength, nullptr, 0);
  if (length <= 0) {
    codePage = CP_ACP;
    flags = MB_PRECOMPOSED;
    length = ::MultiByteToWideChar(codePage, flags, source, sourceLength, nullptr, 0);
    if (length <= 0) return;
  }
  std::u16string text(static_cast<size_t>(length), u'\0');
  if (::MultiByteToWideChar(codePage, flags, source, sourceLength, WideBuffer(text), length) > 0) {
    r.bodyText = std::u16string(TextBeforeZero(text));
  }
}

AttemptEnd RunAttempt(HttpRequest& r, HINTERNET session, HINTERNET request, std::u16string_view verb, bool& result) {
  if (!r.extraHeaders.empty()) AddHeaders(r, request, r.extraHeaders);
  if (!r.sendCookies.empty()) AddHeaders(r, request, u"Cookie: " + r.sendCookies);
  SetExplicitProxy(r, request);

  if (!Send(request)) {
    DWORD error = ::GetLastError();
    if (!SendThroughUsersScript(r, session, request, error)) {
      r.lastError = error;
      return AttemptEnd::Failed;
    }
  }
  if (r.postData) {
    DWORD written = 0;
    if (!::WinHttpWriteData(request, r.postData.get(), r.postDataLength, &written)) r.lastError = ::GetLastError();
  }
  if (!::WinHttpReceiveResponse(request, nullptr)) {
    r.lastError = ::GetLastError();
    return AttemptEnd::Failed;
  }

  std::u16string text;
  if (QueryHeaderText(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, text)) {
    r.rawHeaders = std::move(text);
    ExtractHeaderFields(r);
  }
  if (QueryHeaderText(request, WINHTTP_QUERY_STATUS_CODE, text)) r.statusCode = std::move(text);

  ServiceBody body(request);
  switch (ReadBody(r, body)) {
    case BodyReadResult::NoBuffer:
      return AttemptEnd::Abort;
    case BodyReadResult::CouldNotGrow:
      result = false;
      break;
    case BodyReadResult::Read:
      break;
  }
  DecodeBody(r);

  if (verb == u"GET" && LacksClosingHtmlTag(r.bodyText)) {
    r.lastError = kErrorInvalidData;
    return AttemptEnd::Incomplete;
  }
  return AttemptEnd::Done;
}

}  // namespace

bool HttpRequest::Perform(std::u16string_view method) {
  if (url.empty()) {
    lastError = kErrorPathNotFound;
    return false;
  }
  const std::u16string_view verb = RequestVerb(method);
  if (verb.empty()) {
    lastError = kErrorInvalidParameter;
    return false;
  }

  // Declared in this order, the handles close in the reverse one: request,
  // connection, service.
  UniqueWinHttpHandle session(::WinHttpOpen(WidePtr(userAgent), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                            WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) {
    lastError = ::GetLastError();
    return false;
  }
  ::WinHttpSetTimeouts(session.Get(), resolveTimeout, connectTimeout, sendTimeout, receiveTimeout);

  std::u16string host(kHostNameRoom, u'\0');
  std::u16string path(kUrlPathRoom, u'\0');
  URL_COMPONENTS parts = {};
  parts.dwStructSize = sizeof parts;
  parts.lpszHostName = WideBuffer(host);
  parts.dwHostNameLength = kHostNameRoom;
  // No room is given for the extra information, so the path comes back with
  // its query (and anything after a "#").
  parts.lpszUrlPath = WideBuffer(path);
  parts.dwUrlPathLength = kUrlPathRoom;
  if (!::WinHttpCrackUrl(WidePtr(url), 0, 0, &parts)) return false;
  host.resize(parts.dwHostNameLength);
  path.resize(parts.dwUrlPathLength);
  hostName = host;

  UniqueWinHttpHandle connection(::WinHttpConnect(session.Get(), WidePtr(host), parts.nPort, 0));
  if (!connection) return false;
  const std::u16string verbText(verb);
  const std::u16string objectName = WireObjectName(path);
  UniqueWinHttpHandle request(::WinHttpOpenRequest(connection.Get(), WidePtr(verbText), WidePtr(objectName), nullptr,
                                                   WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                                   parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0));
  if (!request) return false;
  // The receive time-out bounds the wait for the response headers as well.
  // Some implementations of the service apply it to each read of the body
  // only and would otherwise wait for a silent server without end.
  if (receiveTimeout > 0) {
    DWORD headersTimeout = static_cast<DWORD>(receiveTimeout);
    ::WinHttpSetOption(request.Get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &headersTimeout, sizeof headersTimeout);
  }

  bool result = true;
  for (int attempt = 0;; ++attempt) {
    if (attempt == kMaxAttempts) {
      result = false;
      break;
    }
    const AttemptEnd end = RunAttempt(*this, session.Get(), request.Get(), verb, result);
    if (end == AttemptEnd::Done) break;
    if (end == AttemptEnd::Abort) {
      result = false;
      break;
    }
  }
  return result;
}

}  // namespace parvel
