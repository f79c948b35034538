#include "table.h"

#include <algorithm>

namespace kestrune::cli {

namespace {

size_t display_width(const std::string &cell)
{
    return static_cast<size_t>(
        std::count_if(cell.begin(), cell.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0u) != 0x80u; }));
}

} // namespace

std::string format_table(const std::vector<TableRow> &rows)
{
    std::vector<size_t> widths;
    for (const TableRow &row : rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (size_t column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], display_width(row[column]));
    }
    std::string text;
    for (const TableRow &row : rows) {
        std::string line;
        for (size_t column = 0; column < row.size(); ++column) {
            if (column > 0)
                line += "  ";
            line += row[column];
            if (column + 1 < row.size())
                line.append(widths[column] - display_width(row[column]), ' ');
        }
        // Empty trailing cells would leave padding behind.
        line.erase(line.find_last_not_of(' ') + 1);
        text += line + "\n";
    }
    return text;
}

} // namespace kestrune::cli
