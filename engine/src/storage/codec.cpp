#include "storage/codec.h"

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <type_traits>
#include <utility>

#include "core/error.h"
#include "core/flat_index.h"
#include "core/utf8.h"

namespace quib::storage::codec {

namespace {

[[noreturn]] void fail_end_of_input() { throw Error("io error: unexpected end of file"); }

}  // namespace

void Reader::fill(std::size_t n) {
  if (source_ == nullptr) fail_end_of_input();
  while (remaining() < n) {
    const std::size_t before = remaining();
    const std::span<const std::uint8_t> window = source_->refill({pos_, before});
    pos_ = window.data();
    end_ = window.data() + window.size();
    if (window.size() <= before) fail_end_of_input();
  }
}

bool Reader::get_bool() {
  const std::uint8_t byte = get_u8();
  if (byte > 1) {
    throw Error("invalid u8 while decoding bool, expected 0 or 1, found " + std::to_string(byte));
  }
  return byte == 1;
}

bool Reader::get_option_tag() {
  const std::uint8_t byte = get_u8();
  if (byte > 1) throw Error("tag for enum is not valid, found " + std::to_string(byte));
  return byte == 1;
}

std::uint32_t Reader::get_variant(std::uint32_t variant_count) {
  const std::uint32_t index = get_u32();
  if (index >= variant_count) {
    throw Error("invalid value: integer `" + std::to_string(index) +
                "`, expected variant index 0 <= i < " + std::to_string(variant_count));
  }
  return index;
}

std::string Reader::get_text() {
  std::string text;
  read_text(text);
  return text;
}

void Reader::read_text(std::string& text) {
  const std::uint64_t length = get_u64();
  if (!may_hold(length, 1)) fail_end_of_input();
  text.clear();
  // From a stream the text grows as its bytes arrive, so a damaged length ends at the end of
  // the stream instead of in a huge allocation.
  text.reserve(bounded_reservation(length, 1));
  while (text.size() < length) {
    if (remaining() == 0) fill(1);
    const std::size_t take = static_cast<std::size_t>(
        std::min<std::uint64_t>(remaining(), length - text.size()));
    text.append(reinterpret_cast<const char*>(pos_), take);
    pos_ += take;
  }
  if (const auto malformed = core::utf8::first_malformed(text)) {
    std::string message = "string is not valid utf8: ";
    if (malformed->length == 0) {
      message += "incomplete utf-8 byte sequence from index " + std::to_string(malformed->index);
    } else {
      message += "invalid utf-8 sequence of " + std::to_string(malformed->length) +
                 " bytes from index " + std::to_string(malformed->index);
    }
    throw Error(std::move(message));
  }
}

namespace {

// Fills a buffer of a fixed size and hands it to the sink whenever the next value would not fit.
class ChunkWriter {
 public:
  explicit ChunkWriter(ByteSink& sink) : sink_(sink), buffer_(kChunk) {}
  void put_u8(std::uint8_t value) {
    room(1);
    buffer_[used_++] = value;
  }
  void put_u32(std::uint32_t value) {
    room(4);
    encode_fixed32(buffer_.data() + used_, value);
    used_ += 4;
  }
  void put_u64(std::uint64_t value) {
    room(8);
    encode_fixed64(buffer_.data() + used_, value);
    used_ += 8;
  }
  void put_f64(double value) { put_u64(std::bit_cast<std::uint64_t>(value)); }
  void put_bytes(std::string_view bytes) {
    while (!bytes.empty()) {
      room(1);
      const std::size_t n = std::min(bytes.size(), kChunk - used_);
      std::memcpy(buffer_.data() + used_, bytes.data(), n);
      used_ += n;
      bytes.remove_prefix(n);
    }
  }
  void flush() {
    if (used_ != 0) sink_.write({buffer_.data(), used_});
    used_ = 0;
  }

 private:
  static constexpr std::size_t kChunk = std::size_t{1} << 18;
  void room(std::size_t n) {
    if (kChunk - used_ < n) flush();
  }

  ByteSink& sink_;
  std::vector<std::uint8_t> buffer_;
  std::size_t used_ = 0;
};


// ---- Encoding: one function per record. ----

template <typename Out>
void put_text(Out& out, std::string_view text) {
  out.put_u64(text.size());
  out.put_bytes(text);
}

template <typename Out>
void put_texts(Out& out, std::span<const std::string> texts) {
  out.put_u64(texts.size());
  for (const auto& text : texts) put_text(out, text);
}

template <typename Out>
void put_counts(Out& out, const std::vector<std::uint64_t>& counts) {
  out.put_u64(counts.size());
  for (std::uint64_t count : counts) out.put_u64(count);
}

template <typename Out>
void put_count_rows(Out& out, const std::vector<std::vector<std::uint64_t>>& rows) {
  out.put_u64(rows.size());
  for (const auto& row : rows) put_counts(out, row);
}

template <typename Out>
void put(Out& out, const core::DimensionKey& key) {
  out.put_u64(key.size());
  for (const auto& [name, value] : key) {
    put_text(out, name);
    put_text(out, value);
  }
}

template <typename Out>
void put(Out& out, const core::VariableType& var_type) {
  out.put_u32(static_cast<std::uint32_t>(var_type.value.index()));
  if (const auto* continuous = var_type.get_if<core::VariableType::Continuous>()) {
    out.put_u32(continuous->bins);
    out.put_u8(continuous->range ? 1 : 0);
    if (continuous->range) {
      out.put_f64(continuous->range->first);
      out.put_f64(continuous->range->second);
    }
  } else {
    const auto& categorical = std::get<core::VariableType::Categorical>(var_type.value);
    put_texts(out, categorical.categories);
    out.put_u8(categorical.allow_unknown ? 1 : 0);
  }
}

template <typename Out>
void put(Out& out, const core::VariableDefinition& definition) {
  put_text(out, definition.name);
  put(out, definition.var_type);
}

template <typename Out>
void put(Out& out, const core::DimensionDefinition& definition) {
  put_text(out, definition.name);
  put_text(out, definition.source_column);
  out.put_u8(definition.granularity ? 1 : 0);
  if (definition.granularity) put_text(out, *definition.granularity);
}

template <typename Out>
void put(Out& out, const core::Schema& schema) {
  out.put_u64(schema.variables.size());
  for (const auto& variable : schema.variables) put(out, variable);
  out.put_u64(schema.dimensions.size());
  for (const auto& dimension : schema.dimensions) put(out, dimension);
  out.put_u64(schema.joints.size());
  for (const auto& [x, y] : schema.joints) {
    put_text(out, x);
    put_text(out, y);
  }
}

template <typename Out>
void put(Out& out, const core::DistributionRepr& repr) {
  out.put_u32(static_cast<std::uint32_t>(repr.value.index()));
  if (const auto* histogram = repr.get_if<core::DistributionRepr::Histogram>()) {
    out.put_f64(histogram->min);
    out.put_f64(histogram->max);
    put_counts(out, histogram->bin_counts);
    out.put_u64(histogram->total_count);
  } else {
    const auto& categorical = std::get<core::DistributionRepr::Categorical>(repr.value);
    put_texts(out, categorical.categories);
    put_counts(out, categorical.counts);
    out.put_u64(categorical.unknown_count);
    out.put_u64(categorical.total_count);
  }
}

template <typename Out>
void put(Out& out, const core::DistributionObject& distribution) {
  out.put_u64(distribution.id);
  put_text(out, distribution.variable);
  put(out, distribution.dimension_key);
  put(out, distribution.repr);
  out.put_u64(distribution.sample_count);
  out.put_f64(distribution.entropy);
  out.put_u64(distribution.last_updated);
  out.put_u64(distribution.version);
  out.put_u64(distribution.raw_record_range.first);
  out.put_u64(distribution.raw_record_range.second);
}

template <typename Out>
void put(Out& out, const core::JointRepr& repr) {
  out.put_u32(static_cast<std::uint32_t>(repr.value.index()));
  if (const auto* grid = repr.get_if<core::JointRepr::HistogramGrid>()) {
    out.put_f64(grid->x_min);
    out.put_f64(grid->x_max);
    out.put_u32(grid->x_bins);
    out.put_f64(grid->y_min);
    out.put_f64(grid->y_max);
    out.put_u32(grid->y_bins);
    put_count_rows(out, grid->counts);
    out.put_u64(grid->total_count);
  } else if (const auto* table = repr.get_if<core::JointRepr::ContingencyTable>()) {
    put_texts(out, table->x_categories);
    put_texts(out, table->y_categories);
    put_count_rows(out, table->counts);
    out.put_u64(table->total_count);
  } else {
    const auto& conditional = std::get<core::JointRepr::ConditionalHistograms>(repr.value);
    put_texts(out, conditional.condition_categories);
    out.put_u64(conditional.histograms.size());
    for (const auto& histogram : conditional.histograms) put(out, histogram);
    out.put_u64(conditional.total_count);
  }
}

template <typename Out>
void put(Out& out, const core::JointDistributionObject& joint) {
  out.put_u64(joint.id);
  put_text(out, joint.variables.first);
  put_text(out, joint.variables.second);
  put(out, joint.dimension_key);
  put(out, joint.repr);
  out.put_u64(joint.sample_count);
  out.put_u64(joint.last_updated);
  out.put_u64(joint.version);
}

template <typename Out>
void put(Out& out, const MetaFile& meta) {
  put(out, meta.schema);
  out.put_u64(meta.next_distribution_id);
  out.put_u64(meta.next_joint_id);
  out.put_u64(meta.next_raw_record_id);
  out.put_u32(meta.format_version);
  out.put_u8(meta.raw_log_enabled ? 1 : 0);
  out.put_u64(meta.high_water_mark);
}

template <typename Out>
void put(Out& out, const DistributionFile& file) {
  out.put_u64(file.distributions.size());
  for (const auto& distribution : file.distributions) put(out, distribution);
  out.put_u64(file.joints.size());
  for (const auto& joint : file.joints) put(out, joint);
}

template <typename Out>
void put(Out& out, const DistIndex& index) {
  out.put_u64(index.by_key.size());
  for (const auto& [key, id] : index.by_key) {
    put_text(out, key);
    out.put_u64(id);
  }
}

// Each text is made twice, once to find the last distribution that has it and once to write it,
// so that no more than two texts exist at a time.
template <typename Out>
void put(Out& out, const DistIndexOf& index) {
  const auto& all = index.distributions;
  if (all.size() >= core::FlatIndex::kNone) throw Error("too many distributions to index");
  std::string text;
  std::string other;
  const auto text_of = [&](std::string& into, std::size_t position) -> const std::string& {
    into.clear();
    append_index_key_text(into, all[position].variable, all[position].dimension_key);
    return into;
  };
  std::vector<std::uint32_t> hashes(all.size());
  core::FlatIndex last_with_text;
  last_with_text.reserve(all.size());
  for (std::size_t i = 0; i < all.size(); ++i) {
    hashes[i] = static_cast<std::uint32_t>(std::hash<std::string>{}(text_of(text, i)));
    last_with_text.insert_or_replace(hashes[i], static_cast<std::uint32_t>(i),
                                     [&](std::uint32_t at) { return text_of(other, at) == text; });
  }
  out.put_u64(last_with_text.size());
  for (std::size_t i = 0; i < all.size(); ++i) {
    const auto is_i = [&](std::uint32_t at) { return at == i; };
    if (last_with_text.find(hashes[i], is_i) == core::FlatIndex::kNone) continue;
    put_text(out, text_of(text, i));
    out.put_u64(all[i].id);
  }
}

template <typename Out>
void put(Out& out, const SnapshotEntry& entry) {
  out.put_u64(entry.version);
  out.put_u64(entry.timestamp);
  put(out, entry.distribution);
}

template <typename Out>
void put(Out& out, const SnapshotStore& store) {
  out.put_u64(store.entries.size());
  for (const auto& [key, entries] : store.entries) {
    put_text(out, key);
    out.put_u64(entries.size());
    for (const auto& entry : entries) put(out, entry);
  }
}

// ---- Decoding: one function per record, mirroring the encoders field for field. ----

void read(Reader& in, std::string& text) { text = in.get_text(); }

void read(Reader& in, std::vector<std::uint64_t>& counts) {
  const std::uint64_t count = in.get_u64();
  // A u64 list can only end early, so a count the rest cannot hold is refused before reserving.
  if (!in.may_hold(count, 8)) fail_end_of_input();
  counts.clear();
  counts.reserve(in.streaming() ? bounded_reservation(count, 8) : static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) counts.push_back(in.get_u64());
}

void read(Reader& in, std::pair<std::string, std::string>& pair) {
  pair.first = in.get_text();
  pair.second = in.get_text();
}

// One shared copy of each variable name read.
class NameInterner {
 public:
  core::SharedText intern(const std::string& name) {
    auto found = names_.find(name);
    if (found == names_.end()) found = names_.emplace(name, core::SharedText(name)).first;
    return found->second;
  }
  std::size_t size() const { return names_.size(); }

 private:
  std::map<std::string, core::SharedText, std::less<>> names_;
};

// What decoding many distributions reuses from one to the next instead of allocating it again.
struct DecodeScratch {
  std::string text;
  std::vector<std::pair<std::string, std::string>> pairs;
  NameInterner names;
};

void read(Reader& in, core::DimensionKey& key, DecodeScratch& scratch);
void read(Reader& in, core::DistributionObject& distribution, DecodeScratch& scratch);
void read(Reader& in, core::DimensionKey& key) {
  DecodeScratch scratch;
  read(in, key, scratch);
}
void read(Reader& in, core::DistributionObject& distribution) {
  DecodeScratch scratch;
  read(in, distribution, scratch);
}
void read(Reader& in, core::VariableType& var_type);
void read(Reader& in, core::VariableDefinition& definition);
void read(Reader& in, core::DimensionDefinition& definition);
void read(Reader& in, core::DistributionRepr& repr);
void read(Reader& in, core::JointDistributionObject& joint);
void read(Reader& in, SnapshotEntry& entry);

// Elements are decoded one by one; the stored count never reserves more than 1 MiB.
template <typename T>
void read(Reader& in, std::vector<T>& list) {
  const std::uint64_t count = in.get_u64();
  list.clear();
  list.reserve(bounded_reservation(count, sizeof(T)));
  for (std::uint64_t i = 0; i < count; ++i) read(in, list.emplace_back());
}

void read(Reader& in, core::CategoryList& list) {
  std::vector<std::string> names;
  read(in, names);
  list = std::move(names);
}

void read(Reader& in, core::DimensionKey& key, DecodeScratch& scratch) {
  const std::uint64_t count = in.get_u64();
  auto& pairs = scratch.pairs;
  std::size_t used = 0;
  for (; used < count; ++used) {
    if (used == pairs.size()) pairs.emplace_back();
    in.read_text(pairs[used].first);
    in.read_text(pairs[used].second);
  }
  key = core::dimension_key_from_pair_span(std::span(pairs.data(), used));
}

void read(Reader& in, core::VariableType& var_type) {
  if (in.get_variant(2) == 0) {
    core::VariableType::Continuous continuous;
    continuous.bins = in.get_u32();
    if (in.get_option_tag()) {
      const double min = in.get_f64();
      const double max = in.get_f64();
      continuous.range.emplace(min, max);
    }
    var_type.value = std::move(continuous);
  } else {
    core::VariableType::Categorical categorical;
    read(in, categorical.categories);
    categorical.allow_unknown = in.get_bool();
    var_type.value = std::move(categorical);
  }
}

void read(Reader& in, core::VariableDefinition& definition) {
  definition.name = in.get_text();
  read(in, definition.var_type);
}

void read(Reader& in, core::DimensionDefinition& definition) {
  definition.name = in.get_text();
  definition.source_column = in.get_text();
  if (in.get_option_tag()) {
    definition.granularity = in.get_text();
  } else {
    definition.granularity.reset();
  }
}

void read(Reader& in, core::Schema& schema) {
  read(in, schema.variables);
  read(in, schema.dimensions);
  read(in, schema.joints);
}

void read(Reader& in, core::DistributionRepr& repr) {
  if (in.get_variant(2) == 0) {
    core::DistributionRepr::Histogram histogram;
    histogram.min = in.get_f64();
    histogram.max = in.get_f64();
    read(in, histogram.bin_counts);
    histogram.total_count = in.get_u64();
    repr.value = std::move(histogram);
  } else {
    core::DistributionRepr::Categorical categorical;
    read(in, categorical.categories);
    read(in, categorical.counts);
    categorical.unknown_count = in.get_u64();
    categorical.total_count = in.get_u64();
    repr.value = std::move(categorical);
  }
}

void read(Reader& in, core::DistributionObject& distribution, DecodeScratch& scratch) {
  distribution.id = in.get_u64();
  in.read_text(scratch.text);
  distribution.variable = scratch.names.intern(scratch.text);
  read(in, distribution.dimension_key, scratch);
  read(in, distribution.repr);
  distribution.sample_count = in.get_u64();
  distribution.entropy = in.get_f64();
  distribution.last_updated = in.get_u64();
  distribution.version = in.get_u64();
  distribution.raw_record_range.first = in.get_u64();
  distribution.raw_record_range.second = in.get_u64();
}

void read(Reader& in, core::JointRepr& repr) {
  switch (in.get_variant(3)) {
    case 0: {
      core::JointRepr::HistogramGrid grid;
      grid.x_min = in.get_f64();
      grid.x_max = in.get_f64();
      grid.x_bins = in.get_u32();
      grid.y_min = in.get_f64();
      grid.y_max = in.get_f64();
      grid.y_bins = in.get_u32();
      read(in, grid.counts);
      grid.total_count = in.get_u64();
      repr.value = std::move(grid);
      break;
    }
    case 1: {
      core::JointRepr::ContingencyTable table;
      read(in, table.x_categories);
      read(in, table.y_categories);
      read(in, table.counts);
      table.total_count = in.get_u64();
      repr.value = std::move(table);
      break;
    }
    default: {
      core::JointRepr::ConditionalHistograms conditional;
      read(in, conditional.condition_categories);
      read(in, conditional.histograms);
      conditional.total_count = in.get_u64();
      repr.value = std::move(conditional);
      break;
    }
  }
}

void read(Reader& in, core::JointDistributionObject& joint) {
  joint.id = in.get_u64();
  read(in, joint.variables);
  read(in, joint.dimension_key);
  read(in, joint.repr);
  joint.sample_count = in.get_u64();
  joint.last_updated = in.get_u64();
  joint.version = in.get_u64();
}

void read(Reader& in, MetaFile& meta) {
  read(in, meta.schema);
  meta.next_distribution_id = in.get_u64();
  meta.next_joint_id = in.get_u64();
  meta.next_raw_record_id = in.get_u64();
  meta.format_version = in.get_u32();
  meta.raw_log_enabled = in.get_bool();
  meta.high_water_mark = in.get_u64();
}


// Each record's category names, variable name and dimension key are interned as soon as it is
// read, so that a file of many distributions of one variable, or of many variables under one
// key, never holds more than one copy of them at a time. Keys only repeat across variables, so
// while a single variable has been read its keys are left alone (a million distinct keys would
// cost the table a million entries for nothing), and they join the table with the second one.
template <typename Stored>
void read_sharing_categories(Reader& in, std::vector<Stored>& stored,
                             core::CategoryInterner& interner, core::DimensionKeyInterner& keys,
                             DecodeScratch& scratch) {
  const std::uint64_t count = in.get_u64();
  stored.clear();
  stored.reserve(bounded_reservation(count, sizeof(Stored)));
  bool sharing_keys = false;
  for (std::uint64_t i = 0; i < count; ++i) {
    Stored& record = stored.emplace_back();
    if constexpr (std::is_same_v<Stored, core::DistributionObject>) {
      read(in, record, scratch);
    } else {
      read(in, record);
    }
    core::share_categories(record.repr, interner);
    if constexpr (std::is_same_v<Stored, core::DistributionObject>) {
      if (scratch.names.size() < 2) continue;
      if (!sharing_keys) {
        sharing_keys = true;
        for (Stored& earlier : stored) earlier.dimension_key = keys.intern(earlier.dimension_key);
        continue;
      }
    }
    record.dimension_key = keys.intern(record.dimension_key);
  }
}

void read(Reader& in, DistributionFile& file) {
  core::CategoryInterner interner;
  core::DimensionKeyInterner keys;
  DecodeScratch scratch;
  read_sharing_categories(in, file.distributions, interner, keys, scratch);
  read_sharing_categories(in, file.joints, interner, keys, scratch);
}

void read(Reader& in, DistIndex& index) {
  const std::uint64_t count = in.get_u64();
  index.by_key.clear();
  for (std::uint64_t i = 0; i < count; ++i) {
    std::string key = in.get_text();
    const std::uint64_t id = in.get_u64();
    index.by_key.insert_or_assign(std::move(key), id);
  }
}

void read(Reader& in, SnapshotEntry& entry) {
  entry.version = in.get_u64();
  entry.timestamp = in.get_u64();
  read(in, entry.distribution);
}

void read(Reader& in, SnapshotStore& store) {
  const std::uint64_t count = in.get_u64();
  store.entries.clear();
  for (std::uint64_t i = 0; i < count; ++i) {
    std::string key = in.get_text();
    std::vector<SnapshotEntry> entries;
    read(in, entries);
    store.entries.insert_or_assign(std::move(key), std::move(entries));
  }
}

}  // namespace

template <typename Record>
void encode_to(const Record& record, ByteSink& sink) {
  ChunkWriter writer(sink);
  put(writer, record);
  writer.flush();
}

template <typename Record>
std::vector<std::uint8_t> encode(const Record& record) {
  struct Collect final : ByteSink {
    std::vector<std::uint8_t> bytes;
    void write(std::span<const std::uint8_t> chunk) override {
      bytes.insert(bytes.end(), chunk.begin(), chunk.end());
    }
  } collect;
  encode_to(record, collect);
  return std::move(collect.bytes);
}

template <typename Record>
Record decode(std::span<const std::uint8_t> bytes) {
  Reader in(bytes);
  Record record;
  read(in, record);
  return record;
}

template <typename Record>
Record decode(ByteSource& source) {
  Reader in(source);
  Record record;
  read(in, record);
  return record;
}

#define QUIB_CODEC_INSTANTIATE(Record)                              \
  template void encode_to<Record>(const Record&, ByteSink&);        \
  template std::vector<std::uint8_t> encode<Record>(const Record&); \
  template Record decode<Record>(std::span<const std::uint8_t>);    \
  template Record decode<Record>(ByteSource&);

QUIB_CODEC_INSTANTIATE(MetaFile)
QUIB_CODEC_INSTANTIATE(DistributionFile)
QUIB_CODEC_INSTANTIATE(DistIndex)
template void encode_to<DistIndexOf>(const DistIndexOf&, ByteSink&);
template std::vector<std::uint8_t> encode<DistIndexOf>(const DistIndexOf&);
QUIB_CODEC_INSTANTIATE(SnapshotStore)
QUIB_CODEC_INSTANTIATE(SnapshotEntry)
QUIB_CODEC_INSTANTIATE(core::Schema)
QUIB_CODEC_INSTANTIATE(core::VariableDefinition)
QUIB_CODEC_INSTANTIATE(core::VariableType)
QUIB_CODEC_INSTANTIATE(core::DimensionDefinition)
QUIB_CODEC_INSTANTIATE(core::DistributionObject)
QUIB_CODEC_INSTANTIATE(core::DistributionRepr)
QUIB_CODEC_INSTANTIATE(core::JointDistributionObject)
QUIB_CODEC_INSTANTIATE(core::JointRepr)
QUIB_CODEC_INSTANTIATE(core::DimensionKey)

#undef QUIB_CODEC_INSTANTIATE

}  // namespace quib::storage::codec
