// What a folder screen shows of its checked entry: the rows it draws checked, and whether a
// button of its toolbar is on.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/foundation/DirTableCell.h"
#include "platform/ui/Probe.h"
#include "platform/ui/Table.h"

namespace testsupport {

// The names of the rows drawn checked, top to bottom.
inline std::vector<std::string> checkedRows(platform::ui::TableView &table) {
  std::vector<std::string> names;
  for (int row = 0; row < table.numberOfRowsInSection(0); ++row) {
    auto cell = table.cellForRowAtIndexPath(platform::ui::IndexPath{0, row});
    if (!cell) continue;
    auto content = std::dynamic_pointer_cast<DirTableCell>(cell->contentView()->viewWithTag(1));
    if (content && content->selected()) names.push_back(cell->accessibilityLabel());
  }
  return names;
}

// Whether the toolbar button of that name is on (none: no such button).
inline std::optional<bool> toolbarButtonOn(platform::ui::Probe &probe, const std::string &name) {
  for (const auto &item : probe.toolbarItems())
    if (item.name == name) return item.enabled;
  return std::nullopt;
}

// `name` is the one row drawn checked and the toolbar's `button` is on; or, for `checked` false,
// no row is drawn checked and `button` is off.
inline ::testing::AssertionResult checkedShown(platform::ui::Probe &probe,
                                               platform::ui::TableView &table,
                                               const std::string &name, bool checked,
                                               const std::string &button) {
  const auto rows = checkedRows(table);
  if (rows != (checked ? std::vector<std::string>{name} : std::vector<std::string>{})) {
    auto failure = ::testing::AssertionFailure() << "rows drawn checked:";
    for (const auto &r : rows)
      failure << " \"" << r << "\"";
    return failure;
  }
  if (toolbarButtonOn(probe, button) != checked)
    return ::testing::AssertionFailure() << button << " is not " << (checked ? "on" : "off");
  return ::testing::AssertionSuccess();
}

// Typed into the search, `text` hides the checked row `name`: nothing is checked for the
// toolbar's `button`; erased again, `name` is checked and `button` on.
inline ::testing::AssertionResult
searchHidesChecked(platform::ui::Probe &probe, platform::ui::TableView &table,
                   const std::string &name, const std::string &text, const std::string &button) {
  if (!probe.type("Search Folder", text)) return ::testing::AssertionFailure() << probe.lastError();
  if (auto hidden = checkedShown(probe, table, name, false, button); !hidden)
    return hidden << " (searching \"" << text << "\")";
  if (!probe.backspace(text, text.size()))
    return ::testing::AssertionFailure() << probe.lastError();
  return checkedShown(probe, table, name, true, button);
}

// The menu button of `row`, pressed by `press`, makes that row the checked one, whatever was
// checked before: a file is drawn checked, a folder drawn plain. The toolbar's `button` is then
// `buttonOn` and the navigation bar's right-hand button `right` (empty: none): both follow the
// row. The menu left by `cancel` keeps it so, and the next tap on a file row takes the mark away
// as it does from any checked row.
inline ::testing::AssertionResult
menuButtonChecksRow(platform::ui::Probe &probe, platform::ui::TableView &table,
                    const std::function<bool()> &press, const std::string &row, bool file,
                    const std::string &button, bool buttonOn, const std::string &right,
                    const std::string &cancel = "Cancel") {
  auto shown = [&](const char *when) -> ::testing::AssertionResult {
    const auto rows = checkedRows(table);
    if (rows != (file ? std::vector<std::string>{row} : std::vector<std::string>{})) {
      auto failure = ::testing::AssertionFailure() << "rows drawn checked " << when << ":";
      for (const auto &r : rows)
        failure << " \"" << r << "\"";
      return failure;
    }
    if (toolbarButtonOn(probe, button) != buttonOn)
      return ::testing::AssertionFailure()
             << button << " is not " << (buttonOn ? "on" : "off") << " " << when;
    const auto item = probe.rightItem();
    if ((item ? item->name : "") != right)
      return ::testing::AssertionFailure()
             << "the right-hand button is \"" << (item ? item->name : "") << "\" " << when;
    return ::testing::AssertionSuccess();
  };
  if (!press()) return ::testing::AssertionFailure() << probe.lastError();
  if (auto r = shown("under the menu"); !r) return r;
  if (!probe.answerSheet(cancel)) return ::testing::AssertionFailure() << probe.lastError();
  if (auto r = shown("after the menu"); !r) return r;
  if (!file) return ::testing::AssertionSuccess();
  if (!probe.tapRow(row)) return ::testing::AssertionFailure() << probe.lastError();
  if (auto gone = checkedShown(probe, table, row, false, button); !gone)
    return gone << " (after the next tap on the row)";
  return ::testing::AssertionSuccess();
}

// Nothing checked: the checked row, if any, is tapped once.
inline ::testing::AssertionResult uncheckAll(platform::ui::Probe &probe,
                                             platform::ui::TableView &table) {
  for (const auto &row : checkedRows(table))
    if (!probe.tapRow(row)) return ::testing::AssertionFailure() << probe.lastError();
  return ::testing::AssertionSuccess();
}

} // namespace testsupport
