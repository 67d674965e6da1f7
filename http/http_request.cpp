#include "http/http_request.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "http/pattern.h"

namespace parvel {

namespace {

// The header patterns. The matcher ignores letter case; "\n" is a line end
// and "\b*" skips spaces and tabs, so each capture is the rest of its line.
constexpr std::u16string_view kCharsetPattern = u"charset={[A-Za-z0-9\\-_]+}";
constexpr std::u16string_view kContentLengthPattern = u"Content-Length: {[0-9]+}";
constexpr std::u16string_view kLocationPattern = u"Location: {.+?}\\n";
constexpr std::u16string_view kSetCookiePattern = u"Set-Cookie:\\b*{.+?}\\n";
constexpr std::u16string_view kHtmlOpenPattern = u"{<html>}";
constexpr std::u16string_view kHtmlClosePattern = u"{</html>}";

char16_t AsciiLower(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

// The first capture of pattern in text, if the search succeeds and finds one.
bool FirstCapture(std::u16string_view text, std::u16string_view pattern, std::u16string& capture) {
  std::vector<std::u16string> captures;
  if (!FindAllCaptures(text, pattern, captures) || captures.empty()) return false;
  capture = std::move(captures.front());
  return true;
}

void AppendPercentEscape(std::u16string& out, uint32_t byte) {
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  out += u'%';
  out += kHex[(byte >> 4) & 0xF];
  out += kHex[byte & 0xF];
}

void AppendUtf8Escapes(std::u16string& out, uint32_t codePoint) {
  if (codePoint < 0x80) {
    AppendPercentEscape(out, codePoint);
  } else if (codePoint < 0x800) {
    AppendPercentEscape(out, 0xC0 | (codePoint >> 6));
    AppendPercentEscape(out, 0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    AppendPercentEscape(out, 0xE0 | (codePoint >> 12));
    AppendPercentEscape(out, 0x80 | ((codePoint >> 6) & 0x3F));
    AppendPercentEscape(out, 0x80 | (codePoint & 0x3F));
  } else {
    AppendPercentEscape(out, 0xF0 | (codePoint >> 18));
    AppendPercentEscape(out, 0x80 | ((codePoint >> 12) & 0x3F));
    AppendPercentEscape(out, 0x80 | ((codePoint >> 6) & 0x3F));
    AppendPercentEscape(out, 0x80 | (codePoint & 0x3F));
  }
}

bool IsHighSurrogate(char16_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c) {
  return c >= 0xDC00 && c <= 0xDFFF;
}

}  // namespace

// --- ByteBuffer --------------------------------------------------------------

bool ByteBuffer::Allocate(uint32_t capacity) {
  std::unique_ptr<uint8_t[]> fresh(new (std::nothrow) uint8_t[capacity]());
  if (!fresh) return false;
  data_ = std::move(fresh);
  capacity_ = capacity;
  return true;
}

void ByteBuffer::Adopt(std::unique_ptr<uint8_t[]> data, uint32_t capacity) {
  data_ = std::move(data);
  capacity_ = data_ ? capacity : 0;
}

void ByteBuffer::Release() {
  data_.reset();
  capacity_ = 0;
}

// --- HttpRequest -------------------------------------------------------------

HttpRequest::HttpRequest(std::u16string url) : url(std::move(url)) {}

// --- steps of Perform --------------------------------------------------------

std::u16string_view RequestVerb(std::u16string_view method) {
  if (EqualsIgnoringCase(method, u"GET")) return u"GET";
  if (EqualsIgnoringCase(method, u"POST")) return u"POST";
  return {};
}

int32_t ParseDecimal(std::u16string_view digits) {
  int64_t value = 0;
  for (const char16_t c : digits) {
    if (c < u'0' || c > u'9') break;
    value = value * 10 + (c - u'0');
    if (value > INT32_MAX) return INT32_MAX;
  }
  return static_cast<int32_t>(value);
}

void CollectCookies(std::u16string& receivedCookies, const std::vector<std::u16string>& values) {
  for (size_t i = 0; i < values.size(); ++i) {
    receivedCookies += values[i];
    if (i + 1 < values.size()) receivedCookies += u"; ";
  }
  const size_t first = receivedCookies.find_first_not_of(u' ');
  if (first == std::u16string::npos) {
    receivedCookies.clear();
  } else {
    const size_t last = receivedCookies.find_last_not_of(u' ');
    receivedCookies = receivedCookies.substr(first, last - first + 1);
  }
  if (!receivedCookies.empty() && receivedCookies.back() != u';') receivedCookies += u';';
}

void ExtractHeaderFields(HttpRequest& request) {
  const std::u16string& headers = request.rawHeaders;
  std::u16string capture;
  if (!request.charsetFixed && FirstCapture(headers, kCharsetPattern, capture)) request.charset = capture;
  if (FirstCapture(headers, kContentLengthPattern, capture)) request.contentLength = ParseDecimal(capture);
  if (FirstCapture(headers, kLocationPattern, capture)) request.location = capture;
  std::vector<std::u16string> cookies;
  if (FindAllCaptures(headers, kSetCookiePattern, cookies) && !cookies.empty()) {
    CollectCookies(request.receivedCookies, cookies);
  }
}

BodyCodePage CodePageForCharset(std::u16string_view charset) {
  return EqualsIgnoringCase(charset.substr(0, 5), u"utf-8") ? BodyCodePage::Utf8 : BodyCodePage::Ansi;
}

double ProgressValue(int32_t received, int32_t contentLength) {
  return static_cast<double>(static_cast<uint32_t>(received)) * 100.0 /
         static_cast<double>(static_cast<uint32_t>(contentLength));
}

void ReportProgress(const HttpRequest& request, int32_t received) {
  if (!request.progressCallback || request.contentLength == 0) return;
  request.progressCallback(ProgressValue(received, request.contentLength));
}

uint32_t GrownBodyCapacity(uint32_t capacity, uint64_t needed) {
  // The length is kept in a signed 32-bit field and handed to the decoder
  // with its zero byte, so the body stays below INT32_MAX bytes.
  if (needed >= static_cast<uint64_t>(INT32_MAX)) return 0;
  uint64_t grown = capacity == 0 ? kInitialBodyCapacity : capacity;
  while (grown < needed + 1) grown *= 2;
  return grown > UINT32_MAX ? 0 : static_cast<uint32_t>(grown);
}

std::u16string_view TextBeforeZero(std::u16string_view text) {
  const size_t zero = text.find(u'\0');
  return zero == std::u16string_view::npos ? text : text.substr(0, zero);
}

bool LacksClosingHtmlTag(std::u16string_view bodyText) {
  std::vector<std::u16string> captures;
  if (!FindAllCaptures(bodyText, kHtmlOpenPattern, captures) || captures.empty()) return false;
  return !FindAllCaptures(bodyText, kHtmlClosePattern, captures) || captures.empty();
}

std::u16string WireObjectName(std::u16string_view pathAndQuery) {
  std::u16string out;
  out.reserve(pathAndQuery.size());
  for (size_t i = 0; i < pathAndQuery.size(); ++i) {
    const char16_t c = pathAndQuery[i];
    if (c > u' ' && c < 0x7F) {
      out += c;
    } else if (c < 0x80) {
      AppendPercentEscape(out, c);
    } else if (IsHighSurrogate(c) && i + 1 < pathAndQuery.size() && IsLowSurrogate(pathAndQuery[i + 1])) {
      const uint32_t codePoint = 0x10000 + ((uint32_t{c} - 0xD800) << 10) + (uint32_t{pathAndQuery[i + 1]} - 0xDC00);
      AppendUtf8Escapes(out, codePoint);
      ++i;
    } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
      AppendUtf8Escapes(out, 0xFFFD);
    } else {
      AppendUtf8Escapes(out, c);
    }
  }
  return out;
}

// --- the body ----------------------------------------------------------------

BodyReadResult ReadBody(HttpRequest& request, BodySource& source, uint32_t maxCapacity) {
  request.bodyBytes.Release();
  request.bodyLength = 0;
  if (kInitialBodyCapacity > maxCapacity || !request.bodyBytes.Allocate(kInitialBodyCapacity)) {
    return BodyReadResult::NoBuffer;
  }
  BodyReadResult result = BodyReadResult::Read;
  uint32_t length = 0;
  for (;;) {
    uint32_t available = 0;
    uint32_t error = 0;
    if (!source.QueryAvailable(available, error)) {
      request.lastError = error;
      break;
    }
    ReportProgress(request, static_cast<int32_t>(length));
    // One byte more than is read, so that the chunk is never empty; a count
    // at the very top of the range is read one byte short, which the
    // service allows, rather than wrapping around.
    const uint32_t wanted = std::min<uint32_t>(available, UINT32_MAX - 1);
    std::unique_ptr<uint8_t[]> chunk(new (std::nothrow) uint8_t[size_t{wanted} + 1]());
    if (!chunk) {
      if (available != 0) continue;
      break;
    }
    uint32_t read = 0;
    if (!source.Read(chunk.get(), wanted, read)) read = 0;
    read = std::min(read, wanted);
    if (read > 0) {
      const uint64_t needed = uint64_t{length} + read;
      if (needed + 1 > request.bodyBytes.Capacity()) {
        // The buffer doubles until the bytes and the zero byte after them
        // fit, however large a single read is.
        const uint32_t capacity = GrownBodyCapacity(request.bodyBytes.Capacity(), needed);
        std::unique_ptr<uint8_t[]> larger;
        if (capacity != 0 && capacity <= maxCapacity) larger.reset(new (std::nothrow) uint8_t[capacity]());
        if (!larger) {
          result = BodyReadResult::CouldNotGrow;
          break;
        }
        std::memcpy(larger.get(), request.bodyBytes.Data(), length);
        request.bodyBytes.Adopt(std::move(larger), capacity);
      }
      std::memcpy(request.bodyBytes.Data() + length, chunk.get(), read);
      length += read;
    }
    if (read == 0 || available == 0) break;
  }
  ReportProgress(request, static_cast<int32_t>(length));
  request.bodyLength = static_cast<int32_t>(length);
  return result;
}

}  // namespace parvel
