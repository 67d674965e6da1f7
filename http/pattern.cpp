#include "http/pattern.h"

#include <cassert>
#include <unordered_map>

namespace parvel {

namespace {

// Abbreviations: the first character is the letter written after "\", the
// rest is compiled as one term in its place. The texts are used as stored,
// without lower-casing. Only the first term of "q" is compiled, so its
// single-quoted alternative after the bar is never reached; callers may rely
// on "\q" meaning a double-quoted text and nothing else.
const char16_t* const kAbbreviations[] = {
    u"a([a-zA-Z0-9])",            // one letter or digit
    u"b([ \\t])",                 // one space or tab
    u"c([a-zA-Z])",               // one letter
    u"d([0-9])",                  // one digit
    u"h([0-9a-fA-F])",            // one hexadecimal digit
    u"n(\r|(\r?\n))",             // a line end: CR alone, or LF after an optional CR
    u"q(\"[^\"]*\")|('[^']*')",   // a double-quoted text
    u"w([a-zA-Z]+)",              // a run of letters
    u"z([0-9]+)",                 // a run of digits
};

constexpr char16_t LowerAscii(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + (u'a' - u'A')) : c;
}

size_t TextLength(const char16_t* text) {
  size_t n = 0;
  while (text[n] != 0) ++n;
  return n;
}

}  // namespace

// Reads a lower-cased copy of the pattern top-down and writes the program.
//
// Every term is read twice: once to see whether a "|" follows, and again,
// after the first reading has been discarded, either plainly or as the left
// side of the alternation. A quantified atom is likewise read once, discarded
// (kept as the first copy for "+" and "+?") and read again into its loop. Each
// new reading gives its groups the same numbers as the first, so that both
// copies of a group under "+" fill one group, but takes new slots.
class PatternCompiler {
 public:
  explicit PatternCompiler(CompiledPattern& pattern) : out_(pattern) {}

  PatternError Run(const char16_t* pattern) {
    out_.instructions.SetSize(0);
    out_.groupCount = 0;
    out_.slotCount = 0;
    out_.caseSensitive = false;
    if (pattern == nullptr) return out_.error = NoPattern;
    out_.error = PatternOk;

    std::u16string lowered;
    try {
      lowered.assign(pattern);
    } catch (const std::bad_alloc&) {
      return out_.error = NoMemory;
    }
    for (char16_t& c : lowered) c = LowerAscii(c);
    text_ = lowered.c_str();
    length_ = lowered.size();
    pos_ = 0;

    if (Emit(OpKind::Call, 0)) {
      bool ok;
      if (Peek() == u'^') {
        ++pos_;
        ok = Emit(OpKind::Fail, 0);
      } else {
        ok = Emit(OpKind::Advance, 0);
      }
      Emptiness whole;
      // At the outer level a stray ")", "]" or "}" ends the pattern; what
      // follows it is ignored.
      if (ok && Sequence(whole)) {
        Patch(0, 2);
        Emit(OpKind::Accept, 0);
      }
    }
    text_ = nullptr;
    return out_.error = error_;
  }

 private:
  // What the compiler knows about an atom's power to match the empty text.
  // canBeEmpty follows the reading rules of the matcher and decides EmptyLoop
  // for every loop. mayBeEmpty also counts what really matches without
  // consuming although the rules mark it otherwise (negations, back-references
  // to empty groups): a lazy loop has no progress check, so over such an atom
  // it would repeat forever, and it is refused as well.
  struct Emptiness {
    bool canBeEmpty = true;
    bool mayBeEmpty = true;
  };

  // Keeps the recursion of nested atoms within kMaxPatternNesting.
  class NestingGuard {
   public:
    explicit NestingGuard(int32_t& depth) : depth_(depth) { ++depth_; }
    ~NestingGuard() { --depth_; }
    NestingGuard(const NestingGuard&) = delete;
    NestingGuard& operator=(const NestingGuard&) = delete;

   private:
    int32_t& depth_;
  };

  bool Fail(PatternError error) {
    if (error_ == PatternOk) error_ = error;
    return false;
  }

  bool Emit(OpKind kind, int32_t operand, int32_t* index = nullptr) {
    if (++work_ > kMaxCompileWork) return Fail(TooComplex);
    const int32_t at = out_.instructions.Size();
    if (!out_.instructions.Add(Instruction{kind, operand})) return Fail(NoMemory);
    if (index != nullptr) *index = at;
    return true;
  }

  int32_t Here() const { return out_.instructions.Size(); }
  void Patch(int32_t at, int32_t operand) { out_.instructions[at].operand = operand; }
  void Discard(int32_t mark) { out_.instructions.SetSize(mark); }  // shrinking cannot fail

  char16_t Peek(size_t ahead = 0) const {
    return pos_ + ahead < length_ ? text_[pos_ + ahead] : char16_t{0};
  }

  bool NewSlot(int32_t& slot) {
    if (out_.slotCount == INT32_MAX) return Fail(TooComplex);
    slot = out_.slotCount++;
    return true;
  }

  bool AtSequenceEnd() const {
    const char16_t c = Peek();
    return c == 0 || c == u')' || c == u']' || c == u'}';
  }

  // A sequence: elements until the end or a closing ")", "]" or "}".
  bool Sequence(Emptiness& result) {
    result = Emptiness{};
    while (!AtSequenceEnd()) {
      Emptiness element;
      if (!Element(element)) return false;
      result.canBeEmpty = result.canBeEmpty && element.canBeEmpty;
      result.mayBeEmpty = result.mayBeEmpty && element.mayBeEmpty;
    }
    return true;
  }

  // An element: a term, optionally followed by "|" and another element.
  bool Element(Emptiness& result) {
    const size_t start = pos_;
    const uint32_t groups = out_.groupCount;
    const int32_t mark = Here();
    Emptiness first;
    if (!Term(first)) return false;
    const bool alternation = Peek() == u'|';
    Discard(mark);
    pos_ = start;
    out_.groupCount = groups;
    if (!alternation) return Term(result);

    int32_t call = 0;
    int32_t jumpToRight = 0;
    int32_t jumpToEnd = 0;
    if (!Emit(OpKind::SavePos, 0) || !Emit(OpKind::Call, 0, &call) ||
        !Emit(OpKind::RestorePos, 0) || !Emit(OpKind::Jump, 0, &jumpToRight)) {
      return false;
    }
    Patch(call, Here());
    Emptiness left;
    if (!Term(left) || !Emit(OpKind::Jump, 0, &jumpToEnd)) return false;
    ++pos_;  // the bar
    Patch(jumpToRight, Here());
    Emptiness right;
    if (!Element(right)) return false;
    Patch(jumpToEnd, Here());
    result.canBeEmpty = left.canBeEmpty || right.canBeEmpty;
    result.mayBeEmpty = left.mayBeEmpty || right.mayBeEmpty;
    return true;
  }

  // A term: an atom, optionally followed by one quantifier.
  bool Term(Emptiness& result) {
    const size_t start = pos_;
    const uint32_t groups = out_.groupCount;
    const int32_t mark = Here();
    Emptiness atom;
    bool present = false;
    if (!Atom(atom, present)) return false;
    if (!present) {
      result = Emptiness{};
      return true;
    }
    const char16_t quantifier = Peek();
    if (quantifier != u'*' && quantifier != u'+' && quantifier != u'?') {
      result = atom;
      return true;
    }
    const bool lazy = Peek(1) == u'?';
    const bool loop = quantifier != u'?';
    if (loop && (atom.canBeEmpty || (lazy && atom.mayBeEmpty))) return Fail(EmptyLoop);
    const size_t after = pos_ + (lazy ? 2 : 1);
    if (quantifier != u'+') Discard(mark);  // "+" keeps its first copy

    // Reads the atom again, with the group numbers of the first reading.
    const auto readAgain = [&]() {
      pos_ = start;
      out_.groupCount = groups;
      Emptiness again;
      bool found = false;
      return Atom(again, found);
    };

    if (!lazy) {
      int32_t slot = 0;
      int32_t top = 0;
      int32_t call = 0;
      int32_t jumpToEnd = 0;
      if (!NewSlot(slot) || !Emit(OpKind::SaveSlot, slot, &top) ||
          !Emit(OpKind::SetSlotPos, slot) || !Emit(OpKind::SavePos, 0) ||
          !Emit(OpKind::Call, 0, &call) || !Emit(OpKind::RestorePos, 0) ||
          !Emit(OpKind::RestoreSlot, slot) || !Emit(OpKind::Jump, 0, &jumpToEnd)) {
        return false;
      }
      Patch(call, Here());
      if (!readAgain() || !Emit(OpKind::RequireProgress, slot) ||
          !Emit(OpKind::SetSlotPos, slot)) {
        return false;
      }
      if (quantifier != u'?' && !Emit(OpKind::Jump, top)) return false;
      Patch(jumpToEnd, Here());
    } else {
      // Lazy: first go on without the atom, and take it only on backtracking.
      // The call of "??" leads past the whole atom, however many instructions
      // it takes.
      int32_t call = 0;
      if (!Emit(OpKind::Call, 0, &call) || !readAgain()) return false;
      if (quantifier != u'?' && !Emit(OpKind::Jump, call)) return false;
      Patch(call, Here());
    }
    pos_ = after;

    if (quantifier == u'+' && !lazy) {
      result = atom;
    } else if (quantifier == u'+') {
      result = Emptiness{true, atom.mayBeEmpty};
    } else {
      result = Emptiness{};
    }
    return true;
  }

  // An atom, chosen by its first character. present is false when none can
  // start here (at the end or at ")", "]" or "}").
  bool Atom(Emptiness& result, bool& present) {
    const char16_t c = Peek();
    present = !(c == 0 || c == u')' || c == u']' || c == u'}');
    if (!present) return true;
    NestingGuard guard(nesting_);
    if (nesting_ > kMaxPatternNesting) return Fail(TooComplex);
    switch (c) {
      case u'{':
        return Group(true, result);
      case u'(':
        return Group(false, result);
      case u'[':
        return Set(result);
      case u'\\':
        return Escape(result);
      case u'!':
        return Negation(result);
      case u'.':
        ++pos_;
        result = Emptiness{false, false};
        return Emit(OpKind::AnyChar, 0);
      case u'$':
        if (pos_ + 1 == length_) {
          ++pos_;
          result = Emptiness{false, false};
          return Emit(OpKind::Char, 0);
        }
        break;
      default:
        break;
    }
    ++pos_;
    result = Emptiness{false, false};
    return Emit(OpKind::Char, c);
  }

  bool Group(bool capture, Emptiness& result) {
    ++pos_;
    int32_t group = 0;
    int32_t call = 0;
    if (capture) {
      if (out_.groupCount >= static_cast<uint32_t>(INT32_MAX)) return Fail(TooComplex);
      group = static_cast<int32_t>(out_.groupCount++);
      if (!Emit(OpKind::SaveGroup, group) || !Emit(OpKind::OpenGroup, group) ||
          !Emit(OpKind::Call, 0, &call) || !Emit(OpKind::RestoreGroup, group) ||
          !Emit(OpKind::Return, 0)) {
        return false;
      }
    } else if (!Emit(OpKind::Call, 0, &call) || !Emit(OpKind::Return, 0)) {
      return false;
    }
    Patch(call, Here());
    const int32_t inside = Here();
    // An empty group matches the empty text, and counts so: a loop over it
    // could never end.
    Emptiness content;
    if (!Sequence(content)) return false;
    if (Here() == inside && !Emit(OpKind::Nop, 0)) return false;
    if (Peek() != (capture ? u'}' : u')')) return Fail(capture ? MissingBrace : MissingParen);
    ++pos_;
    if (capture && !Emit(OpKind::CloseGroup, group)) return false;
    result = content;
    return true;
  }

  bool Set(Emptiness& result) {
    ++pos_;
    OpKind kind = OpKind::InRanges;
    if (Peek() == u'^') {
      kind = OpKind::NotInRanges;
      ++pos_;
    }
    if (Peek() == u']') return Fail(EmptyClass);
    int32_t head = 0;
    if (!Emit(kind, 0, &head)) return false;
    for (;;) {
      const char16_t c = Peek();
      if (c == 0) return Fail(MissingBracket);
      if (c == u']') {
        ++pos_;
        break;
      }
      char16_t low = c;
      if (c == u'\\') {
        const char16_t escaped = Peek(1);
        if (escaped == 0) return Fail(TrailingBackslash);
        low = escaped == u't' ? u'\t' : escaped;
        pos_ += 2;
      } else {
        ++pos_;
      }
      char16_t high = low;
      if (Peek() == u'-') {
        // The upper end is always taken literally.
        high = Peek(1);
        if (high == 0 || high == u']') return Fail(MissingBracket);
        if (high < low) return Fail(ReversedRange);
        pos_ += 2;
      }
      if (!Emit(OpKind::Nop, low) || !Emit(OpKind::Nop, high)) return false;
    }
    Patch(head, Here());
    result = Emptiness{false, false};
    return true;
  }

  bool Escape(Emptiness& result) {
    const char16_t c = Peek(1);
    if (c == 0) return Fail(TrailingBackslash);
    if (c >= u'0' && c <= u'9') {
      ++pos_;
      int64_t number = 0;
      while (Peek() >= u'0' && Peek() <= u'9') {
        // Saturate: any number this large names no group anyway.
        if (number <= INT32_MAX) number = number * 10 + (Peek() - u'0');
        ++pos_;
      }
      if (number >= static_cast<int64_t>(out_.groupCount)) return Fail(UnknownGroup);
      // A back-reference consumes nothing while its group is empty or unset.
      result = Emptiness{false, true};
      return Emit(OpKind::BackRef, static_cast<int32_t>(number));
    }
    for (const char16_t* abbreviation : kAbbreviations) {
      if (abbreviation[0] == c) {
        pos_ += 2;
        return Abbreviation(abbreviation + 1, result);
      }
    }
    pos_ += 2;
    result = Emptiness{false, false};
    return Emit(OpKind::Char, c);
  }

  bool Abbreviation(const char16_t* expansion, Emptiness& result) {
    const char16_t* const savedText = text_;
    const size_t savedPos = pos_;
    const size_t savedLength = length_;
    text_ = expansion;
    length_ = TextLength(expansion);
    pos_ = 0;
    const bool ok = Term(result);
    text_ = savedText;
    pos_ = savedPos;
    length_ = savedLength;
    if (!ok && error_ != NoMemory && error_ != TooComplex) error_ = BadAbbreviation;
    return ok;
  }

  bool Negation(Emptiness& result) {
    ++pos_;
    int32_t first = 0;
    int32_t second = 0;
    int32_t call = 0;
    int32_t jumpToEnd = 0;
    if (!NewSlot(first) || !NewSlot(second) || !Emit(OpKind::SetSlotPos, first) ||
        !Emit(OpKind::SetSlotDepth, second) || !Emit(OpKind::Call, 0, &call) ||
        !Emit(OpKind::LoadSlotPos, first) || !Emit(OpKind::LoadSlotDepth, second) ||
        !Emit(OpKind::Jump, 0, &jumpToEnd)) {
      return false;
    }
    Patch(call, Here());
    // A "!" with no atom after it tests the empty text, which always
    // matches, so the test always fails.
    Emptiness atom;
    bool present = false;
    if (!Atom(atom, present) || !Emit(OpKind::LoadSlotPos, first) ||
        !Emit(OpKind::LoadSlotDepth, second) || !Emit(OpKind::Return, 0)) {
      return false;
    }
    Patch(jumpToEnd, Here());
    // The test consumes nothing, whatever its atom would.
    result = Emptiness{present ? atom.canBeEmpty : true, true};
    return true;
  }

  CompiledPattern& out_;
  const char16_t* text_ = nullptr;
  size_t length_ = 0;
  size_t pos_ = 0;
  PatternError error_ = PatternOk;
  int64_t work_ = 0;
  int32_t nesting_ = 0;
};

PatternError CompiledPattern::Compile(const char16_t* pattern) {
  PatternCompiler compiler(*this);
  return compiler.Run(pattern);
}

MatchState::MatchState() { stack.SetSize(kInitialStack); }

namespace {

// Runs a compiled program over a zero-terminated text. Positions are offsets
// from the text's start. The text is read lazily, one character at a time, so
// nothing past its terminator is ever read: once the terminator has been seen
// its offset is the limit, and any position at or beyond it reads as the end.
class Machine {
 public:
  Machine(const GrowableArray<Instruction>& program, const char16_t* text, MatchState& state,
          bool foldCase)
      : program_(program.Data()),
        count_(program.Size()),
        text_(text),
        state_(state),
        slots_(state.slots.Data()),
        groups_(state.groups.Data()),
        foldCase_(foldCase) {}

  bool Run();

  int32_t attemptStart = 0;
  int32_t pos = 0;

 private:
  char16_t At(int32_t p) {
    if (p >= limit_) return 0;
    const char16_t c = text_[p];
    if (c == 0) limit_ = p;
    return c;
  }

  char16_t Fold(char16_t c) const {
    return (foldCase_ && c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + (u'a' - u'A')) : c;
  }

  // A value that cannot be stored is dropped and the depth stays; the
  // attempt then runs on only as far as it needs no backtracking.
  void Push(int32_t value) {
    const int32_t next = state_.depth + 1;
    if (next >= state_.stack.Size() && !state_.stack.SetSize(int64_t{next} * 2 + 2)) {
      overflowed_ = true;
      return;
    }
    state_.stack[next] = value;
    state_.depth = next;
  }

  int32_t Pop() {
    if (state_.depth == 0) return 0;
    return state_.stack[state_.depth--];
  }

  bool ValidPosition(int32_t p) const { return p >= 0 && p <= limit_ + 1 && p <= furthest_; }

  void SetPos(int32_t p) {
    pos = p;
    if (p > furthest_) furthest_ = p;
  }

  int32_t Offset(const char16_t* p) const { return p ? static_cast<int32_t>(p - text_) : -1; }
  const char16_t* Pointer(int32_t offset) const { return offset < 0 ? nullptr : text_ + offset; }

  const Instruction* program_;
  int32_t count_;
  const char16_t* text_;
  MatchState& state_;
  int32_t* slots_;
  GroupSpan* groups_;
  bool foldCase_;
  int32_t limit_ = kMaxMatchedText;
  int32_t furthest_ = 0;
  bool overflowed_ = false;
};

bool Machine::Run() {
  int32_t pc = 0;
  int32_t start = 0;
  // The machine's invariants hold for every program Compile writes; a broken
  // one ends the search rather than reach outside the arrays.
#define PARVEL_PATTERN_CHECK(condition)                         \
  do {                                                          \
    const bool holds = (condition);                             \
    assert(holds && "pattern machine invariant: " #condition);  \
    if (!holds) return false;                                   \
  } while (false)

  const bool limited = state_.stepLimit > 0;
  int64_t stepsLeft = state_.stepLimit;
  for (;;) {
    if (limited && stepsLeft-- == 0) {
      state_.stepLimitReached = true;
      return false;
    }
    PARVEL_PATTERN_CHECK(pc >= 0 && pc < count_);
    const Instruction& op = program_[pc];
    bool backtrack = false;
    switch (op.kind) {
      case OpKind::Nop:
        ++pc;
        break;
      case OpKind::OpenGroup:
        groups_[op.operand].start = text_ + pos;
        ++pc;
        break;
      case OpKind::CloseGroup:
        groups_[op.operand].end = text_ + pos;
        ++pc;
        break;
      case OpKind::Char: {
        const char16_t c = At(pos);
        if (Fold(c) == op.operand && (c != 0 || pos <= limit_)) {
          SetPos(pos + 1);
          ++pc;
        } else {
          backtrack = true;
        }
        break;
      }
      case OpKind::AnyChar:
        if (At(pos) != 0) {
          SetPos(pos + 1);
          ++pc;
        } else {
          backtrack = true;
        }
        break;
      case OpKind::InRanges:
      case OpKind::NotInRanges: {
        const char16_t c = At(pos);
        if (c == 0) {
          backtrack = true;
          break;
        }
        const int32_t f = Fold(c);
        const int32_t end = op.operand;
        bool inside = false;
        for (int32_t i = pc + 1; i + 2 <= end; i += 2) {
          if (program_[i].operand <= f && f <= program_[i + 1].operand) {
            inside = true;
            break;
          }
        }
        if (inside == (op.kind == OpKind::InRanges)) {
          SetPos(pos + 1);
          pc = end;
        } else {
          backtrack = true;
        }
        break;
      }
      case OpKind::Jump:
        pc = op.operand;
        break;
      case OpKind::SavePos:
        Push(pos);
        ++pc;
        break;
      case OpKind::RestorePos: {
        const int32_t p = Pop();
        PARVEL_PATTERN_CHECK(ValidPosition(p));
        pos = p;
        ++pc;
        break;
      }
      case OpKind::Call:
        // Instruction 0 begins every attempt.
        if (pc == 0) attemptStart = pos;
        Push(pc + 1);
        pc = op.operand;
        break;
      case OpKind::Return:
        backtrack = true;
        break;
      case OpKind::SaveSlot:
        Push(slots_[op.operand]);
        ++pc;
        break;
      case OpKind::RestoreSlot:
        slots_[op.operand] = Pop();
        ++pc;
        break;
      case OpKind::SetSlotPos:
        slots_[op.operand] = pos;
        ++pc;
        break;
      case OpKind::SetSlotDepth:
        slots_[op.operand] = state_.depth;
        ++pc;
        break;
      case OpKind::LoadSlotPos: {
        const int32_t p = slots_[op.operand];
        PARVEL_PATTERN_CHECK(ValidPosition(p));
        pos = p;
        ++pc;
        break;
      }
      case OpKind::LoadSlotDepth: {
        const int32_t d = slots_[op.operand];
        PARVEL_PATTERN_CHECK(d >= 0 && d <= state_.depth);
        state_.depth = d;
        ++pc;
        break;
      }
      case OpKind::RequireProgress:
        if (pos == slots_[op.operand]) {
          backtrack = true;
        } else {
          ++pc;
        }
        break;
      case OpKind::BackRef: {
        // A group with no text yet, or whose new pass has only begun, has
        // length 0 and always matches.
        const GroupSpan span = groups_[op.operand];
        int32_t length = 0;
        if (span.start != nullptr && span.end != nullptr && span.end > span.start) {
          length = static_cast<int32_t>(span.end - span.start);
        }
        const int32_t from = Offset(span.start);
        bool equal = true;
        for (int32_t i = 0; i < length; ++i) {
          const char16_t c = At(pos + i);
          if (c == 0 || Fold(c) != Fold(At(from + i))) {
            equal = false;
            break;
          }
        }
        if (equal) {
          SetPos(pos + length);
          ++pc;
        } else {
          backtrack = true;
        }
        break;
      }
      case OpKind::Fail:
        return false;
      case OpKind::Advance:
        // The first start of an empty text is its end: there is no next one.
        if (At(start) == 0) return false;
        ++start;
        if (At(start) == 0) return false;
        SetPos(start);
        state_.depth = 0;
        overflowed_ = false;
        pc = 0;
        break;
      case OpKind::Accept:
        return true;
      case OpKind::SaveGroup: {
        const GroupSpan span = groups_[op.operand];
        Push(Offset(span.start));
        Push(Offset(span.end));
        ++pc;
        break;
      }
      case OpKind::RestoreGroup: {
        const int32_t end = Pop();
        const int32_t begin = Pop();
        PARVEL_PATTERN_CHECK(end < 0 || ValidPosition(end));
        PARVEL_PATTERN_CHECK(begin < 0 || ValidPosition(begin));
        groups_[op.operand] = GroupSpan{Pointer(begin), Pointer(end)};
        ++pc;
        break;
      }
    }
    if (backtrack) {
      if (overflowed_) {
        // Choice points were lost when the stack could not grow: give up this
        // start and go on with the next one.
        pc = 1;
        continue;
      }
      pc = Pop();
    }
  }
#undef PARVEL_PATTERN_CHECK
}

}  // namespace

bool CompiledPattern::Match(const char16_t* text, MatchState& state, const char16_t** end) const {
  if (text == nullptr) return false;
  if (end != nullptr) *end = nullptr;
  state.depth = 0;
  state.stepLimitReached = false;
  if (error != PatternOk || instructions.Size() == 0) {
    state.groupCount = 0;
    state.matchStart = text;
    state.matchEnd = text;
    if (end != nullptr) *end = text;
    return false;
  }
  if (!state.groups.SetSize(groupCount) || !state.slots.SetSize(slotCount)) return false;
  if (groupCount > 0) {
    std::memset(static_cast<void*>(state.groups.Data()), 0, sizeof(GroupSpan) * groupCount);
  }
  if (slotCount > 0) {
    std::memset(state.slots.Data(), 0, sizeof(int32_t) * static_cast<size_t>(slotCount));
  }
  state.groupCount = groupCount;

  // A start at the end of the text is never tried on its own, and an empty
  // text has no other start: nothing is found and nothing past it is read.
  if (text[0] == u'\0') {
    state.matchStart = text;
    state.matchEnd = text;
    if (end != nullptr) *end = text;
    return false;
  }

  Machine machine(instructions, text, state, !caseSensitive);
  const bool found = machine.Run();
  state.matchStart = text + machine.attemptStart;
  state.matchEnd = text + machine.pos;
  if (end != nullptr) *end = state.matchEnd;
  return found;
}

namespace {

uint64_t FoldedHash(std::u16string_view text) {
  uint64_t hash = 14695981039346656037ull;
  for (const char16_t c : text) {
    hash ^= LowerAscii(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

bool EqualFolded(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

std::u16string_view UpToZero(std::u16string_view text) {
  return text.substr(0, text.find(u'\0'));
}

}  // namespace

bool FindAllCaptures(std::u16string_view text, std::u16string_view pattern,
                     std::vector<std::u16string>& captures) {
  captures.clear();
  text = UpToZero(text);
  pattern = UpToZero(pattern);
  if (text.empty() || pattern.empty()) return false;
  try {
    CompiledPattern compiled;
    const std::u16string patternText(pattern);
    if (compiled.Compile(patternText.c_str()) != PatternOk) return false;
    // Only the first group is returned: a pattern without one can give
    // nothing and is refused as a caller's mistake.
    if (compiled.GroupCount() == 0) return false;

    const std::u16string copy(text);
    const char16_t* const base = copy.c_str();
    const size_t length = copy.size();
    MatchState state;
    // Hashes of the texts already taken, folded as the matcher folds, so
    // that each new capture is checked in constant time.
    std::unordered_multimap<uint64_t, size_t> seen;
    size_t from = 0;
    for (;;) {
      const char16_t* end = nullptr;
      if (!compiled.Match(base + from, state, &end)) break;
      const GroupSpan span = state.groups[0];
      if (span.start != nullptr && span.end != nullptr && span.start <= span.end) {
        const std::u16string_view value(span.start, static_cast<size_t>(span.end - span.start));
        const uint64_t hash = FoldedHash(value);
        bool known = false;
        const auto range = seen.equal_range(hash);
        for (auto it = range.first; it != range.second && !known; ++it) {
          known = EqualFolded(captures[it->second], value);
        }
        if (!known) {
          captures.emplace_back(value);
          seen.emplace(hash, captures.size() - 1);
        }
      }
      size_t next = static_cast<size_t>(end - base);
      // A match that ends where its search began would be found again and
      // again: step one character on.
      if (next <= from) next = from + 1;
      if (next >= length) break;
      from = next;
    }
    return true;
  } catch (const std::bad_alloc&) {
    captures.clear();
    return false;
  }
}

}  // namespace parvel
