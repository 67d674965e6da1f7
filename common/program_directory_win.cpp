#include <windows.h>

#include "common/program_directory.h"
#include "common/text.h"

namespace parvel {

std::u16string GetProgramDirectory() { return GetProgramDirectory(520); }

std::u16string GetProgramDirectory(size_t initialCapacity) {
  const std::u16string path = GetModulePath(nullptr, initialCapacity);
  return path.empty() ? path : DirectoryOfPath(path);
}

std::u16string GetModulePath(void* module, size_t initialCapacity) {
  // GetModuleFileNameW cuts a path that does not fit and says so only by
  // filling the whole buffer, so grow it until the answer is shorter.
  std::u16string buffer(initialCapacity == 0 ? 1 : initialCapacity, u'\0');
  for (;;) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD length = ::GetModuleFileNameW(static_cast<HMODULE>(module), WideBuffer(buffer), size);
    if (length == 0) return {};
    if (length < size) {
      buffer.resize(length);
      return buffer;
    }
    if (buffer.size() >= 32768) return {};  // Longer than any Windows path can be.
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace parvel
