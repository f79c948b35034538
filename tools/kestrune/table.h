// Plain-text tables in the style of ip and systemctl: columns two spaces apart,
// each as wide as its widest cell, no padding after the last.
#ifndef KESTRUNE_TOOLS_TABLE_H
#define KESTRUNE_TOOLS_TABLE_H

#include <string>
#include <vector>

namespace kestrune::cli {

using TableRow = std::vector<std::string>;

// One line per row, each ending in "\n". Widths count UTF-8 characters.
std::string format_table(const std::vector<TableRow> &rows);

} // namespace kestrune::cli

#endif
