// A picture picked from the camera or the photo library, as Saved Files and Cloud Files store it.
#pragma once

#include <memory>

namespace platform::media {
class Image;
}

// The picture to store: one whose camera only flagged how it is turned gets upright pixels (scaled
// to the usual maximum), with the network activity indicator on meanwhile; an upright picture is
// stored whole, whatever its size. Null for null. Main thread.
std::shared_ptr<platform::media::Image>
pictureToStore(const std::shared_ptr<platform::media::Image> &picked);
