#include "app/remote/Bookmarks.h"

#include "app/foundation/Database.h"
#include "app/foundation/EditDataViewController.h"
#include "app/foundation/Globals.h"
#include "app/foundation/RemoteOrigin.h"
#include "app/foundation/Scrambler.h"
#include "app/foundation/SettingsKeys.h"

#include <sqlite3.h>

using namespace platform;
using namespace platform::ui;

namespace {
constexpr const char *kCellIdentifier = "BookmarkEditTable";
constexpr int kValueTag = 2;

UserDefaults &settings() {
  return globalUserDefaults ? *globalUserDefaults : UserDefaults::standard();
}
} // namespace

BookmarkEditViewController::BookmarkEditViewController(const std::string &nibName)
    : ViewController(nibName) {}

std::shared_ptr<BookmarkEditViewController>
BookmarkEditViewController::initWithNibName(const std::string &nibName) {
  return std::make_shared<BookmarkEditViewController>(nibName);
}

void BookmarkEditViewController::loadView() {
  tableView_ = std::make_shared<TableView>(TableViewStyle::Grouped, Rect(0, 0, 320, 416));
  setView(tableView_);
}

void BookmarkEditViewController::viewDidLoad() {
  if (name.empty()) name = server.empty() ? "Bookmark" : server;
  auto self = sharedAs<BookmarkEditViewController>();
  tableView_->setDataSource(std::static_pointer_cast<TableViewDataSource>(self));
  tableView_->setDelegate(std::static_pointer_cast<TableViewDelegate>(self));
  tableView_->setSectionFooterHeight(6);
  setTitle(name);
}

void BookmarkEditViewController::viewWillDisappear(bool) {
  if (dirty_ && targetDone_) targetDone_(*this);
  dirty_ = false;
}

void BookmarkEditViewController::layoutSections() {
  if (settings().integerForKey(kWebPreviewTabKey) == 1) {
    webIndex_ = 1;
    folderIndex_ = 2;
  } else {
    webIndex_ = -1;
    folderIndex_ = 1;
  }
}

int BookmarkEditViewController::numberOfSectionsInTableView(TableView &) {
  layoutSections();
  if (server.empty()) return 1;
  return webIndex_ == 1 ? 3 : 2;
}

int BookmarkEditViewController::numberOfRowsInSection(TableView &, int section) {
  if (section != 0) return 1;
  if (server.empty()) return 1;
  return settings().integerForKey(kSavePasswordsKey) == 1 ? 5 : 4;
}

std::shared_ptr<TableViewCell> BookmarkEditViewController::cellForRowAtIndexPath(TableView &table,
                                                                                 IndexPath ip) {
  auto cell = table.dequeueReusableCellWithIdentifier(kCellIdentifier);
  if (!cell) {
    cell = std::make_shared<TableViewCell>(TableViewCellStyle::Default, kCellIdentifier);
    auto value = std::make_shared<Label>(Rect(110, 10, 180, 24));
    value->setTag(kValueTag);
    value->setFont(Font::boldSystem(16));
    cell->contentView()->addSubview(value);
    cell->textLabel()->setFont(Font::system(12));
    cell->textLabel()->setTextColor(Color::grayColor());
    cell->textLabel()->setNumberOfLines(2);
  }
  std::string label, value;
  if (ip.section == 0) {
    switch (ip.row) {
    case 0:
      label = "Name", value = name;
      break;
    case 1:
      label = "Protocol", value = protocol;
      break;
    case 2:
      label = "Server", value = server;
      break;
    case 3:
      label = "User Name", value = username;
      break;
    default:
      label = "Password", value = password.empty() ? "" : "********";
      break;
    }
  } else if (ip.section == webIndex_) {
    label = "Open URL\nIn Web Tab", value = weburl;
  } else {
    label = "Folder", value = getBookmarkName(parentKey);
  }
  cell->textLabel()->setText(label);
  cell->setAccessibilityLabel(label);
  std::static_pointer_cast<Label>(cell->contentView()->viewWithTag(kValueTag))->setText(value);
  return cell;
}

void BookmarkEditViewController::changed() {
  dirty_ = true;
  if (tableView_) tableView_->reloadData();
}

void BookmarkEditViewController::changedText(std::string &field, const std::string &text) {
  if (text == field) return;
  field = text;
  changed();
}

void BookmarkEditViewController::changedName(EditDataViewController &edit) {
  changedText(name, edit.textData->text());
}

void BookmarkEditViewController::changedProtocol(EditDataViewController &edit) {
  const std::string word = edit.rowSelected == 2 ? "sftp" : edit.rowSelected == 1 ? "ftps" : "ftp";
  if (word == protocol) return;
  protocol = word;
  changed();
}

void BookmarkEditViewController::changedServer(EditDataViewController &edit) {
  const std::string text = edit.textData->text();
  // A port out of range is not kept: the bookmark keeps the server it had.
  if (ServerText::parse(text).portRefused) {
    std::make_shared<AlertView>("Server Format Error", kPortRangeMessage,
                                std::weak_ptr<AlertViewDelegate>(), "OK")
        ->show();
    return;
  }
  changedText(server, text);
}

void BookmarkEditViewController::changedUsername(EditDataViewController &edit) {
  changedText(username, edit.textData->text());
}

void BookmarkEditViewController::changedPassword(EditDataViewController &edit) {
  password = myEncryptString1(edit.textData->text());
  changed();
}

void BookmarkEditViewController::changedWebURL(EditDataViewController &edit) {
  changedText(weburl, edit.textData->text());
}

void BookmarkEditViewController::changedFolder(EditDataViewController &edit) {
  if (edit.rowSelected < 0 || size_t(edit.rowSelected) >= folders_.size()) return;
  parentKey = folders_[size_t(edit.rowSelected)].primaryKey;
  changed();
}

void BookmarkEditViewController::didSelectRowAtIndexPath(TableView &table, IndexPath ip) {
  table.deselectRowAtIndexPath(ip, true);
  std::weak_ptr<BookmarkEditViewController> weak = sharedAs<BookmarkEditViewController>();
  // The edit screen's answer goes to this editor's handler for the value.
  auto to = [weak](void (BookmarkEditViewController::*handler)(EditDataViewController &)) {
    return [weak, handler](EditDataViewController &e) {
      if (auto s = weak.lock()) ((*s).*handler)(e);
    };
  };
  std::shared_ptr<EditDataViewController> edit;
  auto text = [&](const std::string &title, const std::string &value,
                  EditDataViewController::Callback cb) {
    edit = EditDataViewController::initWithTitle(title, value, title, "EditDataView", cb);
  };
  if (ip.section == 0) {
    switch (ip.row) {
    case 0:
      text(server.empty() ? "Folder Name" : "Bookmark Name", name,
           to(&BookmarkEditViewController::changedName));
      edit->allowBlankText = false;
      break;
    case 1:
      edit = EditDataViewController::initWithTitle(
          "Protocol", std::vector<EditDataItem>{"FTP", "FTPS", "SFTP"},
          protocol == "ftps"   ? 1
          : protocol == "sftp" ? 2
                               : 0,
          "Protocol Type", "EditDataView", to(&BookmarkEditViewController::changedProtocol));
      edit->tableItemsAreStrings = true;
      break;
    case 2:
      text("FTP Server", server, to(&BookmarkEditViewController::changedServer));
      edit->allowBlankText = false;
      edit->urlEntry = true;
      break;
    case 3:
      text("User Name", username, to(&BookmarkEditViewController::changedUsername));
      break;
    default:
      text("Password", myDecryptString1(password),
           to(&BookmarkEditViewController::changedPassword));
      edit->hideText = true;
      break;
    }
  } else if (ip.section == webIndex_) {
    edit = EditDataViewController::initWithTitle("Open URL", weburl, "Open URL In Web View Tab",
                                                 "EditDataView",
                                                 to(&BookmarkEditViewController::changedWebURL));
    edit->urlEntry = true;
  } else {
    folders_.clear();
    MyBookmark top;
    top.name = "Bookmarks";
    folders_.push_back(top);
    sqlite3 *db = OpenDatabase();
    getBookmarkFolders(db, folders_, 1, 0);
    if (db) sqlite3_close(db);
    int start = 0;
    std::vector<EditDataItem> items;
    for (size_t i = 0; i < folders_.size(); ++i) {
      items.emplace_back(folders_[i].name);
      if (folders_[i].primaryKey == parentKey) start = int(i);
    }
    edit = EditDataViewController::initWithTitle("Bookmark Folder", items, start, "Bookmark Folder",
                                                 "EditDataView",
                                                 to(&BookmarkEditViewController::changedFolder));
  }
  if (auto nav = navigationController()) nav->pushViewController(edit, true);
}
