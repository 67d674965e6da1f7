// The pattern matcher of the HTTP client: patterns with brace capture groups,
// compiled into a small program for a backtracking machine that matches
// UTF-16 text without regard to the case of the letters A to Z.
//
// Syntax in brief (the pattern is lower-cased before it is read):
//   c         that character          .       any character but the end
//   [..] [^..] a set or its complement, items "x" or "x-y"; "\x" inside a set
//             takes x literally, "\t" is a tab
//   {X}       capture group           (X)     group without capture
//   A|B       A or B (the bar joins the single terms beside it)
//   A* A+ A?  greedy repetition       A*? A+? A??  lazy repetition
//   !A        zero-width test that A does not match here
//   \N        back-reference to group N
//   \a \b \c \d \h \n \q \w \z  abbreviations (see pattern.cpp)
//   \x        the character x
//   ^ first   anchor at the start     $ last  the end of the text
// A ")", "]" or "}" where an element would start ends the sequence; at the
// outer level the rest of the pattern is ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace parvel {

// Result of CompiledPattern::Compile.
enum PatternError : int32_t {
  PatternOk = 0,
  NoMemory = 1,         // the pattern copy or an instruction cannot be allocated
  MissingBrace = 2,     // a "{" group is not closed by "}"
  MissingParen = 3,     // a "(" group is not closed by ")"
  MissingBracket = 4,   // a "[" set is not closed, or a range's upper end is "]" or missing
  BadAbbreviation = 5,  // the expansion of an abbreviation failed to compile
  EmptyClass = 6,       // "[]" or "[^]"
  UnknownGroup = 7,     // a back-reference names a group not yet opened
  ReversedRange = 8,    // a range whose upper end is below its lower end
  EmptyLoop = 9,        // a loop over an atom that can match the empty text
  NoPattern = 10,       // no pattern text was given
  // The pattern ends in a "\" that escapes nothing (outside or inside a set).
  // Such a pattern has no sound reading, so it is refused rather than read
  // past its end.
  TrailingBackslash = 11,
  // The pattern nests deeper than kMaxPatternNesting, or compiling it would
  // take more than kMaxCompileWork instruction writes. Every group is read
  // more than once while compiling, so the work doubles with each level of
  // nesting; the limits keep Compile finite and its recursion shallow.
  TooComplex = 12,
};

// Limits behind TooComplex. Real patterns stay far below both.
constexpr int32_t kMaxPatternNesting = 100;
constexpr int64_t kMaxCompileWork = int64_t{1} << 18;

// Texts longer than this many characters are searched only this far: every
// position the machine keeps is a 32-bit value.
constexpr int32_t kMaxMatchedText = INT32_MAX - 2;

enum class OpKind : int32_t {
  Nop,
  OpenGroup,
  CloseGroup,
  Char,
  AnyChar,
  InRanges,
  NotInRanges,
  Jump,
  SavePos,
  RestorePos,
  Call,
  Return,
  SaveSlot,
  RestoreSlot,
  SetSlotPos,
  SetSlotDepth,
  LoadSlotPos,
  LoadSlotDepth,
  RequireProgress,
  BackRef,
  Fail,
  Advance,
  Accept,
  SaveGroup,
  RestoreGroup,
};

// One instruction of a compiled program. The operand is a character code, an
// instruction index, a group number, a slot number or a range bound,
// depending on the kind.
struct Instruction {
  OpKind kind;
  int32_t operand;
};

inline bool operator==(const Instruction& a, const Instruction& b) {
  return a.kind == b.kind && a.operand == b.operand;
}
inline bool operator!=(const Instruction& a, const Instruction& b) { return !(a == b); }

// A growable array of plain values that never throws. When it must grow past
// its capacity the new capacity is the old one plus 4 while it holds fewer
// than 32 elements, plus one eighth of its size below 8200 elements and plus
// 1024 beyond, or the requested size when that is larger; new space is
// zero-filled. A failed allocation leaves the array as it was and is reported
// by the result.
template <typename T>
class GrowableArray {
 public:
  GrowableArray() = default;
  GrowableArray(const GrowableArray&) = delete;
  GrowableArray& operator=(const GrowableArray&) = delete;
  GrowableArray(GrowableArray&& other) noexcept { *this = std::move(other); }
  GrowableArray& operator=(GrowableArray&& other) noexcept {
    if (this != &other) {
      data_ = std::move(other.data_);
      size_ = other.size_;
      capacity_ = other.capacity_;
      limit_ = other.limit_;
      other.size_ = 0;
      other.capacity_ = 0;
    }
    return *this;
  }

  int32_t Size() const { return size_; }
  int32_t Capacity() const { return capacity_; }
  const T* Data() const { return data_.get(); }
  T* Data() { return data_.get(); }
  T& operator[](int32_t i) { return data_[static_cast<size_t>(i)]; }
  const T& operator[](int32_t i) const { return data_[static_cast<size_t>(i)]; }

  // Test hook: the most elements an allocation may hold, so that tests can
  // make growth fail the way an exhausted heap would.
  void SetLimit(int32_t maxElements) { limit_ = maxElements; }

  // Makes the array hold newSize elements; elements that become part of the
  // array are zero. Returns false, changing nothing, when it cannot grow.
  bool SetSize(int64_t newSize) {
    if (newSize < 0) return false;
    if (newSize > capacity_) {
      const int64_t grow = size_ < 32 ? 4 : (size_ < 8200 ? size_ / 8 : 1024);
      int64_t newCapacity = capacity_ + grow;
      if (newCapacity < newSize) newCapacity = newSize;
      if (newCapacity > limit_) return false;
      std::unique_ptr<T[]> bigger(new (std::nothrow) T[static_cast<size_t>(newCapacity)]());
      if (!bigger) return false;
      if (size_ > 0) std::memcpy(bigger.get(), data_.get(), sizeof(T) * static_cast<size_t>(size_));
      data_ = std::move(bigger);
      capacity_ = static_cast<int32_t>(newCapacity);
    } else if (newSize > size_) {
      std::memset(static_cast<void*>(data_.get() + size_), 0,
                  sizeof(T) * static_cast<size_t>(newSize - size_));
    }
    size_ = static_cast<int32_t>(newSize);
    return true;
  }

  bool Add(const T& value) {
    if (size_ < capacity_) {
      data_[static_cast<size_t>(size_++)] = value;
      return true;
    }
    if (!SetSize(int64_t{size_} + 1)) return false;
    data_[static_cast<size_t>(size_ - 1)] = value;
    return true;
  }

 private:
  std::unique_ptr<T[]> data_;
  int32_t size_ = 0;
  int32_t capacity_ = 0;
  int32_t limit_ = INT32_MAX;
};

// The text one group captured, as positions in the text given to Match.
// Both are null while the group has taken no part in the match.
struct GroupSpan {
  const char16_t* start;
  const char16_t* end;
};

// The working state of one Match. It belongs to its caller and can be reused
// from one Match to the next.
struct MatchState {
  MatchState();

  uint32_t groupCount = 0;               // number of spans in groups
  const char16_t* matchStart = nullptr;  // where the last match (or attempt) began
  const char16_t* matchEnd = nullptr;    // where it ended, or where matching stopped
  GrowableArray<int32_t> slots;          // positions or depths saved by the program
  GrowableArray<GroupSpan> groups;       // one span per group of the pattern
  GrowableArray<int32_t> stack;          // backtracking stack; entry 0 is never used
  int32_t depth = 0;                     // entries on the stack

  // Test hook: the most instructions one Match may execute, 0 for no limit.
  // A backtracking search can take time exponential in the text; fuzzing
  // bounds it with this. When the steps run out, Match gives up, returns
  // false and sets stepLimitReached.
  int64_t stepLimit = 0;
  bool stepLimitReached = false;

  static constexpr int32_t kInitialStack = 256;
};

class CompiledPattern {
 public:
  CompiledPattern() = default;
  CompiledPattern(const CompiledPattern&) = delete;
  CompiledPattern& operator=(const CompiledPattern&) = delete;
  CompiledPattern(CompiledPattern&&) noexcept = default;
  CompiledPattern& operator=(CompiledPattern&&) noexcept = default;

  // Compiles a zero-terminated pattern, replacing any earlier program. A
  // missing pattern gives NoPattern. Only a pattern whose last Compile gave
  // PatternOk can be matched.
  PatternError Compile(const char16_t* pattern);

  // Searches a zero-terminated text, trying each start from its first
  // character on, and returns true at the first start where the program
  // accepts. Whatever the outcome, end (when given) receives the position
  // where the machine stopped: after a match, the first position after it.
  // A missing text gives false and leaves end alone. The text is read no
  // further than its terminating zero.
  bool Match(const char16_t* text, MatchState& state, const char16_t** end = nullptr) const;

  PatternError Error() const { return error; }
  const GrowableArray<Instruction>& Instructions() const { return instructions; }
  uint32_t GroupCount() const { return groupCount; }
  int32_t SlotCount() const { return slotCount; }
  bool CaseSensitive() const { return caseSensitive; }

  // Test hook: the most instructions a program may hold; a longer one fails
  // to compile with NoMemory, as when memory runs out.
  void SetInstructionLimit(int32_t maxInstructions) { instructions.SetLimit(maxInstructions); }

 private:
  friend class PatternCompiler;

  PatternError error = NoPattern;
  GrowableArray<Instruction> instructions;
  uint32_t groupCount = 0;
  int32_t slotCount = 0;
  bool caseSensitive = false;
};

// Collects the text of the first group of every match of pattern in text,
// each search starting where the previous match ended (one character further
// when that match was empty). Texts that differ only in the case of A to Z
// are kept once, in the order of their first appearance and with the letters
// of the text. Returns true when the pattern compiled and the text was
// searched, whether or not anything was found; false with an empty list when
// the text or the pattern is empty, the pattern does not compile or has no
// capture group, or memory runs out. Both texts end at their first zero
// character, if they hold one.
bool FindAllCaptures(std::u16string_view text, std::u16string_view pattern,
                     std::vector<std::u16string>& captures);

}  // namespace parvel
