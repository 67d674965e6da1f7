// File digests and the digest message box, over the Win32 file API.
#pragma once

#include <string>

namespace parvel {

// The digest text of a file's bytes, read raw in blocks of 1024 bytes while
// other programs may go on reading and writing it; the empty text when the
// file can't be opened (missing, no access, bad or empty path).
std::u16string FileMd5(const std::u16string& path);

// Shows "该文件MD5值为:" and the file's digest in an information box captioned
// "Parvel", with no owner window, and returns when the user has closed it.
void ShowFileMd5(const std::u16string& path);

}  // namespace parvel
