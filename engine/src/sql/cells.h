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
#include <type_traits>
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

// The positions 0..count-1 of the first `n` entries by `key(position)`, greatest or smallest
// first under the order of `sort_descending` / `sort_ascending`, equal keys in position order:
// what a stable sort of every entry followed by a cut to `n` leaves, but with memory for `n`
// entries, so that a table that keeps a few of millions of values builds only the rows it keeps.
template <typename Key>
std::vector<std::size_t> first_positions(std::size_t count, std::size_t n, bool greatest_first,
                                         Key key) {
  struct Ranked {
    std::invoke_result_t<Key&, std::size_t> value;
    std::size_t position;
  };
  // The position breaks ties, which makes the order total and the selection stable.
  auto ranks_before = [greatest_first](const Ranked& x, const Ranked& y) {
    const auto order = std::strong_order(x.value, y.value);
    if (order != 0) return greatest_first ? order > 0 : order < 0;
    return x.position < y.position;
  };
  std::vector<Ranked> kept;
  kept.reserve(std::min(count, n));
  if (n != 0) {
    // A heap whose top is the last of the kept entries, the one a better newcomer replaces.
    for (std::size_t i = 0; i < count; ++i) {
      Ranked entry{key(i), i};
      if (kept.size() < n) {
        kept.push_back(entry);
        std::push_heap(kept.begin(), kept.end(), ranks_before);
      } else if (ranks_before(entry, kept.front())) {
        std::pop_heap(kept.begin(), kept.end(), ranks_before);
        kept.back() = entry;
        std::push_heap(kept.begin(), kept.end(), ranks_before);
      }
    }
    std::sort_heap(kept.begin(), kept.end(), ranks_before);
  }
  std::vector<std::size_t> positions;
  positions.reserve(kept.size());
  for (const Ranked& entry : kept) positions.push_back(entry.position);
  return positions;
}

// "{name}:{value}", the form of one pair of a reference text.
void append_pair(std::string& out, std::string_view name, std::string_view value);

// The number that a cell shows, read back from its text; 0.0 for a cell that is no number in
// whole ("N/A").
double read_back(std::string_view cell);

}  // namespace quib::sql::cells
