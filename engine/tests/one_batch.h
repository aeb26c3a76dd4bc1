// One batch on its own: every kept row of a table, mapped through its binding, applied through a
// writer that sees no other batch. The reference that the many-batch and in-parts roads are held
// to.
#pragma once

#include "ingest/batch_updater.h"

namespace quib::ingest::batch_updater {

inline BatchStats apply_batch(storage::Database& db, const core::Schema& schema,
                              const RowTable& table, const ColumnBinding& binding,
                              const KeptRows& rows) {
  BatchWriter writer(db, schema);
  const BatchStats stats = writer.apply(table, binding, rows, 0, rows.size());
  writer.finish();
  return stats;
}

}  // namespace quib::ingest::batch_updater
