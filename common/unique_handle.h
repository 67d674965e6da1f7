// Move-only ownership of a platform handle.
//
// Every handle the system opens is owned by one of these, so nothing is ever
// closed by hand and every early return releases what was opened.
#pragma once

#include <utility>

namespace parvel {

// Traits supply the handle type, its "none" value and how to close it:
//   struct Traits { using Handle = ...; static Handle Invalid(); static void Close(Handle); };
template <typename Traits>
class UniqueHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueHandle() noexcept : handle_(Traits::Invalid()) {}
  explicit UniqueHandle(Handle handle) noexcept : handle_(handle) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ~UniqueHandle() { Reset(); }

  Handle Get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != Traits::Invalid(); }

  // Gives the handle up without closing it.
  Handle Release() noexcept { return std::exchange(handle_, Traits::Invalid()); }

  // Closes the owned handle (if any) and takes the new one.
  void Reset(Handle handle = Traits::Invalid()) noexcept {
    Handle old = std::exchange(handle_, handle);
    if (old != Traits::Invalid()) Traits::Close(old);
  }

 private:
  Handle handle_;
};

}  // namespace parvel
