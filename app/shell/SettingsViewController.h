// The Settings tab: every user-changeable option as one grouped table of nine sections. Switches
// sit inside their rows; choices and texts open the edit-one-value screen, whose callback stores
// the value. Every handler writes its key and synchronizes at once. The sharing section starts
// and stops the servers and shows their addresses; the security section reaches the passcode.
#pragma once

#include "platform/ui/Table.h"
#include "platform/ui/ViewController.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class EditDataViewController;
namespace platform {
struct DeviceProfile;
}

class SettingsViewController : public platform::ui::ViewController,
                               public platform::ui::TableViewDataSource,
                               public platform::ui::TableViewDelegate {
public:
  static constexpr const char *kCellIdentifier = "SettingsViewTable";
  explicit SettingsViewController(const std::string &nibName = "SettingsView");

  // The text encodings of the editor, the FTP and the SFTP listings (index <-> stored code).
  static const std::vector<std::string> &encodingDataItems();
  static int encodingToSelected(int code); // 0 for a code not in the table
  static int selectedToEncodingCode(int index);
  static std::string selectedToDisplayEncoding(int code); // "" for a code not in the table

  // The second address line of a sharing server ("" when the Bonjour name is unusable).
  static std::string plusBonjour(int port);
  static std::string plusBonjourText(int port);

  void reloadTableView();
  void clickedLog();
  void showHelp(const std::string &anchor);
  // The sections' help buttons, in section order.
  void clickFtpSettingsHelp() { showHelp("ftp"); }
  void clickEditorHelp() { showHelp("editor"); }
  void clickSharingHelp() { showHelp("sharing"); }
  void clickSecurityHelp() { showHelp("security"); }
  void clickProgramHelp() { showHelp("program"); }
  void clickFTPProtocolHelp() { showHelp("protocol"); }
  void clickSFTPProtocolHelp() { showHelp("sftpprotocol"); }

  // Handlers: switches.
  void changedAutoSaveAllFiles(bool on);
  void changedOverwriteSaved(bool on);
  void changedShowHiddenFiles(bool on);
  void changedUploadToTempName(bool on);
  void changedDeleteDotOldFiles(bool on);
  void changedSpellChecker(bool on);
  void changedWebKeyboard(bool on);
  void changedWebServerEnabled(bool on);
  void changedFTPServerEnabled(bool on);
  void changedSavePasswords(bool on);
  void changedBookmarksAutoOpen(bool on);
  void changedIncludeEmailMsg(bool on);
  void changedUsePASV(bool on);
  void changedModeZ(bool on);
  void changedForceUnicode(bool on);
  void changedNoFEATures(bool on);
  void changedRawMenuOption(bool on);
  void changedUseSFTPV3(bool on);
  // Handlers: the edit screen is done.
  void changedFolderExtra(EditDataViewController &e);
  void changedDefaultFolder(EditDataViewController &e);
  void changedDefaultEncoding(EditDataViewController &e);
  void changedCarriageControl(EditDataViewController &e);
  void changedDefaultFont(EditDataViewController &e);
  void changedDefaultFontSize(EditDataViewController &e);
  void changedUsername(EditDataViewController &e);
  void changedPassword(EditDataViewController &e);
  void changedActiveServerMinutes(EditDataViewController &e);
  void changedVideoQuality(EditDataViewController &e);
  void changedFolderEncoding(EditDataViewController &e);
  void changedSFTPFolderEncoding(EditDataViewController &e);

  bool canEmailFiles() const { return canEmailFiles_; }
  bool showVideoQuality() const { return showVideoQuality_; }
  std::shared_ptr<platform::ui::TableView> tableView() const { return tableView_; }

  void loadView() override;
  void viewDidLoad() override;
  void viewWillAppear(bool animated) override;
  void viewDidAppear(bool animated) override;
  void viewWillDisappear(bool animated) override;
  bool shouldAutorotateToInterfaceOrientation(platform::ui::InterfaceOrientation o) override;

  int numberOfSectionsInTableView(platform::ui::TableView &) override { return 9; }
  int numberOfRowsInSection(platform::ui::TableView &, int section) override;
  std::shared_ptr<platform::ui::TableViewCell>
  cellForRowAtIndexPath(platform::ui::TableView &table, platform::ui::IndexPath ip) override;
  double heightForRowAtIndexPath(platform::ui::TableView &, platform::ui::IndexPath) override {
    return 44;
  }
  std::shared_ptr<platform::ui::View> viewForHeaderInSection(platform::ui::TableView &,
                                                             int section) override;
  std::optional<platform::ui::TableViewCellAccessoryType>
  accessoryTypeForRowWithIndexPath(platform::ui::TableView &, platform::ui::IndexPath ip) override;
  std::optional<platform::ui::IndexPath>
  willSelectRowAtIndexPath(platform::ui::TableView &, platform::ui::IndexPath ip) override;
  void didSelectRowAtIndexPath(platform::ui::TableView &table, platform::ui::IndexPath ip) override;

  // One row as the table shows it.
  struct Row {
    std::string label;
    std::string key;                    // the setting it shows (empty for action rows)
    std::function<std::string()> value; // the value text (none for switches)
    std::function<void(bool)> onSwitch; // switch rows
    std::function<void()> onSelect;     // rows that open a screen
    bool display = false;               // an address line
  };
  std::vector<Row> rowsOfSection(int section);

private:
  void store(const std::string &key, const std::string &value, bool reload = true);
  void storeSwitch(const char *key, bool on) { store(key, on ? "1" : "0", false); }
  void storeIndex(const char *key, EditDataViewController &e);
  void push(std::shared_ptr<platform::ui::ViewController> screen);
  Row switchRow(std::string label, const char *key, void (SettingsViewController::*handler)(bool));
  Row listRow(std::string label, const char *key, std::vector<std::string> shown, std::string title,
              std::vector<std::string> items, std::string editLabel,
              void (SettingsViewController::*handler)(EditDataViewController &),
              std::function<void(EditDataViewController &)> setup = {});
  Row encodingRow(std::string label, const char *key, std::string title, std::string editLabel,
                  void (SettingsViewController::*handler)(EditDataViewController &),
                  std::string note = {});
  Row textRow(std::string label, const char *key, std::function<std::string()> value,
              std::string title, std::string editLabel,
              void (SettingsViewController::*handler)(EditDataViewController &),
              std::function<void(EditDataViewController &)> setup = {});
  // A row that opens the screen `make` gives.
  Row actionRow(std::string label, std::function<std::string()> value,
                std::function<std::shared_ptr<platform::ui::ViewController>()> make);
  // The rows of each section, in the order of the headers.
  std::vector<Row> filesRows();
  std::vector<Row> editorRows(const platform::DeviceProfile &profile);
  std::vector<Row> sharingRows(const platform::DeviceProfile &profile);
  std::vector<Row> securityRows();
  std::vector<Row> miscellaneousRows(const platform::DeviceProfile &profile);
  std::vector<Row> ftpRows();
  std::vector<Row> sftpRows();
  std::vector<Row> aboutRows();

  std::shared_ptr<platform::ui::TableView> tableView_;
  std::map<std::string, std::shared_ptr<platform::ui::Switch>> switches_;
  bool canEmailFiles_ = false, showVideoQuality_ = false;
  // The status bar this screen shows while it is in view, and whether it was hidden before.
  bool inView_ = false, showsStatusBar_ = false, statusBarWasHidden_ = false;
};
