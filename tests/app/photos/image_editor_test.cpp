// The image editor driven through the probe on pictures the tests make: opening upright, the
// large-picture warning and zoom, crop, resize by slider and fields, saving as JPG and PNG,
// refused names and failed writes, cancelling (also in the middle of a pass) and the marker.
#include "app/files/LocalFilesServices.h"
#include "app/photos/ImageEditorView.h"
#include "app/photos/ImageViewThumb.h"

#include "tests/app/foundation/ScreenFixture.h"
#include "tests/support/Peers.h"
#include "tests/support/PhotoFixtures.h"
#include "tests/support/SmallDisk.h"

#include "app/foundation/Globals.h"
#include "app/foundation/SettingsKeys.h"
#include "platform/device/DeviceProfile.h"
#include "platform/media/Image.h"
#include "platform/ui/Window.h"

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <thread>

#include <unistd.h>

using namespace platform;
using namespace platform::ui;
using platform::media::Image;
namespace fs = std::filesystem;

namespace {

UserDefaults &store() {
  return globalUserDefaults ? *globalUserDefaults : UserDefaults::standard();
}

// A smooth picture (JPEG keeps it within a few levels): red with x, green with y.
std::shared_ptr<Image> gradient(int w, int h) {
  std::vector<uint32_t> px(size_t(w) * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      px[size_t(y) * w + x] = 0xFF000000u | (uint32_t(x * 255 / std::max(1, w - 1)) << 16) |
                              (uint32_t(y * 255 / std::max(1, h - 1)) << 8) | 90u;
  return Image::fromPixels(w, h, reinterpret_cast<const uint8_t *>(px.data()), size_t(w) * 4);
}

int channelDistance(uint32_t a, uint32_t b) {
  int worst = 0;
  for (int shift = 0; shift < 32; shift += 8)
    worst = std::max(worst, std::abs(int((a >> shift) & 0xFF) - int((b >> shift) & 0xFF)));
  return worst;
}

class ImageEditorTest : public ScreenTest {
protected:
  void SetUp() override {
    ScreenTest::SetUp();
    InitGlobals();
    RegisterDefaultSettings();
    files = documents() + "/Files";
    fs::create_directories(files);
  }
  void TearDown() override {
    ImageEditorView::setWorkHook(nullptr);
    editor.reset();
    ScreenTest::TearDown();
  }
  // Opens the picture file in an editor pushed on the stack.
  void open(const std::string &name, const std::vector<uint8_t> &bytes) {
    ASSERT_TRUE(testsupport::writeBytes(files + "/" + name, bytes));
    editor = ImageEditorView::openFile(files + "/" + name, std::nullopt);
    ASSERT_TRUE(editor);
    nav->pushViewController(editor, false);
    RunLoop::main()->runPending();
  }
  bool waitIdle() {
    for (int i = 0; i < 2000; ++i) {
      RunLoop::main()->runPending();
      if (!editor->isWorking()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
  std::string alertTitle() {
    RunLoop::main()->runPending();
    auto alerts = probe->pendingAlerts();
    if (alerts.empty()) return "";
    probe->answerAlert(alerts.back().buttons.front());
    return alerts.back().title;
  }
  // Types a text row of the open settings table: its editor is pushed, filled and left.
  bool typeRow(const std::string &row, const std::string &text) {
    if (!probe->tapRow(row)) return false;
    RunLoop::main()->runPending();
    auto field = probe->find<TextField>(row);
    if (!field || (!field->text().empty() && !probe->clear(row))) return false;
    if (!text.empty() && !probe->type(row, text)) return false;
    return probe->tapBack();
  }
  bool chooseRow(const std::string &row, const std::string &choice) {
    if (!probe->tapRow(row) || !probe->tapRow(choice)) return false;
    return probe->tapBack();
  }
  bool save(const std::string &name, int format) {
    if (!probe->tap("Save")) return false;
    RunLoop::main()->runPending();
    if (!typeRow("File Name", name)) return false;
    if (!chooseRow("Format", format == 1 ? "PNG" : "JPG")) return false;
    return probe->tap("Save to \"Saved Files\"");
  }
  // The zoom that fits the picture into the editor's view.
  double fit(int w, int h) {
    const Rect b = editor->view()->bounds();
    if (w <= b.size.width && h <= b.size.height) return 1.0;
    return std::max(0.2, std::min(b.size.width / w, b.size.height / h));
  }
  std::shared_ptr<ImageEditorView> editor;
  std::string files;
};

TEST_F(ImageEditorTest, OpensEveryOrientationUprightAndEveryKind) {
  auto picture = gradient(6, 4);
  for (int exif = 1; exif <= 8; ++exif) {
    SCOPED_TRACE(exif);
    ASSERT_NO_FATAL_FAILURE(open("o.jpg", testsupport::jpegWithExif(*picture, exif)));
    const bool sideways = exif >= 5;
    EXPECT_EQ(editor->image()->pixelWidth(), sideways ? 4 : 6);
    EXPECT_EQ(editor->image()->imageOrientation(), media::ImageOrientation::Up);
    EXPECT_EQ(store().stringForKey("ImgEdit-EditingNow"), "0");
    nav->popViewControllerAnimated(false);
  }
  // A GIF of one red pixel and a PNG both open; bytes that are no picture give no editor.
  const std::string gif("GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\x00\x00\x00\x00\x00"
                        ",\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02\x44\x01\x00;",
                        35);
  ASSERT_NO_FATAL_FAILURE(open("tiny.gif", std::vector<uint8_t>(gif.begin(), gif.end())));
  EXPECT_EQ(editor->image()->pixelWidth(), 1);
  EXPECT_EQ(editor->image()->straightPixelAt(0, 0) & 0xFFFFFF, 0xFF0000u);
  testsupport::writeFile(files + "/bad.png", "not a picture");
  EXPECT_FALSE(ImageEditorView::openFile(files + "/bad.png", std::nullopt));
}

TEST_F(ImageEditorTest, LargePictureWarningOnceAndZoomToFit) {
  struct Case {
    int w, h;
    bool warns;
    double zoom;
  } cases[] = {{2048, 1024, false, 320.0 / 2048},
               {2049, 1024, true, 320.0 / 2049},
               {2049, 1024, false, 320.0 / 2049},
               {100, 60, false, 1.0},
               {16000, 10, false, 0.2}};
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
    ASSERT_NO_FATAL_FAILURE(open("big.png", gradient(c.w, c.h)->pngRepresentation()));
    EXPECT_EQ(alertTitle(), c.warns ? "Really Big Image" : "");
    EXPECT_NEAR(editor->zoomScale(), fit(c.w, c.h), 1e-9);
    if (c.w == 100 || c.w == 16000) {
      EXPECT_EQ(editor->zoomScale(), c.w == 100 ? 1.0 : 0.2);
    }
    nav->popViewControllerAnimated(false);
  }
}

// The picture's frame is what the page draws: the whole picture, no bigger than its pixels,
// centred in the area between the bars, after a crop and after the view takes another size.
TEST_F(ImageEditorTest, PictureShownWholeFittedAndCentred) {
  struct Case {
    Size area, picture;
    Rect shown;
  } cases[] = {{{320, 372}, {1600, 1200}, {0, 66, 320, 240}},
               {{447, 911}, {1600, 1200}, {0, 287.875, 447, 335.25}},
               {{320, 372}, {100, 60}, {110, 156, 100, 60}},
               {{320, 372}, {300, 3000}, {141.4, 0, 37.2, 372}},
               {{0, 372}, {100, 60}, {0, 0, 0, 0}}};
  for (const Case &c : cases) {
    const Rect r = ImageEditorView::fittedPicture(c.area, c.picture);
    EXPECT_NEAR(r.origin.x, c.shown.origin.x, 1e-9);
    EXPECT_NEAR(r.origin.y, c.shown.origin.y, 1e-9);
    EXPECT_NEAR(r.size.width, c.shown.size.width, 1e-9);
    EXPECT_NEAR(r.size.height, c.shown.size.height, 1e-9);
  }
  ASSERT_NO_FATAL_FAILURE(open("wide.png", gradient(1600, 1200)->pngRepresentation()));
  auto shownIn = [&] {
    auto picture = probe->find<ImageView>("Picture");
    EXPECT_TRUE(picture && picture->superview());
    if (!picture || !picture->superview()) return std::pair<Rect, Rect>{};
    return std::pair{picture->frame(), picture->superview()->bounds()};
  };
  auto expectFitted = [&](int w, int h) {
    auto [frame, area] = shownIn();
    EXPECT_EQ(frame, ImageEditorView::fittedPicture(area.size, Size{double(w), double(h)}));
    EXPECT_GT(frame.size.width, 0);
  };
  expectFitted(1600, 1200);
  ASSERT_TRUE(probe->tap("Crop")) << probe->lastError();
  ASSERT_TRUE(probe->tap("Crop To Rect")) << probe->lastError();
  ASSERT_TRUE(waitIdle());
  ASSERT_LT(editor->image()->pixelWidth(), 1600);
  expectFitted(editor->image()->pixelWidth(), editor->image()->pixelHeight());
  // A narrower view (the tablet's pane, a rotation): fitted again.
  Rect v = editor->view()->frame();
  v.size.width = 200;
  editor->view()->setFrame(v);
  expectFitted(editor->image()->pixelWidth(), editor->image()->pixelHeight());
  EXPECT_LE(shownIn().first.size.width, 200);
}

TEST_F(ImageEditorTest, CropKeepsThePartUnderTheRectangle) {
  auto picture = gradient(100, 50);
  ASSERT_NO_FATAL_FAILURE(open("c.png", picture->pngRepresentation()));
  ASSERT_TRUE(probe->tap("Crop")) << probe->lastError();
  EXPECT_EQ(editor->showingToolbar(), ImageEditorView::kCropping);
  const Rect start = editor->clippingRect();
  // The picture fills the width of the area above the bar, centred in its height.
  const Rect area = editor->view()->bounds();
  const double f = area.size.width / 100, top = (area.size.height - 44 - 50 * f) / 2;
  const Point to{30 * f, top + 5 * f};
  editor->touchDown(start.origin);
  editor->touchMoved(start.origin, to);
  editor->touchEnded();
  EXPECT_EQ(editor->clippingRect().origin, to);
  // A corner dragged until a side would be 30 points or less stops where it was.
  const Rect before = editor->clippingRect();
  const Point corner{before.origin.x + before.size.width, before.origin.y + before.size.height};
  editor->touchDown(corner);
  editor->touchMoved(corner, Point{corner.x - before.size.width, corner.y});
  editor->touchMoved(corner, Point{corner.x - 1, corner.y});
  EXPECT_EQ(editor->clippingRect(), before);
  ASSERT_TRUE(probe->tap("Crop To Rect")) << probe->lastError();
  ASSERT_TRUE(waitIdle());
  // From x 30 and y 5 of the picture to the rectangle's corner, or the picture's edge.
  const Rect r = editor->clippingRect();
  ASSERT_EQ(editor->image()->pixelWidth(), int((r.origin.x + r.size.width) / f) - 30);
  ASSERT_EQ(editor->image()->pixelHeight(),
            std::min(50, int((r.origin.y + r.size.height - top) / f)) - 5);
  for (auto [x, y] : {std::pair{0, 0}, {editor->image()->pixelWidth() - 1, 10}, {20, 10}})
    EXPECT_EQ(editor->image()->pixelAt(x, y), picture->pixelAt(30 + x, 5 + y)) << x << "," << y;
  EXPECT_EQ(editor->showingToolbar(), ImageEditorView::kNormal);
  EXPECT_TRUE(editor->didEditImage());
  // The working copy holds the cropped picture; a second crop starts from the last rectangle.
  auto copy = Image::imageWithContentsOfFile(editor->workingCopyPath());
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->pixelWidth(), 50);
  ASSERT_TRUE(probe->tap("Crop")) << probe->lastError();
  EXPECT_EQ(editor->clippingRect(), before);
}

TEST_F(ImageEditorTest, ResizeBySliderAndFields) {
  struct SliderCase {
    int w, h;
    double value;
    const char *width, *height;
  } sliders[] = {{1000, 750, 0.5, "500", "375"},
                 {1000, 750, 0.333, "330", "247"},
                 {250, 200, 0.3, "75", "60"}};
  for (const SliderCase &c : sliders) {
    SCOPED_TRACE(c.value);
    ASSERT_NO_FATAL_FAILURE(open("r.png", gradient(c.w, c.h)->pngRepresentation()));
    ASSERT_TRUE(probe->tap("Resize")) << probe->lastError();
    ASSERT_TRUE(probe->slide("Resize Slider", c.value)) << probe->lastError();
    EXPECT_EQ(probe->find<TextField>("Width")->text(), c.width);
    EXPECT_EQ(probe->find<TextField>("Height")->text(), c.height);
    nav->popViewControllerAnimated(false);
  }
  ASSERT_NO_FATAL_FAILURE(open("r.png", gradient(200, 100)->pngRepresentation()));
  ASSERT_TRUE(probe->tap("Resize")) << probe->lastError();
  // Digits only, typed one by one or pasted as a run.
  auto width = probe->find<TextField>("Width");
  EXPECT_TRUE(editor->shouldChangeCharactersInRange(*width, Range{}, "234"));
  EXPECT_FALSE(editor->shouldChangeCharactersInRange(*width, Range{}, "24"));
  EXPECT_FALSE(editor->shouldChangeCharactersInRange(*width, Range{}, "12a"));
  EXPECT_TRUE(editor->shouldChangeCharactersInRange(*width, Range{}, ""));
  // Width typed and Next: the height follows; a later change of the height alone counts.
  struct FieldCase {
    const char *width, *height;
    int expectW, expectH;
    const char *alert;
  } fields[] = {{"100", nullptr, 100, 50, ""},
                {nullptr, "80", 100, 80, ""},
                {"20000", "80", 100, 80, "Image Size"},
                {"0", "80", 100, 80, "Image Size"},
                {"100", "200", 100, 200, ""},
                // Far past any integer: the height that follows is a number, refused as such.
                {"99999999999999999999999999", nullptr, 100, 200, "Image Size"}};
  for (const FieldCase &c : fields) {
    SCOPED_TRACE(std::string(c.width ? c.width : "-") + "x" + (c.height ? c.height : "-"));
    if (editor->showingToolbar() != ImageEditorView::kResize) {
      ASSERT_TRUE(probe->tap("Resize")) << probe->lastError();
    }
    if (c.width) {
      ASSERT_TRUE(probe->backspace("Width", 10)) << probe->lastError();
      ASSERT_TRUE(probe->type("Width", c.width)) << probe->lastError();
      ASSERT_TRUE(probe->pressReturn("Width")) << probe->lastError();
    }
    if (c.height) {
      ASSERT_TRUE(probe->backspace("Height", 10)) << probe->lastError();
      ASSERT_TRUE(probe->type("Height", c.height)) << probe->lastError();
    }
    ASSERT_TRUE(probe->tap("Resize")) << probe->lastError(); // the bar's Resize button
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(alertTitle(), c.alert);
    EXPECT_EQ(editor->image()->pixelWidth(), c.expectW);
    EXPECT_EQ(editor->image()->pixelHeight(), c.expectH);
  }
}

TEST_F(ImageEditorTest, SavesJpgAndPngThatDecodeToThePicture) {
  auto picture = gradient(40, 30);
  struct Case {
    const char *typed;
    int format;
    const char *file;
  } cases[] = {{"holiday", 0, "holiday.jpg"},
               {"photo.JPG", 0, "photo.JPG.jpg"},
               {"photo.jpeg", 0, "photo.jpeg"},
               {"photo.png", 0, "photo.png.jpg"},
               {"shot", 1, "shot.png"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.typed);
    ASSERT_NO_FATAL_FAILURE(open("holiday.png", picture->pngRepresentation()));
    ASSERT_TRUE(save(c.typed, c.format)) << probe->lastError();
    RunLoop::main()->runPending();
    EXPECT_NE(probe->topViewController(), editor); // closed
    auto decoded = Image::imageWithContentsOfFile(files + "/" + c.file);
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->pixelWidth(), 40);
    const int tolerance = c.format == 1 ? 0 : 12;
    for (int y = 0; y < 30; y += 7)
      for (int x = 0; x < 40; x += 9)
        EXPECT_LE(channelDistance(decoded->pixelAt(x, y), picture->pixelAt(x, y)), tolerance);
  }
  EXPECT_EQ(store().integerForKey("ImgSave-Format"), 1); // the last format is kept
}

TEST_F(ImageEditorTest, RefusedNameOrFailedWriteKeepsTheEditorAndItsEdits) {
  ASSERT_NO_FATAL_FAILURE(open("keep.png", gradient(40, 30)->pngRepresentation()));
  ASSERT_TRUE(probe->tap("Resize")) << probe->lastError();
  ASSERT_TRUE(probe->slide("Resize Slider", 0.5)) << probe->lastError();
  ASSERT_TRUE(probe->tap("Resize")) << probe->lastError();
  ASSERT_TRUE(waitIdle());
  fs::create_directories(files + "/taken.png"); // a folder stands where the file would go
  for (const char *name : {"a/b", ".", "..", "taken"}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(save(name, 1));
    EXPECT_EQ(alertTitle(), "Save Failed") << store().stringForKey("ImgSave-FileName").value_or("");
    EXPECT_EQ(probe->topViewController(), editor);
    EXPECT_EQ(editor->image()->pixelWidth(), 20);
  }
  EXPECT_TRUE(fs::is_directory(files + "/taken.png"));
}

// Saved Files on a full disk: "Save Failed" says the system's reason, and the editor stays.
TEST_F(ImageEditorTest, ASaveOntoAFullDiskSaysWhy) {
  REQUIRE_MACHINE(::geteuid() == 0, "mounting a small disk needs root");
  testsupport::SmallDisk disk(files, 2 << 20);
  REQUIRE_MACHINE(disk.mounted(), "no small disk: " << disk.error());
  ASSERT_NO_FATAL_FAILURE(open("full.png", gradient(40, 30)->pngRepresentation()));
  ASSERT_TRUE(disk.fill());
  ASSERT_TRUE(save("kept", 1));
  RunLoop::main()->runPending();
  auto alerts = probe->pendingAlerts();
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts.back().title + ": " + alerts.back().message,
            "Save Failed: \"kept.png\" could not be written to Saved Files: Cannot write \"" +
                files + "/kept.png\": No space left on device.");
  probe->answerAlert(alerts.back().buttons.front());
  EXPECT_EQ(probe->topViewController(), editor);
  disk.unfill();
  ASSERT_TRUE(save("kept", 1));
  EXPECT_EQ(alertTitle(), "");
  EXPECT_TRUE(fs::exists(files + "/kept.png"));
}

TEST_F(ImageEditorTest, CancelAsksOnlyAfterEditsAndDropsAPassInFlight) {
  ASSERT_NO_FATAL_FAILURE(open("x.png", gradient(40, 30)->pngRepresentation()));
  ASSERT_TRUE(probe->tap("Cancel")) << probe->lastError();
  EXPECT_EQ(alertTitle(), "");
  EXPECT_EQ(probe->topViewController(), rootScreen);

  ASSERT_NO_FATAL_FAILURE(open("x.png", gradient(40, 30)->pngRepresentation()));
  const std::string copy = editor->workingCopyPath();
  EXPECT_TRUE(fs::exists(copy));
  // A pass held on its worker: the marker says a pass runs, and of what size.
  std::mutex m;
  std::condition_variable cv;
  bool inPass = false, release = false;
  std::string marker, size;
  ImageEditorView::setWorkHook([&] {
    std::unique_lock lock(m);
    marker = store().stringForKey("ImgEdit-EditingNow").value_or("");
    size = store().stringForKey("ImgEdit-EditingSize").value_or("");
    inPass = true;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
  });
  ASSERT_TRUE(probe->tap("Resize")) << probe->lastError();
  ASSERT_TRUE(probe->slide("Resize Slider", 0.5)) << probe->lastError();
  ASSERT_TRUE(probe->tap("Resize")) << probe->lastError();
  {
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(20), [&] { return inPass; }));
  }
  EXPECT_EQ(marker, "1");
  EXPECT_EQ(size, std::to_string(40 * 30 * 4));
  ASSERT_TRUE(probe->tap("Cancel")) << probe->lastError();
  RunLoop::main()->runPending();
  auto alerts = probe->pendingAlerts();
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].title, "Cancel Editing?");
  ASSERT_TRUE(probe->answerAlert("Yes, Discard")) << probe->lastError();
  EXPECT_EQ(probe->topViewController(), rootScreen);
  std::weak_ptr<ImageEditorView> gone = editor;
  editor.reset();
  {
    std::lock_guard lock(m);
    release = true;
  }
  cv.notify_all();
  for (int i = 0; i < 2000 && store().stringForKey("ImgEdit-EditingNow") != "0"; ++i) {
    RunLoop::main()->runPending();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  RunLoop::main()->runPending();
  EXPECT_EQ(store().stringForKey("ImgEdit-EditingNow"), "0");
  EXPECT_TRUE(gone.expired());
  EXPECT_FALSE(fs::exists(copy)); // the working copy goes with the editor
}

// A pass ends for the start-up check only once its picture is in the working copy: a crash after
// the marker is cleared loses no edit. The screen's thread is not run meanwhile.
TEST_F(ImageEditorTest, APassWritesItsWorkingCopyBeforeTheMarkerClears) {
  ASSERT_NO_FATAL_FAILURE(open("w.png", gradient(40, 30)->pngRepresentation()));
  std::atomic<bool> started{false};
  ImageEditorView::setWorkHook([&] { started = true; });
  ASSERT_TRUE(probe->tap("Resize")) << probe->lastError();
  ASSERT_TRUE(probe->slide("Resize Slider", 0.5)) << probe->lastError();
  ASSERT_TRUE(probe->tap("Resize")) << probe->lastError();
  for (int i = 0; i < 4000 && !(started && store().stringForKey("ImgEdit-EditingNow") == "0"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(store().stringForKey("ImgEdit-EditingNow"), "0");
  auto copy = Image::imageWithContentsOfFile(editor->workingCopyPath());
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->pixelWidth(), 20);
  ASSERT_TRUE(waitIdle());
  EXPECT_EQ(editor->image()->pixelWidth(), 20);
}

// Resize with the picture's own size is a pass like any other: the editor counts as edited.
TEST_F(ImageEditorTest, ResizeToTheSameSizeIsAnEdit) {
  ASSERT_NO_FATAL_FAILURE(open("s.png", gradient(40, 30)->pngRepresentation()));
  ASSERT_TRUE(probe->tap("Resize")) << probe->lastError();
  ASSERT_TRUE(probe->tap("Resize")) << probe->lastError();
  ASSERT_TRUE(waitIdle());
  EXPECT_EQ(editor->showingToolbar(), ImageEditorView::kNormal);
  EXPECT_EQ(editor->image()->pixelWidth(), 40);
  ASSERT_TRUE(probe->tap("Cancel")) << probe->lastError();
  EXPECT_EQ(alertTitle(), "Cancel Editing?");
}

TEST_F(ImageEditorTest, EditorsOfSameNamedFilesKeepTheirOwnWorkingCopies) {
  fs::create_directories(files + "/other");
  testsupport::writeBytes(files + "/other/same.png", gradient(8, 8)->pngRepresentation());
  ASSERT_NO_FATAL_FAILURE(open("same.png", gradient(4, 4)->pngRepresentation()));
  auto second = ImageEditorView::openFile(files + "/other/same.png", std::nullopt);
  ASSERT_TRUE(second);
  EXPECT_NE(editor->workingCopyPath(), second->workingCopyPath());
  EXPECT_EQ(Image::imageWithContentsOfFile(editor->workingCopyPath())->pixelWidth(), 4);
  EXPECT_EQ(Image::imageWithContentsOfFile(second->workingCopyPath())->pixelWidth(), 8);
}

// A plain grey picture: a band, a box or a stamp shows against it.
std::shared_ptr<Image> grey(int w, int h) {
  std::vector<uint32_t> px(size_t(w) * h, 0xFF808080u);
  return Image::fromPixels(w, h, reinterpret_cast<const uint8_t *>(px.data()), size_t(w) * 4);
}

// Counts the pixels of a row (from x0 to x1) that are darker than the grey and the ones lighter.
std::pair<int, int> darkAndLight(const Image &image, int y, int x0, int x1) {
  int dark = 0, light = 0;
  for (int x = x0; x < x1; ++x) {
    const int red = int((image.pixelAt(x, y) >> 16) & 0xFF);
    dark += red < 0x70;
    light += red > 0x90;
  }
  return {dark, light};
}

TEST_F(ImageEditorTest, CaptionBandLabelsAndAgainReplaceTheEarlierCaption) {
  ASSERT_NO_FATAL_FAILURE(open("cap.png", grey(600, 400)->pngRepresentation()));
  ASSERT_TRUE(probe->tap("Captions")) << probe->lastError();
  RunLoop::main()->runPending();
  ASSERT_TRUE(typeRow("Caption", "Harbour at dusk")) << probe->lastError();
  ASSERT_TRUE(probe->tap("Add Caption")) << probe->lastError();
  RunLoop::main()->runPending();
  EXPECT_EQ(probe->topViewController(), editor);
  EXPECT_EQ(store().stringForKey("ImgEdit-Caption"), "Harbour at dusk");
  EXPECT_EQ(store().stringForKey("ImgEdit-EditingNow"), "0");
  EXPECT_TRUE(editor->didEditImage());
  // Bottom (the stored default): a full-width dark band at the foot with white letters in it,
  // the top untouched.
  auto bottom = editor->image();
  EXPECT_EQ(darkAndLight(*bottom, 398, 0, 600).first, 600);
  EXPECT_EQ(darkAndLight(*bottom, 10, 0, 600), (std::pair<int, int>{0, 0}));
  int letters = 0;
  for (int y = 340; y < 400; ++y)
    letters += darkAndLight(*bottom, y, 0, 600).second;
  EXPECT_GT(letters, 50);
  // The working copy keeps the picture without the caption.
  EXPECT_EQ(Image::imageWithContentsOfFile(editor->workingCopyPath())->pixelAt(5, 398),
            grey(1, 1)->pixelAt(0, 0));

  // Again, at the top: the earlier band is gone, not kept under the new one.
  ASSERT_TRUE(probe->tap("Captions")) << probe->lastError();
  ASSERT_TRUE(chooseRow("Location", "Top")) << probe->lastError();
  ASSERT_TRUE(probe->tap("Add Caption")) << probe->lastError();
  RunLoop::main()->runPending();
  auto top = editor->image();
  EXPECT_EQ(darkAndLight(*top, 1, 0, 600).first, 600);
  EXPECT_EQ(darkAndLight(*top, 398, 0, 600), (std::pair<int, int>{0, 0}));
}

TEST_F(ImageEditorTest, LabelsWithoutCaptionGetABoxAtTheRight) {
  store().setObject("", "ImgEdit-Caption");
  store().setObject("(c) Ferrowen", "ImgEdit-Copyright");
  store().setObject("Photo: someone", "ImgEdit-Credit");
  store().setObject("2", "ImgEdit-Date");
  ASSERT_TRUE(testsupport::writeBytes(files + "/l.png", grey(600, 400)->pngRepresentation()));
  editor = ImageEditorView::openFile(files + "/l.png",
                                     std::chrono::system_clock::from_time_t(1700000000));
  ASSERT_TRUE(editor);
  nav->pushViewController(editor, false);
  editor->doDrawText();
  auto image = editor->image();
  // No caption: the box sits behind the label column only, at the foot on the right.
  const auto [dark, light] = darkAndLight(*image, 395, 0, 600);
  EXPECT_GT(dark, 40);
  EXPECT_LT(dark, 300);
  EXPECT_EQ(darkAndLight(*image, 395, 0, 100), (std::pair<int, int>{0, 0}));
  int letters = 0;
  for (int y = 300; y < 400; ++y)
    letters += darkAndLight(*image, y, 300, 600).second;
  EXPECT_GT(letters, 20);
  (void)light;
}

TEST_F(ImageEditorTest, WatermarkFromSavedFilesOrItsHelpPage) {
  ASSERT_NO_FATAL_FAILURE(open("w.png", grey(400, 200)->pngRepresentation()));
  // Neither picture: the help page, nothing drawn, nothing to confirm on Cancel.
  ASSERT_TRUE(probe->tap("Watermark")) << probe->lastError();
  RunLoop::main()->runPending();
  ASSERT_EQ(delegate->helpPages.size(), 1u);
  EXPECT_EQ(delegate->helpPages[0],
            std::string("HelpView|Watermark Help|") + ImageEditorView::kWatermarkHelpURL);
  EXPECT_FALSE(editor->didEditImage());
  probe->tapBack();

  // A 100 x 50 red logo on a 400 x 200 picture: 60 x 30 at the bottom-left corner.
  std::vector<uint32_t> red(100 * 50, 0xFFFF0000u);
  testsupport::writeBytes(files + "/my-logo.png",
                          Image::fromPixels(100, 50, reinterpret_cast<uint8_t *>(red.data()), 400)
                              ->pngRepresentation());
  ASSERT_TRUE(probe->tap("Watermark")) << probe->lastError();
  ASSERT_TRUE(waitIdle());
  auto stamped = editor->image();
  EXPECT_EQ(stamped->pixelAt(1, 198), 0xFFFF0000u);
  EXPECT_EQ(stamped->pixelAt(58, 171), 0xFFFF0000u);
  EXPECT_EQ(stamped->pixelAt(62, 198), 0xFF808080u);
  EXPECT_EQ(stamped->pixelAt(1, 168), 0xFF808080u);
  // The stamp is committed: the working copy holds it.
  EXPECT_EQ(Image::imageWithContentsOfFile(editor->workingCopyPath())->pixelAt(1, 198),
            0xFFFF0000u);

  // Only a watermark (half-transparent white, 4 x 2): stretched over the whole picture.
  fs::remove(files + "/my-logo.png");
  std::vector<uint32_t> wash(4 * 2, 0x80808080u); // white at half alpha, premultiplied
  testsupport::writeBytes(
      files + "/my-watermark.png",
      Image::fromPixels(4, 2, reinterpret_cast<uint8_t *>(wash.data()), 16)->pngRepresentation());
  ASSERT_TRUE(probe->tap("Watermark")) << probe->lastError();
  ASSERT_TRUE(waitIdle());
  for (auto [x, y] : {std::pair{0, 0}, {399, 199}, {200, 100}, {5, 195}}) {
    const int r = int((editor->image()->pixelAt(x, y) >> 16) & 0xFF);
    EXPECT_GT(r, 0xA8) << x << "," << y; // lighter than the grey everywhere
  }
  EXPECT_TRUE(editor->didEditImage());
}

// On the phone the screens pushed over the editor lead back with "Back", not the picture's name;
// on the tablet the watermark help stands in its popover, told so before the popover shows (its
// page then loads with the spinner there).
TEST_F(ImageEditorTest, ScreensOverTheEditorLeadBackAndTheTabletsHelpKnowsItsPopover) {
  ASSERT_NO_FATAL_FAILURE(open("b.png", grey(40, 20)->pngRepresentation()));
  for (const char *tool : {"Captions", "Watermark", "Save"}) {
    ASSERT_TRUE(probe->tap(tool)) << probe->lastError();
    RunLoop::main()->runPending();
    EXPECT_EQ(probe->backButtonTitle(), "Back") << tool;
    ASSERT_TRUE(probe->tapBack()) << probe->lastError();
    RunLoop::main()->runPending();
  }
  EXPECT_TRUE(delegate->helpPopovers.empty());

  nav->popToRootViewControllerAnimated(false);
  DeviceProfile::setCurrent(DeviceProfile::iPad());
  ASSERT_NO_FATAL_FAILURE(open("p.png", grey(40, 20)->pngRepresentation()));
  ASSERT_TRUE(probe->tap("Watermark")) << probe->lastError();
  RunLoop::main()->runPending();
  DeviceProfile::setCurrent(DeviceProfile::iPhone());
  ASSERT_TRUE(editor->popover() && editor->popover()->isPopoverVisible());
  ASSERT_EQ(delegate->helpPopovers.size(), 1u);
  EXPECT_EQ(delegate->helpPopovers[0].popover, editor->popover());
  EXPECT_EQ(delegate->helpPopovers[0].help, editor->popover()->contentViewController());
  EXPECT_FALSE(delegate->helpPopovers[0].shownAlready);
  EXPECT_EQ(editor->popover()->popoverContentSize(), (Size{320, 480}));
}

TEST_F(ImageEditorTest, CropHandlesFollowDragsThroughTheOverlay) {
  ASSERT_NO_FATAL_FAILURE(open("d.png", gradient(100, 50)->pngRepresentation()));
  ASSERT_TRUE(probe->tap("Crop")) << probe->lastError();
  auto overlay = std::dynamic_pointer_cast<ImageViewThumb>(editor->overlay());
  ASSERT_TRUE(overlay);
  const Rect start = editor->clippingRect();
  const Point corner{start.origin.x + start.size.width, start.origin.y + start.size.height};
  // A drag on the overlay reaches the editor as if the overlay were not there.
  overlay->touchesBegan(corner);
  overlay->touchesMoved(corner, Point{corner.x + 10, corner.y + 5});
  overlay->touchesEnded(Point{corner.x + 10, corner.y + 5});
  EXPECT_EQ(editor->clippingRect().size, (Size{start.size.width + 10, start.size.height + 5}));
  // Ended: a later move drags nothing.
  overlay->touchesMoved(corner, Point{corner.x + 50, corner.y});
  EXPECT_EQ(editor->clippingRect().size.width, start.size.width + 10);
}

// A turn of the editor reaches the application, which lays out what it holds around it.
TEST_F(ImageEditorTest, ATurnIsPassedOnToTheApplication) {
  delegate->landscape = true;
  ASSERT_NO_FATAL_FAILURE(open("turn.png", gradient(40, 30)->pngRepresentation()));
  const std::vector<InterfaceOrientation> turns{InterfaceOrientation::LandscapeLeft,
                                                InterfaceOrientation::Portrait};
  std::vector<int> expected;
  InterfaceOrientation from = InterfaceOrientation::Portrait;
  for (auto to : turns) {
    ASSERT_TRUE(probe->rotate(to)) << probe->lastError();
    RunLoop::main()->runPending();
    expected.push_back(int(from));
    from = to;
  }
  EXPECT_EQ(delegate->turnedFrom, expected);
}

// The application's file tabs, as the tablet's shell offers them.
struct FileTabs : LocalFilesServices {
  std::vector<std::string> calls;
  std::shared_ptr<ViewController> shown;
  bool showSavedFileTab(const std::shared_ptr<ViewController> &screen,
                        const std::string &name) override {
    calls.push_back("show " + name);
    shown = screen;
    return true;
  }
  bool cancelFileViewTab(const std::shared_ptr<ViewController> &screen) override {
    calls.push_back(screen == shown ? "close" : "close other");
    shown.reset();
    return true;
  }
  std::string resizeImage() override { return "resize-out.png"; }
  void clickedResize() override { calls.push_back("resize"); }
};

TEST_F(ImageEditorTest, TabletBarOnTopDialogsInPopoversAndAFileTab) {
  DeviceProfile::setCurrent(DeviceProfile::iPad());
  auto tabs = std::make_shared<FileTabs>();
  LocalFilesServices::setShared(tabs);
  // The file tab: a pane of the tablet's size holding the editor.
  auto pad = std::make_shared<Window>(Size{768, 1004});
  pad->makeKeyAndVisible();
  auto paneNav = std::make_shared<NavigationController>(std::make_shared<ViewController>("Pane"));
  pad->setRootViewController(paneNav);
  Probe padProbe(pad);
  ASSERT_TRUE(testsupport::writeBytes(files + "/tab.png", grey(600, 400)->pngRepresentation()));
  editor = ImageEditorView::openFile(files + "/tab.png", std::nullopt);
  ASSERT_TRUE(editor);
  ImageEditorView::present(editor, *rootScreen, "tab.png");
  ASSERT_EQ(tabs->calls, std::vector<std::string>{"show tab.png"});
  paneNav->pushViewController(editor, false);
  RunLoop::main()->runPending();
  EXPECT_EQ(editor->toolbar()->frame().origin.y, 0);
  std::vector<std::string> names;
  for (auto &item : padProbe.toolbarItems())
    names.push_back(item.name);
  for (const char *expected :
       {"Resize Screen", "Close", "Resize", "Crop", "Captions", "Watermark", "Save"})
    EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;
  ASSERT_TRUE(padProbe.tap("Resize Screen")) << padProbe.lastError();
  EXPECT_EQ(tabs->calls.back(), "resize");

  // Captions in a popover from their button; the other tools wait while it is open.
  ASSERT_TRUE(padProbe.tap("Captions")) << padProbe.lastError();
  RunLoop::main()->runPending();
  ASSERT_TRUE(editor->popover() && editor->popover()->isPopoverVisible());
  editor->clickCrop();
  EXPECT_EQ(editor->showingToolbar(), ImageEditorView::kNormal);
  ASSERT_TRUE(padProbe.tapRow("Caption")) << padProbe.lastError();
  ASSERT_TRUE(padProbe.type("Caption", "Tablet")) << padProbe.lastError();
  ASSERT_TRUE(padProbe.tap("Add Caption")) << padProbe.lastError();
  RunLoop::main()->runPending();
  EXPECT_FALSE(editor->popover()->isPopoverVisible());
  EXPECT_EQ(store().stringForKey("ImgEdit-Caption"), "Tablet");
  EXPECT_EQ(darkAndLight(*editor->image(), 398, 0, 600).first, 600);

  // Cropping: the area starts under the bar.
  ASSERT_TRUE(padProbe.tap("Crop")) << padProbe.lastError();
  EXPECT_EQ(editor->overlay()->frame().origin.y, 44);
  ASSERT_TRUE(padProbe.tap("Cancel")) << padProbe.lastError(); // the crop's own
  EXPECT_EQ(editor->showingToolbar(), ImageEditorView::kNormal);

  // Save in a popover; a saved picture closes the file tab.
  ASSERT_TRUE(padProbe.tap("Save")) << padProbe.lastError();
  RunLoop::main()->runPending();
  ASSERT_TRUE(editor->popover()->isPopoverVisible());
  ASSERT_TRUE(padProbe.tap("Save to \"Saved Files\"")) << padProbe.lastError();
  RunLoop::main()->runPending();
  EXPECT_TRUE(fs::exists(files + "/tab.jpg"));
  EXPECT_EQ(tabs->calls.back(), "close");
  LocalFilesServices::setShared(nullptr);
  window->makeKeyAndVisible();
  DeviceProfile::setCurrent(DeviceProfile::iPhone());
}

} // namespace
