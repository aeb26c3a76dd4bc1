#include "query/resolver.h"

#include <bit>
#include <utility>

#include "math/rebin.h"
#include "storage/dist_store.h"

namespace quib::query {
namespace {

// A scan of the variable's keys costs about as much as filing them by pair; from this many
// roll-ups of one variable on, filing them once is cheaper.
constexpr unsigned kRollUpsBeforeFiling = 3;

bool same_bits(double x, double y) {
  return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
}

}  // namespace

ResolvedSide::ResolvedSide(ResolvedMembers resolved) : resolved_(std::move(resolved)) {
  versions_.reserve(resolved_.members.size());
  for (const auto* member : resolved_.members) versions_.push_back({member->id, member->version});
}

const core::DistributionRepr& ResolvedSide::counts() const {
  if (resolved_.members.size() == 1) return first().repr;
  if (!rolled_up_) rolled_up_ = rolled_up_repr(resolved_);
  return *rolled_up_;
}

std::uint64_t ResolvedSide::sample_count() const {
  return resolved_.exact ? first().sample_count : counts().total_count();
}

double ResolvedSide::entropy() const {
  return resolved_.exact ? first().entropy : core::entropy(counts());
}

const core::DistributionRepr* ResolvedSide::rebinned(std::uint64_t bins, double min,
                                                     double max) const {
  if (!rebinned_ || rebinned_->bins != bins || !same_bits(rebinned_->min, min) ||
      !same_bits(rebinned_->max, max)) {
    rebinned_.emplace(Rebinned{bins, min, max, math::rebin_histogram(counts(), bins, min, max)});
  }
  return rebinned_->repr ? &*rebinned_->repr : nullptr;
}

const ResolvedSide& SideResolver::resolve(std::string_view variable,
                                          const DimensionMap& dimensions) {
  if (auto found = sides_.find(SideKeyView{variable, dimensions}); found != sides_.end()) {
    return found->second;
  }
  // A side that resolves to nothing is not kept: asking again fails again, with the same message.
  ResolvedMembers members = find_members(variable, dimensions);
  return sides_
      .emplace(SideKey{std::string(variable), dimensions}, ResolvedSide(std::move(members)))
      .first->second;
}

ResolvedMembers SideResolver::find_members(std::string_view variable,
                                           const DimensionMap& dimensions) {
  if (const auto* exact = db_.find_distribution(variable, dimensions)) {
    ResolvedMembers resolved;
    resolved.members.push_back(exact);
    resolved.exact = true;
    return resolved;
  }
  return rolled_up_members(db_, variable, dimensions, candidates(variable, dimensions));
}

// Every position whose key can hold all the pairs, in storage order: with the keys filed, the
// shortest list among the pairs; otherwise all of the variable's positions.
std::span<const std::size_t> SideResolver::candidates(std::string_view variable,
                                                      const DimensionMap& dimensions) {
  const std::span<const std::size_t> all = db_.positions_of_variable(variable);
  if (dimensions.empty()) return all;
  auto state = variables_.find(variable);
  if (state == variables_.end()) state = variables_.emplace(std::string(variable), VariableState{}).first;
  if (!state->second.pairs && ++state->second.rolled_up >= kRollUpsBeforeFiling) {
    PairPositions& pairs = state->second.pairs.emplace();
    for (const std::size_t position : all) {
      for (const auto& [name, value] : db_.distributions()[position].dimension_key) {
        pairs[name][value].push_back(position);
      }
    }
  }
  if (!state->second.pairs) return all;
  std::span<const std::size_t> shortest = all;
  for (const auto& [name, value] : dimensions) {
    const auto values = state->second.pairs->find(name);
    if (values == state->second.pairs->end()) return {};
    const auto positions = values->second.find(value);
    if (positions == values->second.end()) return {};
    if (positions->second.size() < shortest.size()) shortest = positions->second;
  }
  return shortest;
}

}  // namespace quib::query
