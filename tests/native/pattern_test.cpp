// Tests of the pattern matcher: what Compile writes, what Match finds, what
// FindAllCaptures collects, and how the machine behaves at its limits.
#include "http/pattern.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/native/show_text.h"

namespace parvel {
namespace {

using ::parvel::Show;

std::string Show(const char16_t* text) { return text ? Show(std::u16string_view(text)) : "(null)"; }

const char* KindName(OpKind kind) {
  switch (kind) {
    case OpKind::Nop: return "Nop";
    case OpKind::OpenGroup: return "OpenGroup";
    case OpKind::CloseGroup: return "CloseGroup";
    case OpKind::Char: return "Char";
    case OpKind::AnyChar: return "AnyChar";
    case OpKind::InRanges: return "InRanges";
    case OpKind::NotInRanges: return "NotInRanges";
    case OpKind::Jump: return "Jump";
    case OpKind::SavePos: return "SavePos";
    case OpKind::RestorePos: return "RestorePos";
    case OpKind::Call: return "Call";
    case OpKind::Return: return "Return";
    case OpKind::SaveSlot: return "SaveSlot";
    case OpKind::RestoreSlot: return "RestoreSlot";
    case OpKind::SetSlotPos: return "SetSlotPos";
    case OpKind::SetSlotDepth: return "SetSlotDepth";
    case OpKind::LoadSlotPos: return "LoadSlotPos";
    case OpKind::LoadSlotDepth: return "LoadSlotDepth";
    case OpKind::RequireProgress: return "RequireProgress";
    case OpKind::BackRef: return "BackRef";
    case OpKind::Fail: return "Fail";
    case OpKind::Advance: return "Advance";
    case OpKind::Accept: return "Accept";
    case OpKind::SaveGroup: return "SaveGroup";
    case OpKind::RestoreGroup: return "RestoreGroup";
  }
  return "?";
}

// The program as one line: "Call 2, Advance, Char 'a', Accept". Character
// operands of Char and Nop are quoted when printable; kinds that take no
// operand show none.
std::string Describe(const CompiledPattern& pattern) {
  std::string out;
  const GrowableArray<Instruction>& program = pattern.Instructions();
  for (int32_t i = 0; i < program.Size(); ++i) {
    const Instruction& op = program[i];
    if (i > 0) out += ", ";
    out += KindName(op.kind);
    switch (op.kind) {
      case OpKind::AnyChar:
      case OpKind::SavePos:
      case OpKind::RestorePos:
      case OpKind::Return:
      case OpKind::Fail:
      case OpKind::Advance:
      case OpKind::Accept:
        break;
      case OpKind::Char:
      case OpKind::Nop:
        if (op.operand > 0x20 && op.operand < 0x7f) {
          out += " '";
          out += static_cast<char>(op.operand);
          out += "'";
          break;
        }
        [[fallthrough]];
      default:
        out += " " + std::to_string(op.operand);
    }
  }
  return out;
}

// A zero-terminated copy of text in a heap block of exactly its size, so
// that the address sanitizer reports any read past the terminator.
std::unique_ptr<char16_t[]> ExactCopy(std::u16string_view text) {
  std::unique_ptr<char16_t[]> copy(new char16_t[text.size() + 1]);
  for (size_t i = 0; i < text.size(); ++i) copy[i] = text[i];
  copy[text.size()] = 0;
  return copy;
}

// ---------------------------------------------------------------------------
// The compiled program of each construct.

struct ProgramCase {
  const char16_t* pattern;
  const char* program;
  uint32_t groups;
  int32_t slots;
};

// Each term is read once to look for a "|" and read again for real, and each
// quantified atom is read once more; every reading takes new slots, so the
// slots of the final program do not start at 0.
const ProgramCase kProgramCases[] = {
    {u"", "Call 2, Advance, Accept", 0, 0},
    {u"a", "Call 2, Advance, Char 'a', Accept", 0, 0},
    {u"A", "Call 2, Advance, Char 'a', Accept", 0, 0},
    {u"^a$", "Call 2, Fail, Char 'a', Char 0, Accept", 0, 0},
    {u"$a^", "Call 2, Advance, Char '$', Char 'a', Char '^', Accept", 0, 0},
    {u".", "Call 2, Advance, AnyChar, Accept", 0, 0},
    {u"|a", "Call 2, Advance, Char '|', Char 'a', Accept", 0, 0},
    {u"a|*",
     "Call 2, Advance, SavePos, Call 6, RestorePos, Jump 8, Char 'a', Jump 9, Char '*', Accept", 0,
     0},
    {u"[Xy]", "Call 2, Advance, InRanges 7, Nop 'x', Nop 'x', Nop 'y', Nop 'y', Accept", 0, 0},
    {u"[^a-C\\t]", "Call 2, Advance, NotInRanges 7, Nop 'a', Nop 'c', Nop 9, Nop 9, Accept", 0, 0},
    {u"[+-\\]", "Call 2, Advance, InRanges 5, Nop '+', Nop '\\', Accept", 0, 0},
    {u"{a}",
     "Call 2, Advance, SaveGroup 0, OpenGroup 0, Call 7, RestoreGroup 0, Return, Char 'a', "
     "CloseGroup 0, Accept",
     1, 0},
    {u"{}", "Call 2, Advance, SaveGroup 0, OpenGroup 0, Call 7, RestoreGroup 0, Return, Nop 0, "
            "CloseGroup 0, Accept",
     1, 0},
    {u"(ab)", "Call 2, Advance, Call 4, Return, Char 'a', Char 'b', Accept", 0, 0},
    {u"()", "Call 2, Advance, Call 4, Return, Nop 0, Accept", 0, 0},
    {u"{a}{b}\\1",
     "Call 2, Advance, SaveGroup 0, OpenGroup 0, Call 7, RestoreGroup 0, Return, Char 'a', "
     "CloseGroup 0, SaveGroup 1, OpenGroup 1, Call 14, RestoreGroup 1, Return, Char 'b', "
     "CloseGroup 1, BackRef 1, Accept",
     2, 0},
    {u"ab|cd",
     "Call 2, Advance, Char 'a', SavePos, Call 7, RestorePos, Jump 9, Char 'b', Jump 10, "
     "Char 'c', Char 'd', Accept",
     0, 0},
    {u"a|b|c",
     "Call 2, Advance, SavePos, Call 6, RestorePos, Jump 8, Char 'a', Jump 15, SavePos, Call 12, "
     "RestorePos, Jump 14, Char 'b', Jump 15, Char 'c', Accept",
     0, 0},
    {u"a|", "Call 2, Advance, SavePos, Call 6, RestorePos, Jump 8, Char 'a', Jump 8, Accept", 0, 0},
    {u"a*",
     "Call 2, Advance, SaveSlot 1, SetSlotPos 1, SavePos, Call 9, RestorePos, RestoreSlot 1, "
     "Jump 13, Char 'a', RequireProgress 1, SetSlotPos 1, Jump 2, Accept",
     0, 2},
    {u"a?",
     "Call 2, Advance, SaveSlot 1, SetSlotPos 1, SavePos, Call 9, RestorePos, RestoreSlot 1, "
     "Jump 12, Char 'a', RequireProgress 1, SetSlotPos 1, Accept",
     0, 2},
    {u"a+",
     "Call 2, Advance, Char 'a', SaveSlot 1, SetSlotPos 1, SavePos, Call 10, RestorePos, "
     "RestoreSlot 1, Jump 14, Char 'a', RequireProgress 1, SetSlotPos 1, Jump 3, Accept",
     0, 2},
    {u"a**",
     "Call 2, Advance, SaveSlot 1, SetSlotPos 1, SavePos, Call 9, RestorePos, RestoreSlot 1, "
     "Jump 13, Char 'a', RequireProgress 1, SetSlotPos 1, Jump 2, Char '*', Accept",
     0, 2},
    {u"a*?", "Call 2, Advance, Call 5, Char 'a', Jump 2, Accept", 0, 0},
    {u"a+?", "Call 2, Advance, Char 'a', Call 6, Char 'a', Jump 3, Accept", 0, 0},
    {u"a??", "Call 2, Advance, Call 4, Char 'a', Accept", 0, 0},
    {u"a???", "Call 2, Advance, Call 4, Char 'a', Char '?', Accept", 0, 0},
    // The lazy optional leads past the whole group, not into it.
    {u"{a}??",
     "Call 2, Advance, Call 10, SaveGroup 0, OpenGroup 0, Call 8, RestoreGroup 0, Return, "
     "Char 'a', CloseGroup 0, Accept",
     1, 0},
    // Both copies of a group under "+" fill the same group.
    {u"{a}+",
     "Call 2, Advance, SaveGroup 0, OpenGroup 0, Call 7, RestoreGroup 0, Return, Char 'a', "
     "CloseGroup 0, SaveSlot 1, SetSlotPos 1, SavePos, Call 16, RestorePos, RestoreSlot 1, "
     "Jump 26, SaveGroup 0, OpenGroup 0, Call 21, RestoreGroup 0, Return, Char 'a', "
     "CloseGroup 0, RequireProgress 1, SetSlotPos 1, Jump 9, Accept",
     1, 2},
    {u"!a",
     "Call 2, Advance, SetSlotPos 2, SetSlotDepth 3, Call 8, LoadSlotPos 2, LoadSlotDepth 3, "
     "Jump 12, Char 'a', LoadSlotPos 2, LoadSlotDepth 3, Return, Accept",
     0, 4},
    {u"\\d", "Call 2, Advance, Call 4, Return, InRanges 7, Nop '0', Nop '9', Accept", 0, 0},
    // The stored texts are not lower-cased: their upper-case ranges stay.
    {u"\\A",
     "Call 2, Advance, Call 4, Return, InRanges 11, Nop 'a', Nop 'z', Nop 'A', Nop 'Z', "
     "Nop '0', Nop '9', Accept",
     0, 0},
    {u"\\.\\t\\\\", "Call 2, Advance, Char '.', Char 't', Char '\\', Accept", 0, 0},
    {u"a)b", "Call 2, Advance, Char 'a', Accept", 0, 0},
};

TEST(PatternCompile, WritesTheProgramOfEachConstruct) {
  for (const ProgramCase& c : kProgramCases) {
    SCOPED_TRACE(Show(c.pattern));
    CompiledPattern pattern;
    ASSERT_EQ(pattern.Compile(c.pattern), PatternOk);
    EXPECT_EQ(Describe(pattern), c.program);
    EXPECT_EQ(pattern.GroupCount(), c.groups);
    EXPECT_EQ(pattern.SlotCount(), c.slots);
    EXPECT_FALSE(pattern.CaseSensitive());
    EXPECT_EQ(pattern.Error(), PatternOk);
  }
}

// Each abbreviation compiles to the program of its stored text.
TEST(PatternCompile, AbbreviationsCompileTheirStoredText) {
  const std::pair<const char16_t*, const char16_t*> cases[] = {
      {u"\\b", u"([ \\t])"},
      {u"\\d", u"([0-9])"},
      {u"\\D", u"([0-9])"},
      {u"\\n", u"(\r|(\r?\n))"},
      // Only the first term of "q" is compiled; the bar and the single-quoted
      // alternative are dropped.
      {u"\\q", u"(\"[^\"]*\")"},
      {u"\\z", u"([0-9]+)"},
      {u"\\b*x", u"([ \\t])*x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Show(c.first));
    CompiledPattern abbreviation;
    CompiledPattern expansion;
    ASSERT_EQ(abbreviation.Compile(c.first), PatternOk);
    ASSERT_EQ(expansion.Compile(c.second), PatternOk);
    EXPECT_EQ(Describe(abbreviation), Describe(expansion));
    EXPECT_EQ(abbreviation.SlotCount(), expansion.SlotCount());
  }
  // The letters kept in upper case: letter, hexadecimal digit and word.
  CompiledPattern pattern;
  ASSERT_EQ(pattern.Compile(u"\\c\\h\\w"), PatternOk);
  EXPECT_EQ(Describe(pattern),
            "Call 2, Advance, Call 4, Return, InRanges 9, Nop 'a', Nop 'z', Nop 'A', Nop 'Z', "
            "Call 11, Return, InRanges 18, Nop '0', Nop '9', Nop 'a', Nop 'f', Nop 'A', Nop 'F', "
            "Call 20, Return, InRanges 25, Nop 'a', Nop 'z', Nop 'A', Nop 'Z', SaveSlot 3, "
            "SetSlotPos 3, SavePos, Call 32, RestorePos, RestoreSlot 3, Jump 40, InRanges 37, "
            "Nop 'a', Nop 'z', Nop 'A', Nop 'Z', RequireProgress 3, SetSlotPos 3, Jump 25, Accept");
}

// ---------------------------------------------------------------------------
// Errors.

struct ErrorCase {
  const char16_t* pattern;
  PatternError error;
};

const ErrorCase kErrorCases[] = {
    {nullptr, NoPattern},
    {u"{a", MissingBrace},
    {u"{", MissingBrace},
    {u"{a)}", MissingBrace},
    {u"(a", MissingParen},
    {u"(a}", MissingParen},
    {u"x(", MissingParen},
    {u"[ab", MissingBracket},
    {u"[", MissingBracket},
    {u"[^", MissingBracket},
    {u"[a-]", MissingBracket},
    {u"[a-", MissingBracket},
    {u"[0-\\", MissingBracket},  // the upper end is taken literally
    {u"[]", EmptyClass},
    {u"[^]", EmptyClass},
    {u"[]{", EmptyClass},  // the first problem is the one reported
    {u"\\1", UnknownGroup},
    {u"\\0", UnknownGroup},
    {u"{a}\\1", UnknownGroup},
    {u"{\\1}", UnknownGroup},
    {u"{a}\\99999999999999999999", UnknownGroup},
    {u"[Z-a]", ReversedRange},
    {u"[b-a]", ReversedRange},
    {u"[a-\\]", ReversedRange},
    {u"(a*)*", EmptyLoop},
    {u"(a?)+", EmptyLoop},
    {u"(a*)*?", EmptyLoop},
    {u"(a*)+?", EmptyLoop},
    {u"(a+?)*", EmptyLoop},  // every lazy term counts as able to match nothing
    {u"(a|)*", EmptyLoop},
    {u"(a|)+", EmptyLoop},
    {u"{}*", EmptyLoop},
    {u"()+", EmptyLoop},
    {u"(\\b*)*", EmptyLoop},
    // A lazy loop has no progress check: over a zero-width test or a
    // back-reference that may be empty it would repeat forever.
    {u"(!a)*?", EmptyLoop},
    {u"!a+?", EmptyLoop},
    {u"{a}\\0*?", EmptyLoop},
    // A lone "\" at the end escapes nothing.
    {u"\\", TrailingBackslash},
    {u"ab\\", TrailingBackslash},
    {u"[\\", TrailingBackslash},
    {u"[a\\", TrailingBackslash},
};

TEST(PatternCompile, ReportsEachErrorFromItsCause) {
  for (const ErrorCase& c : kErrorCases) {
    SCOPED_TRACE(Show(c.pattern));
    CompiledPattern pattern;
    EXPECT_EQ(pattern.Compile(c.pattern), c.error);
    EXPECT_EQ(pattern.Error(), c.error);
    MatchState state;
    EXPECT_FALSE(pattern.Match(u"aaaa", state));
  }
}

TEST(PatternCompile, AcceptsWhatOnlyLooksWrong) {
  // Optional terms over atoms that can be empty are no loops; greedy loops
  // over a zero-width test end by their progress check.
  for (const char16_t* text : {u"(a*)?", u"(a*)??", u"(!a)*", u"!a+", u"{a}\\0*", u"a)b",
                               u"a}b", u"]", u"[-]", u"[a-z-]", u"\\q|x", u"!"}) {
    SCOPED_TRACE(Show(text));
    CompiledPattern pattern;
    EXPECT_EQ(pattern.Compile(text), PatternOk);
  }
}

TEST(PatternCompile, RefusesPatternsTooDeepOrTooCostly) {
  // Deep nesting would exhaust the call stack of the compiler.
  for (const std::u16string& text :
       {std::u16string(5000, u'(') + u"a" + std::u16string(5000, u')'),
        std::u16string(5000, u'!') + u"a",
        std::u16string(kMaxPatternNesting + 1, u'{') + std::u16string(kMaxPatternNesting + 1, u'}')}) {
    CompiledPattern pattern;
    EXPECT_EQ(pattern.Compile(text.c_str()), TooComplex);
  }
  // Each level of nesting doubles the readings: 24 levels would take
  // hundreds of millions of instruction writes.
  const std::u16string costly = std::u16string(24, u'(') + u"a" + std::u16string(24, u')');
  CompiledPattern pattern;
  EXPECT_EQ(pattern.Compile(costly.c_str()), TooComplex);
  // Ordinary nesting is far below both limits.
  const std::u16string nested = std::u16string(8, u'{') + u"a+" + std::u16string(8, u'}');
  EXPECT_EQ(pattern.Compile(nested.c_str()), PatternOk);
  MatchState state;
  EXPECT_TRUE(pattern.Match(u"baa", state));
  EXPECT_EQ(pattern.GroupCount(), 8u);
}

TEST(PatternCompile, ReportsNoMemoryWhenAnInstructionCannotBeStored) {
  CompiledPattern pattern;
  pattern.SetInstructionLimit(4);
  EXPECT_EQ(pattern.Compile(u"abc"), NoMemory);
  MatchState state;
  EXPECT_FALSE(pattern.Match(u"abc", state));
  EXPECT_EQ(pattern.Compile(u"a"), PatternOk);  // Call, Advance, Char, Accept fit
  EXPECT_TRUE(pattern.Match(u"xa", state));
}

TEST(PatternCompile, DiscardsTheEarlierProgram) {
  CompiledPattern pattern;
  ASSERT_EQ(pattern.Compile(u"{a}!b"), PatternOk);
  EXPECT_EQ(pattern.Compile(nullptr), NoPattern);
  EXPECT_EQ(pattern.Instructions().Size(), 0);
  EXPECT_EQ(pattern.GroupCount(), 0u);
  EXPECT_EQ(pattern.SlotCount(), 0);
  MatchState state;
  const char16_t* end = nullptr;
  EXPECT_FALSE(pattern.Match(u"a", state, &end));
  ASSERT_EQ(pattern.Compile(u"{a"), MissingBrace);
  EXPECT_FALSE(pattern.Match(u"a", state));
  ASSERT_EQ(pattern.Compile(u"b"), PatternOk);
  EXPECT_EQ(Describe(pattern), "Call 2, Advance, Char 'b', Accept");
  EXPECT_EQ(pattern.GroupCount(), 0u);
}

// ---------------------------------------------------------------------------
// Matching.

constexpr int kNone = -1;

struct Span {
  int start;
  int end;
};

struct MatchCase {
  const char16_t* pattern;
  std::u16string text;
  Span match;                // {kNone, kNone} when nothing is found
  std::vector<Span> groups;  // every group of the pattern, {kNone, kNone} when unset
};

const MatchCase kMatchCases[] = {
    // Characters, letter case and the first start that matches.
    {u"abc", u"xxabcx", {2, 5}, {}},
    {u"ABC", u"xaBcx", {1, 4}, {}},
    {u"\u00e9", u"\u00c9", {kNone, kNone}, {}},  // only A to Z fold
    {u"[A-Z]", u"q", {0, 1}, {}},
    {u"[a-z]", u"Q", {0, 1}, {}},
    {u"[^a]", u"Ab", {1, 2}, {}},
    {u"[\\]]", u"a]", {1, 2}, {}},
    {u"[a\\-z]", u"b-", {1, 2}, {}},
    {u"[\\t]", u"a\tb", {1, 2}, {}},
    {u"[[-^]", u"a\\", {1, 2}, {}},
    {u"a.c", u"abc", {0, 3}, {}},
    {u".", u"", {kNone, kNone}, {}},
    {u"\\.", u"a.b", {1, 2}, {}},
    {u"\\t", u"\tt", {1, 2}, {}},  // outside a set "\t" is the letter t
    {u"*|?", u"a?*", {1, 2}, {}},  // "*" or "?"
    {u"|a", u"a|a", {1, 3}, {}},
    // Alternation joins single terms, tried left before right.
    {u"ab|cd", u"abd", {0, 3}, {}},
    {u"ab|cd", u"acd", {0, 3}, {}},
    {u"ab|cd", u"ab", {kNone, kNone}, {}},
    {u"x|y|z", u"az", {1, 2}, {}},
    {u"{a|ab}", u"ab", {0, 2}, {{0, 2}}},  // (a|a)b
    {u"{(a)|(ab)}", u"ab", {0, 1}, {{0, 1}}},
    {u"{a|}b", u"b", {0, 1}, {{0, 0}}},
    // Greedy and lazy orders.
    {u"{a*}", u"aaa", {0, 3}, {{0, 3}}},
    {u"{a*?}", u"aaa", {0, 0}, {{0, 0}}},
    {u"{a+?}", u"aaa", {0, 1}, {{0, 1}}},
    {u"{a?}a", u"aa", {0, 2}, {{0, 1}}},
    {u"{a??}a", u"aa", {0, 1}, {{0, 0}}},
    {u"{.+}x", u"abxcx", {0, 5}, {{0, 4}}},
    {u"{.+?}x", u"abxcx", {0, 3}, {{0, 2}}},
    {u"{a*}ab", u"aaab", {0, 4}, {{0, 2}}},
    {u"a**", u"aa*", {0, 3}, {}},
    // The lazy optional over a group skips the whole group first.
    {u"{ab}??", u"abc", {0, 0}, {{kNone, kNone}}},
    {u"{ab}??c", u"abc", {0, 3}, {{0, 2}}},
    {u"x{ab}??c", u"xabc", {0, 4}, {{1, 3}}},
    // Groups: last pass on the successful path; spans restored on
    // backtracking.
    {u"{a}+", u"aaa", {0, 3}, {{2, 3}}},
    {u"({a}b)|ac", u"ac", {0, 2}, {{kNone, kNone}}},
    {u"{a}{b}?", u"ac", {0, 1}, {{0, 1}, {kNone, kNone}}},
    {u"({.}x)*", u"axbxc", {0, 4}, {{2, 3}}},
    {u"{}", u"abc", {0, 0}, {{0, 0}}},
    {u"{x{y}}z", u"axyz", {1, 4}, {{1, 3}, {2, 3}}},
    // Back-references compare without regard to case; an unset group is
    // empty.
    {u"{a}\\0", u"aA", {0, 2}, {{0, 1}}},
    {u"{ab}x\\0", u"abxAB", {0, 5}, {{0, 2}}},
    {u"{ab}x\\0", u"abxac", {kNone, kNone}, {{0, 2}}},
    {u"{ab}x\\0", u"abxa", {kNone, kNone}, {{0, 2}}},
    {u"{x}?\\0b", u"b", {0, 1}, {{kNone, kNone}}},
    // Negation: zero width, the atom's text is not consumed.
    {u"!a.", u"ab", {1, 2}, {}},
    {u"!(ab)a", u"aab", {0, 1}, {}},
    {u"a!", u"a", {kNone, kNone}, {}},
    {u"(!b.)*", u"aab", {0, 2}, {}},
    // Anchors.
    {u"^b", u"ab", {kNone, kNone}, {}},
    {u"b", u"ab", {1, 2}, {}},
    {u"^a", u"ab", {0, 1}, {}},
    {u"^", u"abc", {0, 0}, {}},
    {u"$", u"ab", {kNone, kNone}, {}},  // a start at the end is never tried on its own
    {u"b$", u"ab", {1, 3}, {}},         // "$" steps past the terminating zero
    {u"a$", u"ab", {kNone, kNone}, {}},
    {u"^a*$", u"aaa", {0, 4}, {}},
    // An empty text has no start but its end, which is never tried on its
    // own: nothing is found, not even by patterns that match the empty text.
    {u"a", u"", {kNone, kNone}, {}},
    {u"a?", u"", {kNone, kNone}, {}},
    {u"$", u"", {kNone, kNone}, {}},
    // A stray closer ends the pattern.
    {u"a)b", u"xab", {1, 2}, {}},
    {u"a}b", u"xa", {1, 2}, {}},
    // Abbreviations.
    {u"\\d\\d", u"a12", {1, 3}, {}},
    {u"\\z", u"x123y", {1, 4}, {}},
    {u"\\w", u"--Hello--", {2, 7}, {}},
    {u"\\c", u"1A", {1, 2}, {}},
    {u"\\a+", u"-Z9-", {1, 3}, {}},
    {u"\\h+", u"zzBeEfg", {2, 6}, {}},
    {u"\\b*x", u" \t x", {0, 4}, {}},
    {u"\\n", u"a\r\nb", {1, 2}, {}},  // the CR alone is tried first
    {u"a\\nb", u"a\r\nb", {0, 4}, {}},
    {u"a\\nb", u"a\nb", {0, 3}, {}},
    {u"\\n", u"a\n\rb", {1, 2}, {}},
    {u"\\q", u"say \"hi\" 'yo'", {4, 8}, {}},
    {u"\\q", u"'yo'", {kNone, kNone}, {}},
    // The patterns of the HTTP engine.
    {u"Content-Length: {[0-9]+}", u"HTTP/1.1 200\r\ncontent-length: 512\r\n", {14, 33}, {{30, 33}}},
    {u"Set-Cookie:\\b*{.+?}\\n", u"SET-COOKIE: \ta=1\r\n", {0, 17}, {{13, 16}}},
    {u"Location: {.+?}\\n", u"Location: /x", {kNone, kNone}, {{kNone, kNone}}},
    {u"charset={[A-Za-z0-9\\-_]+}", u"charset=UTF-8;", {0, 13}, {{8, 13}}},
    {u"{<html>}", u"x<HTML>", {1, 7}, {{1, 7}}},
    {u"{</html>}", u"</Html", {kNone, kNone}, {{kNone, kNone}}},
};

TEST(PatternMatch, FindsWhatEachConstructDescribes) {
  for (const MatchCase& c : kMatchCases) {
    SCOPED_TRACE(Show(c.pattern) + " on \"" + Show(c.text) + "\"");
    CompiledPattern pattern;
    ASSERT_EQ(pattern.Compile(c.pattern), PatternOk);
    ASSERT_EQ(pattern.GroupCount(), c.groups.size());
    const std::unique_ptr<char16_t[]> text = ExactCopy(c.text);
    MatchState state;
    const char16_t* end = nullptr;
    const bool found = pattern.Match(text.get(), state, &end);
    ASSERT_EQ(found, c.match.start != kNone);
    ASSERT_EQ(state.groupCount, c.groups.size());
    if (!found) continue;
    EXPECT_EQ(state.matchStart - text.get(), c.match.start);
    EXPECT_EQ(state.matchEnd - text.get(), c.match.end);
    EXPECT_EQ(end, state.matchEnd);
    for (size_t g = 0; g < c.groups.size(); ++g) {
      SCOPED_TRACE("group " + std::to_string(g));
      const GroupSpan span = state.groups[static_cast<int32_t>(g)];
      if (c.groups[g].start == kNone) {
        EXPECT_EQ(span.start, nullptr);
        EXPECT_EQ(span.end, nullptr);
      } else {
        ASSERT_NE(span.start, nullptr);
        ASSERT_NE(span.end, nullptr);
        EXPECT_EQ(span.start - text.get(), c.groups[g].start);
        EXPECT_EQ(span.end - text.get(), c.groups[g].end);
      }
    }
  }
}

TEST(PatternMatch, ReportsWhereTheMachineStopped) {
  CompiledPattern pattern;
  ASSERT_EQ(pattern.Compile(u"ab"), PatternOk);
  const std::unique_ptr<char16_t[]> text = ExactCopy(u"ax");
  MatchState state;
  const char16_t* end = nullptr;
  EXPECT_FALSE(pattern.Match(text.get(), state, &end));
  // The last start tried was the last character; the machine stopped where
  // the first attempt's "b" failed.
  EXPECT_EQ(state.matchStart, text.get() + 1);
  EXPECT_EQ(state.matchEnd, text.get() + 1);
  EXPECT_EQ(end, text.get() + 1);

  // A missing text leaves end alone.
  const char16_t marker = u'm';
  end = &marker;
  EXPECT_FALSE(pattern.Match(nullptr, state, &end));
  EXPECT_EQ(end, &marker);

  // An uncompiled pattern is not matched.
  CompiledPattern empty;
  EXPECT_EQ(empty.Error(), NoPattern);
  EXPECT_FALSE(empty.Match(text.get(), state, &end));
  EXPECT_EQ(end, text.get());
}

TEST(PatternMatch, ReusedStateStartsClean) {
  CompiledPattern pattern;
  ASSERT_EQ(pattern.Compile(u"{a}|{b}"), PatternOk);
  MatchState state;
  ASSERT_TRUE(pattern.Match(u"a", state));
  EXPECT_NE(state.groups[0].start, nullptr);
  ASSERT_TRUE(pattern.Match(u"b", state));
  EXPECT_EQ(state.groups[0].start, nullptr);
  EXPECT_NE(state.groups[1].start, nullptr);

  CompiledPattern single;
  ASSERT_EQ(single.Compile(u"x"), PatternOk);
  ASSERT_TRUE(single.Match(u"x", state));
  EXPECT_EQ(state.groupCount, 0u);
}

TEST(PatternMatch, LeavesTheCallersTextAsItWas) {
  CompiledPattern pattern;
  ASSERT_EQ(pattern.Compile(u"{<html>}"), PatternOk);
  std::u16string text = u"<HTML><Body>";
  const std::u16string before = text;
  MatchState state;
  ASSERT_TRUE(pattern.Match(text.c_str(), state));
  EXPECT_EQ(text, before);
  EXPECT_EQ(std::u16string(state.groups[0].start, state.groups[0].end), u"<HTML>");
}

// ---------------------------------------------------------------------------
// The backtracking stack.

TEST(PatternStack, StartsAt256AndGrowsToTwiceTheNewDepthPlusTwo) {
  MatchState state;
  EXPECT_EQ(state.stack.Size(), 256);
  CompiledPattern pattern;
  ASSERT_EQ(pattern.Compile(u"a*$"), PatternOk);
  // Each repetition of a greedy loop keeps three entries: 100 of them need a
  // depth of 304, so the stack grows once, at depth 256, to 514 entries.
  const std::u16string hundred(100, u'a');
  ASSERT_TRUE(pattern.Match(hundred.c_str(), state));
  EXPECT_EQ(state.matchEnd - hundred.c_str(), 101);
  EXPECT_EQ(state.stack.Size(), 514);
  EXPECT_EQ(state.stack.Capacity(), 514);
  // 200 need 604: the next growth comes at depth 514, to 1030.
  const std::u16string twoHundred(200, u'a');
  ASSERT_TRUE(pattern.Match(twoHundred.c_str(), state));
  EXPECT_EQ(state.stack.Size(), 1030);
}

TEST(PatternStack, StackThatCannotGrowTouchesNothingOutsideIt) {
  const std::pair<const char16_t*, std::u16string> cases[] = {
      {u"a*", std::u16string(300, u'a')},
      {u"^a*$", std::u16string(300, u'a')},
      {u"{a}+x", std::u16string(300, u'a') + u"x"},
      {u"(!b{.})*c", std::u16string(300, u'a')},
      {u"(a|b)*c", std::u16string(300, u'a')},
      {u"{.+?}\\n", std::u16string(300, u'a') + u"\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Show(c.first));
    CompiledPattern pattern;
    ASSERT_EQ(pattern.Compile(c.first), PatternOk);
    const std::unique_ptr<char16_t[]> text = ExactCopy(c.second);
    MatchState state;
    state.stack.SetLimit(256);
    const char16_t* end = nullptr;
    const bool found = pattern.Match(text.get(), state, &end);
    // The result may be wrong, but the stack kept its size and every
    // position reported lies within the text.
    EXPECT_EQ(state.stack.Size(), 256);
    EXPECT_LT(state.depth, 256);
    const char16_t* const last = text.get() + c.second.size() + 1;
    EXPECT_TRUE(end >= text.get() && end <= last);
    if (found) {
      EXPECT_TRUE(state.matchStart >= text.get() && state.matchStart <= state.matchEnd);
      EXPECT_TRUE(state.matchEnd <= last);
    }
  }
}

TEST(PatternStack, AnchoredMatchThatOverflowsFindsNothing) {
  // The lost choice points end the only attempt that "^" allows.
  CompiledPattern pattern;
  ASSERT_EQ(pattern.Compile(u"^a*$"), PatternOk);
  const std::u16string text(300, u'a');
  MatchState limited;
  limited.stack.SetLimit(256);
  EXPECT_FALSE(pattern.Match(text.c_str(), limited));
  MatchState unlimited;
  EXPECT_TRUE(pattern.Match(text.c_str(), unlimited));
}

TEST(PatternStack, GrowableArrayFollowsTheGrowthRule) {
  GrowableArray<int32_t> array;
  std::vector<int32_t> capacities;
  for (int32_t i = 0; i < 10000; ++i) {
    ASSERT_TRUE(array.Add(i));
    if (capacities.empty() || capacities.back() != array.Capacity()) {
      capacities.push_back(array.Capacity());
    }
  }
  // +4 below 32 elements, then +1/8 of the size.
  const std::vector<int32_t> start = {4, 8, 12, 16, 20, 24, 28, 32, 36, 40, 45, 50, 56, 63, 70};
  ASSERT_GE(capacities.size(), start.size());
  EXPECT_EQ(std::vector<int32_t>(capacities.begin(), capacities.begin() + 15), start);
  // +1024 from 8200 elements on.
  for (size_t i = 1; i < capacities.size(); ++i) {
    if (capacities[i - 1] >= 8200) {
      EXPECT_EQ(capacities[i] - capacities[i - 1], 1024);
    } else if (capacities[i - 1] >= 32) {
      EXPECT_EQ(capacities[i] - capacities[i - 1], capacities[i - 1] / 8);
    }
  }
  for (int32_t i = 0; i < array.Size(); ++i) ASSERT_EQ(array[i], i);

  // A larger request is taken as it is, and new space is zero.
  GrowableArray<int32_t> other;
  ASSERT_TRUE(other.SetSize(3));
  other[2] = 7;
  ASSERT_TRUE(other.SetSize(100));
  EXPECT_EQ(other.Capacity(), 100);
  ASSERT_TRUE(other.SetSize(1));
  ASSERT_TRUE(other.SetSize(3));
  EXPECT_EQ(other[2], 0);

  // An allocation that would pass the limit fails and changes nothing.
  other.SetLimit(150);
  EXPECT_FALSE(other.SetSize(151));
  EXPECT_EQ(other.Size(), 3);
  EXPECT_EQ(other.Capacity(), 100);
  EXPECT_TRUE(other.SetSize(150));
}

// ---------------------------------------------------------------------------
// Collecting captures.

struct CaptureCase {
  std::u16string text;
  const char16_t* pattern;
  bool result;
  std::vector<std::u16string> captures;
};

const CaptureCase kCaptureCases[] = {
    // Header values as the HTTP engine takes them.
    {u"HTTP/1.1 200 OK\r\ncontent-length: 512\r\n\r\n", u"Content-Length: {[0-9]+}", true, {u"512"}},
    {u"HTTP/1.1 200 OK\r\nCONTENT-LENGTH: 7\r\n", u"Content-Length: {[0-9]+}", true, {u"7"}},
    {u"Content-Length:512\r\n", u"Content-Length: {[0-9]+}", true, {}},
    {u"Set-Cookie: ID=abc\r\nset-cookie: id=ABC\r\n", u"Set-Cookie:\\b*{.+?}\\n", true, {u"ID=abc"}},
    {u"Set-Cookie:  a=1; path=/\r\nSet-Cookie:\tb=2\r\n", u"Set-Cookie:\\b*{.+?}\\n", true,
     {u"a=1; path=/", u"b=2"}},
    {u"Set-Cookie: a=1\nSet-Cookie: b=2\n", u"Set-Cookie:\\b*{.+?}\\n", true, {u"a=1", u"b=2"}},
    {u"HTTP/1.1 302 Found\r\nLocation: http://h/new\r\n\r\n", u"Location: {.+?}\\n", true,
     {u"http://h/new"}},
    {u"HTTP/1.1 302 Found\r\nLocation: http://h/new", u"Location: {.+?}\\n", true, {}},
    {u"Content-Type: text/html; charset=UTF-8\r\n", u"charset={[A-Za-z0-9\\-_]+}", true, {u"UTF-8"}},
    {u"Content-Type: text/html; charset=gb2312\r\n", u"charset={[A-Za-z0-9\\-_]+}", true, {u"gb2312"}},
    {u"Content-Type: text/html; charset=\"utf-8\"\r\n", u"charset={[A-Za-z0-9\\-_]+}", true, {}},
    {u"<HTML><body>x</body></HTML>", u"{<html>}", true, {u"<HTML>"}},
    {u"<HTML><body>x</body></HTML>", u"{</html>}", true, {u"</HTML>"}},
    {u"<html><body>cut", u"{</html>}", true, {}},
    // Distinct first-group texts in order of first appearance, letters as in
    // the text; only group 0 is returned.
    {u"Foo foo FOO bar Bar", u"{[a-z]+}", true, {u"Foo", u"bar"}},
    {u"a1 b2 a3", u"{[a-z]}{[0-9]}", true, {u"a", u"b"}},
    {u"ab", u"{b}$", true, {u"b"}},
    // A pattern that can match the empty text steps one character on.
    {u"bab", u"{a?}", true, {u"", u"a"}},
    {u"a b  c", u"{\\b*}", true, {u"", u" ", u"  "}},
    // The text ends at its first zero character.
    {std::u16string(u"a\0b", 3), u"{b}", true, {}},
    // Failures.
    {u"", u"{a}", false, {}},
    {u"abc", u"", false, {}},
    {std::u16string(u"\0abc", 4), u"{a}", false, {}},
    {u"abc", u"{a", false, {}},
    {u"abc", u"abc", false, {}},  // no capture group
    {u"abc", u"{x}", true, {}},
};

TEST(PatternFindAllCaptures, CollectsDistinctFirstGroupTexts) {
  for (const CaptureCase& c : kCaptureCases) {
    SCOPED_TRACE(Show(c.pattern) + " on \"" + Show(c.text) + "\"");
    std::vector<std::u16string> captures = {u"left over"};
    EXPECT_EQ(FindAllCaptures(c.text, c.pattern, captures), c.result);
    std::vector<std::string> shown;
    for (const std::u16string& capture : captures) shown.push_back(Show(capture));
    std::vector<std::string> expected;
    for (const std::u16string& capture : c.captures) expected.push_back(Show(capture));
    EXPECT_EQ(shown, expected);
  }
}

TEST(PatternFindAllCaptures, SearchesEachMatchOnce) {
  // Every tag of a long body is found, and each search begins where the
  // previous match ended: "bc" overlaps "ab" and is not found.
  std::u16string body;
  for (int i = 0; i < 1000; ++i) body += (i % 2) ? u"<html>" : u"<HTML>";
  std::vector<std::u16string> captures;
  ASSERT_TRUE(FindAllCaptures(body, u"{<html>}", captures));
  EXPECT_EQ(captures, std::vector<std::u16string>{u"<HTML>"});
  ASSERT_TRUE(FindAllCaptures(u"abc", u"{[a-z][a-z]}", captures));
  EXPECT_EQ(captures, std::vector<std::u16string>{u"ab"});
}

}  // namespace
}  // namespace parvel
