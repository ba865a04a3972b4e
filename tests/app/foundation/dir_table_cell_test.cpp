// The folder-list cell: colours of hidden, backup, queued and downloading entries, the name's
// one- or two-line layout, the size and details texts, icons and thumbnails, reuse, and what
// lands in the bitmap.
#include "app/foundation/DirTableCell.h"
#include "app/foundation/Globals.h"
#include "app/foundation/PlatformExtensions.h"

#include "FoundationFixture.h"

#include "platform/media/BitmapContext.h"

using namespace platform;
using namespace platform::ui;

namespace {

class DirTableCellTest : public FoundationTest {
protected:
  void SetUp() override {
    FoundationTest::SetUp();
    InitGlobals();
    showFolderExtra = 1;
  }
  void TearDown() override {
    showFolderExtra = 1;
    FoundationTest::TearDown();
  }
  std::shared_ptr<DirItemInfo> file(const std::string &name, const std::string &size = "2.5 KB") {
    auto item = std::make_shared<DirItemInfo>();
    item->setName(name);
    item->sizeDisplay = size;
    item->attrib = "-rw-r--r--";
    return item;
  }
  const DirTableCellDrawing &draw(const std::shared_ptr<DirItemInfo> &item) {
    cell->setDirItem(item);
    cell->drawRect(cell->bounds());
    return cell->lastDrawing();
  }
  std::shared_ptr<DirTableCell> cell = DirTableCell::initWithFrame(Rect(0, 0, 320, 44));
};

const Color kSizeBlue{6 / 255.0, 55 / 255.0, 201 / 255.0, 1};
const Color kDimmedBlue{0.25, 0.25, 1.0, 1};

// Pixels of the rendered cell in a region that are not white.
int inked(const platform::media::Image &image, int x0, int y0, int x1, int y1) {
  int n = 0;
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x)
      if (image.pixelAt(x, y) != 0xFFFFFFFFu) ++n;
  return n;
}

} // namespace

TEST_F(DirTableCellTest, HiddenAndBackupFilesAreDimmed) {
  for (const char *name : {".profile", "report.old", "data.old.txt"}) {
    auto &d = draw(file(name));
    EXPECT_EQ(d.nameColor, Color::darkGrayColor()) << name;
    EXPECT_EQ(d.sizeColor, kDimmedBlue) << name;
    EXPECT_EQ(d.detailColor, Color::grayColor()) << name;
  }
  for (const char *name : {"notes.txt", "old.txt", "gold.old2"}) {
    auto &d = draw(file(name));
    EXPECT_EQ(d.nameColor, Color::blackColor()) << name;
    EXPECT_EQ(d.sizeColor, kSizeBlue) << name;
    EXPECT_EQ(d.detailColor, Color::darkGrayColor()) << name;
  }
}

TEST_F(DirTableCellTest, ShortNamesGrowLongNamesWrap) {
  auto &one = draw(file("notes.txt"));
  EXPECT_FALSE(one.nameWrapped);
  EXPECT_EQ(one.nameFontSize, 18) << "a short name is drawn at 18 points";
  EXPECT_EQ(one.nameRect.x, 34);
  EXPECT_EQ(one.nameRect.y, 9);

  // About 150 points at 14: one line, shrunk to fit 200 points but never below 14.
  std::string medium = "quarterly-report-2026.txt";
  double w14 = media::measureText(medium, {"", 14}).width;
  ASSERT_GT(w14, 120);
  ASSERT_LE(w14, 200);
  auto &m = draw(file(medium));
  EXPECT_FALSE(m.nameWrapped);
  EXPECT_GE(m.nameFontSize, 14);
  EXPECT_LE(m.nameFontSize, 18);
  EXPECT_LE(m.nameRect.width, 200);

  std::string longName = "a-very-long-name-of-a-backup-archive-from-last-year.tar.gz";
  ASSERT_GT(media::measureText(longName, {"", 14}).width, 200);
  auto &two = draw(file(longName));
  EXPECT_TRUE(two.nameWrapped);
  EXPECT_EQ(two.nameFontSize, 14);
  EXPECT_EQ(two.nameRect.y, 1);
  EXPECT_EQ(two.nameRect.height, 39);
}

TEST_F(DirTableCellTest, SizeIsRightAlignedAndDetailsFollowTheSetting) {
  auto item = file("notes.txt", "12.5 KB");
  auto &d = draw(item);
  EXPECT_EQ(d.sizeText, "12.5 KB");
  EXPECT_DOUBLE_EQ(d.sizeX + d.sizeWidth, 282);
  EXPECT_EQ(d.detailText, "") << "choice 1 without a date: no details line";

  item->date = std::chrono::system_clock::from_time_t(1700000000);
  EXPECT_EQ(draw(item).detailText, dateOutputFormat->stringFromDate(*item->date));
  EXPECT_DOUBLE_EQ(cell->lastDrawing().detailX + cell->lastDrawing().detailWidth, 282);
  showFolderExtra = 2;
  EXPECT_EQ(draw(item).detailText, "-rw-r--r--");
  showFolderExtra = 0;
  EXPECT_EQ(draw(item).detailText, "");
  item->extraText = "3 items";
  showFolderExtra = 2;
  EXPECT_EQ(draw(item).detailText, "3 items") << "extra text wins over the choice";

  // A photo album row (extra data, no thumbnail) ends its size at 310.
  auto album = file("Camera Roll", "120");
  album->extraData = std::make_shared<int>(1);
  auto &a = draw(album);
  EXPECT_DOUBLE_EQ(a.sizeX + a.sizeWidth, 310);
}

TEST_F(DirTableCellTest, QueuedAndDownloadingEntries) {
  auto queued = file("upload.zip");
  queued->inProgress = true;
  auto &q = draw(queued);
  EXPECT_EQ(q.nameColor, Color::darkGrayColor());
  EXPECT_EQ(q.sizeColor.alpha, 0) << "no size text shows for a queued entry";
  EXPECT_EQ(q.detailColor, Color::grayColor());
  auto image = cell->renderedImage();
  ASSERT_TRUE(image);
  EXPECT_EQ(inked(*image, 240, 10, 282, 28), 0);

  auto cloud = file("movie.mp4", "45%");
  cloud->isDownloading = true;
  cloud->inProgress = true;
  auto &c = draw(cloud);
  EXPECT_EQ(c.nameColor, Color::grayColor());
  EXPECT_EQ(c.sizeColor, lightBlueColor());
  EXPECT_DOUBLE_EQ(c.iconAlpha, 0.66);
  EXPECT_GT(inked(*cell->renderedImage(), 240, 10, 283, 28), 0) << "the percentage shows";
}

TEST_F(DirTableCellTest, IconsThumbnailsAndReuse) {
  auto folder = std::make_shared<DirItemInfo>();
  folder->setName("Music");
  folder->isDirectory = true;
  auto &f = draw(folder);
  ASSERT_FALSE(f.iconName.empty());
  EXPECT_EQ(f.iconRect.x, 1);
  EXPECT_DOUBLE_EQ(f.iconRect.y, (44 - f.iconRect.height) / 2 - 1);
  EXPECT_EQ(f.iconAlpha, 1.0);
  auto &t = draw(file("notes.txt"));
  EXPECT_EQ(t.iconName, imageText->name);
  EXPECT_EQ(t.iconRect.x, 5);

  auto photo = file("IMG_0001.JPG");
  auto thumb = media::BitmapContext::create(88, 88);
  thumb->setFillColor({1, 0, 0, 1});
  thumb->fillRect({0, 0, 88, 88});
  photo->thumbnail = std::make_shared<ResourceImage>(ResourceImage{"", thumb->makeImage(2.0)});
  auto &p = draw(photo);
  EXPECT_TRUE(p.drewThumbnail);
  EXPECT_EQ(cell->iIMAGE_SPACE, 48);
  EXPECT_EQ(cell->iIMAGE_SIZE, 44);
  EXPECT_EQ(p.iconRect.x, 1);
  EXPECT_EQ(p.iconRect.y, 0);
  EXPECT_EQ(p.iconRect.width, 44);
  EXPECT_EQ(p.nameRect.x, 52);
  EXPECT_EQ(cell->renderedImage()->pixelAt(20, 20), 0xFFFF0000u);

  // The same cell reused for an entry without a thumbnail returns to the small column.
  draw(file("notes.txt"));
  EXPECT_EQ(cell->iIMAGE_SPACE, 30);
  EXPECT_EQ(cell->iIMAGE_SIZE, 24);
  EXPECT_FALSE(cell->lastDrawing().drewThumbnail);
}

TEST_F(DirTableCellTest, SelectedRowsCarryTheSelectionImage) {
  auto item = file("notes.txt");
  EXPECT_FALSE(draw(item).drewSelection);
  EXPECT_EQ(cell->accessibilityLabel(), "notes.txt");
  auto plain = cell->renderedImage();
  cell->setSelected(true);
  EXPECT_TRUE(cell->selected());
  EXPECT_TRUE(draw(item).drewSelection);
  EXPECT_NE(cell->renderedImage()->pixels(), plain->pixels());
  EXPECT_EQ(cell->renderedImage()->pixelSize(), (media::PixelSize{320, 44}));
  // The name is drawn where the layout says.
  EXPECT_GT(inked(*plain, 34, 9, 120, 30), 20);
}

// A photo's row (the thumbnail's wider column) with a long name and a long size: the name is
// drawn in what the size leaves, and the pixels of the two do not meet.
TEST_F(DirTableCellTest, NameStopsShortOfTheSize) {
  auto thumb = media::BitmapContext::create(88, 88);
  thumb->setFillColor({1, 0, 0, 1});
  thumb->fillRect({0, 0, 88, 88});
  for (const char *name :
       {"img_5afc-1d88-4c1e.png", "IMG_20240512_183045_holiday_at_the_sea.jpg", "short.png"})
    for (bool withThumbnail : {true, false}) {
      SCOPED_TRACE(std::string(name) + (withThumbnail ? " with a thumbnail" : ""));
      auto photo = file(name, "999.9 KB");
      if (withThumbnail)
        photo->thumbnail =
            std::make_shared<ResourceImage>(ResourceImage{"", thumb->makeImage(2.0)});
      auto &d = draw(photo);
      EXPECT_LE(d.nameRect.x + d.nameRect.width, d.sizeX - 4);
      // No ink of the name right of where the size begins, on the size's line.
      const auto &image = *cell->renderedImage();
      const double k = double(image.pixelWidth()) / 320;
      int nameInk = 0;
      for (int y = int(12 * k); y < int(26 * k); ++y)
        for (int x = int(d.nameRect.x * k); x < int(d.sizeX * k); ++x) {
          const uint32_t p = image.pixelAt(x, y);
          if (((p >> 16) & 0xFF) < 90 && (p & 0xFF) < 90) ++nameInk;
        }
      EXPECT_GT(nameInk, 0);
      int overlap = 0;
      for (int y = int(12 * k); y < int(26 * k); ++y)
        for (int x = int(d.sizeX * k); x < int((d.sizeX + d.sizeWidth) * k); ++x) {
          const uint32_t p = image.pixelAt(x, y);
          // Dark and not blue: the name's black.
          if (((p >> 16) & 0xFF) < 60 && ((p >> 8) & 0xFF) < 60 && (p & 0xFF) < 60) ++overlap;
        }
      EXPECT_EQ(overlap, 0);
    }
}

// A name of 185 to 200 points at 14 points is drawn on one line in up to 200 points beside a
// short size; beside a long size, where 200 points would run it into the size, it keeps to what
// the size leaves (wrapped onto two lines), and both stay readable.
TEST_F(DirTableCellTest, ANameUpTo200PointsIsOneLineUnlessItWouldRunIntoTheSize) {
  std::string name = "holiday-pictures-";
  while (media::measureText(name, {"", 14}).width < 185)
    name += 'a';
  ASSERT_LE(media::measureText(name, {"", 14}).width, 200);
  const struct {
    const char *size;
    bool wrapped;
  } cases[] = {{"4 KB", false}, {"999.9 KB", true}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.size);
    auto &d = draw(file(name, c.size));
    EXPECT_EQ(d.nameWrapped, c.wrapped);
    if (!c.wrapped) {
      EXPECT_GT(d.nameRect.width, 185);
    }
    EXPECT_LE(d.nameRect.x + d.nameRect.width, d.sizeX - 4);
  }
}
