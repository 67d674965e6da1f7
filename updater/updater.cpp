#include "updater/updater.h"

#include <algorithm>

namespace parvel {

namespace {

constexpr std::u16string_view kFileNameStart = u"Setup_open-V";
constexpr std::u16string_view kExecutableEnd = u".exe";

// Wraps a 64-bit value to 32 bits the way the two's-complement hardware
// does, without relying on signed overflow.
std::int32_t Wrap32(std::int64_t value) {
  const auto low = static_cast<std::uint32_t>(static_cast<std::uint64_t>(value));
  if (low <= 0x7FFFFFFFu) return static_cast<std::int32_t>(low);
  return static_cast<std::int32_t>(static_cast<std::int64_t>(low) - 0x100000000LL);
}

// A code unit that cannot stand in a plain file name of the updater's
// directory: it would name another directory or drive, act as a wildcard,
// be quoted away, or be refused by the file system.
bool IsForbiddenInFileName(char16_t unit) {
  if (unit < 0x20 || unit == 0x7F) return true;
  switch (unit) {
    case u'\\':
    case u'/':
    case u':':
    case u'*':
    case u'?':
    case u'"':
    case u'<':
    case u'>':
    case u'|':
      return true;
    default:
      return false;
  }
}

}  // namespace

std::optional<UpdaterCommand> SplitCommandLine(std::u16string_view commandLine) {
  UpdaterCommand command;
  size_t split = commandLine.find(u'#');
  if (split != std::u16string_view::npos) {
    command.mode = UpdateMode::Automatic;
  } else {
    split = commandLine.find(u'~');
    if (split == std::u16string_view::npos) return std::nullopt;
    command.mode = UpdateMode::Manual;
  }
  command.downloadUrl = std::u16string(commandLine.substr(0, split));
  command.sizeText = std::u16string(commandLine.substr(split + 1));
  return command;
}

std::u16string LocalFileName(std::u16string_view downloadUrl) {
  const size_t start = downloadUrl.find(kFileNameStart);
  if (start == std::u16string_view::npos) return {};
  return std::u16string(downloadUrl.substr(start));
}

std::u16string VersionText(std::u16string_view downloadUrl) {
  const size_t dash = downloadUrl.find(u'-');
  const size_t start = dash == std::u16string_view::npos ? 0 : dash + 1;
  const size_t end = downloadUrl.find(kExecutableEnd);
  if (end == std::u16string_view::npos || end < start) return {};
  return std::u16string(downloadUrl.substr(start, end - start));
}

bool IsUsableAddress(std::u16string_view downloadUrl) {
  const std::u16string fileName = LocalFileName(downloadUrl);
  if (fileName.empty()) return false;
  // "Setup_open-V" holds a "-", so there always is a first one here.
  const size_t dash = downloadUrl.find(u'-');
  const size_t end = downloadUrl.find(kExecutableEnd);
  if (end == std::u16string_view::npos || end < dash) return false;
  if (std::any_of(fileName.begin(), fileName.end(), IsForbiddenInFileName)) return false;
  return fileName.find(u"..") == std::u16string::npos;
}

std::u16string TrayTipText() {
  return std::u16string(u"Parvel正在检测更新") + u"当前版本" + u"V 1.1";
}

std::u16string BalloonTitle() { return u"Parvel升级提示，发现新版本"; }

std::u16string BalloonText(std::u16string_view downloadUrl) {
  return u"当前版本 v1.0，最新版本" + VersionText(downloadUrl);
}

void BoundedCopy(char16_t* destination, std::size_t capacity, std::u16string_view text) {
  if (capacity == 0) return;
  const size_t count = std::min(text.size(), capacity - 1);
  std::copy_n(text.data(), count, destination);
  destination[count] = u'\0';
}

std::uint32_t ProgressPercentage(std::uint32_t progress, std::uint32_t maximum) {
  if (maximum == 0) return 0;
  const double percentage = static_cast<double>(progress) * 100.0 / static_cast<double>(maximum);
  // At most (2^32 - 1) × 100, well inside the 64-bit range, so the
  // conversion is always defined.
  const auto whole = static_cast<std::int64_t>(percentage);
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(whole));
}

std::optional<std::int32_t> RemainingSeconds(std::int32_t position, std::int32_t elapsedSeconds) {
  if (position == 0) return std::nullopt;
  const std::int32_t left = Wrap32(100 - static_cast<std::int64_t>(position));
  const std::int32_t product = Wrap32(static_cast<std::int64_t>(left) * elapsedSeconds);
  // The 64-bit quotient only differs from the 32-bit one where the 32-bit
  // division would overflow (the most negative value divided by -1).
  return Wrap32(static_cast<std::int64_t>(product) / position);
}

std::u16string RemainingTimeLine(std::int32_t remainingSeconds, std::u16string_view sizeText) {
  std::u16string digits;
  auto magnitude = static_cast<std::uint32_t>(remainingSeconds);
  if (remainingSeconds < 0) magnitude = 0u - magnitude;
  do {
    digits.push_back(static_cast<char16_t>(u'0' + magnitude % 10));
    magnitude /= 10;
  } while (magnitude != 0);
  if (remainingSeconds < 0) digits.push_back(u'-');
  std::reverse(digits.begin(), digits.end());

  std::u16string line = digits;
  line += u" 秒";
  line += u"           文件大小: ";
  line += sizeText;
  line += u"MB";
  return line;
}

}  // namespace parvel
