// The phone's text editor and document viewer turn to landscape as the other screens that may: the
// turn reaches the application, which moves the screen into its landscape container (the whole
// 480 x 320 screen, no tab bar) and back onto its tab when the phone is upright again. An editor
// held there still keeps what was typed when the program resigns.
#include "AppFixture.h"

#include "app/editor/EditFileView.h"
#include "app/editor/EditorScreens.h"

using namespace platform;
using namespace platform::ui;

namespace {

enum class Screen { Editor, Viewer };

struct TurnCase {
  const char *what;
  Screen screen;
  Orientation turn;
};
void PrintTo(const TurnCase &c, std::ostream *out) {
  *out << c.what;
}

class EditorTurnTest : public AppTest, public ::testing::WithParamInterface<TurnCase> {
protected:
  // Turns the device; each move into or out of the container comes in by a fade of 0.2 s.
  void turn(Orientation o) {
    DeviceProfile::setOrientation(o);
    ASSERT_TRUE(probe->rotate(InterfaceOrientation(int(o)))) << probe->lastError();
    advance(0.02);
    const auto &all = delegate->window()->transitions();
    auto fade = all.find("transitionRotateAnimation");
    ASSERT_NE(fade, all.end());
    EXPECT_EQ(fade->second.type, "fade");
    EXPECT_EQ(fade->second.duration, 0.2);
    EXPECT_EQ(fade->second.timing, "easeInEaseOut");
    EXPECT_GT(fade->second.serial, lastFade);
    lastFade = fade->second.serial;
  }
  uint64_t lastFade = 0;
};

} // namespace

TEST_P(EditorTurnTest, TheScreenTurnsIntoTheLandscapeContainerAndBack) {
  const TurnCase &c = GetParam();
  boot();
  const std::string path = Paths::tmp() + "/note.txt";
  ASSERT_TRUE(testsupport::writeFile(path, "first line\nsecond line\n"));
  auto screen = c.screen == Screen::Editor ? makeTextEditorScreen(path)
                                           : makeDocumentViewerScreen("note.txt", path);
  auto nav = delegate->navigationController();
  nav->pushViewController(screen, false);
  advance(0.1);
  for (int round = 0; round < 2; ++round) {
    turn(c.turn);
    ASSERT_EQ(modalCount(), 1u) << c.what << ", round " << round;
    EXPECT_EQ(screen->parentViewController(), delegate->landscapeView()) << c.what;
    EXPECT_EQ(screen->view()->frame(), Rect(0, 0, 480, 320)) << c.what;
    if (auto editor = std::dynamic_pointer_cast<EditFileView>(screen)) {
      EXPECT_EQ(editor->theText->frame().size, Size(480, 320)) << c.what;
      EXPECT_TRUE(editor->toolbar->isHidden()) << c.what;
      ASSERT_TRUE(probe->type("File Text", "typed ")) << probe->lastError();
      Application::shared().resignActive();
      EXPECT_EQ(testsupport::readFile(path), editor->theText->text()) << c.what;
      EXPECT_EQ(editor->theText->text().rfind("typed ", 0), 0u) << c.what;
      Application::shared().becomeActive();
    }
    turn(Orientation::Portrait);
    EXPECT_EQ(modalCount(), 0u) << c.what;
    EXPECT_EQ(nav->topViewController(), screen) << c.what;
    if (auto editor = std::dynamic_pointer_cast<EditFileView>(screen)) {
      EXPECT_EQ(editor->theText->frame(), editor->fullTextFrame) << c.what;
      EXPECT_FALSE(editor->toolbar->isHidden()) << c.what;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, EditorTurnTest,
                         ::testing::Values(TurnCase{"text editor, turned left", Screen::Editor,
                                                    Orientation::LandscapeLeft},
                                           TurnCase{"text editor, turned right", Screen::Editor,
                                                    Orientation::LandscapeRight},
                                           TurnCase{"document viewer, turned left", Screen::Viewer,
                                                    Orientation::LandscapeLeft}));
