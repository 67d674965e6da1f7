// The update server: its base address, built in at configure time, and the
// four requests the library sends it. Every address the library asks the
// update server for is made here.
//
//   HttpRequest manifest(ManifestUrl());
//   HttpRequest report(UsageReportUrl(identity, reportText));
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace parvel {

// Paths after the base address; the last three are followed directly by
// their query.
inline constexpr std::u16string_view kManifestPath = u"/download/ParvelUpdat.txt";
inline constexpr std::u16string_view kUsageReportPath = u"/update?";
inline constexpr std::u16string_view kInstallReportPath = u"/install?";
inline constexpr std::u16string_view kUninstallReportPath = u"/uninstall?";

// An update server at a base address: scheme and host (and a port, for
// tests), no trailing slash. The report addresses join their parts exactly
// as given: nothing is escaped, so the "#" and "_" of a usage report, and the
// commas, spaces and line breaks of an uninstall text, stand in the address
// unchanged (the request engine decides how they travel).
class UpdateServer {
 public:
  explicit UpdateServer(std::u16string base) : base_(std::move(base)) {}

  // The server this build talks to (the PARVEL_UPDATE_SERVER setting).
  static UpdateServer BuiltIn();

  const std::u16string& Base() const { return base_; }

  // The manifest, no query.
  std::u16string ManifestUrl() const;
  // "/update?" + identity + "=" + the pending report text.
  std::u16string UsageReportUrl(std::u16string_view identity, std::u16string_view reportText) const;
  // "/install?" + public code + identity + digest, with no separators.
  std::u16string InstallReportUrl(std::u16string_view publicCode, std::u16string_view identity,
                                  std::u16string_view digest) const;
  // "/uninstall?" + identity + the reason tokens, then "," and the free text
  // only when the text is not empty. The tokens carry their own commas
  // (",2,5"); the short report is the identity alone.
  std::u16string UninstallReportUrl(std::u16string_view identity, std::u16string_view reasonTokens = {},
                                    std::u16string_view freeText = {}) const;

 private:
  std::u16string base_;
};

// The same addresses on the built-in server: what the library's callers use.
std::u16string ManifestUrl();
std::u16string UsageReportUrl(std::u16string_view identity, std::u16string_view reportText);
std::u16string InstallReportUrl(std::u16string_view publicCode, std::u16string_view identity,
                                std::u16string_view digest);
std::u16string UninstallReportUrl(std::u16string_view identity, std::u16string_view reasonTokens = {},
                                  std::u16string_view freeText = {});

// The longest report text whose usage report address the request engine can
// still send for this identity: the path with its query must stay within
// kUrlPathRoom - 1 characters (http_request.h).
size_t UsageReportTextRoom(std::u16string_view identity);

}  // namespace parvel
