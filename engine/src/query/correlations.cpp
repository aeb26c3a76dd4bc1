#include "query/correlations.h"

#include <algorithm>
#include <compare>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "core/error.h"
#include "math/cramers_v.h"
#include "query/engine.h"
#include "query/parser.h"
#include "storage/dist_store.h"

namespace quib::query {

namespace {

struct JointInformation {
  double mi = 0.0;
  double nmi = 0.0;
  double cramers_v = 0.0;
  std::uint64_t total = 0;
};

JointInformation measure(const core::JointDistributionObject& joint) {
  const math::CountTable table = joint_count_table(joint.repr);
  const std::uint64_t total = joint.repr.total_count();
  const math::TableMargins margins = math::table_margins(table);
  const math::MutualInformation information =
      math::mutual_information_with_margins(table, margins, total);
  return {information.mi, information.nmi, math::cramers_v(table, margins, total), total};
}

bool joint_defined(const core::Schema& schema, std::string_view a, std::string_view b) {
  return std::any_of(schema.joints.begin(), schema.joints.end(), [&](const auto& pair) {
    return (pair.first == a && pair.second == b) || (pair.first == b && pair.second == a);
  });
}

void check_joint_defined(const storage::Database& db, std::string_view a, std::string_view b) {
  if (joint_defined(db.schema(), a, b)) return;
  std::string message = "no joint distribution defined for '";
  message.append(a).append("' and '").append(b).append("'; call define_joint() first");
  throw Error(std::move(message));
}

std::string quoted_dimension_message(std::string_view head, std::string_view dimension) {
  std::string message(head);
  message.append(" '").append(dimension).append("'");
  return message;
}

// Rows of the joints of the stored pair (lo, hi), whatever their keys, in storage order.
void correlate_every_slice(const storage::Database& db,
                           const std::pair<std::string, std::string>& pair, std::string_view lo,
                           std::string_view hi, CorrelationReport& report) {
  for (const core::JointDistributionObject& joint : db.joints()) {
    if (joint.variables.first != lo || joint.variables.second != hi) continue;
    ++report.joints_examined;
    if (joint.repr.total_count() == 0) continue;
    const JointInformation m = measure(joint);
    std::optional<std::string> slice;
    if (!joint.dimension_key.empty()) slice = core::canonical_dimension_key(joint.dimension_key);
    report.pairs.push_back({pair.first, pair.second, std::move(slice), m.mi, m.nmi, m.cramers_v,
                            m.total});
  }
}

// Rows of the joints of (lo, hi) at exactly {dimension: value}, in value order.
void correlate_by_dimension(const storage::Database& db,
                            const std::pair<std::string, std::string>& pair, std::string_view lo,
                            std::string_view hi, std::string_view dimension,
                            CorrelationReport& report) {
  for (const std::string& value : db.dimension_values(dimension)) {
    const core::DimensionKey key{{std::string(dimension), value}};
    const core::JointDistributionObject* joint = db.get_joint_distribution(lo, hi, key);
    if (joint == nullptr) continue;
    ++report.joints_examined;
    if (joint->repr.total_count() == 0) continue;
    const JointInformation m = measure(*joint);
    report.pairs.push_back({pair.first, pair.second, value, m.mi, m.nmi, m.cramers_v, m.total});
  }
}

}  // namespace

math::CountTable joint_count_table(const core::JointRepr& repr) {
  return std::visit(
      [](const auto& joint) -> math::CountTable {
        using T = std::decay_t<decltype(joint)>;
        if constexpr (std::is_same_v<T, core::JointConditionalHistograms>) {
          math::CountTable table;
          table.reserve(joint.histograms.size());
          for (const core::DistributionRepr& row : joint.histograms) {
            if (const auto* histogram = row.get_if<core::ReprHistogram>()) {
              table.push_back(histogram->bin_counts);
            } else {
              table.push_back(row.get_if<core::ReprCategorical>()->counts);
            }
          }
          return table;
        } else {
          return joint.counts;
        }
      },
      repr.value);
}

double mutual_info(const storage::Database& db, std::string_view a, std::string_view b,
                   std::string_view reference) {
  const QueryReference parsed = parse_reference(reference);
  check_joint_defined(db, a, b);
  const core::JointDistributionObject* joint = db.get_joint_distribution(a, b, parsed.dimensions);
  if (joint == nullptr) {
    std::string message = "joint distribution not found for '";
    message.append(a).append("' and '").append(b).append("' at ");
    message.append(core::debug_dimension_key(parsed.dimensions));
    throw Error(std::move(message));
  }
  return math::mutual_information(joint_count_table(joint->repr), joint->repr.total_count());
}

CondMutualInfoResult conditional_mutual_info(const storage::Database& db, std::string_view a,
                                             std::string_view b, std::string_view dimension,
                                             const std::optional<core::DimensionKey>& extra_pairs) {
  check_joint_defined(db, a, b);
  const std::set<std::string> values = db.dimension_values(dimension);
  if (values.empty()) {
    throw Error(quoted_dimension_message("no values found for dimension", dimension));
  }

  CondMutualInfoResult result;
  result.dimension = std::string(dimension);
  for (const std::string& value : values) {
    // The extra pairs win over the dimension's own; the key is built once.
    std::vector<std::pair<std::string, std::string>> pairs{{std::string(dimension), value}};
    if (extra_pairs) {
      for (const auto& [name, extra] : *extra_pairs) pairs.emplace_back(name, extra);
    }
    const core::DimensionKey key = core::dimension_key_from_pairs(std::move(pairs));
    const core::JointDistributionObject* joint = db.get_joint_distribution(a, b, key);
    if (joint == nullptr || joint->repr.total_count() == 0) continue;
    const JointInformation m = measure(*joint);
    result.per_value.push_back({value, m.mi, m.nmi, m.cramers_v, m.total});
    result.total_samples = core::saturating_add(result.total_samples, m.total);
  }
  if (result.per_value.empty()) {
    throw Error(
        quoted_dimension_message("no joint distributions found across dimension", dimension));
  }
  // Each value weighs by its share of the samples, the ratio taken of the two counts.
  double cmi = 0.0;
  const auto sum = static_cast<double>(result.total_samples);
  for (const DimensionMI& row : result.per_value) {
    cmi += static_cast<double>(row.total) / sum * row.mi;
  }
  result.cmi = cmi;
  return result;
}

CorrelationReport discover_correlations(const storage::Database& db,
                                        std::optional<std::string_view> dimension,
                                        std::uint64_t limit) {
  const auto& joints = db.schema().joints;
  if (joints.empty()) throw Error("no joint distributions defined; call define_joint() first");

  CorrelationReport report;
  if (dimension) report.dimension = std::string(*dimension);
  for (const auto& pair : joints) {
    // Stored joints name their pair in byte order, whichever order the schema lists.
    std::string_view lo = pair.first;
    std::string_view hi = pair.second;
    if (hi < lo) std::swap(lo, hi);
    if (dimension) {
      correlate_by_dimension(db, pair, lo, hi, *dimension, report);
    } else {
      correlate_every_slice(db, pair, lo, hi, report);
    }
  }
  // Under the total order of doubles a NaN ranks too, and never breaks the sort.
  std::stable_sort(report.pairs.begin(), report.pairs.end(),
                   [](const VariablePairCorrelation& x, const VariablePairCorrelation& y) {
                     return std::strong_order(y.mi, x.mi) < 0;
                   });
  if (limit <= report.pairs.size()) report.pairs.resize(static_cast<std::size_t>(limit));
  return report;
}

MutualInfoResult QueryEngine::mutual_info(const storage::Database& db, std::string_view a,
                                          std::string_view b, std::string_view reference,
                                          const core::DimensionKey& stored_key) const {
  MutualInfoResult result;
  result.mi = query::mutual_info(db, a, b, reference);
  // The reference reads the name "variable" as no dimension, so the key may name another joint.
  if (const core::JointDistributionObject* joint = db.get_joint_distribution(a, b, stored_key)) {
    const JointInformation m = measure(*joint);
    result.stored = JointMeasures{m.nmi, m.cramers_v, m.total};
  }
  return result;
}

CondMutualInfoResult QueryEngine::conditional_mutual_info(
    const storage::Database& db, std::string_view a, std::string_view b,
    std::string_view dimension, const std::optional<core::DimensionKey>& extra_pairs) const {
  return query::conditional_mutual_info(db, a, b, dimension, extra_pairs);
}

CorrelationReport QueryEngine::discover_correlations(const storage::Database& db,
                                                     std::optional<std::string_view> dimension,
                                                     std::uint64_t limit) const {
  return query::discover_correlations(db, dimension, limit);
}

}  // namespace quib::query
