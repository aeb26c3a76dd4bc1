// The executor of the query language: one parsed `Statement` in, one `QueryResult` of text cells
// out, every number already formatted.
//
// Contract: a statement reads the `Database` and asks the `QueryEngine`; it changes nothing but the
// engine's compare cache, keeps no state between calls, and either returns its whole table or
// throws `quib::Error`. Errors of the engine and the database pass through unchanged; the one
// exception is COMPARE ... ACROSS, which shows a pair whose compare fails as a row of "N/A" cells
// so that one missing slice does not hide the rest of the table.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "sql/formatter.h"
#include "sql/parser.h"

namespace quib::storage {
class Database;
}

namespace quib::query {
class QueryEngine;
}

namespace quib::sql {

// Parses and runs one statement. A tokenizer or parser failure becomes "parse error: {message}";
// nothing is executed then.
QueryResult query(const storage::Database& db, const query::QueryEngine& engine,
                  std::string_view text);

namespace executor {

QueryResult execute(const storage::Database& db, const query::QueryEngine& engine,
                    const Statement& statement);

// "{dimension}:{value}" of the reference, then "/{dimension}:{value}" per WHERE pair in order;
// nothing is escaped.
std::string build_ref_string(const DimRef& reference, std::span<const DimRef> where_clause);

// One function per statement. Comparisons:
QueryResult exec_compare_between(const storage::Database& db, const query::QueryEngine& engine,
                                 const Statement::CompareBetween& statement);
QueryResult exec_compare_across(const storage::Database& db, const query::QueryEngine& engine,
                                const Statement::CompareAcross& statement);
QueryResult exec_explain(const storage::Database& db, const query::QueryEngine& engine,
                         const Statement::Explain& statement);
QueryResult exec_track(const storage::Database& db, const query::QueryEngine& engine,
                       const Statement::Track& statement);
QueryResult exec_pairwise(const storage::Database& db, const query::QueryEngine& engine,
                          const Statement::Pairwise& statement);
QueryResult exec_nearest(const storage::Database& db, const query::QueryEngine& engine,
                         const Statement::Nearest& statement);

// Distributions and information:
QueryResult exec_show(const storage::Database& db, const Statement::Show& statement);
QueryResult exec_rank(const storage::Database& db, const Statement::Rank& statement);
QueryResult exec_mi(const storage::Database& db, const query::QueryEngine& engine,
                    const Statement::Mi& statement);
QueryResult exec_cmi(const storage::Database& db, const query::QueryEngine& engine,
                     const Statement::Cmi& statement);
QueryResult exec_correlations(const storage::Database& db, const query::QueryEngine& engine,
                              const Statement::Correlations& statement);

// Listings and export:
QueryResult exec_export(const storage::Database& db, const query::QueryEngine& engine,
                        const Statement::Export& statement);
QueryResult exec_stats(const storage::Database& db);
QueryResult exec_schema(const storage::Database& db);
QueryResult exec_dimensions(const storage::Database& db, const Statement::Dimensions& statement);

}  // namespace executor
}  // namespace quib::sql
