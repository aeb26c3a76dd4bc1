#include "storage/json_form.h"

#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <utility>

#include "core/distribution.h"
#include "core/json.h"
#include "core/number_text.h"
#include "storage/dist_index.h"
#include "storage/file_format.h"
#include "storage/snapshot_store.h"

namespace quib::storage::json_form {
namespace {

using core::json::Number;
using core::json::Reader;

// ---- reading: values ----

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
  message.append(expected);
  reader.fail_data(message);
}

std::uint64_t read_u64(Reader& reader, std::string_view expected = "u64") {
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

std::uint32_t read_u32(Reader& reader) {
  const std::uint64_t value = read_u64(reader, "u32");
  if (value > std::numeric_limits<std::uint32_t>::max()) {
    Number number;
    number.unsigned_value = value;
    fail_number(reader, "invalid value", number, "u32");
  }
  return static_cast<std::uint32_t>(value);
}

double read_f64(Reader& reader) {
  if (!starts_number(peek_value(reader))) reader.fail_invalid_type("f64");
  const Number number = reader.read_number();
  switch (number.number_class) {
    case Number::Class::Unsigned:
      return static_cast<double>(number.unsigned_value);
    case Number::Class::Signed:
      return static_cast<double>(number.signed_value);
    case Number::Class::Float:
      break;
  }
  return number.float_value;
}

bool read_bool(Reader& reader) {
  const int next = peek_value(reader);
  if (next != 't' && next != 'f') reader.fail_invalid_type("a boolean");
  return reader.read_bool();
}

std::string read_text(Reader& reader) {
  if (peek_value(reader) != '"') reader.fail_invalid_type("a string");
  std::string text;
  reader.read_string(text);
  return text;
}

template <typename T, typename ReadElement>
std::vector<T> read_list(Reader& reader, ReadElement read_element) {
  if (peek_value(reader) != '[') reader.fail_invalid_type("a sequence");
  reader.enter();
  std::vector<T> list;
  bool first = true;
  while (reader.next_element(first)) list.push_back(read_element(reader));
  reader.end_array();
  return list;
}

template <typename A, typename B, typename ReadA, typename ReadB>
std::pair<A, B> read_pair(Reader& reader, ReadA read_a, ReadB read_b) {
  constexpr std::string_view kExpected = "a tuple of size 2";
  if (peek_value(reader) != '[') reader.fail_invalid_type(kExpected);
  reader.enter();
  bool first = true;
  std::pair<A, B> pair;
  for (int index = 0; index < 2; ++index) {
    if (!reader.next_element(first)) {
      reader.end_array();
      reader.fail_data("invalid length " + std::to_string(index) + ", expected " +
                       std::string(kExpected));
    }
    if (index == 0) {
      pair.first = read_a(reader);
    } else {
      pair.second = read_b(reader);
    }
  }
  reader.end_array();
  return pair;
}

// Maps read every member; a name repeated inside one map keeps the later value.
template <typename ReadMember>
void read_map(Reader& reader, ReadMember read_member) {
  if (peek_value(reader) != '{') reader.fail_invalid_type("a map");
  reader.enter();
  bool first = true;
  std::string key;
  while (reader.next_key(first)) {
    reader.read_string(key);
    reader.read_colon();
    read_member(reader, key);
  }
  reader.end_object();
}

template <typename T, typename ReadValue>
std::optional<T> read_optional(Reader& reader, ReadValue read_value) {
  if (reader.peek() == 'n') {
    reader.read_null();
    return std::nullopt;
  }
  return read_value(reader);
}

core::DimensionKey read_dimension_key(Reader& reader) {
  core::DimensionKey key;
  read_map(reader, [&](Reader& r, const std::string& name) { key.insert_or_assign(name, read_text(r)); });
  return key;
}

std::pair<std::string, std::string> read_text_pair(Reader& reader) {
  return read_pair<std::string, std::string>(reader, read_text, read_text);
}

std::vector<std::string> read_texts(Reader& reader) {
  return read_list<std::string>(reader, read_text);
}

std::vector<std::uint64_t> read_counts(Reader& reader) {
  return read_list<std::uint64_t>(reader, [](Reader& r) { return read_u64(r); });
}

// ---- reading: records and enumerations ----

template <typename Record>
struct Field {
  std::string_view name;
  void (*read)(Reader&, Record&);
  // Called for a member missing from the object form; null makes the member required.
  void (*when_missing)(Record&) = nullptr;
  // Whether the missing-member value also fills a missing trailing element of the array form.
  bool fills_short_array = false;
};

void leave_absent(auto&) {}

template <typename Record, std::size_t N>
void read_record(Reader& reader, Record& record, std::string_view expecting,
                 const std::array<Field<Record>, N>& fields) {
  const int next = peek_value(reader);
  if (next == '[') {
    reader.enter();
    bool first = true;
    for (std::size_t index = 0; index < N; ++index) {
      if (reader.next_element(first)) {
        fields[index].read(reader, record);
      } else if (fields[index].fills_short_array) {
        fields[index].when_missing(record);
      } else {
        reader.end_array();
        reader.fail_data("invalid length " + std::to_string(index) + ", expected " +
                         std::string(expecting) + " with " + std::to_string(N) +
                         (N == 1 ? " element" : " elements"));
      }
    }
    reader.end_array();
    return;
  }
  if (next != '{') reader.fail_invalid_type(expecting);
  reader.enter();
  std::array<bool, N> seen{};
  bool first = true;
  std::string name;
  while (reader.next_key(first)) {
    reader.read_string(name);
    std::size_t index = 0;
    while (index < N && fields[index].name != name) ++index;
    if (index == N) {
      reader.read_colon();
      reader.skip_value();
      continue;
    }
    if (seen[index]) reader.fail_data("duplicate field `" + name + "`");
    seen[index] = true;
    reader.read_colon();
    fields[index].read(reader, record);
  }
  reader.end_object();
  for (std::size_t index = 0; index < N; ++index) {
    if (seen[index]) continue;
    if (fields[index].when_missing == nullptr) {
      reader.fail_data("missing field `" + std::string(fields[index].name) + "`");
    }
    fields[index].when_missing(record);
  }
}

template <typename Enum>
struct Variant {
  std::string_view name;
  void (*read)(Reader&, Enum&);
};

template <typename Enum, std::size_t N>
void read_enum(Reader& reader, Enum& value, const std::array<Variant<Enum>, N>& variants,
               std::string_view expected_names) {
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
  while (index < N && variants[index].name != name) ++index;
  if (index == N) {
    reader.fail_data("unknown variant `" + name + "`, expected " + std::string(expected_names));
  }
  if (unit) reader.fail_data("invalid type: unit variant, expected struct variant");
  reader.read_colon();
  variants[index].read(reader, value);
  const int after = reader.peek();
  if (after == '}') {
    reader.end_object();
    return;
  }
  reader.fail_at_next(after < 0 ? "EOF while parsing an object" : "expected value");
}

// Every record reader, declared up front because they nest in both directions.
void read(Reader& reader, core::VariableTypeContinuous& value);
void read(Reader& reader, core::VariableTypeCategorical& value);
void read(Reader& reader, core::ReprHistogram& value);
void read(Reader& reader, core::ReprCategorical& value);
void read(Reader& reader, core::JointHistogramGrid& value);
void read(Reader& reader, core::JointContingencyTable& value);
void read(Reader& reader, core::JointConditionalHistograms& value);
void read(Reader& reader, core::VariableType& value);
void read(Reader& reader, core::VariableDefinition& value);
void read(Reader& reader, core::DimensionDefinition& value);
void read(Reader& reader, core::DistributionRepr& value);
void read(Reader& reader, core::DistributionObject& value);
void read(Reader& reader, core::JointRepr& value);
void read(Reader& reader, core::JointDistributionObject& value);
void read(Reader& reader, SnapshotEntry& value);

template <typename Record>
Record read_one(Reader& reader) {
  Record record;
  read(reader, record);
  return record;
}

void read(Reader& reader, core::VariableTypeContinuous& value) {
  using R = core::VariableTypeContinuous;
  static constexpr std::array<Field<R>, 2> kFields{{
      {"bins", [](Reader& r, R& v) { v.bins = read_u32(r); }},
      {"range",
       [](Reader& r, R& v) {
         v.range = read_optional<std::pair<double, double>>(
             r, [](Reader& rr) { return read_pair<double, double>(rr, read_f64, read_f64); });
       },
       leave_absent<R>},
  }};
  read_record(reader, value, "struct variant VariableType::Continuous", kFields);
}

void read(Reader& reader, core::VariableTypeCategorical& value) {
  using R = core::VariableTypeCategorical;
  static constexpr std::array<Field<R>, 2> kFields{{
      {"categories", [](Reader& r, R& v) { v.categories = read_texts(r); }},
      {"allow_unknown", [](Reader& r, R& v) { v.allow_unknown = read_bool(r); }},
  }};
  read_record(reader, value, "struct variant VariableType::Categorical", kFields);
}

void read(Reader& reader, core::VariableType& value) {
  using E = core::VariableType;
  static constexpr std::array<Variant<E>, 2> kVariants{{
      {"Continuous", [](Reader& r, E& v) { v.value = read_one<E::Continuous>(r); }},
      {"Categorical", [](Reader& r, E& v) { v.value = read_one<E::Categorical>(r); }},
  }};
  read_enum(reader, value, kVariants, "`Continuous` or `Categorical`");
}

void read(Reader& reader, core::VariableDefinition& value) {
  using R = core::VariableDefinition;
  static constexpr std::array<Field<R>, 2> kFields{{
      {"name", [](Reader& r, R& v) { v.name = read_text(r); }},
      {"var_type", [](Reader& r, R& v) { read(r, v.var_type); }},
  }};
  read_record(reader, value, "struct VariableDefinition", kFields);
}

void read(Reader& reader, core::DimensionDefinition& value) {
  using R = core::DimensionDefinition;
  static constexpr std::array<Field<R>, 3> kFields{{
      {"name", [](Reader& r, R& v) { v.name = read_text(r); }},
      {"source_column", [](Reader& r, R& v) { v.source_column = read_text(r); }},
      {"granularity",
       [](Reader& r, R& v) { v.granularity = read_optional<std::string>(r, read_text); },
       leave_absent<R>},
  }};
  read_record(reader, value, "struct DimensionDefinition", kFields);
}

void read(Reader& reader, core::Schema& value) {
  using R = core::Schema;
  static constexpr std::array<Field<R>, 3> kFields{{
      {"variables",
       [](Reader& r, R& v) { v.variables = read_list<core::VariableDefinition>(r, read_one<core::VariableDefinition>); }},
      {"dimensions",
       [](Reader& r, R& v) { v.dimensions = read_list<core::DimensionDefinition>(r, read_one<core::DimensionDefinition>); }},
      {"joints",
       [](Reader& r, R& v) { v.joints = read_list<std::pair<std::string, std::string>>(r, read_text_pair); }},
  }};
  read_record(reader, value, "struct Schema", kFields);
}

void read(Reader& reader, MetaFile& value) {
  using R = MetaFile;
  static constexpr std::array<Field<R>, 7> kFields{{
      {"schema", [](Reader& r, R& v) { read(r, v.schema); }},
      {"next_distribution_id", [](Reader& r, R& v) { v.next_distribution_id = read_u64(r); }},
      {"next_joint_id", [](Reader& r, R& v) { v.next_joint_id = read_u64(r); }},
      {"next_raw_record_id", [](Reader& r, R& v) { v.next_raw_record_id = read_u64(r); }},
      {"format_version", [](Reader& r, R& v) { v.format_version = read_u32(r); }},
      {"raw_log_enabled", [](Reader& r, R& v) { v.raw_log_enabled = read_bool(r); },
       [](R& v) { v.raw_log_enabled = true; }, true},
      {"high_water_mark", [](Reader& r, R& v) { v.high_water_mark = read_u64(r); },
       [](R& v) { v.high_water_mark = 0; }, true},
  }};
  read_record(reader, value, "struct MetaFile", kFields);
}

void read(Reader& reader, core::ReprHistogram& value) {
  using R = core::ReprHistogram;
  static constexpr std::array<Field<R>, 4> kFields{{
      {"min", [](Reader& r, R& v) { v.min = read_f64(r); }},
      {"max", [](Reader& r, R& v) { v.max = read_f64(r); }},
      {"bin_counts", [](Reader& r, R& v) { v.bin_counts = read_counts(r); }},
      {"total_count", [](Reader& r, R& v) { v.total_count = read_u64(r); }},
  }};
  read_record(reader, value, "struct variant DistributionRepr::Histogram", kFields);
}

void read(Reader& reader, core::ReprCategorical& value) {
  using R = core::ReprCategorical;
  static constexpr std::array<Field<R>, 4> kFields{{
      {"categories", [](Reader& r, R& v) { v.categories = read_texts(r); }},
      {"counts", [](Reader& r, R& v) { v.counts = read_counts(r); }},
      {"unknown_count", [](Reader& r, R& v) { v.unknown_count = read_u64(r); }},
      {"total_count", [](Reader& r, R& v) { v.total_count = read_u64(r); }},
  }};
  read_record(reader, value, "struct variant DistributionRepr::Categorical", kFields);
}

void read(Reader& reader, core::DistributionRepr& value) {
  using E = core::DistributionRepr;
  static constexpr std::array<Variant<E>, 2> kVariants{{
      {"Histogram", [](Reader& r, E& v) { v.value = read_one<E::Histogram>(r); }},
      {"Categorical", [](Reader& r, E& v) { v.value = read_one<E::Categorical>(r); }},
  }};
  read_enum(reader, value, kVariants, "`Histogram` or `Categorical`");
}

void read(Reader& reader, core::DistributionObject& value) {
  using R = core::DistributionObject;
  static constexpr std::array<Field<R>, 9> kFields{{
      {"id", [](Reader& r, R& v) { v.id = read_u64(r); }},
      {"variable", [](Reader& r, R& v) { v.variable = read_text(r); }},
      {"dimension_key", [](Reader& r, R& v) { v.dimension_key = read_dimension_key(r); }},
      {"repr", [](Reader& r, R& v) { read(r, v.repr); }},
      {"sample_count", [](Reader& r, R& v) { v.sample_count = read_u64(r); }},
      {"entropy", [](Reader& r, R& v) { v.entropy = read_f64(r); }},
      {"last_updated", [](Reader& r, R& v) { v.last_updated = read_u64(r); }},
      {"version", [](Reader& r, R& v) { v.version = read_u64(r); }},
      {"raw_record_range",
       [](Reader& r, R& v) {
         v.raw_record_range = read_pair<std::uint64_t, std::uint64_t>(
             r, [](Reader& rr) { return read_u64(rr); }, [](Reader& rr) { return read_u64(rr); });
       }},
  }};
  read_record(reader, value, "struct DistributionObject", kFields);
}

void read(Reader& reader, core::JointHistogramGrid& value) {
  using R = core::JointHistogramGrid;
  static constexpr std::array<Field<R>, 8> kFields{{
      {"x_min", [](Reader& r, R& v) { v.x_min = read_f64(r); }},
      {"x_max", [](Reader& r, R& v) { v.x_max = read_f64(r); }},
      {"x_bins", [](Reader& r, R& v) { v.x_bins = read_u32(r); }},
      {"y_min", [](Reader& r, R& v) { v.y_min = read_f64(r); }},
      {"y_max", [](Reader& r, R& v) { v.y_max = read_f64(r); }},
      {"y_bins", [](Reader& r, R& v) { v.y_bins = read_u32(r); }},
      {"counts", [](Reader& r, R& v) { v.counts = read_list<std::vector<std::uint64_t>>(r, read_counts); }},
      {"total_count", [](Reader& r, R& v) { v.total_count = read_u64(r); }},
  }};
  read_record(reader, value, "struct variant JointRepr::HistogramGrid", kFields);
}

void read(Reader& reader, core::JointContingencyTable& value) {
  using R = core::JointContingencyTable;
  static constexpr std::array<Field<R>, 4> kFields{{
      {"x_categories", [](Reader& r, R& v) { v.x_categories = read_texts(r); }},
      {"y_categories", [](Reader& r, R& v) { v.y_categories = read_texts(r); }},
      {"counts", [](Reader& r, R& v) { v.counts = read_list<std::vector<std::uint64_t>>(r, read_counts); }},
      {"total_count", [](Reader& r, R& v) { v.total_count = read_u64(r); }},
  }};
  read_record(reader, value, "struct variant JointRepr::ContingencyTable", kFields);
}

void read(Reader& reader, core::JointConditionalHistograms& value) {
  using R = core::JointConditionalHistograms;
  static constexpr std::array<Field<R>, 3> kFields{{
      {"condition_categories", [](Reader& r, R& v) { v.condition_categories = read_texts(r); }},
      {"histograms",
       [](Reader& r, R& v) { v.histograms = read_list<core::DistributionRepr>(r, read_one<core::DistributionRepr>); }},
      {"total_count", [](Reader& r, R& v) { v.total_count = read_u64(r); }},
  }};
  read_record(reader, value, "struct variant JointRepr::ConditionalHistograms", kFields);
}

void read(Reader& reader, core::JointRepr& value) {
  using E = core::JointRepr;
  static constexpr std::array<Variant<E>, 3> kVariants{{
      {"HistogramGrid", [](Reader& r, E& v) { v.value = read_one<E::HistogramGrid>(r); }},
      {"ContingencyTable", [](Reader& r, E& v) { v.value = read_one<E::ContingencyTable>(r); }},
      {"ConditionalHistograms",
       [](Reader& r, E& v) { v.value = read_one<E::ConditionalHistograms>(r); }},
  }};
  read_enum(reader, value, kVariants,
            "one of `HistogramGrid`, `ContingencyTable`, `ConditionalHistograms`");
}

void read(Reader& reader, core::JointDistributionObject& value) {
  using R = core::JointDistributionObject;
  static constexpr std::array<Field<R>, 7> kFields{{
      {"id", [](Reader& r, R& v) { v.id = read_u64(r); }},
      {"variables", [](Reader& r, R& v) { v.variables = read_text_pair(r); }},
      {"dimension_key", [](Reader& r, R& v) { v.dimension_key = read_dimension_key(r); }},
      {"repr", [](Reader& r, R& v) { read(r, v.repr); }},
      {"sample_count", [](Reader& r, R& v) { v.sample_count = read_u64(r); }},
      {"last_updated", [](Reader& r, R& v) { v.last_updated = read_u64(r); }},
      {"version", [](Reader& r, R& v) { v.version = read_u64(r); }},
  }};
  read_record(reader, value, "struct JointDistributionObject", kFields);
}

void read(Reader& reader, DistributionFile& value) {
  using R = DistributionFile;
  static constexpr std::array<Field<R>, 2> kFields{{
      {"distributions",
       [](Reader& r, R& v) { v.distributions = read_list<core::DistributionObject>(r, read_one<core::DistributionObject>); }},
      {"joints",
       [](Reader& r, R& v) { v.joints = read_list<core::JointDistributionObject>(r, read_one<core::JointDistributionObject>); }},
  }};
  read_record(reader, value, "struct DistributionFile", kFields);
}

void read(Reader& reader, DistIndex& value) {
  using R = DistIndex;
  static constexpr std::array<Field<R>, 1> kFields{{
      {"by_key",
       [](Reader& r, R& v) {
         v.by_key.clear();
         read_map(r, [&](Reader& rr, const std::string& key) { v.by_key.insert_or_assign(key, read_u64(rr)); });
       }},
  }};
  read_record(reader, value, "struct DistIndex", kFields);
}

void read(Reader& reader, SnapshotEntry& value) {
  using R = SnapshotEntry;
  static constexpr std::array<Field<R>, 3> kFields{{
      {"version", [](Reader& r, R& v) { v.version = read_u64(r); }},
      {"timestamp", [](Reader& r, R& v) { v.timestamp = read_u64(r); }},
      {"distribution", [](Reader& r, R& v) { read(r, v.distribution); }},
  }};
  read_record(reader, value, "struct SnapshotEntry", kFields);
}

void read(Reader& reader, SnapshotStore& value) {
  using R = SnapshotStore;
  static constexpr std::array<Field<R>, 1> kFields{{
      {"entries",
       [](Reader& r, R& v) {
         v.entries.clear();
         read_map(r, [&](Reader& rr, const std::string& key) {
           v.entries.insert_or_assign(key, read_list<SnapshotEntry>(rr, read_one<SnapshotEntry>));
         });
       }},
  }};
  read_record(reader, value, "struct SnapshotStore", kFields);
}

// ---- writing ----

// Members are written in declaration order, separated by commas.
class ObjectWriter {
 public:
  explicit ObjectWriter(std::string& out) : out_(out) { out_.push_back('{'); }
  ~ObjectWriter() { out_.push_back('}'); }
  ObjectWriter(const ObjectWriter&) = delete;
  ObjectWriter& operator=(const ObjectWriter&) = delete;

  std::string& member(std::string_view name) {
    if (!first_) out_.push_back(',');
    first_ = false;
    core::json::write_string(out_, name);
    out_.push_back(':');
    return out_;
  }

 private:
  std::string& out_;
  bool first_ = true;
};

void write(std::string& out, std::uint64_t value) { core::number_text::append_plain(out, value); }
void write(std::string& out, std::uint32_t value) { core::number_text::append_plain(out, value); }
void write(std::string& out, bool value) { out.append(value ? "true" : "false"); }
void write(std::string& out, const std::string& value) { core::json::write_string(out, value); }
void write(std::string& out, double value) {
  if (std::isfinite(value)) {
    core::number_text::append_json_float(out, value);
  } else {
    out.append("null");
  }
}

template <typename A, typename B>
void write(std::string& out, const std::pair<A, B>& pair);
template <typename T>
void write(std::string& out, const std::vector<T>& list);
template <typename T>
void write(std::string& out, const std::optional<T>& value);
template <typename Map>
  requires requires { typename Map::mapped_type; }
void write(std::string& out, const Map& map);
void write(std::string& out, const core::VariableType& value);
void write(std::string& out, const core::VariableDefinition& value);
void write(std::string& out, const core::DimensionDefinition& value);
void write(std::string& out, const core::DistributionRepr& value);
void write(std::string& out, const core::DistributionObject& value);
void write(std::string& out, const core::JointRepr& value);
void write(std::string& out, const core::JointDistributionObject& value);
void write(std::string& out, const SnapshotEntry& value);

template <typename A, typename B>
void write(std::string& out, const std::pair<A, B>& pair) {
  out.push_back('[');
  write(out, pair.first);
  out.push_back(',');
  write(out, pair.second);
  out.push_back(']');
}

template <typename T>
void write(std::string& out, const std::vector<T>& list) {
  out.push_back('[');
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i > 0) out.push_back(',');
    write(out, list[i]);
  }
  out.push_back(']');
}

template <typename T>
void write(std::string& out, const std::optional<T>& value) {
  if (value) {
    write(out, *value);
  } else {
    out.append("null");
  }
}

template <typename Map>
  requires requires { typename Map::mapped_type; }
void write(std::string& out, const Map& map) {
  ObjectWriter object(out);
  for (const auto& [key, value] : map) write(object.member(key), value);
}

void write(std::string& out, const core::VariableType& value) {
  ObjectWriter variant(out);
  if (const auto* continuous = value.get_if<core::VariableType::Continuous>()) {
    ObjectWriter fields(variant.member("Continuous"));
    write(fields.member("bins"), continuous->bins);
    write(fields.member("range"), continuous->range);
  } else if (const auto* categorical = value.get_if<core::VariableType::Categorical>()) {
    ObjectWriter fields(variant.member("Categorical"));
    write(fields.member("categories"), categorical->categories);
    write(fields.member("allow_unknown"), categorical->allow_unknown);
  }
}

void write(std::string& out, const core::VariableDefinition& value) {
  ObjectWriter object(out);
  write(object.member("name"), value.name);
  write(object.member("var_type"), value.var_type);
}

void write(std::string& out, const core::DimensionDefinition& value) {
  ObjectWriter object(out);
  write(object.member("name"), value.name);
  write(object.member("source_column"), value.source_column);
  write(object.member("granularity"), value.granularity);
}

void write(std::string& out, const core::Schema& value) {
  ObjectWriter object(out);
  write(object.member("variables"), value.variables);
  write(object.member("dimensions"), value.dimensions);
  write(object.member("joints"), value.joints);
}

void write(std::string& out, const MetaFile& value) {
  ObjectWriter object(out);
  write(object.member("schema"), value.schema);
  write(object.member("next_distribution_id"), value.next_distribution_id);
  write(object.member("next_joint_id"), value.next_joint_id);
  write(object.member("next_raw_record_id"), value.next_raw_record_id);
  write(object.member("format_version"), value.format_version);
  write(object.member("raw_log_enabled"), value.raw_log_enabled);
  write(object.member("high_water_mark"), value.high_water_mark);
}

void write(std::string& out, const core::DistributionRepr& value) {
  ObjectWriter variant(out);
  if (const auto* histogram = value.get_if<core::DistributionRepr::Histogram>()) {
    ObjectWriter fields(variant.member("Histogram"));
    write(fields.member("min"), histogram->min);
    write(fields.member("max"), histogram->max);
    write(fields.member("bin_counts"), histogram->bin_counts);
    write(fields.member("total_count"), histogram->total_count);
  } else if (const auto* categorical = value.get_if<core::DistributionRepr::Categorical>()) {
    ObjectWriter fields(variant.member("Categorical"));
    write(fields.member("categories"), categorical->categories);
    write(fields.member("counts"), categorical->counts);
    write(fields.member("unknown_count"), categorical->unknown_count);
    write(fields.member("total_count"), categorical->total_count);
  }
}

void write(std::string& out, const core::DistributionObject& value) {
  ObjectWriter object(out);
  write(object.member("id"), value.id);
  write(object.member("variable"), value.variable);
  write(object.member("dimension_key"), value.dimension_key);
  write(object.member("repr"), value.repr);
  write(object.member("sample_count"), value.sample_count);
  write(object.member("entropy"), value.entropy);
  write(object.member("last_updated"), value.last_updated);
  write(object.member("version"), value.version);
  write(object.member("raw_record_range"), value.raw_record_range);
}

void write(std::string& out, const core::JointRepr& value) {
  ObjectWriter variant(out);
  if (const auto* grid = value.get_if<core::JointRepr::HistogramGrid>()) {
    ObjectWriter fields(variant.member("HistogramGrid"));
    write(fields.member("x_min"), grid->x_min);
    write(fields.member("x_max"), grid->x_max);
    write(fields.member("x_bins"), grid->x_bins);
    write(fields.member("y_min"), grid->y_min);
    write(fields.member("y_max"), grid->y_max);
    write(fields.member("y_bins"), grid->y_bins);
    write(fields.member("counts"), grid->counts);
    write(fields.member("total_count"), grid->total_count);
  } else if (const auto* table = value.get_if<core::JointRepr::ContingencyTable>()) {
    ObjectWriter fields(variant.member("ContingencyTable"));
    write(fields.member("x_categories"), table->x_categories);
    write(fields.member("y_categories"), table->y_categories);
    write(fields.member("counts"), table->counts);
    write(fields.member("total_count"), table->total_count);
  } else if (const auto* conditional = value.get_if<core::JointRepr::ConditionalHistograms>()) {
    ObjectWriter fields(variant.member("ConditionalHistograms"));
    write(fields.member("condition_categories"), conditional->condition_categories);
    write(fields.member("histograms"), conditional->histograms);
    write(fields.member("total_count"), conditional->total_count);
  }
}

void write(std::string& out, const core::JointDistributionObject& value) {
  ObjectWriter object(out);
  write(object.member("id"), value.id);
  write(object.member("variables"), value.variables);
  write(object.member("dimension_key"), value.dimension_key);
  write(object.member("repr"), value.repr);
  write(object.member("sample_count"), value.sample_count);
  write(object.member("last_updated"), value.last_updated);
  write(object.member("version"), value.version);
}

void write(std::string& out, const DistributionFile& value) {
  ObjectWriter object(out);
  write(object.member("distributions"), value.distributions);
  write(object.member("joints"), value.joints);
}

void write(std::string& out, const DistIndex& value) {
  ObjectWriter object(out);
  write(object.member("by_key"), value.by_key);
}

void write(std::string& out, const SnapshotEntry& value) {
  ObjectWriter object(out);
  write(object.member("version"), value.version);
  write(object.member("timestamp"), value.timestamp);
  write(object.member("distribution"), value.distribution);
}

void write(std::string& out, const SnapshotStore& value) {
  ObjectWriter object(out);
  write(object.member("entries"), value.entries);
}

}  // namespace

template <typename Record>
std::string to_json(const Record& record) {
  std::string out;
  write(out, record);
  return out;
}

template std::string to_json<MetaFile>(const MetaFile&);
template std::string to_json<DistributionFile>(const DistributionFile&);
template std::string to_json<DistIndex>(const DistIndex&);
template std::string to_json<SnapshotStore>(const SnapshotStore&);

std::string serialize_schema(const core::Schema& schema) {
  std::string out;
  write(out, schema);
  return out;
}

template <typename Record>
Record from_json(std::string_view text) {
  Reader reader(text);
  Record record;
  read(reader, record);
  reader.finish();
  return record;
}

template MetaFile from_json<MetaFile>(std::string_view);
template DistributionFile from_json<DistributionFile>(std::string_view);
template DistIndex from_json<DistIndex>(std::string_view);
template SnapshotStore from_json<SnapshotStore>(std::string_view);

}  // namespace quib::storage::json_form
