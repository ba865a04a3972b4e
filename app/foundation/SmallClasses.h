// Small shared classes: a boxed integer, a pool of reusable objects, the rating prompt shown after
// a number of launches, and the self-fading hint bubble.
#pragma once

#include "platform/foundation/RunLoop.h"
#include "platform/ui/Controls.h"
#include "platform/ui/Presentation.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

class IntObject {
public:
  IntObject() = default;
  explicit IntObject(int value) : intValue_(value) {}
  static std::shared_ptr<IntObject> initWithInt(int value) {
    return std::make_shared<IntObject>(value);
  }
  int intValue() const { return intValue_; }
  void setIntValue(int value) { intValue_ = value; }

private:
  int intValue_ = 0;
};

// Reusable objects by type key; the most recently added comes out first.
class MyCache {
public:
  void addToCache(std::shared_ptr<void> object, const std::string &type);
  // Takes the newest object of the type out of the pool; null when there is none.
  std::shared_ptr<void> getObjectOfType(const std::string &type);
  // The same object, left in the pool.
  std::shared_ptr<void> findObjectOfType(const std::string &type) const;
  void emptyCache();

private:
  std::map<std::string, std::vector<std::shared_ptr<void>>> theCache;
};

// Asks for a rating on the n-th launch of a version. The settings "maybeShowReviewPromptCount"
// (launches so far) and "maybeShowReviewReset" (the version the count belongs to) carry the state.
class MyReviewPrompt : public platform::ui::AlertViewDelegate,
                       public std::enable_shared_from_this<MyReviewPrompt> {
public:
  static std::shared_ptr<MyReviewPrompt> create() { return std::make_shared<MyReviewPrompt>(); }
  // A new version restarts the count.
  void resetRunCount(int count, int version);
  // Counts this launch and shows the question when it is launch `after`.
  void maybeShowReviewPrompt(const std::string &appName, int iTunesID, int after);
  void clickedButtonAtIndex(platform::ui::AlertView &alert, int buttonIndex) override;

  int reviewTunesID() const { return reviewTunesID_; }
  // The store page for reviews of the application with that identifier.
  static std::string reviewPageAddress(int iTunesID);

private:
  int reviewTunesID_ = 0;
  std::shared_ptr<MyReviewPrompt> keepAlive_; // until the question is answered
};

// A hint bubble pointing at a spot of a view; it fades away after 6 s or when touched.
class Tooltip : public platform::ui::View {
public:
  // Builds the bubble for the text with its arrow's tip at `point`, adds it to `view` and returns
  // it.
  static std::shared_ptr<Tooltip> initTipString(const std::string &text, platform::ui::Point point,
                                                const std::shared_ptr<platform::ui::View> &view);
  // Fades the bubble out (once) and removes it from its view 1.5 s later.
  void fadeAway();
  bool faded() const { return faded_; }
  bool userTap(std::string &why) override;
  std::shared_ptr<platform::ui::Label> label() const { return label_; }

private:
  bool faded_ = false;
  std::shared_ptr<platform::ui::Label> label_;
  platform::TimerRef fadeTimer_;
};
