// What a folder screen shows of its checked entry: the rows it draws checked, and whether a
// button of its toolbar is on.
#pragma once

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

} // namespace testsupport
