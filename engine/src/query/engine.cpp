#include "query/engine.h"

#include <string>

#include "core/error.h"
#include "query/cache.h"
#include "query/compare.h"
#include "query/parser.h"
#include "query/resolver.h"
#include "storage/dist_store.h"

namespace quib::query {

QueryEngine::QueryEngine() : cache_(std::make_shared<QueryCache>()) {}

CompareResult QueryEngine::compare(const storage::Database& db, std::string_view reference_a,
                                   std::string_view reference_b,
                                   std::optional<std::string_view> variable) const {
  const QueryReference a = parse_reference(reference_a);
  const QueryReference b = parse_reference(reference_b);
  SideResolver sides(db);
  return compare(sides, a, b, variable);
}

CompareResult QueryEngine::compare(SideResolver& sides, const QueryReference& a,
                                   const QueryReference& b,
                                   std::optional<std::string_view> variable) const {
  const storage::Database& db = sides.database();
  std::string_view chosen;
  if (variable) {
    chosen = *variable;
  } else if (a.variable) {
    chosen = *a.variable;
  } else if (b.variable) {
    chosen = *b.variable;
  } else if (!db.schema().variables.empty()) {
    chosen = db.schema().variables.front().name;
  } else {
    throw Error("no variable available in schema");
  }
  return execute_compare(sides, *cache_, chosen, a.dimensions, b.dimensions);
}

}  // namespace quib::query
