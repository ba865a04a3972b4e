// A settings screen built from row descriptions rather than an interface of its own: the caller
// adds sections and rows (SettingsItem, made by the factories below), sets a title and how the
// screen closes, and shows it. Every editable row is bound to a settings key: it shows the key's
// value and writes each change straight back (synchronised), so the caller reads the results
// from the settings once the screen has closed. The image editor's caption and save dialogs are
// made with it.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/foundation/EditDataViewController.h"
#include "platform/ui/Presentation.h"
#include "platform/ui/Table.h"
#include "platform/ui/ViewController.h"

class SettingsManagerView;

// Layout shared by every settings screen of the process; set whenever one is made (a caller may
// change them after making its screen).
extern double settingRowWidth;      // 300
extern double settingLabelWidth;    // 170
extern double settingPopoverHeight; // 436

class SettingsItem {
public:
  enum Type {
    kSwitch = 1,
    kText = 2,
    kPassword = 3,
    kList = 4,
    kInfoURL = 5,
    kInfoLabel = 6,
    kSlider = 7,
    kButton = 8,
    kColorList = 9,
    kPushView = 10,
    kImage = 11,
    kLongLabel = 12
  };
  using ScreenCallback = std::function<void(SettingsManagerView &)>;

  static std::shared_ptr<SettingsItem> settingSwitchNamed(const std::string &name,
                                                          const std::string &registry,
                                                          ScreenCallback selectorChange = {});
  static std::shared_ptr<SettingsItem> settingTextNamed(const std::string &name,
                                                        const std::string &registry);
  static std::shared_ptr<SettingsItem> settingPasswordNamed(const std::string &name,
                                                            const std::string &registry);
  static std::shared_ptr<SettingsItem> settingListNamed(const std::string &name,
                                                        std::vector<std::string> items,
                                                        bool indexed, const std::string &registry);
  static std::shared_ptr<SettingsItem>
  settingInfoURLNamed(const std::string &name, const std::string &title, const std::string &url);
  static std::shared_ptr<SettingsItem>
  settingInfoLabelNamed(const std::string &name, const std::string &label,
                        std::function<void(platform::ui::Label &)> labelSetup = {});
  static std::shared_ptr<SettingsItem> settingSliderNamed(const std::string &name,
                                                          const std::string &registry,
                                                          double minValue, double maxValue,
                                                          ScreenCallback slideSelector = {});
  static std::shared_ptr<SettingsItem> settingButtonNamed(const std::string &name,
                                                          const std::string &buttonTitle,
                                                          std::function<void()> selectorClick);
  static std::shared_ptr<SettingsItem>
  settingColorListNamed(const std::string &name, std::vector<platform::ui::Color> colors,
                        bool indexed, const std::string &registry);
  static std::shared_ptr<SettingsItem>
  settingPushViewLabel(const std::string &label, std::shared_ptr<platform::ui::ViewController> vc,
                       std::function<void(platform::ui::Label &)> labelSetup = {});
  static std::shared_ptr<SettingsItem> settingImage(const std::string &imageName);
  static std::shared_ptr<SettingsItem> settingLongLabel(const std::string &text);

  int type = 0;
  std::string description, label, registeredName, showURL, showURLTitle;
  std::vector<EditDataItem> listItems;
  bool indexed = false;
  double minValue = 0, maxValue = 1;
  std::shared_ptr<platform::ui::Switch> yesnoSwitch;
  std::shared_ptr<platform::ui::Slider> slider;
  std::shared_ptr<platform::ui::ImageView> imgView;
  std::shared_ptr<platform::ui::SegmentedControl> fakedButton;
  std::shared_ptr<platform::ui::ViewController> pushVC;
  ScreenCallback changeCallback;                                 // switch and slider rows
  std::function<void()> clickCallback;                           // button rows
  std::function<void(platform::ui::Label &)> setupLabelCallback; // info-label rows
};

class SettingsManagerView : public platform::ui::ViewController,
                            public platform::ui::TableViewDataSource,
                            public platform::ui::TableViewDelegate {
public:
  static constexpr const char *kCellIdentifier = "SettingsManagerViewTable";
  // Address prefixes fetched (redirects followed) and opened outside the application rather
  // than shown in the help screen; none are configured.
  static const std::vector<std::string> &affiliatePrefixes();

  explicit SettingsManagerView(const std::string &nibName);

  void addSection(const std::string &title);
  // Appends to the last section; a row added before any section is dropped.
  void addSetting(std::shared_ptr<SettingsItem> item);
  void whenDoneTarget(std::function<void(SettingsManagerView &)> done) {
    doneTarget_ = std::move(done);
  }
  void setSectionTitleColor(platform::ui::Color color);
  void setBackground(const std::string &imageName, platform::ui::Point offset);
  void setCenteredBackground(const std::string &imageName);
  void refresh();
  void clickDone();
  void clickCancel();

  // The row at an index path; none outside the rows (the two closing sections have none).
  std::shared_ptr<SettingsItem> itemAt(platform::ui::IndexPath ip) const;
  std::shared_ptr<platform::ui::TableView> tableView() const { return tableView_; }
  bool closed() const { return closed_; }

  std::string titleMsg, doneBtnTitle;
  bool isModal = false, includeCancel = false, isPushedOnNavigation = false;
  std::weak_ptr<platform::ui::PopoverController> popoverParent;
  std::weak_ptr<platform::ui::ViewController> vcParentDone, vcParentCancel;

  void loadView() override;
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  void viewDidDisappear(bool animated) override;
  bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation o) override;

  int numberOfSectionsInTableView(platform::ui::TableView &) override;
  int numberOfRowsInSection(platform::ui::TableView &, int section) override;
  std::string titleForHeaderInSection(platform::ui::TableView &, int section) override;
  std::shared_ptr<platform::ui::TableViewCell>
  cellForRowAtIndexPath(platform::ui::TableView &table, platform::ui::IndexPath ip) override;
  double heightForRowAtIndexPath(platform::ui::TableView &, platform::ui::IndexPath ip) override;
  double heightForFooterInSection(platform::ui::TableView &, int) override { return 10; }
  std::shared_ptr<platform::ui::View> viewForHeaderInSection(platform::ui::TableView &,
                                                             int section) override;
  std::optional<platform::ui::TableViewCellAccessoryType>
  accessoryTypeForRowWithIndexPath(platform::ui::TableView &, platform::ui::IndexPath ip) override;
  std::optional<platform::ui::IndexPath>
  willSelectRowAtIndexPath(platform::ui::TableView &, platform::ui::IndexPath ip) override;
  void didSelectRowAtIndexPath(platform::ui::TableView &table, platform::ui::IndexPath ip) override;

private:
  void close(bool done);
  void push(std::shared_ptr<platform::ui::ViewController> vc);
  void changedTextValue(EditDataViewController &editor);
  void changedListValue(EditDataViewController &editor);
  void changedSwitchValue(platform::ui::Switch &sw);
  void changedSliderValue(platform::ui::Slider &slider);
  void store(const std::string &key, const std::string &value, bool reload);

  std::shared_ptr<platform::ui::TableView> tableView_;
  std::vector<std::vector<std::shared_ptr<SettingsItem>>> sectionData_;
  std::vector<std::string> sectionNames_;
  bool useCustomSections_ = false, closed_ = false;
  platform::ui::Color sectionTextColor_;
  std::function<void(SettingsManagerView &)> doneTarget_;
  std::optional<platform::ui::IndexPath> editing_; // the row whose editor is open
  std::shared_ptr<platform::ui::ImageView> background_;
};
