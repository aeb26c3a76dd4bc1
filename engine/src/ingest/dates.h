// Date texts as ingestion sees them: the cheap "looks like a date" test of schema inference, and
// the lenient date reading, ISO week arithmetic and bucketing of dimension values by granularity.
//
// All functions are pure and never fail; a text that is not a date gives nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
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

// Date bucketing of dimension values: the granularity of a dimension, by the word its definition
// holds.
enum class Granularity { None, Daily, Weekly, Monthly, Yearly };

// The granularity a dimension's word names; any other word, or none, buckets nothing.
Granularity granularity_of(const std::optional<std::string>& word);

// A date or date-and-time value written at the granularity of its dimension, appended to `out`;
// a value that is no date, or a granularity that buckets nothing, is appended unchanged.
void append_normalized(std::string& out, std::string_view value, Granularity granularity);

}  // namespace quib::ingest::dates
