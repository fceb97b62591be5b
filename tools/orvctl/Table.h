// Aligned text tables for terminal output.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace orvctl {

class Table {
  public:
    explicit Table(std::vector<std::string> headers);

    // A row with fewer cells than headers is padded with empty cells; extra cells are dropped.
    void AddRow(std::vector<std::string> cells);
    size_t RowCount() const { return rows_.size(); }
    // Columns separated by two spaces; numbers (cells made of digits, sign, dot) right-aligned.
    void Print(std::ostream& out) const;

  private:
    std::vector<std::string> headers_;
    std::vector<std::vector<std::string>> rows_;
};

}  // namespace orvctl
