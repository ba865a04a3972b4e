// One folder of the browser's web bookmarks: bookmarks and sub-folders in the user's order, with
// commands to add the current page, add a folder, reorder and delete. Each folder is an array in
// the settings ("WwwBookmarks-" and the folder key; the top folder's key is empty).
#pragma once

#include "platform/foundation/UserDefaults.h"
#include "platform/ui/Controls.h"
#include "platform/ui/Presentation.h"
#include "platform/ui/Table.h"
#include "platform/ui/ViewController.h"

#include <memory>
#include <string>
#include <vector>

class ValtryWebBrowserView;

class WwwBookmarkView : public platform::ui::ViewController,
                        public platform::ui::TableViewDataSource,
                        public platform::ui::TableViewDelegate {
public:
  using Entry = platform::DefaultsValue::Dictionary;
  WwwBookmarkView(const std::string &folderKey, std::weak_ptr<ValtryWebBrowserView> browser);

  std::shared_ptr<platform::ui::PopoverController> popover() const { return popover_.lock(); }
  void setPopover(std::weak_ptr<platform::ui::PopoverController> p) { popover_ = std::move(p); }
  const std::vector<Entry> &bookmarks() const { return bookmarks_; }

  void clickOK();
  void clickEdit();
  void clickDone();
  void clickAddCurrent();
  void clickAddFolder();
  void saveData();

  void loadView() override;
  void viewDidLoad() override;
  bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation) override {
    return true;
  }
  int numberOfRowsInSection(platform::ui::TableView &, int) override;
  std::shared_ptr<platform::ui::TableViewCell>
  cellForRowAtIndexPath(platform::ui::TableView &, platform::ui::IndexPath) override;
  bool canMoveRowAtIndexPath(platform::ui::TableView &, platform::ui::IndexPath) override {
    return true;
  }
  void commitEditingStyle(platform::ui::TableView &, platform::ui::TableViewCellEditingStyle,
                          platform::ui::IndexPath) override;
  void moveRowAtIndexPath(platform::ui::TableView &, platform::ui::IndexPath,
                          platform::ui::IndexPath) override;
  void didSelectRowAtIndexPath(platform::ui::TableView &, platform::ui::IndexPath) override;

private:
  void closeList();
  void showToolbar(bool editing);
  // Asks for the new bookmark's name (the page's title offered) and adds it.
  void promptForBookmark(const std::string &address, const std::string &title);
  std::string folderKey_, bookmarkKey_;
  bool isRoot_;
  std::vector<Entry> bookmarks_;
  std::weak_ptr<ValtryWebBrowserView> browser_;
  std::weak_ptr<platform::ui::PopoverController> popover_;
  std::shared_ptr<platform::ui::TableView> tableView_;
  std::shared_ptr<platform::ui::Toolbar> bottomToolbar_;
  std::shared_ptr<platform::ui::BarButtonItem> addCurrentPageButton_, newFolderButton_, separator_,
      editButton_, doneEditButton_;
};

// The host a bookmark's address names (after "http://" is put in front of a bare address).
std::string bookmarkServer(const std::string &url);
