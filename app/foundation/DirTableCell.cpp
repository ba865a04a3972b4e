#include "app/foundation/DirTableCell.h"

#include <algorithm>

#include "app/foundation/Globals.h"
#include "app/foundation/PlatformExtensions.h"

using namespace platform;
using namespace platform::ui;
using platform::media::FontSpec;
using platform::media::LineBreak;
using platform::media::Rect2;

DirTableCell::DirTableCell(Rect frame) : View(frame) {
  setOpaque(true);
  setBackgroundColor(Color::whiteColor());
}

std::shared_ptr<DirTableCell> DirTableCell::initWithFrame(Rect frame) {
  return std::make_shared<DirTableCell>(frame);
}

void DirTableCell::setDirItem(std::shared_ptr<DirItemInfo> item) {
  dirItem_ = std::move(item);
  setAccessibilityLabel(dirItem_ ? dirItem_->name() : std::string());
  // A reused row shows another entry: what it draws changed.
  setNeedsDisplay();
}

void DirTableCell::setSelected(bool on) {
  if (on != selected_) setNeedsDisplay();
  selected_ = on;
}

void DirTableCell::drawRect(Rect rect) {
  auto context = media::BitmapContext::create(std::max(1, static_cast<int>(frame().size.width)),
                                              std::max(1, static_cast<int>(frame().size.height)));
  if (!context) return;
  drawRect(rect, *context);
  rendered_ = context->makeImage();
}

namespace {

bool contains(const std::string &s, const std::string &part) {
  return s.find(part) != std::string::npos;
}
bool endsWith(const std::string &s, const std::string &tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

void DirTableCell::drawRect(Rect rect, media::BitmapContext &ctx) {
  drawing_ = {};
  ctx.setFillColor(toRGBA(backgroundColor().value_or(Color::whiteColor())));
  ctx.fillRect({rect.origin.x, rect.origin.y, rect.size.width, rect.size.height});
  if (!dirItem_) return;
  const DirItemInfo &item = *dirItem_;
  const std::string name = item.name();

  // Hidden and backup files are dimmed.
  const bool dimmed =
      contains(name, ".old.") || (!name.empty() && name[0] == '.') || endsWith(name, ".old");
  const bool thumbnail = item.thumbnail && item.thumbnail->image;
  iIMAGE_SPACE = thumbnail ? 48 : 30;
  iIMAGE_SIZE = thumbnail ? 44 : 24;
  const double S = iIMAGE_SPACE;
  const double W = 320 - (S + 38);

  // The size on the right.
  const FontSpec font14{"", 14};
  Color sizeColor{6 / 255.0, 55 / 255.0, 201 / 255.0, 1};
  if (dimmed) sizeColor = {0.25, 0.25, 1.0, 1};
  if (item.inProgress) sizeColor = Color::clearColor();
  if (item.isDownloading) sizeColor = lightBlueColor();
  drawing_.sizeColor = sizeColor;
  const double sizeEnd = (item.extraData && !thumbnail && !besideButton) ? 310 : 282; // albums
  auto sizeFit = media::measureText(item.sizeDisplay, font14, W, 12, LineBreak::TruncateTail);
  drawing_.sizeText = item.sizeDisplay;
  drawing_.sizeX = sizeEnd - sizeFit.width;
  drawing_.sizeWidth = sizeFit.width;
  drawing_.sizeFontSize = sizeFit.actualFontSize;
  ctx.setFillColor(toRGBA(sizeColor));
  ctx.drawText(item.sizeDisplay, {drawing_.sizeX, 12}, font14, W, 12, LineBreak::TruncateTail);

  // The name, in what the size leaves of its 200 points (a thumbnail's wider column and a long
  // size text would otherwise put the two over each other).
  Color nameColor = Color::blackColor();
  if (dimmed || item.inProgress) nameColor = Color::darkGrayColor();
  if (item.isDownloading) nameColor = Color::grayColor();
  drawing_.nameColor = nameColor;
  ctx.setFillColor(toRGBA(nameColor));
  const double nameWidth = std::clamp(drawing_.sizeX - 6 - (S + 4), 40.0, 200.0);
  if (media::measureText(name, font14).width <= nameWidth) {
    auto m = ctx.drawText(name, {S + 4, 9}, {"", 18}, nameWidth, 14, LineBreak::TruncateTail);
    drawing_.nameFontSize = m.actualFontSize;
    drawing_.nameRect = {S + 4, 9, m.width, m.height};
  } else {
    Rect2 box{S + 4, 1, nameWidth, 39};
    ctx.drawTextInRect(name, box, font14, LineBreak::CharacterWrap);
    drawing_.nameFontSize = 14;
    drawing_.nameWrapped = true;
    drawing_.nameRect = box;
  }

  // The details line.
  std::string details = item.extraText;
  if (details.empty()) {
    if (showFolderExtra == 2)
      details = item.attrib;
    else if (showFolderExtra == 1 && item.date && dateOutputFormat)
      details = dateOutputFormat->stringFromDate(*item.date);
  }
  Color detailColor = Color::darkGrayColor();
  if (dimmed || item.inProgress || item.isDownloading) detailColor = Color::grayColor();
  drawing_.detailColor = detailColor;
  drawing_.detailText = details;
  const FontSpec italic10{"", 10, false, true};
  auto detailFit = media::measureText(details, italic10, W, 8, LineBreak::TruncateTail);
  drawing_.detailX = 282 - detailFit.width;
  drawing_.detailWidth = detailFit.width;
  drawing_.detailFontSize = detailFit.actualFontSize;
  ctx.setFillColor(toRGBA(detailColor));
  ctx.drawText(details, {drawing_.detailX, 30}, italic10, W, 8, LineBreak::TruncateTail);

  // The icon or the thumbnail.
  const double size = iIMAGE_SIZE;
  if (!thumbnail) {
    ResourceImageRef icon = item.imageForFileType();
    if (icon && icon->image) {
      const auto seen = icon->image->size();
      const double x = (S - size) / 2 + (item.isDirectory ? -2 : 2);
      const double y = (44 - seen.height) / 2 - 1;
      drawing_.iconName = icon->name;
      drawing_.iconRect = {x, y, seen.width, seen.height};
      drawing_.iconAlpha = item.isDownloading ? 0.66 : 1.0;
      ctx.drawImage(*icon->image, drawing_.iconRect, media::BlendMode::Normal, drawing_.iconAlpha);
    }
  } else {
    drawing_.drewThumbnail = true;
    drawing_.iconRect = {(S - size) / 2 - 1, (44 - size) / 2, size, size};
    ctx.drawImage(*item.thumbnail->image, drawing_.iconRect);
  }

  if (selected_ && imageSelectedRow && imageSelectedRow->image) {
    const auto seen = imageSelectedRow->image->size();
    ctx.drawImage(*imageSelectedRow->image, {0, 0, seen.width, seen.height});
    drawing_.drewSelection = true;
  }
}

std::shared_ptr<TableViewCell> makeFolderRowCell(const std::string &identifier, Rect buttonFrame,
                                                 std::function<void(int row)> onMenu) {
  auto cell = std::make_shared<TableViewCell>(TableViewCellStyle::Default, identifier);
  auto content = DirTableCell::initWithFrame(Rect(0, 0, 320, 44));
  content->setTag(1);
  cell->contentView()->addSubview(content);
  auto button = std::make_shared<TableCellButton>(ButtonType::Custom, buttonFrame);
  button->setTag(2);
  std::weak_ptr<TableCellButton> weakButton = button;
  button->addTarget(static_cast<unsigned>(ControlEvent::TouchUpInside),
                    [weakButton, onMenu = std::move(onMenu)](Control &) {
                      if (auto b = weakButton.lock()) onMenu(b->row());
                    });
  cell->setAccessoryView(button);
  return cell;
}

void scrollTableToPercent(TableView &table, int count, int percent) {
  if (count <= 0) return;
  percent = std::clamp(percent, 0, 100);
  const int row = std::min(percent * count / 100, count - 1);
  table.scrollToRowAtIndexPath(IndexPath{0, row}, TableViewScrollPosition::Middle, true);
}
