// Fuzz target: a fuzzed pattern matched against a fuzzed text.
//
// Input: the pattern's bytes, a zero byte, the text's bytes (see
// fuzz_text.h for how bytes become characters). Beyond what the sanitizers
// catch, the target checks that every compiled program is well formed, that
// every position Match reports lies inside the text, that letter case of A
// to Z never changes a result, and that a stack that cannot grow stays
// within its array.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_text.h"
#include "http/pattern.h"

using parvel::CompiledPattern;
using parvel::GroupSpan;
using parvel::Instruction;
using parvel::MatchState;
using parvel::OpKind;
using parvel::PatternError;

namespace {

#define REQUIRE(condition)                                          \
  do {                                                              \
    if (!(condition)) {                                             \
      std::fprintf(stderr, "pattern_fuzz: check failed: %s (line %d)\n", #condition, __LINE__); \
      std::abort();                                                 \
    }                                                               \
  } while (false)

// Enough for any linear search of these short texts; exponential
// backtracking is cut off here.
constexpr int64_t kStepLimit = 200000;

void CheckProgram(const CompiledPattern& pattern) {
  const parvel::GrowableArray<Instruction>& program = pattern.Instructions();
  const int32_t n = program.Size();
  const int64_t groups = pattern.GroupCount();
  const int64_t slots = pattern.SlotCount();
  REQUIRE(n >= 3);
  REQUIRE(program[0].kind == OpKind::Call && program[0].operand == 2);
  REQUIRE(program[1].kind == OpKind::Advance || program[1].kind == OpKind::Fail);
  REQUIRE(program[n - 1].kind == OpKind::Accept);
  for (int32_t i = 0; i < n; ++i) {
    const Instruction& op = program[i];
    switch (op.kind) {
      case OpKind::Jump:
      case OpKind::Call:
        REQUIRE(op.operand >= 0 && op.operand < n);
        break;
      case OpKind::InRanges:
      case OpKind::NotInRanges: {
        const int32_t end = op.operand;
        REQUIRE(end > i + 1 && end < n && (end - i - 1) % 2 == 0);
        for (int32_t j = i + 1; j < end; j += 2) {
          REQUIRE(program[j].kind == OpKind::Nop && program[j + 1].kind == OpKind::Nop);
          REQUIRE(program[j].operand <= program[j + 1].operand);
        }
        i = end - 1;
        break;
      }
      case OpKind::OpenGroup:
      case OpKind::CloseGroup:
      case OpKind::SaveGroup:
      case OpKind::RestoreGroup:
      case OpKind::BackRef:
        REQUIRE(op.operand >= 0 && op.operand < groups);
        break;
      case OpKind::SaveSlot:
      case OpKind::RestoreSlot:
      case OpKind::SetSlotPos:
      case OpKind::SetSlotDepth:
      case OpKind::LoadSlotPos:
      case OpKind::LoadSlotDepth:
      case OpKind::RequireProgress:
        REQUIRE(op.operand >= 0 && op.operand < slots);
        break;
      case OpKind::Char:
        // The pattern is lower-cased and no stored abbreviation holds a
        // plain upper-case letter.
        REQUIRE(op.operand >= 0 && op.operand <= 0xFFFF);
        REQUIRE(!(op.operand >= 'A' && op.operand <= 'Z'));
        break;
      default:
        break;
    }
  }
}

struct Outcome {
  bool found;
  bool limited;
  ptrdiff_t start;
  ptrdiff_t end;
  ptrdiff_t stop;
  std::u16string groups;  // offsets of every bound, +1, 0 for none
};

Outcome Run(const CompiledPattern& pattern, const std::u16string& text, MatchState& state) {
  const std::unique_ptr<char16_t[]> buffer = parvel_fuzz::ExactCopy(text);
  const char16_t* const base = buffer.get();
  const char16_t* const last = base + text.size();
  const char16_t* stop = nullptr;
  Outcome outcome;
  outcome.found = pattern.Match(base, state, &stop);
  outcome.limited = state.stepLimitReached;
  if (!outcome.found && outcome.limited) {
    outcome.start = outcome.end = outcome.stop = -1;
    return outcome;
  }
  if (stop == nullptr) {
    // Only a lack of memory for groups or slots gives no position.
    REQUIRE(!outcome.found);
    outcome.start = outcome.end = outcome.stop = -1;
    return outcome;
  }
  REQUIRE(stop >= base && stop <= last + 1);
  REQUIRE(stop == state.matchEnd);
  REQUIRE(state.matchStart >= base && state.matchStart <= last);
  REQUIRE(state.groupCount == (pattern.Error() == parvel::PatternOk ? pattern.GroupCount() : 0));
  outcome.start = state.matchStart - base;
  outcome.end = state.matchEnd - base;
  outcome.stop = stop - base;
  if (outcome.found) {
    REQUIRE(state.matchStart <= state.matchEnd);
    if (pattern.Instructions()[1].kind == OpKind::Fail) REQUIRE(state.matchStart == base);
    for (uint32_t g = 0; g < state.groupCount; ++g) {
      const GroupSpan span = state.groups[static_cast<int32_t>(g)];
      for (const char16_t* bound : {span.start, span.end}) {
        REQUIRE(bound == nullptr || (bound >= base && bound <= last));
        outcome.groups += static_cast<char16_t>(bound ? bound - base + 1 : 0);
      }
    }
  }
  return outcome;
}

bool Same(const Outcome& a, const Outcome& b) {
  return a.found == b.found && a.limited == b.limited && a.start == b.start && a.end == b.end &&
         a.stop == b.stop && a.groups == b.groups;
}

std::u16string UpToZero(std::u16string text) {
  const size_t zero = text.find(u'\0');
  if (zero != std::u16string::npos) text.resize(zero);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const void* zero = std::memchr(data, 0, size);
  const size_t patternBytes =
      zero ? static_cast<size_t>(static_cast<const uint8_t*>(zero) - data) : size;
  const std::u16string pattern = UpToZero(parvel_fuzz::Decode(data, patternBytes));
  const std::u16string text =
      zero ? UpToZero(parvel_fuzz::Decode(data + patternBytes + 1, size - patternBytes - 1))
           : std::u16string();

  CompiledPattern compiled;
  const PatternError error = compiled.Compile(pattern.c_str());
  REQUIRE(error >= parvel::PatternOk && error <= parvel::TooComplex);
  REQUIRE(compiled.Error() == error);
  REQUIRE(!compiled.CaseSensitive());
  MatchState state;
  state.stepLimit = kStepLimit;
  const Outcome plain = Run(compiled, text, state);
  if (error != parvel::PatternOk) {
    REQUIRE(!plain.found);
    return 0;
  }
  CheckProgram(compiled);

  // Matching folds A to Z, so changing their case changes nothing, not even
  // the number of steps.
  std::u16string upper = text;
  std::u16string mixed = text;
  for (size_t i = 0; i < text.size(); ++i) {
    upper[i] = parvel_fuzz::UpperAscii(text[i]);
    mixed[i] = (i % 2) ? parvel_fuzz::UpperAscii(text[i]) : parvel_fuzz::LowerAscii(text[i]);
  }
  MatchState reused;  // a state used before must give the same results
  reused.stepLimit = kStepLimit;
  REQUIRE(Same(plain, Run(compiled, upper, reused)));
  REQUIRE(Same(plain, Run(compiled, mixed, reused)));
  REQUIRE(Same(plain, Run(compiled, text, reused)));

  // A stack that cannot grow: results may differ, positions may not leave
  // the text and the stack stays within its array.
  MatchState small;
  small.stepLimit = kStepLimit;
  small.stack.SetLimit(parvel::MatchState::kInitialStack);
  Run(compiled, text, small);
  REQUIRE(small.stack.Size() == parvel::MatchState::kInitialStack);
  REQUIRE(small.depth >= 0 && small.depth < small.stack.Size());
  return 0;
}
