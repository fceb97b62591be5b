#include "Table.h"

#include <algorithm>

namespace orvctl {
namespace {

bool LooksNumeric(const std::string& cell) {
    return !cell.empty() && std::all_of(cell.begin(), cell.end(), [](char c) {
        return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.';
    }) && std::any_of(cell.begin(), cell.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Display width: count UTF-8 lead bytes, so camera names in other scripts stay aligned.
size_t DisplayWidth(const std::string& text) {
    return static_cast<size_t>(std::count_if(
        text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

}  // namespace

Table::Table(std::vector<std::string> headers) : headers_(std::move(headers)) {}

void Table::AddRow(std::vector<std::string> cells) {
    cells.resize(headers_.size());
    rows_.push_back(std::move(cells));
}

void Table::Print(std::ostream& out) const {
    std::vector<size_t> widths(headers_.size());
    std::vector<bool> numeric(headers_.size(), !rows_.empty());
    for (size_t c = 0; c < headers_.size(); ++c) {
        widths[c] = DisplayWidth(headers_[c]);
        for (const auto& row : rows_) {
            widths[c] = std::max(widths[c], DisplayWidth(row[c]));
            if (!row[c].empty() && !LooksNumeric(row[c])) {
                numeric[c] = false;
            }
        }
    }
    auto printRow = [&](const std::vector<std::string>& cells) {
        std::string line;
        for (size_t c = 0; c < cells.size(); ++c) {
            const std::string pad(widths[c] - DisplayWidth(cells[c]), ' ');
            const bool last = c + 1 == cells.size();
            line += numeric[c] ? pad + cells[c] : cells[c] + (last ? "" : pad);
            if (!last) {
                line += "  ";
            }
        }
        out << line << '\n';
    };
    printRow(headers_);
    for (const auto& row : rows_) {
        printRow(row);
    }
}

}  // namespace orvctl
