#include "sql/cells.h"

#include <charconv>
#include <cmath>

#include "core/number_text.h"

namespace quib::sql::cells {

namespace number_text = core::number_text;

std::string count(std::uint64_t value) { return number_text::plain(value); }

std::string fixed(double value, int precision, std::string_view unit) {
  std::string out;
  number_text::append_fixed(out, value, precision);
  out.append(unit);
  return out;
}

std::string labelled(std::string_view label, double value, int precision) {
  std::string out(label);
  number_text::append_fixed(out, value, precision);
  return out;
}

std::string percent(double fraction) { return number_text::percent(fraction * 100.0, 1); }

std::string versus(std::uint64_t a, std::uint64_t b) {
  std::string out;
  number_text::append_plain(out, a);
  out.append(" vs ");
  number_text::append_plain(out, b);
  return out;
}

std::string pair_names(std::string_view a, std::string_view b) {
  std::string out;
  out.reserve(a.size() + b.size() + 4);
  out.append(a).append(" \u00d7 ").append(b);
  return out;
}

std::string bar(double length, std::size_t longest) {
  if (!(length >= 1.0)) return {};
  const double whole = std::trunc(length);
  const auto n = whole >= static_cast<double>(longest) ? longest : static_cast<std::size_t>(whole);
  return std::string(n, '#');
}

void append_pair(std::string& out, std::string_view name, std::string_view value) {
  out.append(name).push_back(':');
  out.append(value);
}

double read_back(std::string_view cell) {
  double value = 0.0;
  const char* end = cell.data() + cell.size();
  const auto [stop, ec] = std::from_chars(cell.data(), end, value);
  if (ec != std::errc() || stop != end) return 0.0;
  return value;
}

}  // namespace quib::sql::cells
