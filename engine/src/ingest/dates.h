// Date texts as ingestion sees them: the cheap "looks like a date" test of schema inference and
// the lenient date reading and ISO week arithmetic behind date bucketing of dimension values.
//
// All functions are pure and never fail; a text that is not a date gives nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quib::ingest::dates {

// A day of the proleptic Gregorian calendar.
struct CivilDate {
  std::int64_t year = 0;
  unsigned month = 1;  // 1 to 12
  unsigned day = 1;    // 1 to the length of the month
  bool operator==(const CivilDate&) const = default;
};

// An ISO 8601 week: weeks start on Monday, week 1 holds the year's first Thursday.
struct IsoWeek {
  std::int64_t year = 0;  // the week-numbering year, which may differ from the calendar year
  unsigned week = 1;      // 1 to 53
  bool operator==(const IsoWeek&) const = default;
};

// After trimming white space: at least 10 bytes, four ASCII digits, "-" or "/", two digits,
// "-" or "/", two digits; whatever follows is not looked at.
bool is_date_like(std::string_view text);

// Reads the whole text as "YYYY-MM-DDTHH:MM:SS", or failing that as "YYYY-MM-DD", and returns
// the date (the time of day only has to be valid). Leniencies: white space may precede every
// number; month, day, hour, minute and second take one or two digits; the year takes one to
// four digits, or any number of digits (up to 18) after an explicit + or - sign. Nothing may
// follow the last number, and the date must exist.
std::optional<CivilDate> parse_lenient_date(std::string_view text);

bool is_leap_year(std::int64_t year);
unsigned days_in_month(std::int64_t year, unsigned month);

// The ISO week of a valid date.
IsoWeek iso_week(const CivilDate& date);

}  // namespace quib::ingest::dates
