// The custom-drawn content of one row of a folder list (320 by 44 points): the entry's icon or
// thumbnail, its name, its size text on the right and a details line under it, in colours that
// mark hidden and backup files, files in the transfer queue and cloud files being downloaded.
// TableCellButton is the small accessory button of such rows; it knows its row.
#pragma once

#include "app/foundation/DirItemInfo.h"

#include "platform/media/BitmapContext.h"
#include "platform/ui/Controls.h"
#include "platform/ui/Table.h"

#include <functional>
#include <memory>
#include <string>

// Where the last drawing put things and how (for a renderer's hit tests, and for tests).
struct DirTableCellDrawing {
  platform::ui::Color nameColor, sizeColor, detailColor;
  double nameFontSize = 0;
  bool nameWrapped = false;        // drawn in two lines at 14 points
  platform::media::Rect2 nameRect; // the box the name was drawn in
  std::string sizeText, detailText;
  double sizeX = 0, sizeWidth = 0, sizeFontSize = 0;
  double detailX = 0, detailWidth = 0, detailFontSize = 0;
  std::string iconName; // the icon's resource name; empty when a thumbnail was drawn
  platform::media::Rect2 iconRect;
  double iconAlpha = 1;
  bool drewThumbnail = false, drewSelection = false;
};

class DirTableCell : public platform::ui::View {
public:
  explicit DirTableCell(platform::ui::Rect frame = platform::ui::Rect(0, 0, 320, 44));
  static std::shared_ptr<DirTableCell> initWithFrame(platform::ui::Rect frame);
  const char *typeName() const override { return "dirCell"; }
  std::string probeText() const override { return dirItem_ ? dirItem_->name() : std::string(); }

  // Holds the entry and labels the cell with its name.
  void setDirItem(std::shared_ptr<DirItemInfo> item);
  const std::shared_ptr<DirItemInfo> &dirItem() const { return dirItem_; }
  bool selected() const { return selected_; }
  void setSelected(bool on);

  // Draws the whole cell into a fresh bitmap of its size (kept as renderedImage()).
  void drawRect(platform::ui::Rect rect);
  // Draws the whole cell into the given context (its user space in the cell's points).
  void drawRect(platform::ui::Rect rect, platform::media::BitmapContext &context) override;
  std::shared_ptr<platform::media::Image> renderedImage() const { return rendered_; }
  const DirTableCellDrawing &lastDrawing() const { return drawing_; }

  // A button stands at the row's end (from x 280): the size ends before it on every row, photo
  // album and picture rows included.
  bool besideButton = false;
  int iIMAGE_SPACE = 30; // width of the icon column: 30, or 48 with a thumbnail
  int iIMAGE_SIZE = 24;  // icon size: 24, or 44 with a thumbnail

private:
  std::shared_ptr<DirItemInfo> dirItem_;
  bool selected_ = false;
  std::shared_ptr<platform::media::Image> rendered_;
  DirTableCellDrawing drawing_;
};

class TableCellButton : public platform::ui::Button {
public:
  using Button::Button;
  int row() const { return row_; }
  void setRow(int row) { row_ = row; }

private:
  int row_ = 0;
};

// A folder screen's row cell: the drawn entry as its content (tag 1) and the row's menu button as
// its accessory (tag 2, at buttonFrame); a tap on the button calls onMenu with the row the button
// shows at that moment (cells are reused).
std::shared_ptr<platform::ui::TableViewCell> makeFolderRowCell(const std::string &identifier,
                                                               platform::ui::Rect buttonFrame,
                                                               std::function<void(int row)> onMenu);

// Scrolls a table of `count` rows so that the row at `percent` (0-100) of it stands in the middle.
void scrollTableToPercent(platform::ui::TableView &table, int count, int percent);
