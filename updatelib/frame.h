// The library's application frame: one application object, made at load.
#pragma once

#include <string>
#include <string_view>

namespace parvel {

// The application title of a module: its file's base name without the
// extension ("C:\\A\\Marlock.dll" gives "Marlock").
std::u16string ApplicationTitleFromPath(std::u16string_view modulePath);

}  // namespace parvel
