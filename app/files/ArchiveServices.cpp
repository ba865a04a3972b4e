#include "app/files/ArchiveServices.h"

#include <mutex>

#include "app/foundation/StringUtils.h"
#include "platform/foundation/Log.h"

namespace {
std::mutex servicesMutex;
std::shared_ptr<TARWrapper> &tarService() {
  static std::shared_ptr<TARWrapper> s;
  return s;
}
std::function<std::unique_ptr<ZipArchive>()> &zipMaker() {
  static std::function<std::unique_ptr<ZipArchive>()> m;
  return m;
}
} // namespace

bool TARWrapper::unTARFile(const std::string &path) {
  const std::string folder = unTARFolder(path);
  if (folder.empty()) {
    platform::Log::systemf("No folder name for the archive: %s", withControlsEscaped(path).c_str());
    return false;
  }
  return unTARFileTo(path, folder);
}

bool TARWrapper::unTARFileTo(const std::string &path, const std::string &folder) {
  std::shared_ptr<TARWrapper> service;
  {
    std::lock_guard lock(servicesMutex);
    service = tarService();
  }
  return service && service->untar(path, folder);
}

std::string TARWrapper::unTARFolder(const std::string &path) {
  const std::string::size_type slash = path.rfind('/');
  const std::string::size_type dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  const std::string folder = path.substr(0, dot);
  const std::string stem = folder.substr(slash == std::string::npos ? 0 : slash + 1);
  if (stem.empty() || stem == "." || stem == "..") return {};
  return folder;
}

void TARWrapper::install(std::shared_ptr<TARWrapper> service) {
  std::lock_guard lock(servicesMutex);
  tarService() = std::move(service);
}

std::unique_ptr<ZipArchive> ZipArchive::make() {
  std::function<std::unique_ptr<ZipArchive>()> maker;
  {
    std::lock_guard lock(servicesMutex);
    maker = zipMaker();
  }
  return maker ? maker() : nullptr;
}

void ZipArchive::setMaker(std::function<std::unique_ptr<ZipArchive>()> maker) {
  std::lock_guard lock(servicesMutex);
  zipMaker() = std::move(maker);
}
