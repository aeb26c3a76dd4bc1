// Category lists: equal names share one allocation in memory (interned as they are decoded, and
// handed out by the variable's definition), a distribution that names other categories keeps its
// own names, and the stored bytes are those of one list per distribution, as ever.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/category_list.h"
#include "core/distribution.h"
#include "storage/codec.h"
#include "storage/dist_store.h"
#include "storage/json_form.h"
#include "store_lookups.h"

namespace quib::storage {
namespace {

namespace fs = std::filesystem;
using core::CategoryList;
using core::DimensionKey;
using Names = std::vector<std::string>;

const CategoryList& categories_of(const core::DistributionObject& distribution) {
  return distribution.repr.get_if<core::ReprCategorical>()->categories;
}

const CategoryList& schema_categories(const Database& db, std::string_view variable) {
  const auto& var_type = db.schema().find_variable(variable)->var_type;
  return var_type.get_if<core::VariableType::Categorical>()->categories;
}

TEST(CategoryInternerTest, EqualNamesShareAndOtherNamesDoNot) {
  struct Case {
    Names first;
    Names second;
    bool shared;
  };
  const Case cases[] = {
      {{"a", "b"}, {"a", "b"}, true},
      {{"a", "b"}, {"b", "a"}, false},  // order is meaning: position = count index
      {{"a", "b"}, {"a", "b", "c"}, false},
      {{"ab"}, {"a", "b"}, false},
      {{}, {}, true},
      {{""}, {}, false},
  };
  for (const Case& c : cases) {
    core::CategoryInterner interner;
    const CategoryList first = interner.intern(CategoryList(c.first));
    const CategoryList second = interner.intern(CategoryList(c.second));
    EXPECT_EQ(first.shares_names_with(second), c.shared) << testing::PrintToString(c.first);
    EXPECT_EQ(first.names(), c.first);
    EXPECT_EQ(second.names(), c.second);
  }
}

class SharedCategoriesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quib_categories_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    path_ = pattern;
  }
  void TearDown() override { fs::remove_all(path_); }

  // Writes the meta and distribution records in the binary form of a version-0 container.
  void write_by_hand(const MetaFile& meta, const DistributionFile& file) {
    write_container("meta.edb", codec::encode(meta));
    write_container("distributions.edb", codec::encode(file));
  }
  void write_container(const std::string& name, const std::vector<std::uint8_t>& encoded) {
    std::string bytes("QUIB\0\0\0\0", 8);
    bytes.append(encoded.begin(), encoded.end());
    std::ofstream(path_ + "/" + name, std::ios::binary).write(bytes.data(), bytes.size());
  }
  std::string content_of(const std::string& name) {
    std::ifstream in(path_ + "/" + name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  std::string path_;
};

core::VariableDefinition categorical(std::string name, Names categories) {
  return {std::move(name), {core::VariableType::Categorical{std::move(categories), true}}};
}

TEST_F(SharedCategoriesTest, DistributionsShareTheirVariablesListAfterCreateAndReopen) {
  const std::vector<DimensionKey> keys = {{{"r", "eu"}}, {{"r", "us"}}, {{"r", "asia"}}};
  {
    Database db = Database::create_with_options(path_, false);
    db.define_variable(categorical("color", {"red", "green", "blue"}));
    db.define_variable(categorical("tone", {"dark", "light"}));
    for (const auto& key : keys) {
      db.ensure_distribution("color", key);
      db.ensure_distribution("tone", key);
      db.ensure_joint_distribution("tone", "color", key);
    }
    for (const auto& distribution : db.distributions()) {
      EXPECT_TRUE(categories_of(distribution)
                      .shares_names_with(schema_categories(db, distribution.variable)));
    }
    db.flush();
  }
  for (bool read_write : {false, true}) {
    Database db = Database::open(path_, read_write);
    const CategoryList& color = schema_categories(db, "color");
    EXPECT_EQ(color.names(), (Names{"red", "green", "blue"}));
    for (const auto& distribution : db.distributions()) {
      EXPECT_TRUE(categories_of(distribution)
                      .shares_names_with(schema_categories(db, distribution.variable)));
    }
    for (const auto& joint : db.joints()) {
      const auto* table = joint.repr.get_if<core::JointRepr::ContingencyTable>();
      ASSERT_NE(table, nullptr);
      EXPECT_TRUE(table->x_categories.shares_names_with(color));
      EXPECT_TRUE(table->y_categories.shares_names_with(schema_categories(db, "tone")));
    }
    if (read_write) {
      const std::uint64_t id = db.ensure_distribution("color", {{"r", "nz"}});
      EXPECT_TRUE(categories_of(*distribution_by_id(db, id)).shares_names_with(color));
    }
  }
}

// A file written by hand may give a distribution other names than its variable has: those keep
// their own names (shared only with equal ones), and the file reads back to the same bytes.
class HandWrittenCategoriesTest : public SharedCategoriesTest,
                                  public ::testing::WithParamInterface<bool> {};

TEST_P(HandWrittenCategoriesTest, OtherNamesKeepTheirOwnListAndTheBytesRoundTrip) {
  const bool json_form = GetParam();
  MetaFile meta;
  meta.schema.variables.push_back(categorical("x", {"a", "b"}));
  meta.raw_log_enabled = false;
  DistributionFile file;
  const std::vector<std::pair<std::string, Names>> stored = {
      {"eu", {"b", "a"}}, {"us", {"a", "b"}}, {"asia", {"b", "a"}}, {"nz", {"a", "b", "c"}}};
  for (std::size_t i = 0; i < stored.size(); ++i) {
    const auto& [region, names] = stored[i];
    const std::vector<std::uint64_t> counts(names.size(), 1);
    core::DistributionRepr repr{core::ReprCategorical{names, counts, 0, names.size()}};
    file.distributions.push_back(
        core::DistributionObject::create(i + 1, "x", {{"r", region}}, std::move(repr)));
  }
  write_by_hand(meta, file);
  if (json_form) {
    std::ofstream(path_ + "/distributions.edb", std::ios::binary) << json_form::to_json(file);
  }

  std::string flushed;
  {
    Database db = Database::open(path_, true);
    EXPECT_EQ(db.dist_file(), file);
    const auto& all = db.distributions();
    ASSERT_EQ(all.size(), 4u);
    const CategoryList& schema_list = schema_categories(db, "x");
    EXPECT_EQ(schema_list.names(), (Names{"a", "b"}));
    EXPECT_TRUE(categories_of(all[1]).shares_names_with(schema_list));
    EXPECT_TRUE(categories_of(all[0]).shares_names_with(categories_of(all[2])));
    EXPECT_FALSE(categories_of(all[0]).shares_names_with(schema_list));
    EXPECT_FALSE(categories_of(all[3]).shares_names_with(schema_list));
    EXPECT_EQ(codec::encode(db.dist_file()), codec::encode(file));
    EXPECT_EQ(json_form::to_json(db.dist_file()), json_form::to_json(file));
    db.flush();
    flushed = content_of("distributions.edb");
  }
  Database again = Database::open(path_, true);
  again.flush();
  EXPECT_EQ(content_of("distributions.edb"), flushed);
  EXPECT_EQ(again.dist_file(), file);
}

INSTANTIATE_TEST_SUITE_P(BinaryAndJson, HandWrittenCategoriesTest, ::testing::Bool());

}  // namespace
}  // namespace quib::storage
