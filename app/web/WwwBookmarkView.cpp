#include "app/web/WwwBookmarkView.h"

#include "app/foundation/EditDataViewController.h"
#include "app/foundation/Globals.h"
#include "app/foundation/ResourceImage.h"
#include "app/web/BrowserHistory.h"
#include "app/web/ValtryWebBrowserView.h"
#include "app/web/WebAddress.h"
#include "app/web/WebServices.h"

#include "platform/device/DeviceProfile.h"
#include "platform/foundation/Text.h"
#include "platform/media/Image.h"

using namespace platform;
using namespace platform::ui;
using Value = UserDefaults::Value;

namespace {

bool isPad() {
  return DeviceProfile::current().isiPad();
}

std::string text(const WwwBookmarkView::Entry &e, const char *key) {
  auto it = e.find(key);
  return it != e.end() && it->second.string() ? *it->second.string() : std::string();
}

std::vector<WwwBookmarkView::Entry> defaultBookmarks() {
  const std::string device = isPad() ? "ipad" : "iphone";
  WwwBookmarkView::Entry help{{"Name", "Valtry Help"},
                              {"URL", "http://www.ferrowen.example/help/?device=" + device},
                              {"Server", "www.ferrowen.example"}};
  if (isPad()) help["NewTab"] = "1";
  WwwBookmarkView::Entry more{{"Name", "More of Our Apps"},
                              {"URL", isPad()
                                          ? "http://apps.ferrowen.example/maker/ferrowen"
                                          : "http://apps.ferrowen.example/iphone/maker/ferrowen"},
                              {"Server", "apps.ferrowen.example"}};
  return {help, more};
}

} // namespace

std::string bookmarkServer(const std::string &url) {
  for (const char *scheme : {"http://", "https://", "ftp://"})
    if (hasPrefixCaseInsensitive(url, scheme)) return WebAddress::parse(url).host;
  return WebAddress::parse("http://" + url).host;
}

WwwBookmarkView::WwwBookmarkView(const std::string &folderKey,
                                 std::weak_ptr<ValtryWebBrowserView> browser)
    : ViewController("WwwBookmarkView"), folderKey_(folderKey),
      bookmarkKey_("WwwBookmarks-" + folderKey), isRoot_(folderKey.empty()),
      browser_(std::move(browser)) {}

void WwwBookmarkView::loadView() {
  auto root = std::make_shared<View>(Rect(0, 0, 320, 436));
  tableView_ = std::make_shared<TableView>(TableViewStyle::Plain, Rect(0, 0, 320, 392));
  tableView_->setAutoresizingMask(FlexibleWidth | FlexibleHeight);
  bottomToolbar_ = std::make_shared<Toolbar>(Rect(0, 392, 320, 44));
  root->addSubview(tableView_);
  root->addSubview(bottomToolbar_);
  setView(root);
}

void WwwBookmarkView::viewDidLoad() {
  tableView_->setDataSource(sharedAs<WwwBookmarkView>());
  tableView_->setDelegate(sharedAs<WwwBookmarkView>());
  bookmarks_.clear();
  if (auto stored = globalUserDefaults->arrayForKey(bookmarkKey_)) {
    for (auto &v : *stored)
      if (auto d = v.dictionary()) bookmarks_.push_back(*d);
  } else if (isRoot_) {
    bookmarks_ = defaultBookmarks();
    saveData();
  }
  if (isPad()) setContentSizeForViewInPopover(Size{320, 436});
  setTitle("Bookmarks");
  navigationItem().setTitle("Bookmarks");
  std::weak_ptr<WwwBookmarkView> weak = sharedAs<WwwBookmarkView>();
  auto act = [weak](void (WwwBookmarkView::*fn)()) {
    return [weak, fn](BarButtonItem &) {
      if (auto s = weak.lock()) (s.get()->*fn)();
    };
  };
  addCurrentPageButton_ = BarButtonItem::titled("Add Current Page", BarButtonItemStyle::Bordered,
                                                act(&WwwBookmarkView::clickAddCurrent));
  newFolderButton_ = BarButtonItem::titled("New Folder", BarButtonItemStyle::Bordered,
                                           act(&WwwBookmarkView::clickAddFolder));
  editButton_ =
      BarButtonItem::systemItem(BarButtonSystemItem::Edit, act(&WwwBookmarkView::clickEdit));
  doneEditButton_ =
      BarButtonItem::systemItem(BarButtonSystemItem::Done, act(&WwwBookmarkView::clickDone));
  separator_ = BarButtonItem::flexibleSpace();
  auto b = browser_.lock();
  addCurrentPageButton_->setEnabled(b && b->urlField && !b->urlField->text().empty());
  if (isPad())
    navigationItem().setRightBarButtonItem(
        BarButtonItem::systemItem(BarButtonSystemItem::Done, act(&WwwBookmarkView::clickOK)));
  showToolbar(false);
}

void WwwBookmarkView::showToolbar(bool editing) {
  if (editing)
    bottomToolbar_->setItems({doneEditButton_, separator_, newFolderButton_}, true);
  else
    bottomToolbar_->setItems({editButton_, separator_, addCurrentPageButton_}, true);
}

void WwwBookmarkView::saveData() {
  Value::Array array;
  for (auto &e : bookmarks_)
    array.push_back(e);
  globalUserDefaults->setObject(array, bookmarkKey_);
  globalUserDefaults->synchronize();
}

void WwwBookmarkView::clickEdit() {
  tableView_->setEditing(true, true);
  setEditing(true, true);
  navigationItem().setRightBarButtonItem(nullptr);
  showToolbar(true);
}

void WwwBookmarkView::clickDone() {
  tableView_->setEditing(false, true);
  setEditing(false, true);
  showToolbar(false);
}

void WwwBookmarkView::clickAddCurrent() {
  auto b = browser_.lock();
  if (!b) return;
  const std::string address = b->urlField->text();
  // The page's title is the name offered; the page answers when it can (the front end's page
  // later, or "" when it never does).
  std::weak_ptr<WwwBookmarkView> weak = sharedAs<WwwBookmarkView>();
  b->webView->evaluateJavaScript("document.title;", [weak, address](const std::string &title) {
    if (auto s = weak.lock()) s->promptForBookmark(address, title);
  });
}

void WwwBookmarkView::promptForBookmark(const std::string &address, const std::string &title) {
  std::weak_ptr<WwwBookmarkView> weak = sharedAs<WwwBookmarkView>();
  auto prompt = EditDataViewController::initWithTitle(
      "Add Bookmark", std::optional<std::string>(title), "New Bookmark:", "EditDataView",
      [weak, address](EditDataViewController &vc) {
        auto s = weak.lock();
        auto name = vc.textData ? vc.textData->text() : std::string();
        if (!s || name.empty()) return;
        const auto server = bookmarkServer(address);
        s->bookmarks_.push_back({{"URL", address}, {"Server", server}, {"Name", name}});
        s->saveData();
        globalUserDefaults->setObject(std::string("1"), "NeedIcon-" + server);
        if (auto icon = BrowserHistory::shared().favIconColor(server);
            icon && media::Image::imageWithData(*icon))
          globalUserDefaults->setObject(*icon, "icon-" + server);
        globalUserDefaults->synchronize();
        s->tableView_->reloadData();
      });
  prompt->spellChecker = true;
  prompt->allowCancel = true;
  prompt->extraMessage = address;
  if (auto nav = navigationController()) nav->pushViewController(prompt, true);
}

void WwwBookmarkView::clickAddFolder() {
  std::weak_ptr<WwwBookmarkView> weak = sharedAs<WwwBookmarkView>();
  auto prompt = EditDataViewController::initWithTitle(
      "Add Folder", std::optional<std::string>(""), "New Bookmark Folder:", "EditDataView",
      [weak](EditDataViewController &vc) {
        auto s = weak.lock();
        auto name = vc.textData ? vc.textData->text() : std::string();
        if (!s || name.empty()) return;
        const auto key = std::to_string(
            intValue(globalUserDefaults->stringForKey("WwwBookmarkKeys").value_or("0")) + 1);
        globalUserDefaults->setObject(key, "WwwBookmarkKeys");
        globalUserDefaults->synchronize();
        s->bookmarks_.insert(s->bookmarks_.begin(),
                             {{"Folder", "1"}, {"Name", name}, {"Key", key}});
        s->saveData();
        s->tableView_->reloadData();
      });
  prompt->spellChecker = true;
  prompt->allowCancel = true;
  if (auto nav = navigationController()) nav->pushViewController(prompt, true);
}

int WwwBookmarkView::numberOfRowsInSection(TableView &, int) {
  return int(bookmarks_.size());
}

std::shared_ptr<TableViewCell> WwwBookmarkView::cellForRowAtIndexPath(TableView &table,
                                                                      IndexPath ip) {
  auto &e = bookmarks_.at(size_t(ip.row));
  if (text(e, "Folder") == "1") {
    // A folder: its icon and its name alone, and the way into it.
    auto cell = siteCell(table, "Valtry_WwwBookmarks", true);
    auto content = cell->contentView();
    std::static_pointer_cast<ImageView>(content->viewWithTag(kSiteIconTag))
        ->setImageName(imageName(imageFolder));
    content->viewWithTag(kSiteNameTag)->setHidden(true);
    content->viewWithTag(kSiteAddressTag)->setHidden(true);
    auto folder = std::static_pointer_cast<Label>(content->viewWithTag(kFolderNameTag));
    folder->setText(text(e, "Name"));
    folder->setHidden(false);
    cell->setAccessibilityLabel(text(e, "Name"));
    cell->setAccessoryType(TableViewCellAccessoryType::DisclosureIndicator);
    return cell;
  }
  return siteRow(table, "Valtry_WwwBookmarks", text(e, "Name"), text(e, "Server"),
                 text(e, "Server"), true);
}

void WwwBookmarkView::commitEditingStyle(TableView &table, TableViewCellEditingStyle style,
                                         IndexPath ip) {
  if (style != TableViewCellEditingStyle::Delete || size_t(ip.row) >= bookmarks_.size()) return;
  bookmarks_.erase(bookmarks_.begin() + ip.row);
  table.deleteRowsAtIndexPaths({ip}, TableViewRowAnimation::Fade);
  saveData();
}

void WwwBookmarkView::moveRowAtIndexPath(TableView &, IndexPath from, IndexPath to) {
  if (size_t(from.row) >= bookmarks_.size() || size_t(to.row) >= bookmarks_.size()) return;
  auto entry = bookmarks_[size_t(from.row)];
  bookmarks_.erase(bookmarks_.begin() + from.row);
  bookmarks_.insert(bookmarks_.begin() + to.row, entry);
  saveData();
}

void WwwBookmarkView::didSelectRowAtIndexPath(TableView &table, IndexPath ip) {
  table.deselectRowAtIndexPath(ip, true);
  if (isEditing() || size_t(ip.row) >= bookmarks_.size()) return;
  auto e = bookmarks_[size_t(ip.row)];
  if (text(e, "Folder") == "1") {
    auto sub = std::make_shared<WwwBookmarkView>(text(e, "Key"), browser_);
    sub->setPopover(popover_);
    if (auto nav = navigationController()) nav->pushViewController(sub, true);
    return;
  }
  auto b = browser_.lock();
  if (text(e, "NewTab") == "1") {
    webServices().newValtryTab(text(e, "URL"));
  } else if (b) {
    b->urlField->setText(text(e, "URL"));
    b->textFieldShouldReturn(*b->urlField);
  }
  closeList();
}

void WwwBookmarkView::clickOK() {
  closeList();
}

void WwwBookmarkView::closeList() {
  if (auto p = popover()) {
    p->dismissPopoverAnimated(true);
    return;
  }
  // Back to the browser (the root of its own stack, or pushed on the Web View tab's).
  auto nav = navigationController();
  if (!nav) return;
  if (auto b = browser_.lock(); b && b->navigationController() == nav)
    nav->popToViewController(*b, true);
  else
    nav->popToRootViewControllerAnimated(true);
}
