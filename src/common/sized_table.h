// A table of rows × columns entries in one block, shaped when a model is loaded, read as
// table[row][column] like the fixed arrays it replaces. Rows and columns keep the model's
// numbering (row 0 and column 0 exist where the model numbers from 1), so a table for n
// individuals and m interrupts is Shape(n + 1, m + 1).
#pragma once

#include <cstddef>
#include <vector>

namespace tessuvan {

template <class T>
class SizedTable {
public:
    // Every entry value-initialised (null, zero or empty); the block is reused when the shape
    // is unchanged and replaced (the old one freed) otherwise. Throws std::bad_alloc when
    // memory runs out, leaving the table as it was.
    void Shape(std::size_t rows, std::size_t columns)
    {
        if (rows * columns == cells_.size()) {
            for (T& cell : cells_) cell = T{};
        } else {
            std::vector<T> fresh(rows * columns);
            cells_.swap(fresh);
        }
        rows_ = rows;
        columns_ = columns;
    }

    T* operator[](std::size_t row) { return cells_.data() + row * columns_; }
    const T* operator[](std::size_t row) const { return cells_.data() + row * columns_; }

    std::size_t rows() const { return rows_; }
    std::size_t columns() const { return columns_; }
    // Every entry, row after row.
    std::vector<T>& cells() { return cells_; }
    const std::vector<T>& cells() const { return cells_; }

private:
    std::vector<T> cells_;
    std::size_t rows_ = 0;
    std::size_t columns_ = 0;
};

}  // namespace tessuvan
