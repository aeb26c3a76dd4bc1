// The plain records that the query operations return by value and the query language renders.
// They have no stored form; every field is filled by the operation that builds the record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quib::query {

// One category of a categorical compare: its shares on both sides and its term of the JSD.
struct CategoryShift {
  std::string category;
  double p_a = 0.0;
  double p_b = 0.0;
  double delta = 0.0;  // p_b - p_a
  double contribution = 0.0;
  bool operator==(const CategoryShift&) const = default;
};

struct CompareResult {
  double jsd = 0.0;
  double psi = 0.0;
  double kl_ab = 0.0;
  double kl_ba = 0.0;
  double entropy_a = 0.0;
  double entropy_b = 0.0;
  double hellinger = 0.0;
  std::optional<double> wasserstein;  // histograms only
  double jsd_ci_low = 0.0;
  double jsd_ci_high = 0.0;
  bool sufficient_samples = false;
  std::uint64_t total_a = 0;
  std::uint64_t total_b = 0;
  std::vector<CategoryShift> top_shifts;  // largest |delta| first; empty for histograms
  bool operator==(const CompareResult&) const = default;
};

// The compares of COMPARE ... ACROSS: one per two sides i < j, in the order (0, 1), (0, 2), ...,
// (1, 2), ...; none where the WHERE reference does not parse or the compare fails.
struct AcrossResult {
  std::vector<std::optional<CompareResult>> pairs;
};

// One candidate of NEAREST: its position in the list asked about and its distance to the target.
struct NearestCandidate {
  std::size_t candidate = 0;
  double distance = 0.0;
  bool operator==(const NearestCandidate&) const = default;
};

struct NearestResult {
  std::vector<NearestCandidate> nearest;  // distance ascending, ties in candidate order
};

// One variable of an explanation.
struct VariableContribution {
  std::string variable;
  std::vector<CategoryShift> top_shifts;
  double jsd = 0.0;
  double share = 0.0;
  double entropy_a = 0.0;
  double entropy_b = 0.0;
  bool operator==(const VariableContribution&) const = default;
};

struct ExplainResult {
  std::vector<VariableContribution> contributions;  // jsd descending
  double total = -0.0;
};

struct PairwiseResult {
  std::vector<std::string> values;           // ascending byte order
  std::vector<std::vector<double>> matrix;   // values.size() squared, symmetric, zero diagonal
};

// The measures of a stored joint beyond its mutual information.
struct JointMeasures {
  double nmi = 0.0;
  double cramers_v = 0.0;
  std::uint64_t total = 0;
  bool operator==(const JointMeasures&) const = default;
};

struct MutualInfoResult {
  double mi = 0.0;
  std::optional<JointMeasures> stored;  // the joint under exactly the key asked for, if any
};

struct DimensionMI {
  std::string value;
  double mi = 0.0;
  double nmi = 0.0;
  double cramers_v = 0.0;
  std::uint64_t total = 0;
  bool operator==(const DimensionMI&) const = default;
};

struct CondMutualInfoResult {
  std::string dimension;
  std::vector<DimensionMI> per_value;  // ascending byte order of value
  double cmi = 0.0;
  std::uint64_t total_samples = 0;
};

struct VariablePairCorrelation {
  std::string var_a;
  std::string var_b;
  std::optional<std::string> slice;
  double mi = 0.0;
  double nmi = 0.0;
  double cramers_v = 0.0;
  std::uint64_t total = 0;
  bool operator==(const VariablePairCorrelation&) const = default;
};

struct CorrelationReport {
  std::vector<VariablePairCorrelation> pairs;
  std::optional<std::string> dimension;
  std::uint64_t joints_examined = 0;
};

struct TrackPoint {
  std::string label;  // "variable|time value"
  std::uint64_t sample_count = 0;
  double entropy = 0.0;
  std::uint64_t version = 0;
  bool operator==(const TrackPoint&) const = default;
};

struct DriftEvent {
  std::string from;
  std::string to;
  std::string message;
  double value = 0.0;
  bool operator==(const DriftEvent&) const = default;
};

struct TrackResult {
  std::vector<std::string> times;
  std::vector<double> entropies;
  std::vector<double> drifts;
  std::vector<DriftEvent> drift_events;
  std::vector<TrackPoint> points;
};

}  // namespace quib::query
