// Schema inference: proposes one definition per column from a sample of rows.
//
// A column becomes a date dimension when named in `date_columns`, a year dimension when its
// values are whole numbers between 1900 and 2100, a continuous variable when otherwise numeric,
// a date dimension when every value looks like a date, a categorical variable when it has at
// most `max_categories` distinct texts, and a plain dimension otherwise. Inference never fails
// and looks at no more than `sample_rows` rows.
//
// The identity mapping of a schema, which ingestion maps the rows through, is defined here too.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/schema.h"
#include "ingest/column_mapper.h"
#include "ingest/row.h"

namespace quib::ingest {

struct InferConfig {
  std::vector<std::string> date_columns;     // columns that always become date dimensions
  std::string date_granularity = "daily";    // granularity of every inferred date or year dimension
  std::uint64_t sample_rows = 1000;          // leading rows that inference looks at
  std::uint64_t max_categories = 50;         // most distinct texts of a categorical variable

  static InferConfig default_config() { return InferConfig{}; }
};

namespace schema_inference {

// A schema from the first `sample_rows` rows of `table`, with variables and dimensions in column
// order (order of first appearance in the sample) and no joints.
core::Schema infer_schema(const RowTable& table, const InferConfig& config);

// Every variable read from the column of its own name, every dimension from its source column;
// when two dimensions share a column the later one wins.
IngestMapping identity_mapping(const core::Schema& schema);

}  // namespace schema_inference
}  // namespace quib::ingest
