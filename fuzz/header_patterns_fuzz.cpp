// Fuzz target: the six patterns of the HTTP engine over fuzzed header and
// body text (see fuzz_text.h for how bytes become characters).
//
// Each pattern's captures are compared with those of a plain scanner that
// does by hand what the pattern means, searching the same way: from each
// match's end, first start first, distinct texts without regard to the case
// of A to Z.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "fuzz/fuzz_text.h"
#include "http/pattern.h"

namespace {

#define REQUIRE(condition)                                                                   \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "header_patterns_fuzz: check failed: %s (line %d)\n", #condition, \
                   __LINE__);                                                                \
      std::abort();                                                                          \
    }                                                                                        \
  } while (false)

using Text = std::u16string;

// A scanner tries one start: on a match it gives the capture's bounds and
// where the match ends.
struct Found {
  size_t captureStart;
  size_t captureEnd;
  size_t matchEnd;
};
using Scanner = std::function<bool(const Text&, size_t, Found&)>;

bool HasPrefix(const Text& text, size_t at, const char* lower) {
  for (size_t i = 0; lower[i] != 0; ++i) {
    if (at + i >= text.size() || parvel_fuzz::LowerAscii(text[at + i]) != lower[i]) return false;
  }
  return true;
}

bool IsLineEnd(char16_t c) { return c == u'\r' || c == u'\n'; }

// ".+?" followed by "\n" from `from`: one character of any kind, then up to
// the first CR or LF after it; the line end matched is that one character
// (a CR alone is tried before CR LF).
bool LazyLine(const Text& text, size_t from, Found& found) {
  if (from >= text.size()) return false;
  for (size_t j = from + 1; j < text.size(); ++j) {
    if (IsLineEnd(text[j])) {
      found = Found{from, j, j + 1};
      return true;
    }
  }
  return false;
}

// A greedy run of at least one character that passes `in`.
bool Run(const Text& text, size_t from, bool (*in)(char16_t), Found& found) {
  size_t end = from;
  while (end < text.size() && in(parvel_fuzz::LowerAscii(text[end]))) ++end;
  if (end == from) return false;
  found = Found{from, end, end};
  return true;
}

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool IsCharsetChar(char16_t c) {
  return (c >= u'a' && c <= u'z') || IsDigit(c) || c == u'-' || c == u'_';
}

struct Case {
  const char16_t* pattern;
  Scanner scanner;
};

const Case kCases[] = {
    {u"charset={[A-Za-z0-9\\-_]+}",
     [](const Text& t, size_t i, Found& f) {
       return HasPrefix(t, i, "charset=") && Run(t, i + 8, IsCharsetChar, f);
     }},
    {u"Content-Length: {[0-9]+}",
     [](const Text& t, size_t i, Found& f) {
       return HasPrefix(t, i, "content-length: ") && Run(t, i + 16, IsDigit, f);
     }},
    {u"Location: {.+?}\\n",
     [](const Text& t, size_t i, Found& f) {
       return HasPrefix(t, i, "location: ") && LazyLine(t, i + 10, f);
     }},
    {u"Set-Cookie:\\b*{.+?}\\n",
     [](const Text& t, size_t i, Found& f) {
       if (!HasPrefix(t, i, "set-cookie:")) return false;
       const size_t after = i + 11;
       size_t blanks = after;
       while (blanks < t.size() && (t[blanks] == u' ' || t[blanks] == u'\t')) ++blanks;
       // "\b*" gives back one blank at a time when the rest fails.
       for (size_t k = blanks + 1; k-- > after;) {
         if (LazyLine(t, k, f)) return true;
       }
       return false;
     }},
    {u"{<html>}",
     [](const Text& t, size_t i, Found& f) {
       if (!HasPrefix(t, i, "<html>")) return false;
       f = Found{i, i + 6, i + 6};
       return true;
     }},
    {u"{</html>}",
     [](const Text& t, size_t i, Found& f) {
       if (!HasPrefix(t, i, "</html>")) return false;
       f = Found{i, i + 7, i + 7};
       return true;
     }},
};

bool EqualFolded(const Text& a, const Text& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (parvel_fuzz::LowerAscii(a[i]) != parvel_fuzz::LowerAscii(b[i])) return false;
  }
  return true;
}

std::vector<Text> Expected(const Text& text, const Scanner& scanner) {
  std::vector<Text> captures;
  size_t from = 0;
  while (from < text.size()) {
    Found found{};
    bool matched = false;
    for (size_t start = from; start < text.size() && !matched; ++start) {
      matched = scanner(text, start, found);
    }
    if (!matched) break;
    const Text value = text.substr(found.captureStart, found.captureEnd - found.captureStart);
    bool known = false;
    for (const Text& capture : captures) known = known || EqualFolded(capture, value);
    if (!known) captures.push_back(value);
    size_t next = found.matchEnd;
    if (next <= from) next = from + 1;
    from = next;
  }
  return captures;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Text text = parvel_fuzz::Decode(data, size);
  const Text whole = text;
  const size_t zero = text.find(u'\0');
  if (zero != Text::npos) text.resize(zero);
  for (const Case& c : kCases) {
    std::vector<Text> captures;
    // The whole text is given: FindAllCaptures itself ends it at its first
    // zero character.
    const bool searched = parvel::FindAllCaptures(whole, c.pattern, captures);
    REQUIRE(searched == !text.empty());
    REQUIRE(captures == Expected(text, c.scanner));
  }
  return 0;
}
