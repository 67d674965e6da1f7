#include "updatelib/frame.h"

namespace parvel {

std::u16string ApplicationTitleFromPath(std::u16string_view modulePath) {
  const size_t separator = modulePath.find_last_of(u"\\/:");
  std::u16string_view name = separator == std::u16string_view::npos ? modulePath : modulePath.substr(separator + 1);
  const size_t dot = name.rfind(u'.');
  if (dot != std::u16string_view::npos && dot != 0) name = name.substr(0, dot);
  return std::u16string(name);
}

}  // namespace parvel
