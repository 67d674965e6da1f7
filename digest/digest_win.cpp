#include "digest/digest_win.h"

#include <windows.h>

#include "common/text.h"
#include "common/win_handles.h"
#include "digest/md5.h"

namespace parvel {

std::u16string FileMd5(const std::u16string& path) {
  if (path.empty()) return {};
  UniqueFile file(::CreateFileW(WidePtr(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return {};

  Md5Context context;
  unsigned char block[1024];
  for (;;) {
    DWORD read = 0;
    // A read error ends the reading as the end of the file does; the digest
    // then covers the bytes read so far.
    if (!::ReadFile(file.Get(), block, sizeof block, &read, nullptr) || read == 0) break;
    context.Update(block, read);
  }
  return context.FinishHex();
}

void ShowFileMd5(const std::u16string& path) {
  const std::u16string text = FileMd5MessageText(FileMd5(path));
  ::MessageBoxW(nullptr, WidePtr(text), L"Parvel", MB_OK | MB_ICONINFORMATION);
}

}  // namespace parvel
