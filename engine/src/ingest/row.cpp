#include "ingest/row.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/error.h"
#include "core/json_writer.h"
#include "core/number_text.h"
#include "ingest/worker_pool.h"

namespace quib::ingest {
namespace {

// Texts are kept in blocks of this size; a longer text gets a block of its own.
constexpr std::size_t kTextBlock = std::size_t{1} << 16;

}  // namespace

Cell Cell::borrow(const core::json::Value& value) {
  switch (value.data.index()) {
    case 1:
      return boolean(std::get<bool>(value.data));
    case 2:
      return unsigned_integer(std::get<std::uint64_t>(value.data));
    case 3:
      return signed_integer(std::get<std::int64_t>(value.data));
    case 4:
      return floating(std::get<double>(value.data));
    case 5:
      return text(std::get<std::string>(value.data));
    case 6:
    case 7:
      return nested(value);
    default:
      return Cell();
  }
}

core::json::Value Cell::to_json() const {
  switch (kind()) {
    case Kind::Null:
      return core::json::Value();
    case Kind::Bool:
      return core::json::Value(as_bool());
    case Kind::Unsigned:
      return core::json::Value(as_unsigned());
    case Kind::Signed:
      return core::json::Value(as_signed());
    case Kind::Float:
      return core::json::Value(as_float());
    case Kind::Text:
      return core::json::Value(std::string(as_text()));
    case Kind::Nested:
      return as_nested();
  }
  return core::json::Value();
}

void Cell::write_json(std::string& out) const {
  switch (kind()) {
    case Kind::Null:
      out += "null";
      return;
    case Kind::Bool:
      out += as_bool() ? "true" : "false";
      return;
    case Kind::Text: {
      // Most texts of a file need no escape: then their bytes are the literal's.
      const std::string_view text = as_text();
      if (!core::json::is_plain_string(text)) {
        core::json::write_string(out, text);
        return;
      }
      out += '"';
      out += text;
      out += '"';
      return;
    }
    case Kind::Nested:
      core::json::write(out, as_nested());
      return;
    // Numbers by the writer's own rules, without a JSON value in between.
    case Kind::Unsigned:
      core::number_text::append_plain(out, as_unsigned());
      return;
    case Kind::Signed:
      core::number_text::append_plain(out, as_signed());
      return;
    case Kind::Float:
      if (std::isfinite(as_float())) {
        core::number_text::append_json_float(out, as_float());
      } else {
        out += "null";
      }
      return;
  }
}

std::string_view category_text(const Cell& value, CategoryRoom& room) {
  switch (value.kind()) {
    case Cell::Kind::Null:
      return "unknown";
    case Cell::Kind::Bool:
      return value.as_bool() ? "true" : "false";
    case Cell::Kind::Unsigned:
      return core::number_text::plain_text(value.as_unsigned(), room.number);
    case Cell::Kind::Signed:
      return core::number_text::plain_text(value.as_signed(), room.number);
    case Cell::Kind::Float:
      if (!std::isfinite(value.as_float())) return "null";
      return core::number_text::json_float_text(value.as_float(), room.number);
    case Cell::Kind::Text:
      return value.as_text();
    case Cell::Kind::Nested:
      break;
  }
  room.nested.clear();
  value.write_json(room.nested);
  return room.nested;
}

// The text of a CSV table and its record index, in pieces.
struct RowTable::CsvText {
  std::string text;
  std::vector<csv_record::RecordIndex> pieces;
  std::vector<std::size_t> piece_ends;  // rows up to the end of each piece
  std::vector<std::uint32_t> column_of_field;
  std::size_t width = 0;  // distinct columns
};

RowTable::RowTable() = default;
RowTable::RowTable(RowTable&&) noexcept = default;
RowTable& RowTable::operator=(RowTable&&) noexcept = default;
RowTable::~RowTable() = default;

void RowTable::adopt_csv(std::string text, std::vector<csv_record::RecordIndex> index,
                         std::vector<std::uint32_t> column_of_field) {
  auto csv = std::make_unique<CsvText>();
  csv->text = std::move(text);
  csv->pieces = std::move(index);
  std::size_t rows = 0;
  for (const csv_record::RecordIndex& piece : csv->pieces) {
    rows += piece.starts.size();
    csv->piece_ends.push_back(rows);
  }
  csv->column_of_field = std::move(column_of_field);
  for (const std::uint32_t column : csv->column_of_field) {
    if (column != kNoColumn) csv->width = std::max<std::size_t>(csv->width, column + 1);
  }
  csv_ = std::move(csv);
}

std::uint32_t RowTable::intern(std::string_view name) {
  if (auto it = ids_.find(name); it != ids_.end()) return it->second;
  const auto id = static_cast<std::uint32_t>(columns_.size());
  columns_.emplace_back(name);
  ids_.emplace(columns_.back(), id);
  return id;
}

std::optional<std::uint32_t> RowTable::find_column(std::string_view name) const {
  if (auto it = ids_.find(name); it != ids_.end()) return it->second;
  return std::nullopt;
}

std::size_t RowTable::size() const {
  if (csv_ != nullptr) return csv_->piece_ends.empty() ? 0 : csv_->piece_ends.back();
  return segment_ends_.empty() ? 0 : segment_ends_.back();
}

Row RowTable::row(std::size_t index, RowScratch& scratch) const {
  if (csv_ != nullptr) return csv_row(index, scratch);
  std::size_t segment = 0;
  if (segments_.size() > 1) {
    segment = static_cast<std::size_t>(
        std::upper_bound(segment_ends_.begin(), segment_ends_.end(), index) - segment_ends_.begin());
    if (segment > 0) index -= segment_ends_[segment - 1];
  }
  const Segment& rows = segments_[segment];
  const std::size_t begin = index == 0 ? 0 : rows.row_ends[index - 1];
  return Row{std::span<const Field>(rows.fields).subspan(begin, rows.row_ends[index] - begin)};
}

Row RowTable::csv_row(std::size_t index, RowScratch& scratch) const {
  const CsvText& csv = *csv_;
  const std::size_t width = csv.column_of_field.size();
  const auto piece_at = std::upper_bound(csv.piece_ends.begin(), csv.piece_ends.end(), index);
  const auto piece = static_cast<std::size_t>(piece_at - csv.piece_ends.begin());
  if (piece > 0) index -= csv.piece_ends[piece - 1];
  const csv_record::RecordIndex& records = csv.pieces[piece];
  const std::uint64_t start = records.starts[index];
  const std::uint16_t* const ends = records.field_ends.data() + index * width;
  // Ids were interned in name order, so a field's id is its place in the row.
  scratch.fields.resize(csv.width);
  if (ends[0] != csv_record::RecordIndex::kSplitAgain) {
    const std::string_view record = std::string_view(csv.text).substr(start);
    std::size_t begin = 0;
    for (std::size_t position = 0; position < width; ++position) {
      const std::size_t end = ends[position];
      const std::uint32_t column = csv.column_of_field[position];
      if (column != kNoColumn) {
        scratch.fields[column] = Field{column, Cell::text(record.substr(begin, end - begin))};
      }
      begin = end + 1;
    }
    return Row{scratch.fields};
  }
  csv_record::Scanner scanner(csv.text, start);
  csv_record::Record& record = scratch.record;
  if (!scanner.next(record) || record.field_count() != width) {
    throw InternalError("CSV record changed after it was checked");
  }
  for (std::size_t position = 0; position < width; ++position) {
    const std::uint32_t column = csv.column_of_field[position];
    if (column == kNoColumn) continue;
    scratch.fields[column] = Field{column, Cell::text(record.field(position))};
  }
  return Row{scratch.fields};
}

void RowTable::put(std::uint32_t column, Cell value) {
  const std::string& name = columns_[column];
  auto pos = std::lower_bound(pending_.begin(), pending_.end(), name,
                              [this](const Field& field, const std::string& key) {
                                return columns_[field.column] < key;
                              });
  if (pos != pending_.end() && pos->column == column) {
    pos->value = value;
  } else {
    pending_.insert(pos, Field{column, value});
  }
}

void RowTable::end_row() {
  add_sorted_row(pending_);
  pending_.clear();
}

void RowTable::add_sorted_row(std::span<const Field> fields) {
  if (csv_ != nullptr) throw InternalError("rows added to a CSV table");
  if (segments_.empty()) {
    segments_.emplace_back();
    segment_ends_.push_back(0);
  }
  Segment& rows = segments_.back();
  rows.fields.insert(rows.fields.end(), fields.begin(), fields.end());
  rows.row_ends.push_back(rows.fields.size());
  ++segment_ends_.back();
}

void RowTable::reserve(std::size_t rows, std::size_t fields_per_row) {
  if (csv_ != nullptr) return;
  if (segments_.empty()) {
    segments_.emplace_back();
    segment_ends_.push_back(0);
  }
  Segment& last = segments_.back();
  last.row_ends.reserve(last.row_ends.size() + rows);
  last.fields.reserve(last.fields.size() + rows * fields_per_row);
}

std::string_view RowTable::keep_text(std::string_view text) {
  if (text.empty()) return {};
  if (text.size() > block_left_) {
    const std::size_t size = std::max(kTextBlock, text.size());
    text_blocks_.push_back(std::make_unique<char[]>(size));
    block_cursor_ = text_blocks_.back().get();
    block_left_ = size;
  }
  char* kept = block_cursor_;
  std::memcpy(kept, text.data(), text.size());
  block_cursor_ += text.size();
  block_left_ -= text.size();
  return {kept, text.size()};
}

const core::json::Value& RowTable::keep_nested(core::json::Value value) {
  return nested_.emplace_back(std::move(value));
}

void RowTable::append(std::vector<RowTable>&& parts) {
  if (csv_ != nullptr) throw InternalError("rows added to a CSV table");
  std::vector<std::vector<std::uint32_t>> column_of(parts.size());
  for (std::size_t k = 0; k < parts.size(); ++k) {
    if (parts[k].csv_ != nullptr) throw InternalError("append needs tables that keep their cells");
    for (const std::string& name : parts[k].columns_) column_of[k].push_back(intern(name));
  }
  worker_pool::for_each_chunk(parts.size(), parts.size(), [&](std::size_t k, std::size_t, std::size_t) {
    for (Segment& segment : parts[k].segments_) {
      for (Field& field : segment.fields) field.column = column_of[k][field.column];
    }
  });
  for (RowTable& part : parts) {
    for (Segment& segment : part.segments_) {
      const std::size_t rows = segment.row_ends.size();
      if (rows == 0) continue;
      segment_ends_.push_back((segment_ends_.empty() ? 0 : segment_ends_.back()) + rows);
      segments_.push_back(std::move(segment));
    }
    // Blocks and values change owner without moving, so the cells keep pointing at them.
    for (auto& block : part.text_blocks_) text_blocks_.push_back(std::move(block));
    if (!part.nested_.empty()) {
      appended_nested_.push_back(
          std::make_unique<std::deque<core::json::Value>>(std::move(part.nested_)));
    }
    for (auto& nested : part.appended_nested_) appended_nested_.push_back(std::move(nested));
    part = RowTable();
  }
  // Rows built after this go to a segment of their own.
  segments_.emplace_back();
  segment_ends_.push_back(segment_ends_.empty() ? 0 : segment_ends_.back());
}

}  // namespace quib::ingest
