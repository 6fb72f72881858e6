// A list of vectors of possibly different lengths, stored back to back.
// This is what a Python list of float lists converts to before an index
// checks the lengths.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/storage.hpp"

namespace tarsim {

struct FloatRows {
  ValueStorage values;            // every row's values, back to back
  std::vector<std::size_t> ends;  // end of row i in values; row i starts at ends[i-1] (or 0)
  // When set, the values live there instead (all rows back to back, for
  // example in a caller's array that outlives this object) and `values` is
  // unused.
  const double* external = nullptr;

  const double* data() const { return external != nullptr ? external : values.data(); }

  std::size_t size() const { return ends.size(); }
  bool empty() const { return ends.empty(); }
  std::span<const double> row(std::size_t i) const {
    std::size_t begin = i == 0 ? 0 : ends[i - 1];
    return {data() + begin, ends[i] - begin};
  }
  // Index of the first row whose length is not `length`, or size() when all are.
  std::size_t first_row_not_of_length(std::size_t length) const {
    std::size_t begin = 0;
    for (std::size_t i = 0; i < ends.size(); ++i) {
      if (ends[i] - begin != length) return i;
      begin = ends[i];
    }
    return ends.size();
  }
  void push_row(std::span<const double> row) {
    values.insert(values.end(), row.begin(), row.end());
    ends.push_back(values.size());
  }
};

}  // namespace tarsim
