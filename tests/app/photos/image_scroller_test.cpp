// The horizontal value scroller on the manual clock: value steps while dragging, limits, the
// momentum of a flick decaying step by step, and a new touch stopping it.
#include "app/photos/MyHScroller.h"

#include "tests/app/foundation/ScreenFixture.h"

using namespace platform;
using namespace platform::ui;

namespace {

class ScrollerTest : public ScreenTest {
protected:
  void SetUp() override {
    ScreenTest::SetUp();
    scroller = std::make_shared<MyHScroller>(Rect(0, 0, 300, 60));
    scroller->addTarget(ControlEvent::ValueChanged, [this](Control &) { ++events; });
  }
  void drag(std::initializer_list<double> xs) {
    for (double x : xs)
      scroller->touchMoved(Point{x, 30});
  }
  std::shared_ptr<MyHScroller> scroller;
  int events = 0;
};

TEST_F(ScrollerTest, DraggingStepsTheValueWithinItsLimits) {
  scroller->setValue(500);
  EXPECT_EQ(scroller->value(), 100);
  scroller->setValue(-3);
  EXPECT_EQ(scroller->value(), 0);
  EXPECT_EQ(events, 0); // set in code: no event

  struct Case {
    std::vector<double> moves;
    int value, events;
  } cases[] = {
      {{25}, 2, 1},          // 25 points: two steps, 5 left over
      {{28}, 2, 1},          // 8 points since the last step: none
      {{33}, 3, 2},          // 13: one more
      {{10, -20}, 0, 4},     // down two steps, then past the minimum: it stops there
      {{-60}, 0, 4},         // further toward the minimum is discarded
      {{-40, 1100}, 100, 6}, // up two steps, then a long way up ends at the maximum
  };
  scroller->touchDown(Point{0, 30});
  for (const Case &c : cases) {
    for (double x : c.moves)
      scroller->touchMoved(Point{x, 30});
    EXPECT_EQ(scroller->value(), c.value);
    EXPECT_EQ(events, c.events);
  }
  // A disabled control takes no touches.
  scroller->setEnabled(false);
  scroller->touchDown(Point{0, 30});
  drag({-300});
  EXPECT_EQ(scroller->value(), 100);
}

TEST_F(ScrollerTest, FlickCoastsWithDecayingMomentumUntilATouch) {
  scroller->setValue(10);
  scroller->touchDown(Point{0, 30});
  drag({40});
  ASSERT_EQ(scroller->value(), 14);
  scroller->touchUp(Point{40, 30}, Point{10, 30}); // a 30-point flick
  EXPECT_EQ(scroller->momentum(), 30);
  std::vector<int> values;
  std::vector<double> momenta;
  for (int i = 0; i < 5; ++i) {
    advance(seconds(0.075));
    values.push_back(scroller->value());
    momenta.push_back(scroller->momentum());
  }
  EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
  EXPECT_GT(values.back(), 14);
  for (size_t i = 1; i < momenta.size(); ++i)
    EXPECT_LT(momenta[i], momenta[i - 1]);
  // It comes to rest by itself.
  for (int i = 0; i < 200; ++i)
    advance(seconds(0.075));
  EXPECT_LT(std::abs(scroller->momentum()), 1.0);
  const int rest = scroller->value();
  advance(seconds(1));
  EXPECT_EQ(scroller->value(), rest);

  // A touch while coasting stops it at once.
  scroller->touchDown(Point{0, 30});
  drag({5});
  scroller->touchUp(Point{50, 30}, Point{5, 30});
  advance(seconds(0.075));
  const int moving = scroller->value();
  scroller->touchDown(Point{0, 30});
  advance(seconds(1));
  EXPECT_EQ(scroller->value(), moving);
}

TEST_F(ScrollerTest, LateReleaseHasNoMomentumAndTheStripRepeats) {
  scroller->setValue(50);
  scroller->touchDown(Point{0, 30});
  drag({30});
  advance(seconds(0.4));
  scroller->touchUp(Point{30, 30}, Point{0, 30});
  EXPECT_EQ(scroller->momentum(), 0);
  // 200 points of travel (20 steps) bring the strip back to where it was.
  scroller->setValue(10);
  const int at10 = scroller->stripOffset();
  scroller->setValue(30);
  EXPECT_EQ(scroller->stripOffset(), at10);
  scroller->setValue(31);
  EXPECT_NE(scroller->stripOffset(), at10);
}

// Coasting into a limit stops there, and the strip keeps the part of a step the flick had gone
// past the last one (not a drag's end, which stops on the step).
TEST_F(ScrollerTest, CoastingIntoALimitKeepsThePartOfAStepGone) {
  const struct {
    int start;
    double flickTo;
    int value, leftOver;
  } cases[] = {{98, 37, 100, 2}, {2, -27, 0, -2}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.start);
    auto reference = std::make_shared<MyHScroller>(Rect(0, 0, 300, 60));
    reference->setValue(c.value);
    scroller->setValue(c.start);
    scroller->touchDown(Point{0, 30});
    drag({5});
    scroller->touchUp(Point{c.flickTo, 30}, Point{5, 30}); // 32 points either way
    advance(seconds(0.075));
    EXPECT_EQ(scroller->value(), c.value);
    EXPECT_EQ(scroller->momentum(), 0);
    EXPECT_EQ(scroller->stripOffset(), reference->stripOffset() + c.leftOver);
  }
}

} // namespace

// A person's drag on the window reaches the strip as the phone's touches do.
TEST_F(ScrollerTest, AMouseDragInThePageTurnsTheStrip) {
  auto screen = std::make_shared<ViewController>("ScrollerView");
  window->setRootViewController(screen);
  screen->view()->addSubview(scroller);
  const auto id = window->idOf(*scroller);
  for (auto [phase, x] :
       {std::pair{"began", 0.0}, {"moved", 25.0}, {"moved", 33.0}, {"ended", 33.0}})
    EXPECT_TRUE(
        window->dispatch({{"event", "touch"}, {"id", id}, {"phase", phase}, {"x", x}, {"y", 30.0}})
            .value("ok", false))
        << phase;
  EXPECT_EQ(scroller->value(), 3);
  EXPECT_EQ(events, 2);
}
