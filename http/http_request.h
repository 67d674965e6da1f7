// The HTTP request engine: one synchronous HTTP/1.1 exchange for one URL.
//
//   HttpRequest request(ManifestUrl());
//   if (request.Perform(u"GET")) Use(request.BodyText());
//
// HttpRequest is a plain object; its fields are the engine's inputs and what
// it learnt from the last response. Perform, the exchange itself, lives in the
// Windows shell (http_request_win.cpp) over WinHTTP. Everything that can be
// decided from values alone lives here and is unit tested natively: the verb,
// header extraction, the cookie collection, the body buffer and its growth,
// the body reading loop, the choice of code page, the progress value, the
// completeness test and the wire form of the object name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace parvel {

// The User-Agent every request announces unless the caller sets another.
inline constexpr std::u16string_view kDefaultUserAgent =
    u"Mozilla/5.0 (Windows; U; Windows NT 5.1; zh-CN; rv:1.9.2.3) Gecko/20100401 Firefox/3.6.3";

// Room for the host and for the path with its query when a URL is split,
// terminator included: a longer host or path cannot be requested.
inline constexpr uint32_t kHostNameRoom = 260;
inline constexpr uint32_t kUrlPathRoom = 1300;

// Attempts of one Perform on one request handle.
inline constexpr int kMaxAttempts = 3;

// The body buffer starts at this many bytes and doubles when needed.
inline constexpr uint32_t kInitialBodyCapacity = 204800;

// Error codes the engine sets itself (the platform's values).
inline constexpr uint32_t kErrorPathNotFound = 3;       // empty URL
inline constexpr uint32_t kErrorInvalidData = 13;       // an HTML body without its closing tag
inline constexpr uint32_t kErrorInvalidParameter = 87;  // a method other than GET or POST

// An owned, zero-filled byte buffer that never throws: a failed allocation is
// reported by the result and leaves the buffer as it was.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ByteBuffer(ByteBuffer&&) noexcept = default;
  ByteBuffer& operator=(ByteBuffer&&) noexcept = default;

  // Replaces the contents with capacity zero bytes.
  bool Allocate(uint32_t capacity);
  // Takes over a buffer of capacity bytes made with new[].
  void Adopt(std::unique_ptr<uint8_t[]> data, uint32_t capacity);
  void Release();

  uint8_t* Data() { return data_.get(); }
  const uint8_t* Data() const { return data_.get(); }
  uint32_t Capacity() const { return capacity_; }
  explicit operator bool() const { return data_ != nullptr; }

 private:
  std::unique_ptr<uint8_t[]> data_;
  uint32_t capacity_ = 0;
};

class HttpRequest {
 public:
  // Sets every field to its initial value; nothing goes on the network.
  explicit HttpRequest(std::u16string url);
  HttpRequest(const HttpRequest&) = delete;
  HttpRequest& operator=(const HttpRequest&) = delete;

  // Runs one exchange with the method "GET" or "POST" (any letter case) and
  // returns whether it succeeded: a response arrived, its body was read as
  // far as the service delivered it and, for GET, the body is not an HTML
  // document that lacks its closing tag. The status code is not judged.
  // Blocks until the exchange is over; may be called again on the same
  // object. Defined by the Windows shell.
  bool Perform(std::u16string_view method);

  // A copy of the decoded body.
  std::u16string BodyText() const { return bodyText; }

  // The fields, in the order and with the meaning the engine defines.
  std::u16string url;         // absolute URL, HTTP or HTTPS
  std::u16string hostName;    // host part of url, written by Perform
  std::u16string rawHeaders;  // response headers, status line first, lines ended by CR LF
  std::u16string bodyText;    // the decoded body
  std::u16string charset;     // from the headers, or preset with charsetFixed
  ByteBuffer bodyBytes;       // the raw body, zero byte after it; replaced by each attempt that reads one
  int32_t bodyLength = 0;     // body bytes in bodyBytes
  std::function<void(double)> progressCallback;  // percentage of contentLength received
  int32_t contentLength = 0;                     // the response's Content-Length
  std::u16string receivedCookies;                // Set-Cookie values, accumulated; ends with ";" once not empty
  std::u16string sendCookies;                    // sent as a Cookie header when not empty
  std::unique_ptr<uint8_t[]> postData;           // written after the send when set; owned
  uint32_t postDataLength = 0;
  std::u16string extraHeaders;  // added to the request when not empty
  std::u16string proxyServer;   // an explicit proxy when not empty
  uint32_t lastError = 0;       // last error recorded; never cleared by Perform
  std::u16string statusCode;    // status code of the final response, decimal
  std::u16string userAgent{kDefaultUserAgent};
  bool charsetFixed = false;  // true: charset is used as preset, the headers are not searched
  std::u16string proxyUserName;
  std::u16string proxyPassword;
  std::u16string location;     // Location header of the final response
  int32_t resolveTimeout = 0;  // milliseconds; 0 = no limit
  int32_t connectTimeout = 60000;
  int32_t sendTimeout = 30000;
  int32_t receiveTimeout = 30000;
};

// --- steps of Perform that take values ---------------------------------------

// "GET" or "POST" for a method that equals one of them without regard to
// case; empty for any other method.
std::u16string_view RequestVerb(std::u16string_view method);

// Takes charset, contentLength, location and the cookies from
// request.rawHeaders. A field changes only when its header is present.
void ExtractHeaderFields(HttpRequest& request);

// Appends the Set-Cookie values to receivedCookies: "; " between the new
// values, nothing between the old text and the first new one; then spaces are
// trimmed from both ends and a closing ";" is added unless present.
void CollectCookies(std::u16string& receivedCookies, const std::vector<std::u16string>& values);

// A decimal digit string as a 32-bit count; values beyond the range saturate.
int32_t ParseDecimal(std::u16string_view digits);

// Which code page decodes the body: UTF-8 when the first five characters of
// the charset are "utf-8" in any letter case, else the system's ANSI page.
enum class BodyCodePage { Utf8, Ansi };
BodyCodePage CodePageForCharset(std::u16string_view charset);

// The percentage of contentLength that `received` bytes make, both taken as
// unsigned 32-bit values. Can exceed 100.
double ProgressValue(int32_t received, int32_t contentLength);

// Calls the progress callback with the percentage, when there is a callback
// and contentLength is not zero.
void ReportProgress(const HttpRequest& request, int32_t received);

// The capacity the body buffer needs for `needed` bytes and the zero byte
// after them, doubling from `capacity`; `capacity` itself when they fit, 0
// when no 32-bit capacity can hold them.
uint32_t GrownBodyCapacity(uint32_t capacity, uint64_t needed);

// The text up to its first zero character.
std::u16string_view TextBeforeZero(std::u16string_view text);

// Whether a decoded GET body opens an HTML document ("<html>" in any case)
// but lacks the closing tag; such an answer is taken as cut short.
bool LacksClosingHtmlTag(std::u16string_view bodyText);

// The object name handed to the HTTP service for the path and query of a URL.
// Spaces, control characters and characters outside ASCII are percent-escaped
// (non-ASCII as UTF-8; a lone surrogate as U+FFFD) so that the request line
// can never carry them bare, whatever escaping the service applies; every
// other character, "#" and "%" included, is handed over unchanged.
std::u16string WireObjectName(std::u16string_view pathAndQuery);

// --- the body ----------------------------------------------------------------

// Where the body comes from: the HTTP service in the product, a script in the
// tests.
class BodySource {
 public:
  virtual ~BodySource() = default;
  // How many bytes can be read now (0 at the end); false with the platform's
  // error code when the question fails.
  virtual bool QueryAvailable(uint32_t& available, uint32_t& error) = 0;
  // Reads up to `size` bytes; false when the read fails.
  virtual bool Read(uint8_t* buffer, uint32_t size, uint32_t& read) = 0;
};

enum class BodyReadResult {
  Read,          // the body was read as far as the source delivered it
  NoBuffer,      // the first buffer could not be made; nothing was read
  CouldNotGrow,  // a larger buffer could not be made; the bytes read before stay
};

// Reads the body into request.bodyBytes and request.bodyLength: a fresh
// zero-filled buffer of kInitialBodyCapacity bytes, then one chunk of the
// available count at a time until a read delivers nothing or nothing is
// available, reporting progress before each chunk and at the end. A failed
// availability query records its error and ends the reading; a failed read
// ends it without one. maxCapacity bounds the buffer (a test hook standing
// for an exhausted heap).
BodyReadResult ReadBody(HttpRequest& request, BodySource& source, uint32_t maxCapacity = UINT32_MAX);

}  // namespace parvel
