#include "common/program_directory.h"

namespace parvel {

std::u16string DirectoryOfPath(std::u16string_view path) {
  const size_t slash = path.rfind(u'\\');
  if (slash == std::u16string_view::npos) return std::u16string(path);
  return std::u16string(path.substr(0, slash + 1));
}

}  // namespace parvel
