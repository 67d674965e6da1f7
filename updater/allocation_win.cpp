// How the updater runs out of memory.
//
// The program is built without exceptions: it is a small download, and the
// exception runtime of the static C++ library would be most of it. Its few
// allocations are short strings, so when one of them cannot be had there is
// nothing sensible left to do but to end, quietly and with the program's one
// exit code, 0, as on every other way out.

#include <windows.h>

#include <cstddef>
#include <new>

namespace {

[[noreturn]] void OutOfMemory() { ::ExitProcess(0); }

void* Allocate(std::size_t size) {
  void* block = ::HeapAlloc(::GetProcessHeap(), 0, size != 0 ? size : 1);
  if (block == nullptr) OutOfMemory();
  return block;
}

void Free(void* block) {
  if (block != nullptr) ::HeapFree(::GetProcessHeap(), 0, block);
}

}  // namespace

// The replaceable global allocation functions: they never return null and
// never throw.
void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* block) noexcept { Free(block); }
void operator delete[](void* block) noexcept { Free(block); }
void operator delete(void* block, std::size_t) noexcept { Free(block); }
void operator delete[](void* block, std::size_t) noexcept { Free(block); }

#if defined(__GLIBCXX__) && !defined(__cpp_exceptions)
// Without exceptions, GNU libstdc++ still reports a string grown past its
// maximum length or an impossible position through these hooks, whose own
// definitions would throw and so bring the whole exception runtime along.
// Both only follow from running out of memory or from a fault in this
// program; they end it like an allocation failure.
namespace std {
[[noreturn]] void __throw_bad_alloc() { OutOfMemory(); }
[[noreturn]] void __throw_bad_array_new_length() { OutOfMemory(); }
[[noreturn]] void __throw_length_error(const char*) { OutOfMemory(); }
[[noreturn]] void __throw_logic_error(const char*) { OutOfMemory(); }
[[noreturn]] void __throw_out_of_range(const char*) { OutOfMemory(); }
[[noreturn]] void __throw_out_of_range_fmt(const char*, ...) { OutOfMemory(); }
}  // namespace std
#endif
