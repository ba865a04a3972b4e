#include "app/files/LocalFilesServices.h"

#include "app/ftp/FTPServices.h"

namespace {
std::shared_ptr<LocalFilesServices> &installed() {
  static std::shared_ptr<LocalFilesServices> services;
  return services;
}
} // namespace

LocalFilesServices &LocalFilesServices::shared() {
  static LocalFilesServices none;
  return installed() ? *installed() : none;
}

void LocalFilesServices::setShared(std::shared_ptr<LocalFilesServices> services) {
  installed() = std::move(services);
}

void LocalFilesServices::showDocumentViewer(const DocumentViewRequest &request) {
  if (auto services = FTPAppServices::shared())
    services->showDocumentViewer(request.name, request.path);
}
