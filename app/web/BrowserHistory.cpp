#include "app/web/BrowserHistory.h"

#include "app/foundation/Globals.h"
#include "app/web/WebAddress.h"
#include "app/web/WebPageEngine.h"

#include "platform/foundation/Text.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/media/BitmapContext.h"
#include "platform/media/Image.h"

using namespace platform;
using namespace platform::ui;
using Value = UserDefaults::Value;

namespace {

constexpr size_t kMaxIconBytes = 512 * 1024;
constexpr double kIconTimeoutSeconds = 10;

bool historyOn() {
  return globalUserDefaults->integerForKey("History") != 0;
}

std::string field(const Value::Dictionary &d, const char *key) {
  auto it = d.find(key);
  return it != d.end() && it->second.string() ? *it->second.string() : std::string();
}

} // namespace

BrowserHistory &BrowserHistory::shared() {
  static BrowserHistory history;
  return history;
}

void BrowserHistory::loadIfNeeded() {
  std::lock_guard lock(mutex_);
  if (loaded_) return;
  loaded_ = true;
  auto stored = globalUserDefaults->arrayForKey("WebHistory");
  if (!stored) return;
  for (auto &v : *stored)
    if (auto d = v.dictionary()) list_.push_back({field(*d, "URL"), field(*d, "Name")});
  if (auto map = globalUserDefaults->objectForKey("InHistory"); map && map->dictionary())
    for (auto &[url, one] : *map->dictionary())
      inHistory_[url] = one.string() ? *one.string() : "1";
}

void BrowserHistory::saveHistory(const HistoryEntry &entry) {
  if (!historyOn()) return;
  std::lock_guard lock(mutex_);
  if (inHistory_.count(entry.url)) {
    auto it = std::find_if(list_.begin(), list_.end(),
                           [&](const HistoryEntry &e) { return e.url == entry.url; });
    if (it != list_.end()) std::rotate(list_.begin(), it, it + 1);
  } else {
    list_.insert(list_.begin(), entry);
    inHistory_[entry.url] = "1";
  }
  if (list_.size() > kMaxEntries) {
    inHistory_.erase(list_.back().url);
    list_.pop_back();
  }
  Value::Array array;
  for (auto &e : list_)
    array.push_back(Value::Dictionary{{"URL", e.url}, {"Name", e.name}});
  Value::Dictionary map;
  for (auto &[url, one] : inHistory_)
    map[url] = one;
  globalUserDefaults->setObject(array, "WebHistory");
  globalUserDefaults->setObject(map, "InHistory");
  globalUserDefaults->synchronize();
}

void BrowserHistory::appendSearch(const std::string &text) {
  std::lock_guard lock(mutex_);
  list_.push_back({text, text});
}

std::vector<HistoryEntry> BrowserHistory::matching(const std::string &text,
                                                   bool firstFilling) const {
  std::lock_guard lock(mutex_);
  std::vector<HistoryEntry> out;
  if (!text.empty())
    for (auto &e : list_) {
      if (out.size() >= kMaxShown) break;
      if ((containsCaseInsensitive(e.url, text) || containsCaseInsensitive(e.name, text)) &&
          !e.name.empty())
        out.push_back(e);
    }
  if (text.empty() || (firstFilling && out.empty())) {
    out.clear();
    for (auto &e : list_) {
      if (out.size() >= kMaxShown) break;
      if (!e.name.empty()) out.push_back(e);
    }
  }
  return out;
}

std::vector<HistoryEntry> BrowserHistory::entries() const {
  std::lock_guard lock(mutex_);
  return list_;
}

bool BrowserHistory::isInHistory(const std::string &url) const {
  std::lock_guard lock(mutex_);
  return inHistory_.count(url) > 0;
}

std::optional<std::vector<uint8_t>> BrowserHistory::favIcon(const std::string &host) const {
  std::lock_guard lock(mutex_);
  auto it = favIcon_.find(host);
  return it == favIcon_.end() ? std::nullopt : std::optional(it->second);
}

std::optional<std::vector<uint8_t>> BrowserHistory::favIconColor(const std::string &host) const {
  std::lock_guard lock(mutex_);
  auto it = favIconColor_.find(host);
  return it == favIconColor_.end() ? std::nullopt : std::optional(it->second);
}

void BrowserHistory::setFavIcon(const std::string &host, std::vector<uint8_t> converted,
                                std::vector<uint8_t> asFetched) {
  std::lock_guard lock(mutex_);
  favIcon_[host] = std::move(converted);
  favIconColor_[host] = std::move(asFetched);
}

void BrowserHistory::forget() {
  std::lock_guard lock(mutex_);
  loaded_ = false;
  list_.clear();
  inHistory_.clear();
  favIcon_.clear();
  favIconColor_.clear();
}

std::string favIconServiceAddress() {
  auto own = globalUserDefaults->stringForKey("FavIconService");
  return own && !own->empty() ? *own : "http://g.etfv.co";
}

std::optional<std::vector<uint8_t>> tabIconFromSiteIcon(const std::vector<uint8_t> &icon) {
  auto image = media::Image::imageWithData(icon);
  auto ctx = image ? media::BitmapContext::create(24, 24) : nullptr;
  if (!ctx) return std::nullopt;
  ctx->drawImage(*image, {0, 0, 24, 24});
  auto *px = reinterpret_cast<uint32_t *>(ctx->data());
  for (int i = 0; i < 24 * 24; ++i) {
    uint32_t p = px[i];
    uint32_t a = p >> 24, r = (p >> 16) & 0xff, g = (p >> 8) & 0xff, b = p & 0xff;
    if (a == 0) continue;
    uint32_t na = a * ((r + g + b) / 3) / 255;
    // Premultiplied colour never exceeds its alpha: it shrinks with the new alpha.
    auto scale = [&](uint32_t c) { return a ? c * na / a : 0; };
    px[i] = (na << 24) | (scale(r) << 16) | (scale(g) << 8) | scale(b);
  }
  auto out = media::Image::fromPixels(24, 24, ctx->data(), size_t(ctx->bytesPerRow()));
  if (!out) return std::nullopt;
  return out->pngRepresentation();
}

std::vector<uint8_t> getFavIconOnThread(const std::string &host, const std::string &appleIcon,
                                        int port) {
  const std::string site = host + (port ? ":" + std::to_string(port) : std::string());
  auto &history = BrowserHistory::shared();
  if (auto cached = history.favIcon(host)) return *cached;
  std::string data;
  if (hasPrefixCaseInsensitive(appleIcon, "http"))
    data = fetchBounded(appleIcon, kMaxIconBytes, kIconTimeoutSeconds);
  if (data.empty())
    data = fetchBounded("http://" + site + "/apple-touch-icon.png", kMaxIconBytes,
                        kIconTimeoutSeconds);
  if (data.empty())
    data = fetchBounded(favIconServiceAddress() + "/http://" + site + "?defaulticon=none",
                        kMaxIconBytes, kIconTimeoutSeconds);
  std::vector<uint8_t> bytes(data.begin(), data.end());
  auto image = bytes.empty() ? nullptr : media::Image::imageWithData(bytes);
  if (!image) return {};
  auto png = image->pngRepresentation();
  if (globalUserDefaults->integerForKey("NeedIcon-" + host) == 1) {
    globalUserDefaults->setObject(png, "icon-" + host);
    globalUserDefaults->synchronize();
  }
  auto converted = tabIconFromSiteIcon(bytes);
  if (!converted) return {};
  history.setFavIcon(host, *converted, png);
  return *converted;
}

std::shared_ptr<TableViewCell> siteCell(TableView &table, const std::string &identifier,
                                        bool withFolderName) {
  if (auto cell = table.dequeueReusableCellWithIdentifier(identifier)) return cell;
  auto cell = std::make_shared<TableViewCell>(TableViewCellStyle::Default, identifier);
  auto icon = std::make_shared<ImageView>(Rect(10, 10, 24, 24));
  icon->setTag(kSiteIconTag);
  // The texts narrow with the row when it is edited (its delete and move controls take room).
  auto name = std::make_shared<Label>(Rect(40, 0, 260, 32));
  name->setTag(kSiteNameTag);
  name->setAutoresizingMask(FlexibleWidth);
  name->setFont(Font::boldSystem(16));
  name->setAdjustsFontSizeToFitWidth(true);
  name->setMinimumFontSize(12);
  name->setTextAlignment(TextAlignment::Left);
  name->setTextColor(Color::blackColor());
  name->setHighlightedTextColor(Color::whiteColor());
  auto address = std::make_shared<Label>(Rect(40, 26, 260, 12));
  address->setTag(kSiteAddressTag);
  address->setAutoresizingMask(FlexibleWidth);
  address->setFont(Font::system(11));
  address->setTextColor(Color::grayColor());
  address->setHighlightedTextColor(Color::whiteColor());
  for (auto &v : std::initializer_list<std::shared_ptr<View>>{icon, name, address})
    cell->contentView()->addSubview(v);
  if (withFolderName) {
    auto folder = std::make_shared<Label>(Rect(40, 0, 260, 44));
    folder->setTag(kFolderNameTag);
    folder->setAutoresizingMask(FlexibleWidth);
    folder->setFont(Font::system(18));
    cell->contentView()->addSubview(folder);
  }
  return cell;
}

std::shared_ptr<TableViewCell> siteRow(TableView &table, const std::string &identifier,
                                       const std::string &name, const std::string &detail,
                                       const std::string &host, bool withFolderName) {
  auto cell = siteCell(table, identifier, withFolderName);
  auto content = cell->contentView();
  std::string image = "bookmark24.png";
  if (auto data = globalUserDefaults->dataForKey("icon-" + host)) {
    if (auto decoded = media::Image::imageWithData(*data)) {
      image = "site-icon-" + host;
      media::ImageRegistry::shared().registerImage(image, decoded);
    }
  }
  std::static_pointer_cast<ImageView>(content->viewWithTag(kSiteIconTag))->setImageName(image);
  auto nameLabel = std::static_pointer_cast<Label>(content->viewWithTag(kSiteNameTag));
  auto addressLabel = std::static_pointer_cast<Label>(content->viewWithTag(kSiteAddressTag));
  nameLabel->setText(name);
  nameLabel->setHidden(false);
  addressLabel->setText(detail);
  addressLabel->setHidden(false);
  if (auto folder = content->viewWithTag(kFolderNameTag)) folder->setHidden(true);
  cell->setAccessibilityLabel(name);
  cell->setAccessoryType(TableViewCellAccessoryType::None);
  return cell;
}

void MySearchView::loadView() {
  tableView_ = std::make_shared<TableView>(TableViewStyle::Plain, Rect(0, 0, 320, 220));
  tableView_->setDataSource(sharedAs<MySearchView>());
  tableView_->setDelegate(sharedAs<MySearchView>());
  setView(tableView_);
}

void MySearchView::changedSearchText(const std::string &text) {
  searched_ = BrowserHistory::shared().matching(text, !loaded_);
  loaded_ = true;
  view();
  tableView_->reloadData();
}

int MySearchView::numberOfRowsInSection(TableView &, int) {
  return int(searched_.size());
}

std::shared_ptr<TableViewCell> MySearchView::cellForRowAtIndexPath(TableView &table, IndexPath ip) {
  auto &e = searched_.at(size_t(ip.row));
  return siteRow(table, "Valtry_SearchViewCell", e.name, e.url,
                 WebAddress::parse(addressOrSearch(e.url)).host);
}

void MySearchView::didSelectRowAtIndexPath(TableView &table, IndexPath ip) {
  table.deselectRowAtIndexPath(ip, true);
  if (size_t(ip.row) < searched_.size() && pick_) pick_(searched_[size_t(ip.row)]);
}
