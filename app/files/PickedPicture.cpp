#include "app/files/PickedPicture.h"

#include "app/foundation/ImageScaling.h"
#include "platform/device/Application.h"
#include "platform/media/Image.h"

std::shared_ptr<platform::media::Image>
pictureToStore(const std::shared_ptr<platform::media::Image> &picked) {
  // Stored turned upright: a camera's orientation flag does not survive every format.
  if (!picked || picked->imageOrientation() == platform::media::ImageOrientation::Up) return picked;
  auto &application = platform::Application::shared();
  application.setNetworkActivityIndicatorVisible(true);
  auto upright = scaleAndRotateImage(picked);
  application.setNetworkActivityIndicatorVisible(false);
  return upright;
}
