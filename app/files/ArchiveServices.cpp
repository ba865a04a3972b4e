#include "app/files/ArchiveServices.h"

#include <mutex>

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
  std::shared_ptr<TARWrapper> service;
  {
    std::lock_guard lock(servicesMutex);
    service = tarService();
  }
  return service && service->untar(path);
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
