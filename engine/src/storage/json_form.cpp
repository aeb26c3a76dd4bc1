#include "storage/json_form.h"

#include <array>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "core/distribution.h"
#include "core/json.h"
#include "core/json_reader.h"
#include "core/json_writer.h"
#include "core/number_text.h"
#include "storage/records.h"

namespace quib::storage::json_form {
namespace {

using core::json::Number;
using core::json::Reader;

// `Form<T>` knows how one type reads from and writes to JSON text: `read(reader, value)` and
// `write(out, value)`. Records and enumerations are described by tables below, so that the
// reader and the writer cannot disagree on names or order.
template <typename T>
struct Form;

int peek_value(Reader& reader) {
  const int next = reader.peek();
  if (next < 0) reader.fail_at_next("EOF while parsing a value");
  return next;
}

bool starts_number(int next) { return next == '-' || (next >= '0' && next <= '9'); }

[[noreturn]] void fail_number(Reader& reader, std::string_view kind, const Number& number,
                              std::string_view expected) {
  std::string message(kind);
  message.append(": ").append(core::json::describe_number(number)).append(", expected ");
  reader.fail_data(message.append(expected));
}

std::uint64_t read_unsigned(Reader& reader, std::string_view expected) {
  if (!starts_number(peek_value(reader))) reader.fail_invalid_type(expected);
  const Number number = reader.read_number();
  if (number.number_class == Number::Class::Signed) {
    fail_number(reader, "invalid value", number, expected);
  }
  if (number.number_class == Number::Class::Float) {
    fail_number(reader, "invalid type", number, expected);
  }
  return number.unsigned_value;
}

// ---- scalars ----

template <>
struct Form<std::uint64_t> {
  static void read(Reader& reader, std::uint64_t& value) { value = read_unsigned(reader, "u64"); }
  static void write(std::string& out, std::uint64_t value) {
    core::number_text::append_plain(out, value);
  }
};

template <>
struct Form<std::uint32_t> {
  static void read(Reader& reader, std::uint32_t& value) {
    const std::uint64_t wide = read_unsigned(reader, "u32");
    if (wide > std::numeric_limits<std::uint32_t>::max()) {
      Number number;
      number.unsigned_value = wide;
      fail_number(reader, "invalid value", number, "u32");
    }
    value = static_cast<std::uint32_t>(wide);
  }
  static void write(std::string& out, std::uint32_t value) {
    core::number_text::append_plain(out, value);
  }
};

template <>
struct Form<double> {
  static void read(Reader& reader, double& value) {
    if (!starts_number(peek_value(reader))) reader.fail_invalid_type("f64");
    const Number number = reader.read_number();
    switch (number.number_class) {
      case Number::Class::Unsigned:
        value = static_cast<double>(number.unsigned_value);
        return;
      case Number::Class::Signed:
        value = static_cast<double>(number.signed_value);
        return;
      case Number::Class::Float:
        value = number.float_value;
        return;
    }
  }
  static void write(std::string& out, double value) {
    if (std::isfinite(value)) {
      core::number_text::append_json_float(out, value);
    } else {
      out.append("null");
    }
  }
};

template <>
struct Form<bool> {
  static void read(Reader& reader, bool& value) {
    const int next = peek_value(reader);
    if (next != 't' && next != 'f') reader.fail_invalid_type("a boolean");
    value = reader.read_bool();
  }
  static void write(std::string& out, bool value) { out.append(value ? "true" : "false"); }
};

template <>
struct Form<std::string> {
  static void read(Reader& reader, std::string& value) {
    if (peek_value(reader) != '"') reader.fail_invalid_type("a string");
    reader.read_string(value);
  }
  static void write(std::string& out, const std::string& value) {
    core::json::write_string(out, value);
  }
};

// ---- containers ----

template <typename T>
struct Form<std::vector<T>> {
  static void read(Reader& reader, std::vector<T>& list) {
    if (peek_value(reader) != '[') reader.fail_invalid_type("a sequence");
    reader.enter();
    list.clear();
    bool first = true;
    while (reader.next_element(first)) Form<T>::read(reader, list.emplace_back());
    reader.end_array();
  }
  static void write(std::string& out, const std::vector<T>& list) {
    out.push_back('[');
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (i > 0) out.push_back(',');
      Form<T>::write(out, list[i]);
    }
    out.push_back(']');
  }
};

template <>
struct Form<core::CategoryList> {
  static void read(Reader& reader, core::CategoryList& list) {
    std::vector<std::string> names;
    Form<std::vector<std::string>>::read(reader, names);
    list = std::move(names);
  }
  static void write(std::string& out, const core::CategoryList& list) {
    Form<std::vector<std::string>>::write(out, list.names());
  }
};

template <typename A, typename B>
struct Form<std::pair<A, B>> {
  static void read(Reader& reader, std::pair<A, B>& pair) {
    if (peek_value(reader) != '[') reader.fail_invalid_type("a tuple of size 2");
    reader.enter();
    bool first = true;
    if (!reader.next_element(first)) fail_short(reader, 0);
    Form<A>::read(reader, pair.first);
    if (!reader.next_element(first)) fail_short(reader, 1);
    Form<B>::read(reader, pair.second);
    reader.end_array();
  }
  static void write(std::string& out, const std::pair<A, B>& pair) {
    out.push_back('[');
    Form<A>::write(out, pair.first);
    out.push_back(',');
    Form<B>::write(out, pair.second);
    out.push_back(']');
  }

 private:
  [[noreturn]] static void fail_short(Reader& reader, int found) {
    reader.end_array();
    reader.fail_data("invalid length " + std::to_string(found) + ", expected a tuple of size 2");
  }
};

template <typename T>
struct Form<std::optional<T>> {
  static void read(Reader& reader, std::optional<T>& value) {
    if (reader.peek() == 'n') {
      reader.read_null();
      value.reset();
      return;
    }
    Form<T>::read(reader, value.emplace());
  }
  static void write(std::string& out, const std::optional<T>& value) {
    if (value) {
      Form<T>::write(out, *value);
    } else {
      out.append("null");
    }
  }
};

// An object of every (name, value) of `pairs` in their own order.
template <typename Pairs, typename WriteValue>
void write_object(std::string& out, const Pairs& pairs, WriteValue write_value) {
  out.push_back('{');
  bool first = true;
  for (const auto& [key, value] : pairs) {
    if (!first) out.push_back(',');
    first = false;
    core::json::write_string(out, key);
    out.push_back(':');
    write_value(out, value);
  }
  out.push_back('}');
}

// Ordered and hash maps alike: an object from text to value; a repeated name keeps the later
// value. The writer follows the map's own iteration order.
template <typename Map>
struct MapForm {
  static void read(Reader& reader, Map& map) {
    if (peek_value(reader) != '{') reader.fail_invalid_type("a map");
    reader.enter();
    map.clear();
    bool first = true;
    std::string key;
    while (reader.next_key(first)) {
      reader.read_string(key);
      reader.read_colon();
      typename Map::mapped_type value{};
      Form<typename Map::mapped_type>::read(reader, value);
      map.insert_or_assign(key, std::move(value));
    }
    reader.end_object();
  }
  static void write(std::string& out, const Map& map) {
    write_object(out, map, Form<typename Map::mapped_type>::write);
  }
};

template <typename V>
struct Form<std::map<std::string, V>> : MapForm<std::map<std::string, V>> {};
template <typename V>
struct Form<std::unordered_map<std::string, V>> : MapForm<std::unordered_map<std::string, V>> {};

template <>
struct Form<core::SharedText> {
  static void read(Reader& reader, core::SharedText& value) {
    std::string text;
    Form<std::string>::read(reader, text);
    value = text;
  }
  static void write(std::string& out, const core::SharedText& value) {
    Form<std::string>::write(out, value);
  }
};

// A dimension key reads and writes as a map from name to value.
template <>
struct Form<core::DimensionKey> {
  static void read(Reader& reader, core::DimensionKey& key) {
    std::map<std::string, std::string> pairs;
    MapForm<std::map<std::string, std::string>>::read(reader, pairs);
    key = core::DimensionKey(pairs.begin(), pairs.end());
  }
  static void write(std::string& out, const core::DimensionKey& key) {
    write_object(out, key, core::json::write_string);
  }
};

// ---- records ----

template <typename Record>
struct Field {
  std::string_view name;
  void (*read)(Reader&, Record&);
  void (*write)(std::string&, const Record&);
  // Called for a member missing from the object form; null makes the member required.
  void (*when_missing)(Record&) = nullptr;
  // Whether that value also fills a missing trailing element of the array form.
  bool fills_short_array = false;
};

template <typename Record, typename T>
Record record_of(T Record::*);

template <auto Member>
using RecordOf = decltype(record_of(Member));

template <auto Member>
constexpr Field<RecordOf<Member>> field(std::string_view name,
                                        void (*when_missing)(RecordOf<Member>&) = nullptr,
                                        bool fills_short_array = false) {
  using Record = RecordOf<Member>;
  using Type = std::remove_cvref_t<decltype(std::declval<Record&>().*Member)>;
  return {name, [](Reader& reader, Record& record) { Form<Type>::read(reader, record.*Member); },
          [](std::string& out, const Record& record) { Form<Type>::write(out, record.*Member); },
          when_missing, fills_short_array};
}

// An optional member that may be missing from the object form: it then reads as absent.
template <typename Record>
void leave_absent(Record&) {}

template <typename Record, std::size_t N>
struct RecordTable {
  std::string_view expecting;  // "struct MetaFile"
  std::array<Field<Record>, N> fields;
};

template <typename Record, std::size_t N>
void read_array_form(Reader& reader, Record& record, const RecordTable<Record, N>& table) {
  reader.enter();
  bool first = true;
  for (std::size_t index = 0; index < N; ++index) {
    const Field<Record>& field = table.fields[index];
    if (reader.next_element(first)) {
      field.read(reader, record);
    } else if (field.fills_short_array) {
      field.when_missing(record);
    } else {
      reader.end_array();
      reader.fail_data("invalid length " + std::to_string(index) + ", expected " +
                       std::string(table.expecting) + " with " + std::to_string(N) +
                       (N == 1 ? " element" : " elements"));
    }
  }
  reader.end_array();
}

template <typename Record, std::size_t N>
void read_record(Reader& reader, Record& record, const RecordTable<Record, N>& table) {
  const int next = peek_value(reader);
  if (next == '[') return read_array_form(reader, record, table);
  if (next != '{') reader.fail_invalid_type(table.expecting);
  reader.enter();
  std::array<bool, N> seen{};
  bool first = true;
  std::string name;
  while (reader.next_key(first)) {
    reader.read_string(name);
    std::size_t index = 0;
    while (index < N && table.fields[index].name != name) ++index;
    if (index == N) {  // not a field of this record: parsed and dropped
      reader.read_colon();
      reader.skip_value();
      continue;
    }
    if (seen[index]) reader.fail_data("duplicate field `" + name + "`");
    seen[index] = true;
    reader.read_colon();
    table.fields[index].read(reader, record);
  }
  reader.end_object();
  for (std::size_t index = 0; index < N; ++index) {
    if (seen[index]) continue;
    const Field<Record>& field = table.fields[index];
    if (field.when_missing == nullptr) {
      reader.fail_data("missing field `" + std::string(field.name) + "`");
    }
    field.when_missing(record);
  }
}

template <typename Record, std::size_t N>
void write_record(std::string& out, const Record& record, const RecordTable<Record, N>& table) {
  out.push_back('{');
  for (std::size_t index = 0; index < N; ++index) {
    if (index > 0) out.push_back(',');
    core::json::write_string(out, table.fields[index].name);
    out.push_back(':');
    table.fields[index].write(out, record);
  }
  out.push_back('}');
}

// The Form of a record described by `kTable`.
template <typename Record, const auto& kTable>
struct TableForm {
  static void read(Reader& reader, Record& record) { read_record(reader, record, kTable); }
  static void write(std::string& out, const Record& record) { write_record(out, record, kTable); }
};

// ---- enumerations: an object with one member named after the variant ----

template <typename Enum, std::size_t N>
struct EnumTable {
  std::array<std::string_view, N> names;  // in alternative order
  std::string_view expected;              // "`Histogram` or `Categorical`"
};

template <typename Alternatives, std::size_t... I>
void read_alternative(Reader& reader, Alternatives& value, std::size_t index,
                      std::index_sequence<I...>) {
  using ReadOne = void (*)(Reader&, Alternatives&);
  static constexpr ReadOne kReaders[] = {[](Reader& r, Alternatives& v) {
    Form<std::variant_alternative_t<I, Alternatives>>::read(r, v.template emplace<I>());
  }...};
  kReaders[index](reader, value);
}

template <typename Enum, std::size_t N>
void read_enum(Reader& reader, Enum& value, const EnumTable<Enum, N>& table) {
  const int next = peek_value(reader);
  if (next != '{' && next != '"') reader.fail_at_next("expected value");
  const bool unit = next == '"';
  if (!unit) {
    reader.enter();
    if (peek_value(reader) != '"') reader.fail_invalid_type("variant identifier");
  }
  std::string name;
  reader.read_string(name);
  std::size_t index = 0;
  while (index < N && table.names[index] != name) ++index;
  if (index == N) {
    reader.fail_data("unknown variant `" + name + "`, expected " + std::string(table.expected));
  }
  if (unit) reader.fail_data("invalid type: unit variant, expected struct variant");
  reader.read_colon();
  read_alternative(reader, value.value, index, std::make_index_sequence<N>());
  const int after = reader.peek();
  if (after < 0) reader.fail_at_next("EOF while parsing an object");
  if (after != '}') reader.fail_at_next("expected value");
  reader.end_object();
}

template <typename Enum, std::size_t N>
void write_enum(std::string& out, const Enum& value, const EnumTable<Enum, N>& table) {
  out.push_back('{');
  core::json::write_string(out, table.names[value.value.index()]);
  out.push_back(':');
  std::visit([&](const auto& fields) { Form<std::decay_t<decltype(fields)>>::write(out, fields); },
             value.value);
  out.push_back('}');
}

template <typename Enum, const auto& kTable>
struct EnumForm {
  static void read(Reader& reader, Enum& value) { read_enum(reader, value, kTable); }
  static void write(std::string& out, const Enum& value) { write_enum(out, value, kTable); }
};

// ---- the tables, leaves first ----

using core::DimensionDefinition;
using core::DistributionObject;
using core::DistributionRepr;
using core::JointDistributionObject;
using core::JointRepr;
using core::Schema;
using core::VariableDefinition;
using core::VariableType;

constexpr RecordTable<VariableType::Continuous, 2> kContinuous{
    "struct variant VariableType::Continuous",
    {field<&VariableType::Continuous::bins>("bins"),
     field<&VariableType::Continuous::range>("range", leave_absent)}};
template <>
struct Form<VariableType::Continuous> : TableForm<VariableType::Continuous, kContinuous> {};

constexpr RecordTable<VariableType::Categorical, 2> kCategoricalType{
    "struct variant VariableType::Categorical",
    {field<&VariableType::Categorical::categories>("categories"),
     field<&VariableType::Categorical::allow_unknown>("allow_unknown")}};
template <>
struct Form<VariableType::Categorical> : TableForm<VariableType::Categorical, kCategoricalType> {};

constexpr EnumTable<VariableType, 2> kVariableType{{"Continuous", "Categorical"},
                                                   "`Continuous` or `Categorical`"};
template <>
struct Form<VariableType> : EnumForm<VariableType, kVariableType> {};

constexpr RecordTable<VariableDefinition, 2> kVariableDefinition{
    "struct VariableDefinition",
    {field<&VariableDefinition::name>("name"), field<&VariableDefinition::var_type>("var_type")}};
template <>
struct Form<VariableDefinition> : TableForm<VariableDefinition, kVariableDefinition> {};

constexpr RecordTable<DimensionDefinition, 3> kDimensionDefinition{
    "struct DimensionDefinition",
    {field<&DimensionDefinition::name>("name"),
     field<&DimensionDefinition::source_column>("source_column"),
     field<&DimensionDefinition::granularity>("granularity", leave_absent)}};
template <>
struct Form<DimensionDefinition> : TableForm<DimensionDefinition, kDimensionDefinition> {};

constexpr RecordTable<Schema, 3> kSchema{
    "struct Schema",
    {field<&Schema::variables>("variables"), field<&Schema::dimensions>("dimensions"),
     field<&Schema::joints>("joints")}};
template <>
struct Form<Schema> : TableForm<Schema, kSchema> {};

constexpr RecordTable<MetaFile, 7> kMetaFile{
    "struct MetaFile",
    {field<&MetaFile::schema>("schema"),
     field<&MetaFile::next_distribution_id>("next_distribution_id"),
     field<&MetaFile::next_joint_id>("next_joint_id"),
     field<&MetaFile::next_raw_record_id>("next_raw_record_id"),
     field<&MetaFile::format_version>("format_version"),
     field<&MetaFile::raw_log_enabled>(
         "raw_log_enabled", [](MetaFile& meta) { meta.raw_log_enabled = true; }, true),
     field<&MetaFile::high_water_mark>(
         "high_water_mark", [](MetaFile& meta) { meta.high_water_mark = 0; }, true)}};
template <>
struct Form<MetaFile> : TableForm<MetaFile, kMetaFile> {};

constexpr RecordTable<DistributionRepr::Histogram, 4> kHistogram{
    "struct variant DistributionRepr::Histogram",
    {field<&DistributionRepr::Histogram::min>("min"),
     field<&DistributionRepr::Histogram::max>("max"),
     field<&DistributionRepr::Histogram::bin_counts>("bin_counts"),
     field<&DistributionRepr::Histogram::total_count>("total_count")}};
template <>
struct Form<DistributionRepr::Histogram> : TableForm<DistributionRepr::Histogram, kHistogram> {};

constexpr RecordTable<DistributionRepr::Categorical, 4> kCategoricalRepr{
    "struct variant DistributionRepr::Categorical",
    {field<&DistributionRepr::Categorical::categories>("categories"),
     field<&DistributionRepr::Categorical::counts>("counts"),
     field<&DistributionRepr::Categorical::unknown_count>("unknown_count"),
     field<&DistributionRepr::Categorical::total_count>("total_count")}};
template <>
struct Form<DistributionRepr::Categorical>
    : TableForm<DistributionRepr::Categorical, kCategoricalRepr> {};

constexpr EnumTable<DistributionRepr, 2> kDistributionRepr{{"Histogram", "Categorical"},
                                                           "`Histogram` or `Categorical`"};
template <>
struct Form<DistributionRepr> : EnumForm<DistributionRepr, kDistributionRepr> {};

constexpr RecordTable<DistributionObject, 9> kDistributionObject{
    "struct DistributionObject",
    {field<&DistributionObject::id>("id"), field<&DistributionObject::variable>("variable"),
     field<&DistributionObject::dimension_key>("dimension_key"),
     field<&DistributionObject::repr>("repr"),
     field<&DistributionObject::sample_count>("sample_count"),
     field<&DistributionObject::entropy>("entropy"),
     field<&DistributionObject::last_updated>("last_updated"),
     field<&DistributionObject::version>("version"),
     field<&DistributionObject::raw_record_range>("raw_record_range")}};
template <>
struct Form<DistributionObject> : TableForm<DistributionObject, kDistributionObject> {};

constexpr RecordTable<JointRepr::HistogramGrid, 8> kHistogramGrid{
    "struct variant JointRepr::HistogramGrid",
    {field<&JointRepr::HistogramGrid::x_min>("x_min"),
     field<&JointRepr::HistogramGrid::x_max>("x_max"),
     field<&JointRepr::HistogramGrid::x_bins>("x_bins"),
     field<&JointRepr::HistogramGrid::y_min>("y_min"),
     field<&JointRepr::HistogramGrid::y_max>("y_max"),
     field<&JointRepr::HistogramGrid::y_bins>("y_bins"),
     field<&JointRepr::HistogramGrid::counts>("counts"),
     field<&JointRepr::HistogramGrid::total_count>("total_count")}};
template <>
struct Form<JointRepr::HistogramGrid> : TableForm<JointRepr::HistogramGrid, kHistogramGrid> {};

constexpr RecordTable<JointRepr::ContingencyTable, 4> kContingencyTable{
    "struct variant JointRepr::ContingencyTable",
    {field<&JointRepr::ContingencyTable::x_categories>("x_categories"),
     field<&JointRepr::ContingencyTable::y_categories>("y_categories"),
     field<&JointRepr::ContingencyTable::counts>("counts"),
     field<&JointRepr::ContingencyTable::total_count>("total_count")}};
template <>
struct Form<JointRepr::ContingencyTable>
    : TableForm<JointRepr::ContingencyTable, kContingencyTable> {};

constexpr RecordTable<JointRepr::ConditionalHistograms, 3> kConditionalHistograms{
    "struct variant JointRepr::ConditionalHistograms",
    {field<&JointRepr::ConditionalHistograms::condition_categories>("condition_categories"),
     field<&JointRepr::ConditionalHistograms::histograms>("histograms"),
     field<&JointRepr::ConditionalHistograms::total_count>("total_count")}};
template <>
struct Form<JointRepr::ConditionalHistograms>
    : TableForm<JointRepr::ConditionalHistograms, kConditionalHistograms> {};

constexpr EnumTable<JointRepr, 3> kJointRepr{
    {"HistogramGrid", "ContingencyTable", "ConditionalHistograms"},
    "one of `HistogramGrid`, `ContingencyTable`, `ConditionalHistograms`"};
template <>
struct Form<JointRepr> : EnumForm<JointRepr, kJointRepr> {};

constexpr RecordTable<JointDistributionObject, 7> kJointDistributionObject{
    "struct JointDistributionObject",
    {field<&JointDistributionObject::id>("id"),
     field<&JointDistributionObject::variables>("variables"),
     field<&JointDistributionObject::dimension_key>("dimension_key"),
     field<&JointDistributionObject::repr>("repr"),
     field<&JointDistributionObject::sample_count>("sample_count"),
     field<&JointDistributionObject::last_updated>("last_updated"),
     field<&JointDistributionObject::version>("version")}};
template <>
struct Form<JointDistributionObject>
    : TableForm<JointDistributionObject, kJointDistributionObject> {};

constexpr RecordTable<DistributionFile, 2> kDistributionFile{
    "struct DistributionFile",
    {field<&DistributionFile::distributions>("distributions"),
     field<&DistributionFile::joints>("joints")}};
template <>
struct Form<DistributionFile> : TableForm<DistributionFile, kDistributionFile> {
  // Distributions of one variable share their category names in memory, as when decoded from
  // the binary form.
  static void read(Reader& reader, DistributionFile& file) {
    TableForm<DistributionFile, kDistributionFile>::read(reader, file);
    core::CategoryInterner interner;
    for (auto& distribution : file.distributions) share_categories(distribution.repr, interner);
    for (auto& joint : file.joints) share_categories(joint.repr, interner);
  }
};

constexpr RecordTable<DistIndex, 1> kDistIndex{"struct DistIndex",
                                               {field<&DistIndex::by_key>("by_key")}};
template <>
struct Form<DistIndex> : TableForm<DistIndex, kDistIndex> {};

constexpr RecordTable<SnapshotEntry, 3> kSnapshotEntry{
    "struct SnapshotEntry",
    {field<&SnapshotEntry::version>("version"), field<&SnapshotEntry::timestamp>("timestamp"),
     field<&SnapshotEntry::distribution>("distribution")}};
template <>
struct Form<SnapshotEntry> : TableForm<SnapshotEntry, kSnapshotEntry> {};

constexpr RecordTable<SnapshotStore, 1> kSnapshotStore{"struct SnapshotStore",
                                                       {field<&SnapshotStore::entries>("entries")}};
template <>
struct Form<SnapshotStore> : TableForm<SnapshotStore, kSnapshotStore> {};

}  // namespace

template <typename Record>
Record from_json(std::string_view text) {
  Reader reader(text);
  Record record;
  Form<Record>::read(reader, record);
  reader.finish();
  return record;
}

template <typename Record>
std::string to_json(const Record& record) {
  std::string out;
  Form<Record>::write(out, record);
  return out;
}

std::string serialize_schema(const core::Schema& schema) { return to_json(schema); }

template MetaFile from_json<MetaFile>(std::string_view);
template DistributionFile from_json<DistributionFile>(std::string_view);
template DistIndex from_json<DistIndex>(std::string_view);
template SnapshotStore from_json<SnapshotStore>(std::string_view);
template std::string to_json<MetaFile>(const MetaFile&);
template std::string to_json<DistributionFile>(const DistributionFile&);
template std::string to_json<DistIndex>(const DistIndex&);
template std::string to_json<SnapshotStore>(const SnapshotStore&);

}  // namespace quib::storage::json_form
