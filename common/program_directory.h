// The directory of the running process's executable.
#pragma once

#include <string>
#include <string_view>

namespace parvel {

// Cuts a full file path right after its last backslash, keeping the
// backslash; a path without any backslash is returned whole.
std::u16string DirectoryOfPath(std::u16string_view path);

#ifdef _WIN32
// The directory of the executable of the running process, with a trailing
// backslash: for the library that is its host program's directory, for the
// updater its own. Worked out afresh on every call; the buffer grows until
// the whole path fits, so long host paths are never cut.
std::u16string GetProgramDirectory();

// The same, starting from a buffer of `initialCapacity` characters: lets the
// tests show the growth with any host path.
std::u16string GetProgramDirectory(size_t initialCapacity);

// The full file name of a loaded module (nullptr: the process's executable),
// read into a buffer that grows until the whole path fits; empty on failure.
std::u16string GetModulePath(void* module, size_t initialCapacity = 520);
#endif

}  // namespace parvel
