// Documents the web view cannot show as they are, turned into HTML by a well-kept converter
// program: RTF through unrtf. The program is started with an argument vector (never a shell),
// its output is bounded in size and its run in time.
#pragma once

#include <optional>
#include <string>

// The HTML of an RTF file; nothing when unrtf is not installed or fails on the file.
std::optional<std::string> rtfToHtml(const std::string &path);
