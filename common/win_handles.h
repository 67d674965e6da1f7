// Named owners for the Win32 handle kinds the system uses.
#pragma once

#include <windows.h>

#include "common/unique_handle.h"

namespace parvel {

// Kernel objects that CreateFileW and friends return, where "none" is INVALID_HANDLE_VALUE.
struct FileHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Handle h) { ::CloseHandle(h); }
};
using UniqueFile = UniqueHandle<FileHandleTraits>;

// Kernel objects where "none" is a null handle (processes, threads, events).
struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::CloseHandle(h); }
};
using UniqueKernelHandle = UniqueHandle<KernelHandleTraits>;

struct RegistryKeyTraits {
  using Handle = HKEY;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle h) { ::RegCloseKey(h); }
};
using UniqueRegistryKey = UniqueHandle<RegistryKeyTraits>;

// A COM interface pointer, released when its owner goes.
template <typename Interface>
struct ComPointerTraits {
  using Handle = Interface*;
  static Handle Invalid() { return nullptr; }
  static void Close(Handle p) { p->Release(); }
};
template <typename Interface>
using UniqueComPointer = UniqueHandle<ComPointerTraits<Interface>>;

}  // namespace parvel
