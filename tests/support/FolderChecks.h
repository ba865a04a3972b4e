// What a folder screen shows of its checked entry: the rows it draws checked, and whether a
// button of its toolbar is on.
#pragma once

#include <gtest/gtest.h>

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

} // namespace testsupport
