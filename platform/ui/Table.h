// Tables: sections of rows asked from a data source, cells reused by identifier, selection,
// accessories and editing (delete and move). Only the rows that fall within the table's frame
// at its content offset are made into cells (all rows while the table has no height).
#pragma once

#include "platform/ui/Controls.h"

#include <functional>
#include <map>

namespace platform::ui {

enum class TableViewStyle { Plain, Grouped };
enum class TableViewCellStyle { Default, Value1, Value2, Subtitle };
enum class TableViewCellAccessoryType {
  None,
  DisclosureIndicator,
  DetailDisclosureButton,
  Checkmark
};
enum class TableViewCellSelectionStyle { None, Blue, Gray };
enum class TableViewCellEditingStyle { None, Delete, Insert };
enum class TableViewScrollPosition { None, Top, Middle, Bottom };
enum class TableViewRowAnimation { Fade, Right, Left, Top, Bottom, None, Middle };

class TableViewCell : public View {
public:
  // The room an editing control (delete, insert, reorder) takes at the row's edge.
  static constexpr double kEditingControlWidth = 32;
  explicit TableViewCell(TableViewCellStyle style = TableViewCellStyle::Default,
                         std::string reuseIdentifier = {});
  const char *typeName() const override { return "cell"; }
  void describe(nlohmann::json &out) const override;
  std::string probeText() const override;

  TableViewCellStyle style() const { return style_; }
  const std::string &reuseIdentifier() const { return reuseIdentifier_; }
  const std::shared_ptr<Label> &textLabel() const { return textLabel_; }
  // None for the default style, as on the phone.
  const std::shared_ptr<Label> &detailTextLabel() const { return detailTextLabel_; }
  const std::shared_ptr<ImageView> &imageView() const { return imageView_; }
  // Custom subviews go here (tagged, to be found again with viewWithTag).
  const std::shared_ptr<View> &contentView() const { return contentView_; }
  TableViewCellAccessoryType accessoryType() const { return accessory_; }
  void setAccessoryType(TableViewCellAccessoryType a) { accessory_ = a; }
  TableViewCellAccessoryType editingAccessoryType() const { return editingAccessory_; }
  void setEditingAccessoryType(TableViewCellAccessoryType a) { editingAccessory_ = a; }
  std::shared_ptr<View> accessoryView() const { return accessoryView_; }
  void setAccessoryView(std::shared_ptr<View> v);
  TableViewCellSelectionStyle selectionStyle() const { return selectionStyle_; }
  void setSelectionStyle(TableViewCellSelectionStyle s) { selectionStyle_ = s; }
  bool isSelected() const { return selected_; }
  virtual void setSelected(bool on, bool animated = false);
  bool isEditing() const { return editing_; }
  virtual void setEditing(bool on, bool animated = false) { (void)animated, editing_ = on; }
  TableViewCellEditingStyle editingStyle() const { return editingStyle_; }
  bool showsReorderControl() const { return showsReorder_; }
  bool hidesAccessoryWhenEditing() const { return hidesAccessoryWhenEditing_; }
  void setHidesAccessoryWhenEditing(bool on) { hidesAccessoryWhenEditing_ = on; }
  // Called before the table hands the cell out again.
  virtual void prepareForReuse() {}

private:
  friend class TableView;
  // Places the accessory view at the row's right and gives the content view the rest.
  void layoutParts();
  TableViewCellAccessoryType shownAccessory() const;
  TableViewCellStyle style_;
  std::string reuseIdentifier_;
  std::shared_ptr<Label> textLabel_, detailTextLabel_;
  std::shared_ptr<ImageView> imageView_;
  std::shared_ptr<View> contentView_, accessoryView_;
  TableViewCellAccessoryType accessory_ = TableViewCellAccessoryType::None,
                             editingAccessory_ = TableViewCellAccessoryType::None;
  TableViewCellSelectionStyle selectionStyle_ = TableViewCellSelectionStyle::Blue;
  TableViewCellEditingStyle editingStyle_ = TableViewCellEditingStyle::None;
  bool selected_ = false, editing_ = false, showsReorder_ = false,
       hidesAccessoryWhenEditing_ = true, grouped_ = false;
};

class TableView;

class TableViewDataSource {
public:
  virtual ~TableViewDataSource() = default;
  virtual int numberOfSectionsInTableView(TableView &) { return 1; }
  virtual int numberOfRowsInSection(TableView &, int section) = 0;
  virtual std::shared_ptr<TableViewCell> cellForRowAtIndexPath(TableView &, IndexPath) = 0;
  virtual std::string titleForHeaderInSection(TableView &, int) { return {}; }
  virtual std::string titleForFooterInSection(TableView &, int) { return {}; }
  virtual bool canEditRowAtIndexPath(TableView &, IndexPath) { return true; }
  // Rows show a reorder control in editing mode only when this answers true.
  virtual bool canMoveRowAtIndexPath(TableView &, IndexPath) { return false; }
  virtual void commitEditingStyle(TableView &, TableViewCellEditingStyle, IndexPath) {}
  // The data must already have moved when this returns; the table moves its cell itself.
  virtual void moveRowAtIndexPath(TableView &, IndexPath, IndexPath) {}
};

class TableViewDelegate {
public:
  virtual ~TableViewDelegate() = default;
  // Heights: a negative answer means "the table's default".
  virtual double heightForRowAtIndexPath(TableView &, IndexPath) { return -1; }
  virtual double heightForHeaderInSection(TableView &, int) { return -1; }
  virtual double heightForFooterInSection(TableView &, int) { return -1; }
  virtual std::shared_ptr<View> viewForHeaderInSection(TableView &, int) { return nullptr; }
  virtual std::shared_ptr<View> viewForFooterInSection(TableView &, int) { return nullptr; }
  // None: the cell's own accessory type holds.
  virtual std::optional<TableViewCellAccessoryType> accessoryTypeForRowWithIndexPath(TableView &,
                                                                                     IndexPath) {
    return std::nullopt;
  }
  // Answer the row to select, another row, or none to refuse the selection.
  virtual std::optional<IndexPath> willSelectRowAtIndexPath(TableView &, IndexPath ip) {
    return ip;
  }
  virtual void didSelectRowAtIndexPath(TableView &, IndexPath) {}
  virtual void didDeselectRowAtIndexPath(TableView &, IndexPath) {}
  virtual void accessoryButtonTappedForRowWithIndexPath(TableView &, IndexPath) {}
  virtual TableViewCellEditingStyle editingStyleForRowAtIndexPath(TableView &, IndexPath) {
    return TableViewCellEditingStyle::Delete;
  }
};

class TableView : public ScrollView {
public:
  explicit TableView(TableViewStyle style = TableViewStyle::Plain, Rect frame = {});
  const char *typeName() const override { return "table"; }
  void describe(nlohmann::json &out) const override;
  void setFrame(Rect frame) override;
  void setContentOffset(Point offset, bool animated) override;
  using ScrollView::setContentOffset;

  TableViewStyle style() const { return style_; }
  std::shared_ptr<TableViewDataSource> dataSource() const { return dataSource_.lock(); }
  void setDataSource(std::weak_ptr<TableViewDataSource> ds);
  std::shared_ptr<TableViewDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<TableViewDelegate> d) { delegate_ = std::move(d); }
  double rowHeight() const { return rowHeight_; }
  void setRowHeight(double h) { rowHeight_ = h; }
  double sectionHeaderHeight() const { return headerHeight_; }
  void setSectionHeaderHeight(double h) { headerHeight_ = h; }
  double sectionFooterHeight() const { return footerHeight_; }
  void setSectionFooterHeight(double h) { footerHeight_ = h; }
  std::shared_ptr<View> tableHeaderView() const { return headerView_; }
  void setTableHeaderView(std::shared_ptr<View> v);
  bool allowsSelection() const { return allowsSelection_; }
  void setAllowsSelection(bool on) { allowsSelection_ = on; }
  bool allowsSelectionDuringEditing() const { return allowsSelectionDuringEditing_; }
  void setAllowsSelectionDuringEditing(bool on) { allowsSelectionDuringEditing_ = on; }

  // Asks the data source again for everything; clears the selection. The rows are asked for when
  // the table is next looked at (rows, cells, geometry, a snapshot), so many reloads in a row cost
  // one. A table that was never loaded loads itself the first time it is asked for rows or cells.
  void reloadData();
  unsigned reloadCount() const { return reloads_; }
  int numberOfSections();
  int numberOfRowsInSection(int section);
  std::shared_ptr<TableViewCell> dequeueReusableCellWithIdentifier(const std::string &identifier);
  // The cell on screen for the row, else none.
  std::shared_ptr<TableViewCell> cellForRowAtIndexPath(IndexPath ip);
  std::optional<IndexPath> indexPathForCell(const TableViewCell &cell);
  std::vector<std::shared_ptr<TableViewCell>> visibleCells();
  std::vector<IndexPath> indexPathsForVisibleRows();
  Rect rectForRowAtIndexPath(IndexPath ip);

  std::optional<IndexPath> indexPathForSelectedRow() const { return selected_; }
  void selectRowAtIndexPath(std::optional<IndexPath> ip, bool animated,
                            TableViewScrollPosition position);
  void deselectRowAtIndexPath(IndexPath ip, bool animated);
  void scrollToRowAtIndexPath(IndexPath ip, TableViewScrollPosition position, bool animated);

  bool isEditing() const { return editing_; }
  virtual void setEditing(bool editing, bool animated = false);
  // The data source has already removed the rows; their cells go and the rest move up.
  void deleteRowsAtIndexPaths(std::vector<IndexPath> paths, TableViewRowAnimation animation);

  // A person's actions on a row: tap (select), tap its accessory button, delete it (swipe or
  // editing control), drag it to another place in editing mode.
  bool userTapRow(IndexPath ip, std::string &why);
  bool userTapAccessory(IndexPath ip, std::string &why);
  bool userDeleteRow(IndexPath ip, std::string &why);
  bool userMoveRow(IndexPath from, IndexPath to, std::string &why);
  // Row info for the probe and snapshot.
  std::string headerTitle(int section);
  std::string footerTitle(int section);
  std::shared_ptr<View> headerView(int section);
  std::shared_ptr<View> footerView(int section);

private:
  void ensureLoaded();
  bool validRow(IndexPath ip);
  double rowHeightAt(IndexPath ip);
  double headerHeightAt(int section);
  double footerHeightAt(int section);
  // Recomputes row positions and the content size, then makes the cells of the rows in view.
  void layoutRows();
  void configure(TableViewCell &cell, IndexPath ip);
  void recycle(std::shared_ptr<TableViewCell> cell);
  void loadSections();
  void checkCounts(const std::vector<int> &expected, const char *what);

  TableViewStyle style_;
  std::weak_ptr<TableViewDataSource> dataSource_;
  std::weak_ptr<TableViewDelegate> delegate_;
  // Lines a section title takes at about that many points a character.
  double titleLines(const std::string &title, double pointsPerCharacter) const;
  double rowHeight_ = 44, headerHeight_, footerHeight_;
  std::shared_ptr<View> headerView_;
  bool allowsSelection_ = true, allowsSelectionDuringEditing_ = false, editing_ = false;
  bool loaded_ = false, laying_ = false, needsReload_ = false;
  void reloadNow();
  unsigned reloads_ = 0;
  std::vector<int> rowCounts_;
  struct SectionInfo {
    std::string header, footer;
    std::shared_ptr<View> headerView, footerView;
  };
  std::vector<SectionInfo> sections_;
  // Row frames by section and row: laid out again on every change, so kept flat.
  std::vector<std::vector<Rect>> rowRects_;
  // Where each section's header and footer stand (of no height when the section has none).
  std::vector<std::pair<Rect, Rect>> sectionRects_;
  Rect rowRect(IndexPath ip) const;
  std::map<IndexPath, std::shared_ptr<TableViewCell>> cells_;
  std::map<std::string, std::vector<std::shared_ptr<TableViewCell>>> reusePool_;
  std::optional<IndexPath> selected_;
};

} // namespace platform::ui
