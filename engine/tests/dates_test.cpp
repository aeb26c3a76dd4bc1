// Date texts: the date-like test, lenient reading, ISO weeks and bucketing by granularity.
#include "ingest/dates.h"

#include "core/unicode_text.h"
#include "date_forms.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace quib::ingest::dates {
namespace {

TEST(DateLike, NeedsDigitsAndSeparatorsInTheFirstTenBytes) {
  for (const char* text : {"2024-01-05", " 2024/01/05 ", "2024/01-05", "2024-01-05T10:00:00",
                           "\t\xC2\xA0" "0000-00-00\xE3\x80\x80", "1999/99/99xyz"}) {
    EXPECT_TRUE(is_date_like(text)) << text;
  }
  for (const char* text : {"2024-1-5", "24-01-05", "2024.01.05", "2024-01-5", "", "          ",
                           "x2024-01-05", "2024-01-0"}) {
    EXPECT_FALSE(is_date_like(text)) << text;
  }
}

TEST(DateLike, TrimsOnlyWhiteSpace) {
  EXPECT_EQ(core::trim_unicode_white_space("\xE2\x80\xA8 a b\x0B\xC2\x85"), "a b");
  // U+200B ZERO WIDTH SPACE is not white space; a stray continuation byte is not either.
  EXPECT_EQ(core::trim_unicode_white_space("\xE2\x80\x8B" "a\x80"), "\xE2\x80\x8B" "a\x80");
  EXPECT_EQ(core::trim_unicode_white_space(" \t "), "");
}

struct ParseCase {
  const char* text;
  std::optional<CivilDate> date;
};

class LenientDate : public ::testing::TestWithParam<ParseCase> {};

TEST_P(LenientDate, ReadsDatesAndDateTimes) {
  EXPECT_EQ(parse_lenient_date(GetParam().text), GetParam().date) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, LenientDate,
    ::testing::Values(
        ParseCase{"2024-01-05", CivilDate{2024, 1, 5}}, ParseCase{"2024-1-5", CivilDate{2024, 1, 5}},
        ParseCase{"2024-01-05T23:59:59", CivilDate{2024, 1, 5}},
        ParseCase{"2024-02-29T00:00:00", CivilDate{2024, 2, 29}},
        ParseCase{" 2024- 1-\t5", CivilDate{2024, 1, 5}},
        ParseCase{"2024-01-05T 1: 2: 3", CivilDate{2024, 1, 5}},
        ParseCase{"+12024-01-01", CivilDate{12024, 1, 1}},
        ParseCase{"-0044-03-15", CivilDate{-44, 3, 15}}, ParseCase{"7-01-01", CivilDate{7, 1, 1}},
        ParseCase{"2000-02-29", CivilDate{2000, 2, 29}}, ParseCase{"2023-02-29", std::nullopt},
        ParseCase{"1900-02-29", std::nullopt}, ParseCase{"2024-13-01", std::nullopt},
        ParseCase{"2024-00-10", std::nullopt}, ParseCase{"2024-04-31", std::nullopt},
        ParseCase{"2024/01/05", std::nullopt}, ParseCase{"05-01-2024", std::nullopt},
        ParseCase{"12024-01-01", std::nullopt}, ParseCase{"2024-001-05", std::nullopt},
        ParseCase{"2024-01-05 10:20:30", std::nullopt},
        ParseCase{"2024-01-05T10:20", std::nullopt},
        ParseCase{"2024-01-05T10:20:30Z", std::nullopt},
        ParseCase{"2024-01-05T10:20:30.5", std::nullopt},
        ParseCase{"2024-01-05T24:00:00", std::nullopt},
        ParseCase{"2024-01-05T10:60:00", std::nullopt}, ParseCase{"2024-01-05 ", std::nullopt},
        ParseCase{"2024", std::nullopt}, ParseCase{"", std::nullopt},
        ParseCase{"+1234567890123456789-01-01", std::nullopt}));

struct WeekCase {
  CivilDate date;
  IsoWeek week;
};

class IsoWeeks : public ::testing::TestWithParam<WeekCase> {};

TEST_P(IsoWeeks, FollowTheFirstThursday) { EXPECT_EQ(iso_week(GetParam().date), GetParam().week); }

INSTANTIATE_TEST_SUITE_P(Dates, IsoWeeks,
                         ::testing::Values(WeekCase{{2024, 12, 30}, {2025, 1}},
                                           WeekCase{{2021, 1, 1}, {2020, 53}},
                                           WeekCase{{2024, 1, 5}, {2024, 1}},
                                           WeekCase{{2020, 12, 31}, {2020, 53}},
                                           WeekCase{{2026, 1, 1}, {2026, 1}},
                                           WeekCase{{2027, 1, 3}, {2026, 53}},
                                           WeekCase{{2022, 1, 2}, {2021, 52}},
                                           WeekCase{{2023, 6, 15}, {2023, 24}},
                                           WeekCase{{1600, 1, 1}, {1599, 52}},
                                           WeekCase{{-1, 12, 31}, {-1, 52}}));

// Every day of four centuries against a count of Mondays kept day by day.
TEST(IsoWeeks, AgreeWithACalendarWalk) {
  // 1900-01-01 was a Monday, the first day of 1900-W01.
  std::int64_t week_year = 1900;
  unsigned week = 1;
  unsigned weekday = 1;
  for (std::int64_t year = 1900; year < 2300; ++year) {
    for (unsigned month = 1; month <= 12; ++month) {
      for (unsigned day = 1; day <= days_in_month(year, month); ++day) {
        if (weekday == 1 && !(year == 1900 && month == 1 && day == 1)) {
          ++week;
          // A week is in the year of its Thursday; week 1 holds the year's first one.
          if (month == 12 && day >= 29) {
            week_year = year + 1;
            week = 1;
          } else if (month == 1 && day <= 4) {
            week_year = year;
            week = 1;
          }
        }
        ASSERT_EQ(iso_week({year, month, day}), (IsoWeek{week_year, week}))
            << year << "-" << month << "-" << day;
        weekday = weekday % 7 + 1;
      }
    }
  }
}

struct BucketCase {
  std::string value;
  std::optional<std::string> granularity;
  std::string expected;
};

class DateBucketing : public testing::TestWithParam<BucketCase> {};

TEST_P(DateBucketing, WritesTheDateAtItsGranularity) {
  EXPECT_EQ(normalize_dimension_value(GetParam().value, GetParam().granularity),
            GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Granularities, DateBucketing,
    testing::Values(BucketCase{"2024-01-05T10:20:30", "daily", "2024-01-05"},
                    BucketCase{"2024-01-05T10:20:30", "weekly", "2024-W01"},
                    BucketCase{"2024-01-05T10:20:30", "monthly", "2024-01"},
                    BucketCase{"2024-01-05T10:20:30", "yearly", "2024"},
                    BucketCase{"2024-01-05", "daily", "2024-01-05"},
                    BucketCase{"2024-1-5", "daily", "2024-01-05"},
                    BucketCase{"2024-01-05T23:59:59", "daily", "2024-01-05"},
                    BucketCase{" 2024- 1- 5", "daily", "2024-01-05"},
                    BucketCase{"24-01-05", "daily", "0024-01-05"},
                    BucketCase{"2024-12-30", "weekly", "2025-W01"},
                    BucketCase{"2021-01-01", "weekly", "2020-W53"},
                    BucketCase{"2024-01-05", "weekly", "2024-W01"},
                    BucketCase{"2020-12-31", "weekly", "2020-W53"},
                    BucketCase{"2024-02-29", "monthly", "2024-02"},
                    BucketCase{"2024-02-29T00:00:00", "yearly", "2024"},
                    BucketCase{"0999-12-31", "yearly", "0999"},
                    BucketCase{"0000-02-29", "monthly", "0000-02"},
                    BucketCase{"2024-01-31", "monthly", "2024-01"},
                    BucketCase{"2027-01-01", "weekly", "2026-W53"}));

INSTANTIATE_TEST_SUITE_P(
    Unchanged, DateBucketing,
    testing::Values(BucketCase{"2023-02-29", "daily", "2023-02-29"},
                    BucketCase{"2024-04-31", "monthly", "2024-04-31"},
                    BucketCase{"2024-13-01", "yearly", "2024-13-01"},
                    BucketCase{"2024-00-10", "monthly", "2024-00-10"},
                    BucketCase{"2024-01-00", "monthly", "2024-01-00"},
                    BucketCase{"2024-1a-01", "monthly", "2024-1a-01"},
                    BucketCase{"2024/01/05", "daily", "2024/01/05"},
                    BucketCase{"05-01-2024", "daily", "05-01-2024"},
                    BucketCase{"2024-01-05 10:20:30", "daily", "2024-01-05 10:20:30"},
                    BucketCase{"2024-01-05T10:20", "daily", "2024-01-05T10:20"},
                    BucketCase{"2024-01-05T10:20:30Z", "daily", "2024-01-05T10:20:30Z"},
                    BucketCase{"2024-01-05T10:20:30.5", "weekly", "2024-01-05T10:20:30.5"},
                    BucketCase{"2024-01-05T24:00:00", "daily", "2024-01-05T24:00:00"},
                    BucketCase{"2024", "yearly", "2024"},
                    BucketCase{"2024-01-05", "Daily", "2024-01-05"},
                    BucketCase{"2024-01-05", "hourly", "2024-01-05"},
                    BucketCase{"2024-01-05", std::nullopt, "2024-01-05"},
                    BucketCase{"", "daily", ""}));

}  // namespace
}  // namespace quib::ingest::dates
