#include "platform/ui/Table.h"

#include "platform/ui/Json.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>

namespace platform::ui {

using detail::toJson;

namespace {
const char *accessoryName(TableViewCellAccessoryType a) {
  switch (a) {
  case TableViewCellAccessoryType::None:
    return "none";
  case TableViewCellAccessoryType::DisclosureIndicator:
    return "disclosure";
  case TableViewCellAccessoryType::DetailDisclosureButton:
    return "detailButton";
  case TableViewCellAccessoryType::Checkmark:
    return "checkmark";
  }
  return "none";
}
} // namespace

TableViewCell::TableViewCell(TableViewCellStyle style, std::string reuseIdentifier)
    : View(Rect(0, 0, 320, 44)), style_(style), reuseIdentifier_(std::move(reuseIdentifier)),
      textLabel_(std::make_shared<Label>()), imageView_(std::make_shared<ImageView>()),
      contentView_(std::make_shared<View>(Rect(0, 0, 320, 44))) {
  // Each style's own fonts, as the phone sets them.
  switch (style) {
  case TableViewCellStyle::Default:
    textLabel_->setFont(Font::boldSystem(20));
    break;
  case TableViewCellStyle::Value1:
    textLabel_->setFont(Font::boldSystem(17));
    break;
  case TableViewCellStyle::Value2:
    textLabel_->setFont(Font::boldSystem(12));
    break;
  case TableViewCellStyle::Subtitle:
    textLabel_->setFont(Font::boldSystem(18));
    break;
  }
  if (style != TableViewCellStyle::Default) {
    detailTextLabel_ = std::make_shared<Label>();
    detailTextLabel_->setFont(style == TableViewCellStyle::Subtitle ? Font::system(14)
                              : style == TableViewCellStyle::Value2 ? Font::boldSystem(15)
                                                                    : Font::system(17));
    // A value beside the text is blue, a subtitle grey.
    if (style == TableViewCellStyle::Value1)
      detailTextLabel_->setTextColor(Color{56 / 255.0, 84 / 255.0, 135 / 255.0, 1});
    else if (style == TableViewCellStyle::Subtitle)
      detailTextLabel_->setTextColor(Color::grayColor());
    else
      textLabel_->setTextColor(Color{56 / 255.0, 84 / 255.0, 135 / 255.0, 1});
  }
  addSubview(contentView_);
}

void TableViewCell::setAccessoryView(std::shared_ptr<View> v) {
  accessoryView_ = std::move(v);
  layoutParts();
}

TableViewCellAccessoryType TableViewCell::shownAccessory() const {
  return editing_ && hidesAccessoryWhenEditing_ ? editingAccessory_ : accessory_;
}

// The accessory stands at the row's right, centred in its height: a grouped row's background is
// inset by 10 points and keeps 10 points of padding inside, a plain row's accessory view reaches
// its edge. The content view shrinks by what the accessory takes, so what it holds (a drawn row,
// say) ends before the accessory instead of under it. In editing mode it moves right for the
// delete (or insert) control and ends before the reorder control, as on the phone: a row's own
// pictures never lie over the control that deletes it.
void TableViewCell::layoutParts() {
  const Size size = frame().size;
  const double inset = grouped_ ? 20 : 0;
  double start = size.width;
  if (accessoryView_) {
    const Size a = accessoryView_->frame().size;
    start = size.width - inset - a.width;
    accessoryView_->setFrame(
        Rect(start, std::round((size.height - a.height) / 2), a.width, a.height));
  } else if (auto shown = shownAccessory(); shown != TableViewCellAccessoryType::None) {
    start = size.width - inset -
            (shown == TableViewCellAccessoryType::DetailDisclosureButton ? 33 : 20);
  }
  const double left =
      editing_ && editingStyle_ != TableViewCellEditingStyle::None ? kEditingControlWidth : 0;
  if (editing_ && showsReorder_) start = std::min(start, size.width - inset - kEditingControlWidth);
  contentView_->setFrame(Rect(left, 0, std::max(0.0, start - left), size.height));
}

std::string TableViewCell::probeText() const {
  if (!textLabel_->text().empty()) return textLabel_->text();
  return accessibilityLabel();
}

void TableViewCell::setSelected(bool on, bool animated) {
  (void)animated;
  selected_ = on;
}

void TableViewCell::describe(nlohmann::json &out) const {
  View::describe(out);
  static const char *styles[] = {"default", "value1", "value2", "subtitle"};
  out["style"] = styles[static_cast<int>(style_)];
  out["reuseIdentifier"] = reuseIdentifier_;
  out["text"] = textLabel_->text();
  out["detail"] = detailTextLabel_ ? detailTextLabel_->text() : std::string();
  // How the texts are set: a page shows them at the model's font, colour and lines.
  auto look = [](const Label &l) {
    nlohmann::json j;
    l.describe(j);
    return j;
  };
  out["textLook"] = look(*textLabel_);
  out["detailLook"] = detailTextLabel_ ? look(*detailTextLabel_) : nlohmann::json(nullptr);
  out["image"] = imageView_->imageName();
  out["accessory"] = accessoryName(shownAccessory());
  static const char *selection[] = {"none", "blue", "gray"};
  out["selectionStyle"] = selection[static_cast<int>(selectionStyle_)];
  out["selected"] = selected_;
  out["editing"] = editing_;
  static const char *editingStyles[] = {"none", "delete", "insert"};
  out["editingStyle"] = editingStyles[static_cast<int>(editingStyle_)];
  out["reorder"] = showsReorder_;
}

TableView::TableView(TableViewStyle style, Rect frame)
    : ScrollView(frame), style_(style), headerHeight_(style == TableViewStyle::Grouped ? 10 : 22),
      footerHeight_(style == TableViewStyle::Grouped ? 10 : 22) {}

void TableView::describe(nlohmann::json &out) const {
  // What is described is what a person would see now: a pending reload happens first.
  const_cast<TableView *>(this)->ensureLoaded();
  ScrollView::describe(out);
  out["style"] = style_ == TableViewStyle::Grouped ? "grouped" : "plain";
  out["editing"] = editing_;
  out["rowHeight"] = rowHeight_;
  auto sections = nlohmann::json::array();
  for (size_t s = 0; s < rowCounts_.size(); ++s)
    sections.push_back(
        {{"rows", rowCounts_[s]},
         {"header", sections_[s].header},
         {"footer", sections_[s].footer},
         {"headerFrame", s < sectionRects_.size() ? toJson(sectionRects_[s].first) : nullptr},
         {"footerFrame", s < sectionRects_.size() ? toJson(sectionRects_[s].second) : nullptr}});
  out["sections"] = sections;
}

void TableView::setFrame(Rect frame) {
  View::setFrame(frame);
  if (loaded_ && !needsReload_) layoutRows();
}

void TableView::setContentOffset(Point offset, bool animated) {
  ScrollView::setContentOffset(offset, animated);
  if (loaded_ && !needsReload_) layoutRows();
}

void TableView::setDataSource(std::weak_ptr<TableViewDataSource> ds) {
  dataSource_ = std::move(ds);
  for (auto &[ip, cell] : cells_)
    recycle(cell);
  cells_.clear();
  loaded_ = false;
}

void TableView::setTableHeaderView(std::shared_ptr<View> v) {
  headerView_ = std::move(v);
  if (loaded_ && !needsReload_) layoutRows();
}

void TableView::ensureLoaded() {
  if (laying_) return;
  if (!loaded_) {
    ++reloads_;
    selected_.reset();
    reloadNow();
  } else if (needsReload_) {
    reloadNow();
  }
}

void TableView::loadSections() {
  auto ds = dataSource();
  auto d = delegate();
  rowCounts_.clear();
  sections_.clear();
  int n = ds ? std::max(0, ds->numberOfSectionsInTableView(*this)) : 0;
  for (int s = 0; s < n; ++s) {
    rowCounts_.push_back(std::max(0, ds->numberOfRowsInSection(*this, s)));
    SectionInfo info{ds->titleForHeaderInSection(*this, s), ds->titleForFooterInSection(*this, s),
                     d ? d->viewForHeaderInSection(*this, s) : nullptr,
                     d ? d->viewForFooterInSection(*this, s) : nullptr};
    sections_.push_back(std::move(info));
  }
}

void TableView::reloadData() {
  detail::requireMainThread("TableView::reloadData");
  if (laying_) return;
  ++reloads_;
  selected_.reset();
  if (!loaded_) {
    reloadNow();
    return;
  }
  // The rows are asked for again when somebody next looks at the table (a person, the probe, the
  // page): a screen that reloads for every one of many changes lays its rows out once.
  needsReload_ = true;
}

void TableView::reloadNow() {
  auto self = shared_from_this();
  loaded_ = true;
  needsReload_ = false;
  // Last row first: the pool hands cells back last in, first out, so each row that is still
  // there gets its own cell again. The page may still show the rows as they were, and a tap on
  // one of them must reach that row, not the one its cell went to.
  for (auto it = cells_.rbegin(); it != cells_.rend(); ++it)
    recycle(it->second);
  cells_.clear();
  loadSections();
  layoutRows();
}

int TableView::numberOfSections() {
  ensureLoaded();
  return static_cast<int>(rowCounts_.size());
}

int TableView::numberOfRowsInSection(int section) {
  ensureLoaded();
  return section >= 0 && section < static_cast<int>(rowCounts_.size())
             ? rowCounts_[static_cast<size_t>(section)]
             : 0;
}

bool TableView::validRow(IndexPath ip) {
  return ip.row >= 0 && ip.row < numberOfRowsInSection(ip.section);
}

std::string TableView::headerTitle(int s) {
  return numberOfSections() > s && s >= 0 ? sections_[static_cast<size_t>(s)].header : "";
}
std::string TableView::footerTitle(int s) {
  return numberOfSections() > s && s >= 0 ? sections_[static_cast<size_t>(s)].footer : "";
}
std::shared_ptr<View> TableView::headerView(int s) {
  return numberOfSections() > s && s >= 0 ? sections_[static_cast<size_t>(s)].headerView : nullptr;
}
std::shared_ptr<View> TableView::footerView(int s) {
  return numberOfSections() > s && s >= 0 ? sections_[static_cast<size_t>(s)].footerView : nullptr;
}

double TableView::rowHeightAt(IndexPath ip) {
  auto d = delegate();
  double h = d ? d->heightForRowAtIndexPath(*this, ip) : -1;
  return h >= 0 ? h : rowHeight_;
}

double TableView::headerHeightAt(int s) {
  auto d = delegate();
  double h = d ? d->heightForHeaderInSection(*this, s) : -1;
  if (h >= 0) return h;
  auto &info = sections_[static_cast<size_t>(s)];
  if (info.headerView) return info.headerView->frame().size.height;
  // A grouped section's title stands above its rows in a bold line or more.
  if (style_ == TableViewStyle::Grouped && !info.header.empty())
    return std::max(headerHeight_, 14 + 21 * titleLines(info.header, 9));
  return !info.header.empty() || style_ == TableViewStyle::Grouped ? headerHeight_ : 0;
}

double TableView::titleLines(const std::string &title, double pointsPerCharacter) const {
  // An estimate of the wrapped lines (the width less the margins of a grouped table).
  double width = std::max(100.0, frame().size.width - 40);
  double lines = 0;
  size_t start = 0;
  for (size_t end; start <= title.size(); start = end + 1) {
    end = title.find('\n', start);
    if (end == std::string::npos) end = title.size();
    lines += std::max(
        1.0, std::ceil(utf16Length(title.substr(start, end - start)) * pointsPerCharacter / width));
  }
  return lines;
}

double TableView::footerHeightAt(int s) {
  auto d = delegate();
  double h = d ? d->heightForFooterInSection(*this, s) : -1;
  if (h >= 0) return h;
  auto &info = sections_[static_cast<size_t>(s)];
  if (info.footerView) return info.footerView->frame().size.height;
  if (style_ == TableViewStyle::Grouped && !info.footer.empty())
    return std::max(footerHeight_, 10 + 17 * titleLines(info.footer, 7));
  return !info.footer.empty() || style_ == TableViewStyle::Grouped ? footerHeight_ : 0;
}

Rect TableView::rowRect(IndexPath ip) const {
  if (ip.section < 0 || static_cast<size_t>(ip.section) >= rowRects_.size()) return Rect();
  auto &rows = rowRects_[static_cast<size_t>(ip.section)];
  return ip.row >= 0 && static_cast<size_t>(ip.row) < rows.size()
             ? rows[static_cast<size_t>(ip.row)]
             : Rect();
}

void TableView::layoutRows() {
  if (laying_) return;
  laying_ = true;
  auto self = shared_from_this();
  double width = frame().size.width;
  double y = headerView_ ? headerView_->frame().size.height : 0;
  rowRects_.resize(rowCounts_.size());
  sectionRects_.resize(rowCounts_.size());
  for (int s = 0; s < static_cast<int>(rowCounts_.size()); ++s) {
    const double header = headerHeightAt(s);
    sectionRects_[static_cast<size_t>(s)].first = Rect(0, y, width, header);
    y += header;
    auto &rects = rowRects_[static_cast<size_t>(s)];
    rects.resize(static_cast<size_t>(rowCounts_[static_cast<size_t>(s)]));
    for (int r = 0; r < rowCounts_[static_cast<size_t>(s)]; ++r) {
      double h = rowHeightAt({s, r});
      rects[static_cast<size_t>(r)] = Rect(0, y, width, h);
      y += h;
    }
    const double footer = footerHeightAt(s);
    sectionRects_[static_cast<size_t>(s)].second = Rect(0, y, width, footer);
    y += footer;
  }
  setContentSize({width, y});

  // The rows in view, in order: found by their position, not by looking at every row.
  double top = contentOffset().y, height = frame().size.height;
  std::vector<IndexPath> wanted;
  for (int s = 0; s < static_cast<int>(rowRects_.size()); ++s) {
    auto &rects = rowRects_[static_cast<size_t>(s)];
    auto first = height <= 0
                     ? rects.begin()
                     : std::partition_point(rects.begin(), rects.end(),
                                            [top](const Rect &r) { return r.maxY() <= top; });
    for (auto it = first; it != rects.end(); ++it) {
      if (height > 0 && it->origin.y >= top + height) break;
      if (height > 0 && it->maxY() <= top) continue;
      wanted.push_back({s, static_cast<int>(it - rects.begin())});
    }
  }
  for (auto it = cells_.begin(); it != cells_.end();) {
    if (std::binary_search(wanted.begin(), wanted.end(), it->first)) {
      configure(*it->second, it->first);
      ++it;
    } else {
      recycle(it->second);
      it = cells_.erase(it);
    }
  }
  auto ds = dataSource();
  for (auto &ip : wanted) {
    if (cells_.count(ip) || !ds) continue;
    auto cell = ds->cellForRowAtIndexPath(*this, ip);
    if (!cell) continue;
    configure(*cell, ip);
    cells_[ip] = cell;
  }
  laying_ = false;
}

void TableView::configure(TableViewCell &cell, IndexPath ip) {
  auto ds = dataSource();
  auto d = delegate();
  cell.setFrame(rowRect(ip));
  bool editable = editing_ && ds && ds->canEditRowAtIndexPath(*this, ip);
  cell.editingStyle_ = editable && d ? d->editingStyleForRowAtIndexPath(*this, ip)
                       : editable    ? TableViewCellEditingStyle::Delete
                                     : TableViewCellEditingStyle::None;
  cell.showsReorder_ = editing_ && ds && ds->canMoveRowAtIndexPath(*this, ip);
  if (cell.editing_ != editing_) cell.setEditing(editing_, false);
  cell.selected_ = selected_ == ip;
  if (d)
    if (auto a = d->accessoryTypeForRowWithIndexPath(*this, ip)) cell.accessory_ = *a;
  cell.grouped_ = style_ == TableViewStyle::Grouped;
  cell.layoutParts();
}

void TableView::recycle(std::shared_ptr<TableViewCell> cell) {
  cell->selected_ = false;
  if (!cell->reuseIdentifier().empty())
    reusePool_[cell->reuseIdentifier()].push_back(std::move(cell));
}

std::shared_ptr<TableViewCell> TableView::dequeueReusableCellWithIdentifier(const std::string &id) {
  auto it = reusePool_.find(id);
  if (it == reusePool_.end() || it->second.empty()) return nullptr;
  auto cell = it->second.back();
  it->second.pop_back();
  cell->prepareForReuse();
  return cell;
}

std::shared_ptr<TableViewCell> TableView::cellForRowAtIndexPath(IndexPath ip) {
  ensureLoaded();
  auto it = cells_.find(ip);
  return it == cells_.end() ? nullptr : it->second;
}

std::optional<IndexPath> TableView::indexPathForCell(const TableViewCell &cell) {
  ensureLoaded();
  for (auto &[ip, c] : cells_)
    if (c.get() == &cell) return ip;
  return std::nullopt;
}

std::vector<std::shared_ptr<TableViewCell>> TableView::visibleCells() {
  ensureLoaded();
  std::vector<std::shared_ptr<TableViewCell>> out;
  for (auto &[ip, cell] : cells_)
    out.push_back(cell);
  return out;
}

std::vector<IndexPath> TableView::indexPathsForVisibleRows() {
  ensureLoaded();
  std::vector<IndexPath> out;
  for (auto &[ip, cell] : cells_)
    out.push_back(ip);
  return out;
}

Rect TableView::rectForRowAtIndexPath(IndexPath ip) {
  ensureLoaded();
  return rowRect(ip);
}

void TableView::selectRowAtIndexPath(std::optional<IndexPath> ip, bool animated,
                                     TableViewScrollPosition position) {
  ensureLoaded();
  if (selected_)
    if (auto cell = cellForRowAtIndexPath(*selected_)) cell->setSelected(false, animated);
  selected_.reset();
  if (!ip || !validRow(*ip)) return;
  selected_ = ip;
  if (auto cell = cellForRowAtIndexPath(*ip)) cell->setSelected(true, animated);
  if (position != TableViewScrollPosition::None) scrollToRowAtIndexPath(*ip, position, animated);
}

void TableView::deselectRowAtIndexPath(IndexPath ip, bool animated) {
  if (selected_ != ip) return;
  selected_.reset();
  if (auto cell = cellForRowAtIndexPath(ip)) cell->setSelected(false, animated);
}

void TableView::scrollToRowAtIndexPath(IndexPath ip, TableViewScrollPosition position,
                                       bool animated) {
  ensureLoaded();
  if (!validRow(ip)) return;
  Rect r = rowRect(ip);
  double height = frame().size.height, top = contentOffset().y, y = top;
  switch (position) {
  case TableViewScrollPosition::Top:
    y = r.origin.y;
    break;
  case TableViewScrollPosition::Middle:
    y = r.origin.y - (height - r.size.height) / 2;
    break;
  case TableViewScrollPosition::Bottom:
    y = r.maxY() - height;
    break;
  case TableViewScrollPosition::None:
    if (r.origin.y < top)
      y = r.origin.y;
    else if (height > 0 && r.maxY() > top + height)
      y = r.maxY() - height;
    break;
  }
  y = std::clamp(y, 0.0, std::max(0.0, contentSize().height - height));
  setContentOffset({contentOffset().x, y}, animated);
}

void TableView::setEditing(bool editing, bool animated) {
  detail::requireMainThread("TableView::setEditing");
  ensureLoaded();
  editing_ = editing;
  for (auto &[ip, cell] : cells_) {
    cell->setEditing(editing, animated);
    configure(*cell, ip);
  }
}

void TableView::checkCounts(const std::vector<int> &expected, const char *what) {
  loadSections();
  if (rowCounts_ == expected) return;
  // The phone stops the program here; so do debug builds. Otherwise show what the data says.
  std::fprintf(stderr,
               "platform::ui: invalid table update (%s): the data source's row counts "
               "do not match the change\n",
               what);
#ifndef NDEBUG
  std::abort();
#endif
  for (auto &[ip, cell] : cells_)
    recycle(cell);
  cells_.clear();
}

void TableView::deleteRowsAtIndexPaths(std::vector<IndexPath> paths, TableViewRowAnimation) {
  detail::requireMainThread("TableView::deleteRowsAtIndexPaths");
  // With a reload pending the rows are taken again as they are now: that is the deletion too.
  if (loaded_ && needsReload_) {
    reloadNow();
    return;
  }
  ensureLoaded();
  std::set<IndexPath> gone(paths.begin(), paths.end());
  auto expected = rowCounts_;
  for (auto &ip : gone)
    if (ip.section >= 0 && ip.section < static_cast<int>(expected.size()) && validRow(ip))
      --expected[static_cast<size_t>(ip.section)];
  auto shifted = [&](IndexPath ip) -> std::optional<IndexPath> {
    if (gone.count(ip)) return std::nullopt;
    int above = 0;
    for (auto &g : gone)
      above += g.section == ip.section && g.row < ip.row;
    return IndexPath{ip.section, ip.row - above};
  };
  std::map<IndexPath, std::shared_ptr<TableViewCell>> next;
  for (auto &[ip, cell] : cells_) {
    if (auto to = shifted(ip))
      next[*to] = cell;
    else
      recycle(cell);
  }
  cells_ = std::move(next);
  if (selected_) selected_ = shifted(*selected_);
  checkCounts(expected, "delete");
  layoutRows();
}

bool TableView::userTapRow(IndexPath ip, std::string &why) {
  detail::requireMainThread("TableView::userTapRow");
  auto self = shared_from_this();
  if (!validRow(ip)) return why = "no such row", false;
  if (!allowsSelection_ || (editing_ && !allowsSelectionDuringEditing_))
    return why = "the table allows no selection now", false;
  if (!cells_.count(ip)) scrollToRowAtIndexPath(ip, TableViewScrollPosition::None, false);
  auto d = delegate();
  auto target = d ? d->willSelectRowAtIndexPath(*this, ip) : std::optional<IndexPath>(ip);
  if (!target || !validRow(*target)) return true; // tapped; the screen refused the selection
  if (selected_ && *selected_ != *target) {
    IndexPath old = *selected_;
    deselectRowAtIndexPath(old, false);
    if (d) d->didDeselectRowAtIndexPath(*this, old);
  }
  selectRowAtIndexPath(*target, false, TableViewScrollPosition::None);
  if (d) d->didSelectRowAtIndexPath(*this, *target);
  return true;
}

bool TableView::userTapAccessory(IndexPath ip, std::string &why) {
  detail::requireMainThread("TableView::userTapAccessory");
  auto self = shared_from_this();
  if (!validRow(ip)) return why = "no such row", false;
  if (!cells_.count(ip)) scrollToRowAtIndexPath(ip, TableViewScrollPosition::None, false);
  auto cell = cellForRowAtIndexPath(ip);
  if (!cell) return why = "the row is not in view", false;
  if (cell->accessoryView()) return cell->accessoryView()->userTap(why);
  auto shown = cell->isEditing() && cell->hidesAccessoryWhenEditing() ? cell->editingAccessoryType()
                                                                      : cell->accessoryType();
  if (shown != TableViewCellAccessoryType::DetailDisclosureButton)
    return why = "the row shows no accessory button", false;
  if (auto d = delegate()) d->accessoryButtonTappedForRowWithIndexPath(*this, ip);
  return true;
}

bool TableView::userDeleteRow(IndexPath ip, std::string &why) {
  detail::requireMainThread("TableView::userDeleteRow");
  auto self = shared_from_this();
  if (!validRow(ip)) return why = "no such row", false;
  auto ds = dataSource();
  if (!ds || !ds->canEditRowAtIndexPath(*this, ip)) return why = "the row cannot be edited", false;
  auto d = delegate();
  auto style = d ? d->editingStyleForRowAtIndexPath(*this, ip) : TableViewCellEditingStyle::Delete;
  if (style != TableViewCellEditingStyle::Delete) return why = "the row cannot be deleted", false;
  ds->commitEditingStyle(*this, TableViewCellEditingStyle::Delete, ip);
  return true;
}

bool TableView::userMoveRow(IndexPath from, IndexPath to, std::string &why) {
  detail::requireMainThread("TableView::userMoveRow");
  auto self = shared_from_this();
  if (!editing_) return why = "the table is not in editing mode", false;
  if (!validRow(from)) return why = "no such row", false;
  auto ds = dataSource();
  if (!ds || !ds->canMoveRowAtIndexPath(*this, from)) return why = "the row cannot be moved", false;
  int limit = numberOfRowsInSection(to.section) - (from.section == to.section ? 1 : 0);
  if (to.section < 0 || to.section >= numberOfSections() || to.row < 0 || to.row > limit)
    return why = "no such place to move to", false;
  if (from == to) return true;
  ds->moveRowAtIndexPath(*this, from, to);
  // Move the cells as the rows moved: out of `from`, into `to`.
  auto remove = [&](IndexPath ip) -> std::optional<IndexPath> {
    if (ip == from) return std::nullopt;
    if (ip.section == from.section && ip.row > from.row) --ip.row;
    return ip;
  };
  auto insert = [&](IndexPath ip) {
    if (ip.section == to.section && ip.row >= to.row) ++ip.row;
    return ip;
  };
  std::map<IndexPath, std::shared_ptr<TableViewCell>> next;
  std::shared_ptr<TableViewCell> moving;
  for (auto &[ip, cell] : cells_) {
    if (auto at = remove(ip))
      next[insert(*at)] = cell;
    else
      moving = cell;
  }
  if (moving) next[to] = moving;
  cells_ = std::move(next);
  if (selected_) selected_ = selected_ == from ? to : insert(*remove(*selected_));
  auto expected = rowCounts_;
  --expected[static_cast<size_t>(from.section)];
  ++expected[static_cast<size_t>(to.section)];
  checkCounts(expected, "move");
  layoutRows();
  return true;
}

} // namespace platform::ui
