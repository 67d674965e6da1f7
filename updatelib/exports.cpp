// The library's export table.
//
// Each export is a thin wrapper: it hands its argument to the operation that
// does the work and returns the one-byte result. No exception ever leaves an
// export: the host is a foreign program that could not catch it, so whatever
// goes wrong inside ends here and the export still returns its result.
#define MARLOCK_BUILDING
#include "include/marlock.h"

#include "common/text.h"
#include "digest/digest_win.h"

namespace {

// Runs one export's work; any exception ends the work and the export returns
// `result` all the same.
template <typename Work>
bool Guarded(bool result, Work&& work) noexcept {
  try {
    work();
  } catch (...) {
  }
  return result;
}

}  // namespace

MARLOCK_API bool __stdcall GetMD5ForFileManager(const wchar_t* path) {
  return Guarded(true, [&] { parvel::ShowFileMd5(parvel::FromWide(path)); });
}
