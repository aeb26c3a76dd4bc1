// Cells and row orders of the result tables. The numbers themselves become text in core/number_text; these
// helpers add the units and separators that the statements put around them, and build rows by
// moving finished cells in, so that a large table is formatted once and never copied.
#pragma once

#include <algorithm>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quib::sql::cells {

using Row = std::vector<std::string>;

template <typename... Cells>
Row row(Cells&&... cells) {
  Row out;
  out.reserve(sizeof...(cells));
  (out.emplace_back(std::forward<Cells>(cells)), ...);
  return out;
}

// "{}" of a count.
std::string count(std::uint64_t value);
// "{:.N}" of `value` followed by `unit`, e.g. "{:.4} bits".
std::string fixed(double value, int precision, std::string_view unit = {});
// `label` followed by "{:.N}" of `value`, e.g. "contrib={:.4}".
std::string labelled(std::string_view label, double value, int precision);
// "{:.1}%" of `fraction` multiplied by 100.0.
std::string percent(double fraction);
// "{} vs {}" of two sample counts.
std::string versus(std::uint64_t a, std::uint64_t b);
// "{} × {}" of two variable names.
std::string pair_names(std::string_view a, std::string_view b);

// `length` copies of '#', the length truncated toward zero; NaN and negative lengths give none,
// and a length past `longest` (only reachable with counts that contradict their own total)
// stops there instead of asking for an unbounded allocation.
std::string bar(double length, std::size_t longest);

// Stable orders under the IEEE total order of doubles (-0.0 below +0.0, NaN above every number);
// entries with equal keys keep their order.
template <typename Entry, typename Key>
void sort_descending(std::vector<Entry>& entries, Key key) {
  std::stable_sort(entries.begin(), entries.end(), [&](const Entry& x, const Entry& y) {
    return std::strong_order(key(x), key(y)) > 0;
  });
}
template <typename Entry, typename Key>
void sort_ascending(std::vector<Entry>& entries, Key key) {
  std::stable_sort(entries.begin(), entries.end(), [&](const Entry& x, const Entry& y) {
    return std::strong_order(key(x), key(y)) < 0;
  });
}

// "{name}:{value}", the form of one pair of a reference text.
void append_pair(std::string& out, std::string_view name, std::string_view value);

// The number that a cell shows, read back from its text; 0.0 for a cell that is no number in
// whole ("N/A").
double read_back(std::string_view cell);

}  // namespace quib::sql::cells
