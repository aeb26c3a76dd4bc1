#include "ingest/dates.h"

#include <charconv>
#include <cstddef>

#include "core/unicode_text.h"

namespace quib::ingest::dates {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A cursor over the text being read as a date.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  bool at_end() const { return pos_ == text_.size(); }

  bool literal(char c) {
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  // An unsigned number of one to `max_digits` digits, after optional white space.
  bool number(unsigned max_digits, std::int64_t& out) {
    skip_white_space();
    return digits(max_digits, out);
  }

  // One to four digits, or a sign followed by up to 18 digits, after optional white space.
  bool year(std::int64_t& out) {
    skip_white_space();
    if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) {
      const bool negative = text_[pos_] == '-';
      ++pos_;
      if (!digits(18, out)) return false;
      if (pos_ < text_.size() && is_digit(text_[pos_])) return false;  // too large
      if (negative) out = -out;
      return true;
    }
    return digits(4, out);
  }

 private:
  void skip_white_space() {
    while (pos_ < text_.size()) {
      const std::size_t len = core::white_space_length_at(text_, pos_);
      if (len == 0) break;
      pos_ += len;
    }
  }

  bool digits(unsigned max_digits, std::int64_t& out) {
    std::int64_t value = 0;
    unsigned count = 0;
    while (count < max_digits && pos_ < text_.size() && is_digit(text_[pos_])) {
      value = value * 10 + (text_[pos_] - '0');
      ++pos_;
      ++count;
    }
    out = value;
    return count > 0;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

std::optional<CivilDate> read_date_part(Reader& reader) {
  std::int64_t year = 0, month = 0, day = 0;
  if (!reader.year(year) || !reader.literal('-') || !reader.number(2, month) ||
      !reader.literal('-') || !reader.number(2, day)) {
    return std::nullopt;
  }
  if (month < 1 || month > 12) return std::nullopt;
  if (day < 1 || day > static_cast<std::int64_t>(days_in_month(year, static_cast<unsigned>(month)))) {
    return std::nullopt;
  }
  return CivilDate{year, static_cast<unsigned>(month), static_cast<unsigned>(day)};
}

// Exactly "YYYY-MM-DD", the form nearly every date column holds, read without the lenient
// reader; the text then already holds each part at its padded width.
std::optional<CivilDate> read_plain_date(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  auto number = [&](std::size_t at, std::size_t width) -> std::optional<std::int64_t> {
    std::int64_t value = 0;
    for (std::size_t i = at; i < at + width; ++i) {
      if (!is_digit(text[i])) return std::nullopt;
      value = value * 10 + (text[i] - '0');
    }
    return value;
  };
  const auto year = number(0, 4);
  const auto month = number(5, 2);
  const auto day = number(8, 2);
  if (!year || !month || !day || *month < 1 || *month > 12 || *day < 1 ||
      *day > static_cast<std::int64_t>(days_in_month(*year, static_cast<unsigned>(*month)))) {
    return std::nullopt;
  }
  return CivilDate{*year, static_cast<unsigned>(*month), static_cast<unsigned>(*day)};
}

std::optional<CivilDate> read_date_time(std::string_view text) {
  Reader reader(text);
  auto date = read_date_part(reader);
  std::int64_t hour = 0, minute = 0, second = 0;
  if (!date || !reader.literal('T') || !reader.number(2, hour) || !reader.literal(':') ||
      !reader.number(2, minute) || !reader.literal(':') || !reader.number(2, second) ||
      !reader.at_end()) {
    return std::nullopt;
  }
  // Second 60 is a leap second; it still names a valid instant of its day.
  if (hour > 23 || minute > 59 || second > 60) return std::nullopt;
  return date;
}

std::optional<CivilDate> read_date(std::string_view text) {
  Reader reader(text);
  auto date = read_date_part(reader);
  if (!date || !reader.at_end()) return std::nullopt;
  return date;
}

// Days since 1970-01-01 of a date whose year lies in a small range.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// Monday = 1 ... Sunday = 7. The Gregorian calendar repeats every 400 years, which is a whole
// number of weeks, so the year is first folded into 2000..2399 to keep the arithmetic small.
unsigned iso_weekday(std::int64_t year, unsigned month, unsigned day) {
  const std::int64_t folded = ((year % 400) + 400) % 400 + 2000;
  const std::int64_t days = days_from_civil(folded, month, day);
  return static_cast<unsigned>(((days % 7) + 7 + 3) % 7) + 1;  // 1970-01-01 was a Thursday
}

unsigned day_of_year(const CivilDate& date) {
  static constexpr unsigned kBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  return kBefore[date.month - 1] + date.day + (date.month > 2 && is_leap_year(date.year) ? 1 : 0);
}

unsigned iso_weeks_in_year(std::int64_t year) {
  const unsigned jan1 = iso_weekday(year, 1, 1);
  return jan1 == 4 || (jan1 == 3 && is_leap_year(year)) ? 53 : 52;
}

}  // namespace

bool is_date_like(std::string_view text) {
  const std::string_view t = core::trim_unicode_white_space(text);
  if (t.size() < 10) return false;
  auto sep = [](char c) { return c == '-' || c == '/'; };
  return is_digit(t[0]) && is_digit(t[1]) && is_digit(t[2]) && is_digit(t[3]) && sep(t[4]) &&
         is_digit(t[5]) && is_digit(t[6]) && sep(t[7]) && is_digit(t[8]) && is_digit(t[9]);
}

std::optional<CivilDate> parse_lenient_date(std::string_view text) {
  if (auto date = read_date_time(text)) return date;
  return read_date(text);
}

bool is_leap_year(std::int64_t year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

unsigned days_in_month(std::int64_t year, unsigned month) {
  static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap_year(year) ? 29 : kDays[month - 1];
}

IsoWeek iso_week(const CivilDate& date) {
  const auto ordinal = static_cast<int>(day_of_year(date));
  const auto weekday = static_cast<int>(iso_weekday(date.year, date.month, date.day));
  const int week = (ordinal - weekday + 10) / 7;
  if (week < 1) return IsoWeek{date.year - 1, iso_weeks_in_year(date.year - 1)};
  if (week > static_cast<int>(iso_weeks_in_year(date.year))) return IsoWeek{date.year + 1, 1};
  return IsoWeek{date.year, static_cast<unsigned>(week)};
}

// ---- bucketing ----

namespace {

void append_integer(std::string& out, std::int64_t value) {
  char buffer[24];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, end);
}

// At least `width` digits, zero-padded; a negative value gets its sign before the padding.
void append_padded(std::string& out, std::int64_t value, int width) {
  if (value < 0) out += '-';
  const std::uint64_t magnitude =
      value < 0 ? ~static_cast<std::uint64_t>(value) + 1 : static_cast<std::uint64_t>(value);
  char buffer[24];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, magnitude);
  for (auto digits = end - buffer; digits < width; ++digits) out += '0';
  out.append(buffer, end);
}

}  // namespace

Granularity granularity_of(const std::optional<std::string>& word) {
  if (!word) return Granularity::None;
  if (*word == "daily") return Granularity::Daily;
  if (*word == "weekly") return Granularity::Weekly;
  if (*word == "monthly") return Granularity::Monthly;
  if (*word == "yearly") return Granularity::Yearly;
  return Granularity::None;
}

void append_normalized(std::string& out, std::string_view value, Granularity granularity) {
  if (granularity == Granularity::None) {
    out += value;
    return;
  }
  std::optional<CivilDate> date = read_plain_date(value);
  if (date && granularity != Granularity::Weekly) {
    out += value.substr(0, granularity == Granularity::Daily     ? 10
                           : granularity == Granularity::Monthly ? 7
                                                                 : 4);
    return;
  }
  if (!date) date = parse_lenient_date(value);
  if (!date) {
    out += value;
    return;
  }
  switch (granularity) {
    case Granularity::Daily:
      append_padded(out, date->year, 4);
      out += '-';
      append_padded(out, date->month, 2);
      out += '-';
      append_padded(out, date->day, 2);
      break;
    case Granularity::Weekly: {
      const IsoWeek week = iso_week(*date);
      append_integer(out, week.year);
      out += "-W";
      append_padded(out, week.week, 2);
      break;
    }
    case Granularity::Monthly:
      append_padded(out, date->year, 4);
      out += '-';
      append_padded(out, date->month, 2);
      break;
    case Granularity::Yearly:
      append_padded(out, date->year, 4);
      break;
    case Granularity::None:
      break;
  }
}

}  // namespace quib::ingest::dates
