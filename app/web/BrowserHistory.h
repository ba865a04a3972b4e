// The browser's process-wide history (every finished page, most recent first, and the searches
// typed, appended at the end), kept across restarts in the settings, and the site-icon caches.
// Pages are recorded and icons fetched on worker threads; every read and change of the shared
// lists goes through one lock.
#pragma once

#include "platform/ui/Table.h"
#include "platform/ui/ViewController.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct HistoryEntry {
  std::string url, name;
  bool operator==(const HistoryEntry &) const = default;
};

class BrowserHistory {
public:
  static constexpr size_t kMaxEntries = 250;
  static constexpr size_t kMaxShown = 25;
  static BrowserHistory &shared();

  // Reads "WebHistory" and "InHistory" once (the first browser does it).
  void loadIfNeeded();
  // Records a finished page (any thread); nothing when "History" is 0.
  void saveHistory(const HistoryEntry &entry);
  // A search typed into an address field: in memory until the next page is recorded.
  void appendSearch(const std::string &text);
  // The entries the search list shows for the text (first filling: `firstFilling`).
  std::vector<HistoryEntry> matching(const std::string &text, bool firstFilling) const;
  std::vector<HistoryEntry> entries() const;
  bool isInHistory(const std::string &url) const;

  std::optional<std::vector<uint8_t>> favIcon(const std::string &host) const;
  std::optional<std::vector<uint8_t>> favIconColor(const std::string &host) const;
  void setFavIcon(const std::string &host, std::vector<uint8_t> converted,
                  std::vector<uint8_t> asFetched);
  // Tests: as if no browser had run in this process.
  void forget();

private:
  mutable std::mutex mutex_;
  bool loaded_ = false;
  std::vector<HistoryEntry> list_;
  std::map<std::string, std::string> inHistory_;
  std::map<std::string, std::vector<uint8_t>> favIcon_, favIconColor_;
};

// The favicon service asked when a site offers no icon of its own: the "FavIconService" setting
// when set, else the public one.
std::string favIconServiceAddress();
// The tab icon made of a site icon: drawn at 24 by 24, each pixel's alpha scaled by its
// brightness and its colour with it, so the pixels stay valid premultiplied ones. Null when the
// data is no picture.
std::optional<std::vector<uint8_t>> tabIconFromSiteIcon(const std::vector<uint8_t> &icon);
// Fetches a site's icon (worker thread): the page's icon link, the site's apple-touch-icon, then
// the favicon service; the first that decodes. Stores it as the caches and the need-icon setting
// say, and answers the converted tab icon (empty when there is none). `port`: the site's own, when
// the page named one.
std::vector<uint8_t> getFavIconOnThread(const std::string &host, const std::string &appleIcon,
                                        int port = 0);

// The history list shown under the address field while it is edited.
class MySearchView : public platform::ui::ViewController,
                     public platform::ui::TableViewDataSource,
                     public platform::ui::TableViewDelegate {
public:
  MySearchView() : ViewController("MySearchView") {}
  void setTarget(std::function<void(const HistoryEntry &)> pick) { pick_ = std::move(pick); }
  void changedSearchText(const std::string &text);
  const std::vector<HistoryEntry> &searched() const { return searched_; }
  void loadView() override;

  int numberOfRowsInSection(platform::ui::TableView &, int) override;
  std::shared_ptr<platform::ui::TableViewCell>
  cellForRowAtIndexPath(platform::ui::TableView &, platform::ui::IndexPath) override;
  void didSelectRowAtIndexPath(platform::ui::TableView &, platform::ui::IndexPath) override;

private:
  std::shared_ptr<platform::ui::TableView> tableView_;
  std::vector<HistoryEntry> searched_;
  std::function<void(const HistoryEntry &)> pick_;
  bool loaded_ = false;
};

// The views of a bookmark or history row, by tag: the site's icon, its name and its address;
// a bookmark list's rows also have a folder's name, shown alone on a folder's row.
constexpr int kSiteIconTag = 1, kSiteNameTag = 2, kSiteAddressTag = 3, kFolderNameTag = 4;
// A row cell of that identifier, made with those views when none is there to reuse.
std::shared_ptr<platform::ui::TableViewCell>
siteCell(platform::ui::TableView &table, const std::string &identifier, bool withFolderName);
// The row of a bookmark or history entry: the site's stored icon, the name and the address.
std::shared_ptr<platform::ui::TableViewCell>
siteRow(platform::ui::TableView &table, const std::string &identifier, const std::string &name,
        const std::string &detail, const std::string &host, bool withFolderName = false);
