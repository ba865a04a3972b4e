// The Transfers screen: the table of queued items, the two-line title with the size left and the
// speed, Pause and Play, Edit with delete and reorder, and "Delete All".
#include "app/queue/BatchListView.h"
#include "app/queue/BatchServices.h"

#include "app/foundation/AppDelegateServices.h"
#include "app/foundation/Database.h"
#include "app/foundation/PartialFile.h"
#include "app/foundation/PlatformExtensions.h"
#include "app/foundation/StringUtils.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/Text.h"

#include <algorithm>
#include <mutex>

using namespace platform::ui;
using platform::Log;

namespace {

constexpr const char *kCellIdentifier = "Ferrowen_BatchCell";
constexpr int kTagName = -1, kTagSize = -3, kTagIcon = -4, kTagProgress = -5, kTagMessage = -6;
// A row's lines start 30 points into its content and end 30 points before the content's end.
constexpr double kRowInset = 30;

std::shared_ptr<Label> makeLabel(Rect frame, Font font, double minimum, TextAlignment alignment,
                                 Color color, int tag) {
  auto label = std::make_shared<Label>(frame);
  label->setFont(std::move(font));
  label->setAdjustsFontSizeToFitWidth(true);
  label->setMinimumFontSize(minimum);
  label->setTextAlignment(alignment);
  label->setTextColor(color);
  label->setTag(tag);
  return label;
}

template <class T> std::shared_ptr<T> subview(TableViewCell &cell, int tag) {
  return std::dynamic_pointer_cast<T>(cell.contentView()->viewWithTag(tag));
}

std::mutex servicesMutex;
std::shared_ptr<BatchAppServices> &installedServices() {
  static std::shared_ptr<BatchAppServices> services;
  return services;
}

} // namespace

std::shared_ptr<BatchAppServices> BatchAppServices::shared() {
  std::lock_guard lock(servicesMutex);
  return installedServices();
}

void BatchAppServices::setShared(std::shared_ptr<BatchAppServices> services) {
  std::lock_guard lock(servicesMutex);
  installedServices() = std::move(services);
}

// --- Layout --------------------------------------------------------------------------------------

void BatchListView::viewDidLoad() {
  setTitle("Transfers");
  titleSize_.clear();
  titleSpeed_.clear();
  buildTitleView();
  auto root = view();
  tableView_ = std::make_shared<TableView>(TableViewStyle::Plain, root->bounds());
  tableView_->setAutoresizingMask(FlexibleWidth | FlexibleHeight);
  tableView_->setDataSource(std::weak_ptr<TableViewDataSource>(self()));
  tableView_->setDelegate(std::weak_ptr<TableViewDelegate>(self()));
  root->addSubview(tableView_);
  auto weak = weakSelf();
  navigationItem().setRightBarButtonItem(
      BarButtonItem::systemItem(BarButtonSystemItem::Edit, [weak](BarButtonItem &) {
        if (auto self = weak.lock()) self->clickEdit();
      }));
  if (fPaused_)
    showPlayButton();
  else
    showPauseButton();
  badge();
  updateSizeDisplay();
}

void BatchListView::buildTitleView() {
  myTitleView_ = std::make_shared<View>(Rect{0, 0, 180, 42});
  myTitleView_->setAutoresizingMask(FlexibleRightMargin);
  myTitleView_->setBackgroundColor(Color::clearColor());
  auto top = makeLabel(Rect{0, 0, 180, 14}, Font::boldSystem(12), 8, TextAlignment::Center,
                       navigationTitleColor(), 0);
  top->setText("Transfers");
  top->setAlpha(0.9);
  top->setAutoresizingMask(FlexibleWidth);
  top->setShadowColor(navigationTitleHighlightColor());
  top->setShadowOffset(Size{0, -1});
  top->setBackgroundColor(Color::clearColor());
  titleDetails_ =
      makeLabel(Rect{0, 13, 180, 24}, Font::boldSystem(Font::systemFontSize() + 5),
                Font::systemFontSize(), TextAlignment::Center, navigationTitleColor(), 0);
  titleDetails_->setAutoresizingMask(FlexibleWidth);
  titleDetails_->setShadowColor(navigationTitleHighlightColor());
  titleDetails_->setShadowOffset(Size{0, -1});
  titleDetails_->setBackgroundColor(Color::clearColor());
  myTitleView_->addSubview(top);
  myTitleView_->addSubview(titleDetails_);
}

void BatchListView::viewWillAppear(bool) {
  reloadTable();
  appDelegateServices().viewUsesMyScroller(false);
}

bool BatchListView::shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) {
  return appDelegateServices().allowLandscapeView() || o == InterfaceOrientation::Portrait;
}

void BatchListView::didRotateFromInterfaceOrientation(InterfaceOrientation from) {
  appDelegateServices().didRotateFromInterfaceOrientation(int(from));
}

void BatchListView::reloadTable() {
  if (tableView_) tableView_->reloadData();
}

bool BatchListView::allItemsFailed() const {
  for (auto &item : batchItemList_)
    if (item->errorMsg().empty()) return false;
  return true;
}

void BatchListView::badge() {
  auto nav = navigationController();
  const auto &tab = nav ? nav->tabBarItem() : tabBarItem();
  auto services = BatchAppServices::shared();
  const int count = static_cast<int>(batchItemList_.size());
  if (count == 0) {
    tab->setBadgeValue(std::nullopt);
    if (services) services->badgeValtry("");
  } else if (fPaused_ && allItemsFailed()) {
    tab->setBadgeValue(std::string("!"));
    if (services) services->badgeValtry(" ! ");
  } else {
    tab->setBadgeValue(std::to_string(count));
    if (services) services->badgeValtry(" " + std::to_string(count) + " ");
  }
}

void BatchListView::updateSizeDisplay() {
  titleSize_ = Log::format("%0.1f MB", static_cast<double>(totalFilesize_) / 1048576.0);
  if (titleDetails_)
    titleDetails_->setText(titleSize_ + (titleSpeed_.empty() ? "" : "  ") + titleSpeed_);
  if (!fPaused_ && !allItemsFailed())
    navigationItem().setTitleView(myTitleView_);
  else
    navigationItem().setTitleView(nullptr);
}

// --- Rows
// ------------------------------------------------------------------------------------------

int BatchListView::numberOfRowsInSection(TableView &, int) {
  return static_cast<int>(batchItemList_.size());
}

std::shared_ptr<TableViewCell> BatchListView::cellForRowAtIndexPath(TableView &table,
                                                                    IndexPath ip) {
  auto cell = table.dequeueReusableCellWithIdentifier(kCellIdentifier);
  if (cell) {
    const int shown = cell->tag();
    if (shown >= 0 && static_cast<size_t>(shown) < batchItemList_.size()) {
      auto &previous = batchItemList_[static_cast<size_t>(shown)];
      if (previous->cell() == cell) {
        previous->setCell(nullptr);
        previous->setProgressBar(nullptr);
        previous->setLabel(nullptr);
      }
    }
  } else {
    cell = std::make_shared<TableViewCell>(TableViewCellStyle::Default, kCellIdentifier);
    cell->setFrame(Rect{0, 0, 320, 44});
    cell->setSelectionStyle(TableViewCellSelectionStyle::Gray);
    cell->setHidesAccessoryWhenEditing(false);
    auto content = cell->contentView();
    auto name = makeLabel(Rect{30, 4, 210, 22}, Font::system(18), 15, TextAlignment::Left,
                          Color::blackColor(), kTagName);
    name->setHighlightedTextColor(Color::blackColor());
    content->addSubview(name);
    auto size = makeLabel(Rect{30, 6, 260, 20}, Font::system(14), 12, TextAlignment::Right,
                          Color::blueColor(), kTagSize);
    size->setBackgroundColor(Color::clearColor());
    content->addSubview(size);
    auto icon = std::make_shared<ImageView>();
    icon->setFrame(Rect{3, 9, 24, 24});
    icon->setAlpha(0.5);
    icon->setTag(kTagIcon);
    content->addSubview(icon);
    auto bar = std::make_shared<ProgressView>(ProgressViewStyle::Default);
    bar->setFrame(Rect{30, 29, 260, 9});
    bar->setTag(kTagProgress);
    bar->setHidden(true);
    content->addSubview(bar);
    auto message = makeLabel(Rect{30, 28, 260, 12}, Font::system(10), 8, TextAlignment::Left,
                             Color::redColor(), kTagMessage);
    message->setLineBreakMode(LineBreakMode::TruncateMiddle);
    message->setBackgroundColor(Color::clearColor());
    // The line lies over the progress bar, which stays drawn while the row waits: a white glow
    // round the letters keeps blue or red words readable on the bar's blue fill.
    message->setShadowColor(Color::whiteColor());
    message->setShadowOffset(Size{0, 0});
    message->setShadowRadius(2);
    content->addSubview(message);
  }
  if (ip.row < 0 || static_cast<size_t>(ip.row) >= batchItemList_.size()) return cell;
  cell->setTag(ip.row);
  auto &item = batchItemList_[static_cast<size_t>(ip.row)];
  item->setCell(cell);
  configureCell(*cell, *item);
  return cell;
}

void BatchListView::configureCell(TableViewCell &cell, BatchItem &item) {
  const std::string name = item.filename().empty() ? item.server() : item.filename();
  if (auto label = subview<Label>(cell, kTagName)) label->setText(name);
  cell.setAccessibilityLabel(name);
  // The lines end where the row's content ends: in edit mode the content makes room for the
  // delete and reorder controls, and the lines follow it whenever it changes its width.
  const double line = std::max(0.0, cell.contentView()->frame().size.width - 2 * kRowInset);
  if (auto size = subview<Label>(cell, kTagSize)) {
    size->setText(myFileSize(static_cast<double>(item.filesize())));
    size->setHidden(tableView_ && tableView_->isEditing());
    size->setFrame(Rect{kRowInset, 6, line, 20});
    size->setAutoresizingMask(FlexibleWidth);
  }
  auto message = subview<Label>(cell, kTagMessage);
  item.setLabel(message);
  if (message) {
    message->setFrame(Rect{kRowInset, 28, line, 12});
    message->setAutoresizingMask(FlexibleWidth);
    if (item.errorMsg().empty() && item.statusMsg().empty()) {
      message->setHidden(true);
    } else if (!item.statusMsg().empty()) {
      message->setHidden(false);
      message->setText(item.statusMsg());
      message->setTextColor(Color::blueColor());
    } else {
      message->setHidden(false);
      message->setText(item.errorMsg());
      message->setTextColor(Color::redColor());
    }
  }
  auto bar = subview<ProgressView>(cell, kTagProgress);
  item.setProgressBar(bar);
  if (bar) {
    bar->setFrame(Rect{kRowInset, 29, line, 9});
    bar->setAutoresizingMask(FlexibleWidth);
    bar->setProgress(item.progress());
    // How much is done stays in view while the row waits (paused, or for its server).
    bar->setHidden(!(item.progress() > 0));
  }
  if (auto icon = subview<ImageView>(cell, kTagIcon)) {
    switch (item.action()) {
    case 1:
    case 33:
      icon->setImageName("dirs-process.png");
      break;
    case 6:
    case 34:
      icon->setImageName("dir-mkdir.png");
      break;
    case 3:
    case 10:
    case 31:
    case 32:
      icon->setImageName("up-arrow24.png");
      break;
    default:
      icon->setImageName("down-arrow24.png");
      break;
    }
  }
  cell.setEditingAccessoryType(TableViewCellAccessoryType::DetailDisclosureButton);
  cell.setAccessoryType(item.filename().empty() ? TableViewCellAccessoryType::DisclosureIndicator
                                                : TableViewCellAccessoryType::None);
}

std::optional<IndexPath> BatchListView::willSelectRowAtIndexPath(TableView &, IndexPath ip) {
  return ip;
}

void BatchListView::didSelectRowAtIndexPath(TableView &table, IndexPath ip) {
  table.deselectRowAtIndexPath(ip, true);
}

// --- Editing
// ---------------------------------------------------------------------------------------

void BatchListView::clickEdit() {
  fEditMode_ = !fEditMode_;
  if (tableView_) tableView_->setEditing(fEditMode_, true);
  auto weak = weakSelf();
  navigationItem().setRightBarButtonItem(BarButtonItem::systemItem(
      fEditMode_ ? BarButtonSystemItem::Done : BarButtonSystemItem::Edit, [weak](BarButtonItem &) {
        if (auto self = weak.lock()) self->clickEdit();
      }));
  if (tableView_)
    for (auto &cell : tableView_->visibleCells())
      if (auto size = subview<Label>(*cell, kTagSize)) size->setHidden(fEditMode_);
  if (fEditMode_) {
    navigationItem().setLeftBarButtonItem(
        BarButtonItem::titled("Delete All", BarButtonItemStyle::Bordered, [weak](BarButtonItem &) {
          if (auto self = weak.lock()) self->clickDeleteAll();
        }));
  } else {
    showPauseButton();
  }
}

void BatchListView::setEditing(bool editing, bool animated) {
  ViewController::setEditing(editing, animated);
  if (tableView_) tableView_->setEditing(editing, animated);
  if (auto right = navigationItem().rightBarButtonItem()) right->setEnabled(!editing);
  reloadTable();
}

void BatchListView::deleteItemLocalFile(const BatchItem &item, bool othersStay) {
  // A download's partial data is the queue's, kept only for the row's resume: it goes with the
  // row, unless another row that stays would resume from the same partial file.
  auto sharedBy = [&](auto samePartial) {
    return othersStay &&
           std::any_of(batchItemList_.begin(), batchItemList_.end(), [&](const auto &other) {
             return other->primaryKey() != item.primaryKey() && samePartial(*other);
           });
  };
  const bool overSFTP = item.action() >= 30 || item.protocol() == "sftp";
  if (item.action() == BatchItem::kWebDownload) {
    const std::string file = localFileOfItem(item);
    if (!sharedBy([&](const BatchItem &o) {
          return o.action() == BatchItem::kWebDownload && localFileOfItem(o) == file &&
                 o.server() == item.server();
        }))
      platform::FileManager::removeItem(partialFilePath(file, webDownloadSource(item.server())));
    // What a download of that file left under the file's name alone is no row's to resume.
    if (!sharedBy([&](const BatchItem &o) {
          return o.action() == BatchItem::kWebDownload && localFileOfItem(o) == file;
        }))
      platform::FileManager::removeItem(partialFilePath(file));
    return;
  }
  if (item.action() == BatchItem::kDownload && !overSFTP) {
    // The FTP connections write a download into a partial file of the temporary folder, one for
    // each server, port, user and remote file.
    const std::string name = myBetterFileName(item.filename());
    if (name.empty()) return;
    const std::string temporary = platform::appendPathComponent(platform::Paths::tmp(), name);
    const std::string source = item.origin().key();
    if (!sharedBy([&](const BatchItem &o) {
          return o.action() == BatchItem::kDownload && o.protocol() != "sftp" &&
                 o.origin().key() == source;
        }))
      platform::FileManager::removeItem(partialFilePath(temporary, source));
    if (!sharedBy([&](const BatchItem &o) {
          return o.action() == BatchItem::kDownload && o.protocol() != "sftp" &&
                 myBetterFileName(o.filename()) == name;
        }))
      platform::FileManager::removeItem(partialFilePath(temporary));
    return;
  }
  if (overSFTP &&
      (item.action() == BatchItem::kDownload || item.action() == BatchItem::kSFTPDownload)) {
    // The SFTP service writes beside the file, into a partial file of the row's source; what a
    // stopped transfer left goes too.
    const std::string partial = sftpPartialFileOfItem(item);
    if (!sharedBy([&](const BatchItem &o) {
          return (o.action() >= 30 || o.protocol() == "sftp") &&
                 (o.action() == BatchItem::kDownload || o.action() == BatchItem::kSFTPDownload) &&
                 sftpPartialFileOfItem(o) == partial;
        }))
      platform::FileManager::removeItem(partial);
    return;
  }
  // Only an upload's temporary source belongs to the queue; a download is the user's file.
  if (!item.cleanFileWhenDone() || !BatchItem::isUploadAction(item.action())) return;
  auto folder = assetFolders_.find(item.primaryKey());
  if (folder != assetFolders_.end() && !folder->second.empty() && folder->second != "/") {
    platform::FileManager::removeItem(folder->second);
    return;
  }
  const std::string file = localFileOfItem(item);
  if (platform::FileManager::fileExists(file)) platform::FileManager::removeItem(file);
}

bool BatchListView::stopDeletedRow(const BatchItem &item) {
  const bool overSFTP = item.action() >= 30 || item.protocol() == "sftp";
  const bool running = item.primaryKey() == inProgressPK_;
  if (overSFTP && running) stopSFTPTransfer();
  if (!overSFTP && running && BatchItem::isUploadAction(item.action()) && ftp_) {
    // The upload's session ends, and what it wrote under its temporary name goes with the row;
    // the queue's next item waits until that is done.
    ftp_->cancelUpload(item.remotePath());
    settleFTP(Settle::UntilSessionEnd);
    return true;
  }
  if (overSFTP || item.action() != BatchItem::kDownload) return false;
  // A download the FTP tab's connection is fetching (a file opened for viewing): the row was
  // its, so its transfer stops with it.
  if (auto services = BatchAppServices::shared())
    if (auto browsing = services->browsingTransfer())
      if (browsing->moves(item.origin())) services->stopBrowsingTransfer();
  return false;
}

void BatchListView::removeItemAtIndex(size_t index) {
  auto item = batchItemList_[index];
  if (item->cell()) item->cell()->setTag(-1);
  item->setCell(nullptr);
  item->setProgressBar(nullptr);
  item->setLabel(nullptr);
  unindexItem(*item);
  againPKs_.erase(item->primaryKey());
  batchItemList_.erase(batchItemList_.begin() + static_cast<std::ptrdiff_t>(index));
}

void BatchListView::commitEditingStyle(TableView &table, TableViewCellEditingStyle style,
                                       IndexPath ip) {
  if (style != TableViewCellEditingStyle::Delete) return;
  if (ip.row < 0 || static_cast<size_t>(ip.row) >= batchItemList_.size()) return;
  auto item = batchItemList_[static_cast<size_t>(ip.row)];
  const int pk = item->primaryKey();
  const bool sessionEnding = stopDeletedRow(*item);
  stopBatchItemPK(pk, !sessionEnding);
  deleteItemLocalFile(*item);
  writeHeldChanges();
  SQLExecute(database_, Log::format("DELETE FROM batchlist WHERE pk='%i'", pk));
  assetFolders_.erase(pk);
  int index = batchIndexForPK(pk);
  if (index >= 0) removeItemAtIndex(static_cast<size_t>(index));
  table.deleteRowsAtIndexPaths({ip}, TableViewRowAnimation::Fade);
  reloadTable();
  badge();
  updateSizeDisplay();
}

void BatchListView::moveRowAtIndexPath(TableView &, IndexPath from, IndexPath to) {
  const size_t count = batchItemList_.size();
  if (from.row < 0 || to.row < 0 || static_cast<size_t>(from.row) >= count) return;
  auto item = batchItemList_[static_cast<size_t>(from.row)];
  batchItemList_.erase(batchItemList_.begin() + from.row);
  const size_t at = std::min(static_cast<size_t>(to.row), batchItemList_.size());
  batchItemList_.insert(batchItemList_.begin() + static_cast<std::ptrdiff_t>(at), item);
  writeHeldChanges();
  batchUpdates([&] {
    for (size_t i = 0; i < batchItemList_.size(); ++i)
      SQLExecute(database_, Log::format("UPDATE batchlist SET roworder='%i' WHERE pk='%i'",
                                        static_cast<int>(i), batchItemList_[i]->primaryKey()));
  });
}

void BatchListView::clickDeleteAll() {
  deleteAll_ = std::make_shared<AlertView>(
      "Confirm Delete All",
      Log::format("This will remove all %i pending items.  Continue?",
                  static_cast<int>(batchItemList_.size())),
      std::weak_ptr<AlertViewDelegate>(self()), "Cancel", std::vector<std::string>{"Delete All"});
  deleteAll_->showOnMainThread();
}

void BatchListView::clickedButtonAtIndex(AlertView &alert, int index) {
  if (deleteAll_.get() != &alert) return;
  if (index == 1) {
    bool sessionEnding = false;
    for (auto &item : batchItemList_)
      sessionEnding = stopDeletedRow(*item) || sessionEnding;
    stopBatchItemPK(inProgressPK_, !sessionEnding);
    for (auto &item : batchItemList_)
      if (!BatchItem::isUploadAction(item->action())) deleteItemLocalFile(*item, false);
    writeHeldChanges();
    SQLExecute(database_, "DELETE FROM batchlist WHERE 1=1");
    while (!batchItemList_.empty())
      removeItemAtIndex(batchItemList_.size() - 1);
    assetFolders_.clear();
    reloadTable();
    badge();
    updateSizeDisplay();
  }
  deleteAll_.reset();
}
