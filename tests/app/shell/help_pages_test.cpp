// The help, about and sharing-help screens reached the way a person reaches them: the connect
// screen's (i), "Keys Help" and "Local Files", the settings' "All Our Apps" with its OK and Log,
// and the web sharing address in the settings.
#include "AppFixture.h"

#include "app/files/LocalFolderViewController.h"
#include "app/remote/Connect.h"
#include "app/shell/HelpScreens.h"
#include "app/shell/ShellConnect.h"

using namespace platform;
using namespace platform::ui;

namespace {

class HelpPagesTest : public AppTest {
protected:
  void bootPastTutorial(const DeviceProfile &profile = DeviceProfile::iPhone()) {
    attachConnectScreen(delegate); // the real connect screen, as the program has it
    set("TutorialPrompt", "1");
    boot(profile);
    connect = std::dynamic_pointer_cast<Connect>(delegate->connectView());
    ASSERT_TRUE(connect);
  }
  std::shared_ptr<HelpViewController> topHelp() {
    return std::dynamic_pointer_cast<HelpViewController>(probe->topViewController());
  }
  std::shared_ptr<Connect> connect;
};

} // namespace

TEST_F(HelpPagesTest, ConnectScreenHelpPagesOpenFromTheResourcesOrTheSiteWithABackButton) {
  bootPastTutorial();
  ASSERT_TRUE(probe->selectSegment("Protocol", 2));
  // A connect attempt names the way back "Disconnect"; a help page is left with "Back".
  connect->navigationItem().setBackBarButtonItem(
      BarButtonItem::titled("Disconnect", BarButtonItemStyle::Plain));
  struct Case {
    const char *button, *title;
    std::string loaded;
  } cases[] = {
      {"Keys Help", "SFTP Private Keys", "file://" + Paths::resources() + "/error-sftp-keys.html"},
      {"Info", "Ferrowen Help",
       std::string(kHelpSiteBase) + "help-tutorial300.php?app=ferrowen&ver=300"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.button);
    ASSERT_TRUE(probe->tap(c.button)) << probe->lastError();
    auto help = topHelp();
    ASSERT_TRUE(help);
    EXPECT_EQ(probe->navigationTitle(), c.title);
    EXPECT_EQ(help->webNews->loads().back().url, c.loaded);
    EXPECT_EQ(probe->backButtonTitle().value_or(""), "Back");
    ASSERT_TRUE(probe->tapBack());
    EXPECT_EQ(probe->topViewController(), connect);
  }
}

TEST_F(HelpPagesTest, ResourceHelpPagesOpenOnlyForFilesThatAreThere) {
  bootPastTutorial();
  struct Case {
    std::string page, loaded;
  } cases[] = {{"error-530.html", "file://" + Paths::resources() + "/error-530.html"},
               {"no-such-page.html", std::string(kHelpSiteBase) + "no-such-page.html"},
               {"connect-help.php?app=ferrowen&ver=300",
                std::string(kHelpSiteBase) + "connect-help.php?app=ferrowen&ver=300"},
               // A name that climbs out of the resources never opens a local file.
               {"../README.md", std::string(kHelpSiteBase) + "../README.md"},
               {"renderer", std::string(kHelpSiteBase) + "renderer"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.page);
    delegate->pushHelpScreen("T", c.page, false);
    auto help = topHelp();
    ASSERT_TRUE(help);
    EXPECT_EQ(help->webNews->loads().back().url, c.loaded);
    delegate->navigationController()->popToRootViewControllerAnimated(false);
  }
}

TEST_F(HelpPagesTest, TabletHelpStandsInAPopoverThatItKnowsWithItsSpinner) {
  bootPastTutorial(DeviceProfile::iPad());
  ASSERT_TRUE(probe->tap("Info")) << probe->lastError();
  auto &popovers = delegate->window()->popovers();
  ASSERT_EQ(popovers.size(), 1u);
  auto popover = popovers.back();
  auto help = std::dynamic_pointer_cast<HelpViewController>(popover->contentViewController());
  ASSERT_TRUE(help);
  EXPECT_EQ(help->popoverParent.lock(), popover);
  EXPECT_EQ(popover->delegate(), std::static_pointer_cast<PopoverControllerDelegate>(help));
  EXPECT_EQ(popover->popoverContentSize(), (Size{320, 480}));
  // The page is loading: the large spinner turns; when it has loaded it stops and hides.
  EXPECT_TRUE(help->workingSpinner->isAnimating());
  EXPECT_FALSE(help->workingSpinner->isHidden());
  help->webNews->finishLoad();
  EXPECT_FALSE(help->workingSpinner->isAnimating());
  EXPECT_TRUE(help->workingSpinner->isHidden());
  ASSERT_TRUE(probe->dismissPopover());
}

TEST_F(HelpPagesTest, LocalFilesButtonShowsSavedFilesOverTheConnectScreen) {
  bootPastTutorial();
  makeFile("kept.txt", "kept");
  ASSERT_TRUE(probe->tap("Local Files")) << probe->lastError();
  ASSERT_EQ(modalCount(), 1u);
  EXPECT_TRUE(std::dynamic_pointer_cast<LocalFolderViewController>(probe->topViewController()));
  EXPECT_TRUE(probe->find("kept.txt"));
  ASSERT_TRUE(probe->tap("Done")) << probe->lastError();
  advance(1);
  EXPECT_EQ(modalCount(), 0u);
  EXPECT_EQ(probe->topViewController(), connect);
}

TEST_F(HelpPagesTest, AboutScreenHasOkAndLogAndTheWebAddressOpensTheSharingHelp) {
  set(kWebServerKey, "1");
  bootPastTutorial();
  ASSERT_TRUE(probe->tapTab("Settings"));
  auto settings = delegate->settingsView();
  auto find = [&](const std::string &prefix) {
    for (int s = 0; s < 9; ++s) {
      auto rows = settings->rowsOfSection(s);
      for (size_t r = 0; r < rows.size(); ++r)
        if (rows[r].label.rfind(prefix, 0) == 0) return IndexPath{s, int(r)};
    }
    ADD_FAILURE() << "no row " << prefix;
    return IndexPath{};
  };
  // The web address row: how to reach Saved Files with it.
  ASSERT_TRUE(probe->tapRow(find("Web Address:"))) << probe->lastError();
  auto sharing = std::dynamic_pointer_cast<SharingHelpView>(probe->topViewController());
  ASSERT_TRUE(sharing);
  EXPECT_EQ(probe->navigationTitle(), "Sharing \"My Files\"");
  EXPECT_NE(sharing->itunesLabel->text().find("\u278A Select your device on the left."),
            std::string::npos);
  EXPECT_EQ(sharing->urlText->text().rfind(delegate->webServerListener()->getListeningAddress(), 0),
            0u);
  ASSERT_TRUE(probe->tapBack());

  // "All Our Apps": Log shows the transfer log over everything and Done closes it; OK goes back.
  ASSERT_TRUE(probe->tapRow(find("All Our Apps"))) << probe->lastError();
  auto about = std::dynamic_pointer_cast<AboutView>(probe->topViewController());
  ASSERT_TRUE(about);
  EXPECT_EQ(about->webNews->loads().back().url, kAboutPageAddress);
  std::vector<std::string> items;
  for (auto &item : probe->toolbarItems())
    items.push_back(item.name);
  EXPECT_EQ(items, (std::vector<std::string>{"OK", "Log"}));
  ASSERT_TRUE(probe->tap("Log")) << probe->lastError();
  ASSERT_EQ(modalCount(), 1u);
  EXPECT_TRUE(std::dynamic_pointer_cast<LogViewController>(probe->topViewController()));
  ASSERT_TRUE(probe->tap("Done")) << probe->lastError();
  advance(1);
  EXPECT_EQ(modalCount(), 0u);
  EXPECT_EQ(probe->topViewController(), about);
  ASSERT_TRUE(probe->tap("OK")) << probe->lastError();
  EXPECT_EQ(probe->topViewController(), settings);
}

// A help page's mail link goes to the desktop; one it does not take is said.
TEST_F(HelpPagesTest, AMailLinkTheDesktopDoesNotTakeIsSaid) {
  bootPastTutorial();
  std::vector<std::string> opened;
  for (bool taken : {true, false}) {
    Application::shared().setURLOpener([&](const std::string &url) {
      opened.push_back(url);
      return taken;
    });
    EXPECT_FALSE(shouldLoadInPage("mailto:help@example.org"));
    EXPECT_EQ(probe->pendingAlerts().size(), taken ? 0u : 1u) << taken;
  }
  EXPECT_EQ(opened, std::vector<std::string>(2, "mailto:help@example.org"));
  EXPECT_EQ(probe->pendingAlerts()[0].title, "Mail");
  Application::shared().setURLOpener(nullptr);
}
