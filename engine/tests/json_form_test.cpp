// The JSON form of the stored records: defaults, array form, variants, strict number types, the
// data messages, and the compact schema text.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "core/error.h"
#include "storage/file_format.h"
#include "storage/json_form.h"

namespace quib::storage::json_form {
namespace {

using core::DistributionRepr;
using core::JointRepr;
using core::VariableType;

std::string replaced(std::string text, std::string_view marker, std::string_view value) {
  return text.replace(text.find(marker), marker.size(), value);
}

// A meta file whose one variable is continuous with `bins` as given.
std::string meta_with_bins(std::string_view bins) {
  return replaced(
      R"({"schema":{"variables":[{"name":"x","var_type":{"Continuous":{"bins":BINS}}}],)"
      R"("dimensions":[],"joints":[]},"next_distribution_id":1,"next_joint_id":1,)"
      R"("next_raw_record_id":1,"format_version":3})",
      "BINS", bins);
}

// A distribution file holding one distribution with the given repr and entropy texts.
std::string distribution_with(std::string_view repr, std::string_view entropy = "0.5") {
  std::string text =
      R"({"distributions":[{"id":1,"variable":"price","dimension_key":{"region":"eu"},)"
      R"("repr":REPR,"sample_count":3,"entropy":ENTROPY,"last_updated":5,"version":1,)"
      R"("raw_record_range":[0,0]}],"joints":[]})";
  return replaced(replaced(text, "REPR", repr), "ENTROPY", entropy);
}

constexpr std::string_view kHistogram =
    R"({"Histogram":{"min":0.0,"max":1.0,"bin_counts":[1,2],"total_count":3}})";

template <typename Record>
std::string error_of(std::string_view text) {
  try {
    from_json<Record>(text);
  } catch (const Error& error) {
    return error.full();
  }
  return "(read)";
}

// The message without its position, for cases where only the message is in question.
template <typename Record>
std::string message_of(std::string_view text) {
  std::string message = error_of<Record>(text);
  return message.substr(0, message.rfind(" at line "));
}

TEST(MetaFileForm, MissingFlagsTakeTheirDefaults) {
  const MetaFile meta = from_json<MetaFile>(
      R"({"schema":{"variables":[],"dimensions":[],"joints":[]},"next_distribution_id":4,)"
      R"("next_joint_id":2,"next_raw_record_id":9,"format_version":3})");
  EXPECT_EQ(meta.next_distribution_id, 4u);
  EXPECT_EQ(meta.next_joint_id, 2u);
  EXPECT_EQ(meta.next_raw_record_id, 9u);
  EXPECT_EQ(meta.format_version, 3u);
  EXPECT_TRUE(meta.raw_log_enabled);
  EXPECT_EQ(meta.high_water_mark, 0u);
}

TEST(MetaFileForm, ArrayFormReadsLikeTheObjectForm) {
  const std::string schema = R"({"variables":[],"dimensions":[],"joints":[]})";
  const MetaFile seven = from_json<MetaFile>("[" + schema + ",4,2,9,3,false,17]");
  EXPECT_EQ(seven.next_distribution_id, 4u);
  EXPECT_FALSE(seven.raw_log_enabled);
  EXPECT_EQ(seven.high_water_mark, 17u);
  EXPECT_EQ(from_json<MetaFile>(to_json(seven)), seven);

  const MetaFile five = from_json<MetaFile>("[" + schema + ",4,2,9,3]");
  EXPECT_TRUE(five.raw_log_enabled);
  EXPECT_EQ(five.high_water_mark, 0u);
  EXPECT_EQ(from_json<MetaFile>("[" + schema + ",4,2,9,3,false]").high_water_mark, 0u);

  EXPECT_EQ(message_of<MetaFile>("[" + schema + ",4,2,9]"),
            "invalid length 4, expected struct MetaFile with 7 elements");
  EXPECT_EQ(message_of<MetaFile>("[" + schema + ",4,2,9,3,true,0,1]"), "trailing characters");
  EXPECT_EQ(message_of<MetaFile>("[" + schema + ",4,2,9,3,true,0,]"), "trailing comma");
}

TEST(MetaFileForm, RequiredMembersMustBePresentOnce) {
  EXPECT_EQ(error_of<MetaFile>(R"({"schema":{"variables":[],"dimensions":[],"joints":[]},)"
                               R"("next_distribution_id":1,"next_joint_id":1,)"
                               R"("next_raw_record_id":1})"),
            "missing field `format_version` at line 1 column 121");
  EXPECT_EQ(error_of<MetaFile>(R"({"next_joint_id":1,"next_joint_id":2})"),
            "duplicate field `next_joint_id` at line 1 column 34");
  EXPECT_EQ(message_of<MetaFile>("{}"), "missing field `schema`");
}

TEST(MetaFileForm, UnknownMembersAreSkippedAnywhere) {
  const MetaFile meta = from_json<MetaFile>(
      R"({"extra":{"deep":[1,{"x":null}]},"schema":{"variables":[{"name":"x","note":"n",)"
      R"("var_type":{"Categorical":{"categories":["a"],"allow_unknown":true,"why":[]}}}],)"
      R"("dimensions":[{"name":"d","source_column":"c","old":1}],"joints":[]},)"
      R"("next_distribution_id":1,"next_joint_id":1,"next_raw_record_id":1,)"
      R"("format_version":3,"raw_log_enabled":false,"high_water_mark":0,"zz":true})");
  ASSERT_EQ(meta.schema.variables.size(), 1u);
  const auto* categorical = meta.schema.variables[0].var_type.get_if<VariableType::Categorical>();
  ASSERT_NE(categorical, nullptr);
  EXPECT_EQ(categorical->categories, std::vector<std::string>{"a"});
  EXPECT_TRUE(categorical->allow_unknown);
  ASSERT_EQ(meta.schema.dimensions.size(), 1u);
  EXPECT_EQ(meta.schema.dimensions[0].source_column, "c");
  EXPECT_FALSE(meta.schema.dimensions[0].granularity.has_value());
  // A skipped member must still be well-formed JSON.
  EXPECT_EQ(message_of<MetaFile>(R"({"extra":[1,}})"), "expected value");
}

TEST(MetaFileForm, OptionalMembersReadAsAbsentWhenMissing) {
  const MetaFile meta = from_json<MetaFile>(meta_with_bins("10"));
  const auto* continuous = meta.schema.variables[0].var_type.get_if<VariableType::Continuous>();
  ASSERT_NE(continuous, nullptr);
  EXPECT_EQ(continuous->bins, 10u);
  EXPECT_FALSE(continuous->range.has_value());
  EXPECT_EQ(message_of<MetaFile>(replaced(meta_with_bins("10"), R"("bins":10)", R"("range":null)")),
            "missing field `bins`");
  // The array form has no such leniency: an absent range is written as null.
  EXPECT_EQ(message_of<MetaFile>(replaced(meta_with_bins("10"), R"({"bins":10})", "[10]")),
            "invalid length 1, expected struct variant VariableType::Continuous with 2 elements");
  const MetaFile with_null =
      from_json<MetaFile>(replaced(meta_with_bins("10"), R"({"bins":10})", "[10,null]"));
  EXPECT_EQ(with_null, meta);
}

struct BinsCase {
  std::string bins;
  std::string message;
};

class BinsValues : public testing::TestWithParam<BinsCase> {};

TEST_P(BinsValues, AreRefusedUnlessAU32Integer) {
  EXPECT_EQ(message_of<MetaFile>(meta_with_bins(GetParam().bins)), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    JsonForm, BinsValues,
    testing::Values(BinsCase{"-1", "invalid value: integer `-1`, expected u32"},
                    BinsCase{"4294967296", "invalid value: integer `4294967296`, expected u32"},
                    BinsCase{"2.5", "invalid type: floating point `2.5`, expected u32"},
                    BinsCase{"1e1", "invalid type: floating point `10.0`, expected u32"},
                    BinsCase{"null", "invalid type: null, expected u32"},
                    BinsCase{"\"10\"", "invalid type: string \"10\", expected u32"},
                    BinsCase{"[]", "invalid type: sequence, expected u32"},
                    BinsCase{"4294967295", "(read)"}));

TEST(NumberFields, PositionFollowsTheOffendingValue) {
  EXPECT_EQ(error_of<DistIndex>(R"({"by_key":{"a":-1}})"),
            "invalid value: integer `-1`, expected u64 at line 1 column 17");
  EXPECT_EQ(error_of<DistIndex>("{\"by_key\":{\n\"a\":true}}"),
            "invalid type: boolean `true`, expected u64 at line 2 column 8");
  EXPECT_EQ(message_of<DistIndex>(R"({"by_key":{"a":18446744073709551616}})"),
            "invalid type: floating point `1.8446744073709552e19`, expected u64");
  EXPECT_EQ(from_json<DistIndex>(R"({"by_key":{"a":18446744073709551615}})").by_key.at("a"),
            std::numeric_limits<std::uint64_t>::max());
}

TEST(NumberFields, FloatFieldsTakeAnyNumberButNotNull) {
  const DistributionFile file = from_json<DistributionFile>(distribution_with(kHistogram, "3"));
  EXPECT_EQ(file.distributions.at(0).entropy, 3.0);
  const auto negative = from_json<DistributionFile>(distribution_with(kHistogram, "-2"));
  EXPECT_EQ(negative.distributions.at(0).entropy, -2.0);
  EXPECT_EQ(message_of<DistributionFile>(distribution_with(kHistogram, "null")),
            "invalid type: null, expected f64");
}

TEST(VariantForm, SelectsTheNamedVariant) {
  const DistributionFile file = from_json<DistributionFile>(distribution_with(
      R"({"Categorical":{"categories":["a","b"],"counts":[1,2],"unknown_count":0,)"
      R"("total_count":3}})"));
  const auto* categorical = file.distributions.at(0).repr.get_if<DistributionRepr::Categorical>();
  ASSERT_NE(categorical, nullptr);
  EXPECT_EQ(categorical->counts, (std::vector<std::uint64_t>{1, 2}));
  EXPECT_EQ(file.distributions[0].dimension_key.at("region"), "eu");
}

TEST(VariantForm, RefusesOtherShapes) {
  EXPECT_EQ(message_of<DistributionFile>(distribution_with(R"("Histogram")")),
            "invalid type: unit variant, expected struct variant");
  EXPECT_EQ(message_of<DistributionFile>(distribution_with(R"({"Gaussian":{}})")),
            "unknown variant `Gaussian`, expected `Histogram` or `Categorical`");
  EXPECT_EQ(message_of<DistributionFile>(distribution_with(R"("Gaussian")")),
            "unknown variant `Gaussian`, expected `Histogram` or `Categorical`");
  EXPECT_EQ(message_of<DistributionFile>(distribution_with(
                std::string(kHistogram.substr(0, kHistogram.size() - 1)) + R"(,"x":1})")),
            "expected value");
  EXPECT_EQ(message_of<DistributionFile>(distribution_with("{}")), "expected value");
  EXPECT_EQ(message_of<DistributionFile>(distribution_with("[]")), "expected value");
  EXPECT_EQ(message_of<DistributionFile>(distribution_with("7")), "expected value");
  EXPECT_EQ(message_of<DistributionFile>(distribution_with(R"({"Histogram":7})")),
            "invalid type: integer `7`, expected struct variant DistributionRepr::Histogram");
  EXPECT_EQ(message_of<DistributionFile>(distribution_with(R"({7:1})")),
            "invalid type: integer `7`, expected variant identifier");
  EXPECT_EQ(message_of<DistributionFile>(distribution_with(R"({"Histogram":[0.0,1.0,[]]})")),
            "invalid length 3, expected struct variant DistributionRepr::Histogram with 4 "
            "elements");

  const std::string joints = R"({"distributions":[],"joints":[{"id":1,"variables":["a","b"],)"
                             R"("dimension_key":{},"repr":{"Grid":[]},"sample_count":0,)"
                             R"("last_updated":0,"version":1}]})";
  EXPECT_EQ(message_of<DistributionFile>(joints),
            "unknown variant `Grid`, expected one of `HistogramGrid`, `ContingencyTable`, "
            "`ConditionalHistograms`");
  EXPECT_EQ(message_of<MetaFile>(replaced(meta_with_bins("1"), R"({"Continuous":{"bins":1}})",
                                          R"({"Ordinal":{}})")),
            "unknown variant `Ordinal`, expected `Continuous` or `Categorical`");
}

TEST(ContainerShapes, ExpectTheirJsonKinds) {
  EXPECT_EQ(message_of<DistIndex>(R"({"by_key":[]})"), "invalid type: sequence, expected a map");
  EXPECT_EQ(message_of<DistIndex>("[]"),
            "invalid length 0, expected struct DistIndex with 1 element");
  EXPECT_EQ(message_of<DistIndex>("7"), "invalid type: integer `7`, expected struct DistIndex");
  EXPECT_EQ(message_of<SnapshotStore>(R"({"entries":{"k":{}}})"),
            "invalid type: map, expected a sequence");
  const std::string file = distribution_with(kHistogram);
  EXPECT_EQ(message_of<DistributionFile>(replaced(file, "[0,0]", "[0]")),
            "invalid length 1, expected a tuple of size 2");
  EXPECT_EQ(message_of<DistributionFile>(replaced(file, "[0,0]", "[0,0,0]")),
            "trailing characters");
  EXPECT_EQ(message_of<DistributionFile>(replaced(file, "[0,0]", "{}")),
            "invalid type: map, expected a tuple of size 2");
  EXPECT_EQ(message_of<DistributionFile>(replaced(file, R"("price")", "5")),
            "invalid type: integer `5`, expected a string");
  const std::string meta = meta_with_bins("1");
  EXPECT_EQ(message_of<MetaFile>(replaced(meta, R"("joints":[])", R"("joints":"x")")),
            "invalid type: string \"x\", expected a sequence");
  EXPECT_EQ(message_of<MetaFile>(R"({"schema":{"variables":[{"name":"c","var_type":{"Categorical":)"
                                 R"({"categories":[],"allow_unknown":1}}}]}})"),
            "invalid type: integer `1`, expected a boolean");
}

TEST(WholeBuffer, HoldsExactlyOneValue) {
  EXPECT_EQ(error_of<DistIndex>(""), "EOF while parsing a value at line 1 column 0");
  EXPECT_EQ(error_of<DistIndex>(R"({"by_key":{}} {})"), "trailing characters at line 1 column 15");
  EXPECT_EQ(error_of<DistIndex>(R"({"by_key":{}}x)"), "trailing characters at line 1 column 14");
  EXPECT_TRUE(from_json<DistIndex>(" \n{\"by_key\":{}}\r\n\t ").by_key.empty());
  EXPECT_EQ(error_of<DistIndex>(R"({"by_key":{})"),
            "EOF while parsing an object at line 1 column 12");
}

TEST(MapForm, LaterRepeatedKeyWins) {
  const DistIndex index = from_json<DistIndex>(R"({"by_key":{"a|":1,"b|":2,"a|":3}})");
  EXPECT_EQ(index.by_key.size(), 2u);
  EXPECT_EQ(index.by_key.at("a|"), 3u);
  const DistributionFile file = from_json<DistributionFile>(
      replaced(distribution_with(kHistogram), R"({"region":"eu"})",
               R"({"r":"1","a":"2","r":"3"})"));
  EXPECT_EQ(file.distributions[0].dimension_key, (core::DimensionKey{{"a", "2"}, {"r", "3"}}));
}

core::DistributionObject sample_distribution(std::uint64_t id) {
  core::DistributionObject object;
  object.id = id;
  object.variable = "v\"\n\xc3\xa9";
  object.dimension_key = {{"region", "eu"}, {"time", "2024-01"}};
  object.repr.value = DistributionRepr::Histogram{-1.5, 2.25, {0, 7, 18446744073709551615u}, 9};
  object.sample_count = 9;
  object.entropy = -0.0;
  object.last_updated = 1700000000;
  object.version = 3;
  object.raw_record_range = {4, 12};
  return object;
}

TEST(RoundTrip, EveryRecordReadsBackFromItsText) {
  DistributionFile file;
  file.distributions.push_back(sample_distribution(1));
  core::DistributionObject categorical = sample_distribution(2);
  categorical.repr.value = DistributionRepr::Categorical{{"a", "", "c"}, {1, 0, 2}, 4, 7};
  categorical.entropy = 1.4591479170272448;
  file.distributions.push_back(categorical);
  core::JointDistributionObject joint;
  joint.id = 1;
  joint.variables = {"a", "b"};
  joint.repr.value = JointRepr::HistogramGrid{0.0, 1.0, 2, 1e-300, 1e300, 1, {{1}, {2}}, 3};
  file.joints.push_back(joint);
  joint.repr.value = JointRepr::ContingencyTable{{"x"}, {"y", "z"}, {{1, 2}}, 3};
  file.joints.push_back(joint);
  joint.repr.value =
      JointRepr::ConditionalHistograms{{"x"}, {sample_distribution(0).repr}, 9};
  file.joints.push_back(joint);
  EXPECT_EQ(from_json<DistributionFile>(to_json(file)), file);

  SnapshotStore store;
  store.entries["k"] = {SnapshotEntry{1, 2, sample_distribution(5)}};
  store.entries["empty"] = {};
  EXPECT_EQ(from_json<SnapshotStore>(to_json(store)), store);

  DistIndex index;
  index.by_key = {{"price|region:eu", 1}, {"price|", 2}};
  EXPECT_EQ(from_json<DistIndex>(to_json(index)), index);
  EXPECT_EQ(to_json(DistIndex{}), R"({"by_key":{}})");
  EXPECT_EQ(to_json(SnapshotStore{}), R"({"entries":{}})");
  EXPECT_EQ(to_json(DistributionFile{}), R"({"distributions":[],"joints":[]})");
}

TEST(SchemaText, IsCompactWithMembersInDeclarationOrder) {
  EXPECT_EQ(serialize_schema(core::Schema{}), R"({"variables":[],"dimensions":[],"joints":[]})");

  core::Schema schema;
  schema.variables.push_back({"price", {VariableType::Continuous{10, std::nullopt}}});
  schema.variables.push_back({"score", {VariableType::Continuous{4, std::pair{0.0, 1.0}}}});
  schema.variables.push_back(
      {"odd", {VariableType::Continuous{2, std::pair{std::nan(""), HUGE_VAL}}}});
  schema.variables.push_back({"color", {VariableType::Categorical{{"red", "blue"}, true}}});
  schema.dimensions.push_back({"region", "country", std::nullopt});
  schema.dimensions.push_back({"time", "ts", "daily"});
  schema.joints.push_back({"color", "price"});
  EXPECT_EQ(serialize_schema(schema),
            R"({"variables":[{"name":"price","var_type":{"Continuous":{"bins":10,"range":null}}},)"
            R"({"name":"score","var_type":{"Continuous":{"bins":4,"range":[0.0,1.0]}}},)"
            R"({"name":"odd","var_type":{"Continuous":{"bins":2,"range":[null,null]}}},)"
            R"({"name":"color","var_type":{"Categorical":{"categories":["red","blue"],)"
            R"("allow_unknown":true}}}],"dimensions":[{"name":"region","source_column":"country",)"
            R"("granularity":null},{"name":"time","source_column":"ts","granularity":"daily"}],)"
            R"("joints":[["color","price"]]})");
}

// Damaged texts of every record type fail with a positioned message or read; none crashes.
TEST(DamagedText, NeverCrashes) {
  DistributionFile file;
  file.distributions.push_back(sample_distribution(1));
  core::JointDistributionObject joint;
  joint.repr.value = JointRepr::ConditionalHistograms{{"x"}, {sample_distribution(0).repr}, 9};
  file.joints.push_back(joint);
  const std::string texts[] = {to_json(file), meta_with_bins("3"),
                               R"({"by_key":{"a":1}})", R"({"entries":{}})"};
  const char alphabet[] = "{}[],:\"\\0123456789-.eEnultrfasx \n";
  std::mt19937 random(5);
  for (int round = 0; round < 4000; ++round) {
    std::string text = texts[round % 4];
    for (int edits = 1 + static_cast<int>(random() % 3); edits > 0; --edits) {
      const std::size_t at = random() % (text.size() + 1);
      switch (random() % 3) {
        case 0:
          text.insert(at, 1, alphabet[random() % (sizeof alphabet - 1)]);
          break;
        case 1:
          if (at < text.size()) text.erase(at, 1);
          break;
        default:
          text.resize(at);
      }
    }
    try {
      switch (round % 4) {
        case 0:
          from_json<DistributionFile>(text);
          break;
        case 1:
          from_json<MetaFile>(text);
          break;
        case 2:
          from_json<DistIndex>(text);
          break;
        default:
          from_json<SnapshotStore>(text);
      }
    } catch (const Error& error) {
      ASSERT_NE(std::string(error.what()).find(" at line "), std::string::npos) << error.what();
    }
  }
}

}  // namespace
}  // namespace quib::storage::json_form
