// Decisions and texts of the updater program, free of the Windows API.
//
// The updater is started with one command line, "address#size" or
// "address~size". Everything that can be worked out from that text and from
// the download's progress figures is worked out here, so it can be tested by
// feeding it values; updater_win.cpp only carries the results to the screen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace parvel {

// "#" marks a check that the archive program scheduled by itself, "~" a
// check that the user asked for.
enum class UpdateMode { Automatic, Manual };

// The command line cut at its separator.
struct UpdaterCommand {
  UpdateMode mode = UpdateMode::Manual;
  std::u16string downloadUrl;  // everything before the separator
  std::u16string sizeText;     // everything after it, shown as it stands
};

// Splits the command line at its first "#"; only when there is no "#" at
// all, at its first "~". Without either separator there is nothing to do and
// the result is empty.
std::optional<UpdaterCommand> SplitCommandLine(std::u16string_view commandLine);

// The installer's local file name: the address from its first "Setup_open-V"
// to its end. Empty when the address has no "Setup_open-V".
std::u16string LocalFileName(std::u16string_view downloadUrl);

// The version announced in the balloon: the text after the address's first
// "-" (from the start when there is none) up to the first ".exe". Empty when
// the first ".exe" is missing or does not come after that start.
std::u16string VersionText(std::u16string_view downloadUrl);

// Whether the address can be used at all: it holds "Setup_open-V", its first
// ".exe" comes after its first "-", and the local file name is a plain file
// name that stays inside the updater's own directory (no path separators,
// ":", wildcards, quotes, "<", ">", "|", control characters or ".."). An
// address that fails this is never downloaded.
bool IsUsableAddress(std::u16string_view downloadUrl);

// Texts of the notification icon.
std::u16string TrayTipText();                                     // the tip
std::u16string BalloonTitle();                                    // the balloon's title
std::u16string BalloonText(std::u16string_view downloadUrl);      // the balloon's text

// The capacity, in code units with the terminating zero, of the bounded copy
// that fills every text of the notification icon.
inline constexpr std::size_t kTrayTextCapacity = 64;

// Copies at most capacity - 1 code units of text into destination and always
// terminates it; a longer text is cut. Nothing is written when capacity is 0.
void BoundedCopy(char16_t* destination, std::size_t capacity, std::u16string_view text);

// The bar position for one progress report of the downloader: progress × 100
// / maximum in double precision, both taken as unsigned 32-bit numbers,
// truncated toward zero to a 64-bit integer of which the low 32 bits are
// kept. A maximum of 0 (the server gave no length) gives 0.
std::uint32_t ProgressPercentage(std::uint32_t progress, std::uint32_t maximum);

// Seconds left, estimated from the bar position (1..100) after the given
// number of one-second ticks: (100 - position) × elapsed / position with
// 32-bit signed arithmetic, quotient truncated. Empty at position 0, where no
// estimate can be made yet and the line keeps its old text.
std::optional<std::int32_t> RemainingSeconds(std::int32_t position, std::int32_t elapsedSeconds);

// The remaining-time line: "30 秒", eleven spaces, "文件大小: ", the size
// text and "MB".
std::u16string RemainingTimeLine(std::int32_t remainingSeconds, std::u16string_view sizeText);

// The file the download goes to before it is complete, in the updater's
// directory.
inline constexpr std::u16string_view kTemporaryFileName = u"ParvelSetup.tmp";

}  // namespace parvel
