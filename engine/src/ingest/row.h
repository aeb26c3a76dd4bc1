// The row form shared by the readers, schema inference, column mapping and the batch updater.
//
// A row maps column names to JSON values, one value per name, in byte order of the names. Rows
// are held compactly, because ingestion keeps every row of a file in memory:
// - Column names are interned once per table; a row refers to them by id. Ids follow interning
//   order, so id order and name order need not agree; a row's fields are always in name order.
// - A value is a 16-byte `Cell`: scalars inline, texts as slices, arrays and objects as pointers
//   to a `core::json::Value` that the table keeps.
// - A CSV table keeps only the file's text and its record index (where each record begins and
//   its fields end); a row is laid out from the index into the caller's `RowScratch` when asked
//   for. Every other table keeps its cells, with their texts in an arena of its own.
//
// A `Row` is a view: it stays valid until the table changes or, for a CSV table, until the same
// scratch serves the next row. Reading one table from several threads is safe, each thread with
// its own scratch; interning and adding rows are not. Typical use:
//
//   RowScratch scratch;
//   auto price = table.find_column("price");         // resolve a name once ...
//   for (std::size_t i = 0; i < table.size(); ++i) {
//     const Cell* value = table.row(i, scratch).find(*price);  // ... then look it up per row
//   }
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/json.h"
#include "core/number_text.h"
#include "ingest/csv_record.h"

namespace quib::ingest {

// One JSON value in 16 bytes. Texts and nested values are borrowed, never owned.
class Cell {
 public:
  enum class Kind : std::uint8_t { Null, Bool, Unsigned, Signed, Float, Text, Nested };

  Cell() = default;  // null
  static Cell boolean(bool value) { return Cell(Kind::Bool, Payload{.flag = value}, 0); }
  static Cell unsigned_integer(std::uint64_t value) {
    return Cell(Kind::Unsigned, Payload{.u = value}, 0);
  }
  static Cell signed_integer(std::int64_t value) {
    return Cell(Kind::Signed, Payload{.s = value}, 0);
  }
  static Cell floating(double value) { return Cell(Kind::Float, Payload{.f = value}, 0); }
  static Cell text(std::string_view value) {
    return Cell(Kind::Text, Payload{.chars = value.data()}, value.size());
  }
  // An array or an object.
  static Cell nested(const core::json::Value& value) {
    return Cell(Kind::Nested, Payload{.nested = &value}, 0);
  }
  // Any value: scalars copied, a text or a nested value borrowed from `value`.
  static Cell borrow(const core::json::Value& value);

  Kind kind() const { return static_cast<Kind>(bits_ >> kKindShift); }
  bool is_null() const { return kind() == Kind::Null; }
  bool as_bool() const { return payload_.flag; }
  std::uint64_t as_unsigned() const { return payload_.u; }
  std::int64_t as_signed() const { return payload_.s; }
  double as_float() const { return payload_.f; }
  std::string_view as_text() const { return {payload_.chars, bits_ & kSizeMask}; }
  const core::json::Value& as_nested() const { return *payload_.nested; }

  // The value as a JSON value of its own (a copy).
  core::json::Value to_json() const;
  // Appends the compact JSON text of the value, as `core::json::write` writes it.
  void write_json(std::string& out) const;

 private:
  union Payload {
    bool flag;
    std::uint64_t u;
    std::int64_t s;
    double f;
    const char* chars;
    const core::json::Value* nested;
  };
  static constexpr unsigned kKindShift = 56;
  static constexpr std::uint64_t kSizeMask = (std::uint64_t{1} << kKindShift) - 1;

  Cell(Kind kind, Payload payload, std::uint64_t size)
      : payload_(payload), bits_((static_cast<std::uint64_t>(kind) << kKindShift) | size) {}

  Payload payload_{.u = 0};
  std::uint64_t bits_ = 0;  // kind in the top byte, text length below it
};

// The text a value goes by among the categories of a categorical variable: the one rule by which
// inference names categories and resolution finds them. A text is itself; a boolean, a number,
// an array or an object is its compact JSON text (an integer in decimal, a float as the JSON
// writer writes it, "null" when not finite); null is the text "unknown". A number is written
// into `room.number` and an array or object into `room.nested`, so that the text of a scalar
// costs no allocation; the view lasts until `room` serves the next value.
struct CategoryRoom {
  char number[core::number_text::kNumberRoom];
  std::string nested;
};
std::string_view category_text(const Cell& value, CategoryRoom& room);

struct Field {
  std::uint32_t column = 0;
  Cell value;
};

// A view of one row: fields in byte order of the column names, one per name.
struct Row {
  std::span<const Field> fields;

  // The value under `column`, or null when the row lacks it.
  const Cell* find(std::uint32_t column) const {
    for (const Field& field : fields) {
      if (field.column == column) return &field.value;
    }
    return nullptr;
  }
};

// Per-thread room for the rows of a CSV table, whose fields are laid out on request.
struct RowScratch {
  std::vector<Field> fields;
  csv_record::Record record;
};

class RowTable {
 public:
  RowTable();
  RowTable(RowTable&&) noexcept;
  RowTable& operator=(RowTable&&) noexcept;
  RowTable(const RowTable&) = delete;
  RowTable& operator=(const RowTable&) = delete;
  ~RowTable();

  // A CSV table over the whole text of a file whose records (the header excluded) the pieces of
  // `index` describe, in text order, every record already checked to hold `width` fields.
  // `column_of_field` gives
  // the column id each field position feeds, or `kNoColumn` for a position whose name a later
  // position repeats; the ids must have been interned in name order.
  static constexpr std::uint32_t kNoColumn = ~std::uint32_t{0};
  void adopt_csv(std::string text, std::vector<csv_record::RecordIndex> index,
                 std::vector<std::uint32_t> column_of_field);

  // The id of `name`, adding it when new.
  std::uint32_t intern(std::string_view name);
  // The id of `name`, or nothing when no row of this table can hold it.
  std::optional<std::uint32_t> find_column(std::string_view name) const;
  const std::vector<std::string>& columns() const { return columns_; }
  const std::string& column_name(std::uint32_t column) const { return columns_[column]; }

  std::size_t size() const;
  bool empty() const { return size() == 0; }
  // Row `index`; `scratch` is used (and the view bound to it) for CSV tables only.
  Row row(std::size_t index, RowScratch& scratch) const;
  // Whether every row holds every column, each as a text (true for a CSV table).
  bool every_row_full_text() const { return csv_ != nullptr; }

  // Building a table row by row: `put` values into the row under construction (a value under a
  // column already put replaces the earlier one), then `end_row`. Texts and nested values must
  // be kept by this table first (`keep_text`, `keep_nested`) or otherwise outlive it.
  void put(std::uint32_t column, Cell value);
  void end_row();
  // A whole row at once, for a caller that has put its fields in name order, one per name.
  void add_sorted_row(std::span<const Field> fields);
  // Room for `rows` more rows of about `fields_per_row` fields, so that building them does not
  // grow the storage step by step.
  void reserve(std::size_t rows, std::size_t fields_per_row);
  std::string_view keep_text(std::string_view text);
  const core::json::Value& keep_nested(core::json::Value value);
  // Moves every row of `parts` (tables that keep their cells), in order, to the end of this
  // table, with everything their cells borrow from them; their column names are interned here in
  // the order of the parts and, within a part, in its own order. The rows are not copied.
  void append(std::vector<RowTable>&& parts);

 private:
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>{}(s);
    }
  };
  struct CsvText;

  Row csv_row(std::size_t index, RowScratch& scratch) const;

  std::vector<std::string> columns_;  // column id -> name
  std::unordered_map<std::string, std::uint32_t, NameHash, std::equal_to<>> ids_;

  // Kept rows, in segments (one per appended part): the fields of a segment's row i are
  // fields[row_ends[i - 1] .. row_ends[i]).
  struct Segment {
    std::vector<Field> fields;
    std::vector<std::size_t> row_ends;
  };
  std::vector<Segment> segments_;
  std::vector<std::size_t> segment_ends_;  // rows up to the end of each segment
  std::vector<Field> pending_;  // the row under construction
  std::vector<std::unique_ptr<char[]>> text_blocks_;
  char* block_cursor_ = nullptr;  // unused room at the end of the last text block
  std::size_t block_left_ = 0;
  std::deque<core::json::Value> nested_;
  // Taken over from appended tables; held by pointer so that the values never move.
  std::vector<std::unique_ptr<std::deque<core::json::Value>>> appended_nested_;

  std::unique_ptr<const CsvText> csv_;
};

}  // namespace quib::ingest
