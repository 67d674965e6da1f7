#include "http/update_server.h"

#include <initializer_list>
#include <utility>

#include "http/http_request.h"

#ifndef PARVEL_UPDATE_SERVER
#error "PARVEL_UPDATE_SERVER names the update server's base address (set by CMake)"
#endif

namespace parvel {

namespace {

std::u16string Join(std::u16string_view base, std::initializer_list<std::u16string_view> parts) {
  size_t size = base.size();
  for (const auto part : parts) size += part.size();
  std::u16string url;
  url.reserve(size);
  url += base;
  for (const auto part : parts) url += part;
  return url;
}

}  // namespace

UpdateServer UpdateServer::BuiltIn() {
  return UpdateServer(u"" PARVEL_UPDATE_SERVER);
}

std::u16string UpdateServer::ManifestUrl() const {
  return Join(base_, {kManifestPath});
}

std::u16string UpdateServer::UsageReportUrl(std::u16string_view identity, std::u16string_view reportText) const {
  return Join(base_, {kUsageReportPath, identity, u"=", reportText});
}

std::u16string UpdateServer::InstallReportUrl(std::u16string_view publicCode, std::u16string_view identity,
                                              std::u16string_view digest) const {
  return Join(base_, {kInstallReportPath, publicCode, identity, digest});
}

std::u16string UpdateServer::UninstallReportUrl(std::u16string_view identity, std::u16string_view reasonTokens,
                                                std::u16string_view freeText) const {
  if (freeText.empty()) return Join(base_, {kUninstallReportPath, identity, reasonTokens});
  return Join(base_, {kUninstallReportPath, identity, reasonTokens, u",", freeText});
}

std::u16string ManifestUrl() {
  return UpdateServer::BuiltIn().ManifestUrl();
}

std::u16string UsageReportUrl(std::u16string_view identity, std::u16string_view reportText) {
  return UpdateServer::BuiltIn().UsageReportUrl(identity, reportText);
}

std::u16string InstallReportUrl(std::u16string_view publicCode, std::u16string_view identity,
                                std::u16string_view digest) {
  return UpdateServer::BuiltIn().InstallReportUrl(publicCode, identity, digest);
}

std::u16string UninstallReportUrl(std::u16string_view identity, std::u16string_view reasonTokens,
                                  std::u16string_view freeText) {
  return UpdateServer::BuiltIn().UninstallReportUrl(identity, reasonTokens, freeText);
}

size_t UsageReportTextRoom(std::u16string_view identity) {
  const size_t fixed = kUsageReportPath.size() + identity.size() + 1;
  const size_t room = kUrlPathRoom - 1;
  return fixed >= room ? 0 : room - fixed;
}

}  // namespace parvel
