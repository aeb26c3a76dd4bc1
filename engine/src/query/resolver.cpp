#include "query/resolver.h"

#include <atomic>
#include <bit>
#include <span>
#include <utility>

#include "math/rebin.h"
#include "storage/dist_store.h"

namespace quib::query {
namespace {

bool same_bits(double x, double y) {
  return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
}

// A statement that asks for the roll-ups of several values of one dimension (ACROSS, PAIRWISE,
// NEAREST) asks for all of them, which together read every distribution of the variable. Read
// member by member they are scattered loads; read in one walk in storage order they stream.
constexpr unsigned kRollUpsBeforeSweep = 3;
constexpr std::size_t kCountsAhead = 8;
constexpr std::uint32_t kNoSide = static_cast<std::uint32_t>(-1);

}  // namespace

ResolvedSide::ResolvedSide(ResolvedMembers resolved) : resolved_(std::move(resolved)) {}

ResolvedSide::ResolvedSide(ResolvedMembers resolved, core::DistributionRepr rolled_up)
    : resolved_(std::move(resolved)), rolled_up_(std::move(rolled_up)) {}

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

const RebinnedCounts* ResolvedSide::rebinned(std::uint64_t bins, double min, double max) const {
  if (!rebinned_ || rebinned_->bins != bins || !same_bits(rebinned_->min, min) ||
      !same_bits(rebinned_->max, max)) {
    rebinned_.emplace(Rebinned{bins, min, max, std::nullopt});
    if (auto repr = math::rebin_histogram(counts(), bins, min, max)) {
      const double entropy = core::entropy(*repr);
      const auto& histogram = *repr->get_if<core::DistributionRepr::Histogram>();
      math::ShareTerms terms = math::share_terms(histogram.bin_counts, histogram.total_count);
      rebinned_->counts.emplace(RebinnedCounts{std::move(*repr), entropy, std::move(terms)});
    }
  }
  return rebinned_->counts ? &*rebinned_->counts : nullptr;
}

const OwnCategories& ResolvedSide::own_categories() const {
  if (!own_categories_) {
    const auto& categorical = *counts().get_if<core::DistributionRepr::Categorical>();
    const auto& names = categorical.categories.names();
    math::AlignedCategories aligned =
        math::align_categorical(names, categorical.counts, names, categorical.counts);
    const double entropy = core::entropy_of_counts(aligned.a, categorical.total_count);
    math::ShareTerms terms = math::share_terms(aligned.a, categorical.total_count);
    own_categories_.emplace(OwnCategories{std::move(aligned), entropy, std::move(terms)});
  }
  return *own_categories_;
}

SideResolver::SideResolver(const storage::Database& db) : db_(db) {
  // Numbers only need to differ; no order between threads is needed.
  static std::atomic<std::uint64_t> statements{0};
  statement_ = statements.fetch_add(1, std::memory_order_relaxed) + 1;
}

const ResolvedSide& SideResolver::resolve(std::string_view variable,
                                          const DimensionMap& dimensions) {
  if (auto found = sides_.find(SideKeyView{variable, dimensions}); found != sides_.end()) {
    return found->second;
  }
  // A side that resolves to nothing is not kept: asking again fails again, with the same message.
  ResolvedMembers members = resolve_members(db_, variable, dimensions);
  if (!members.exact && dimensions.size() == 1) {
    const std::string dimension(dimensions.begin()->first);
    if (++single_pair_roll_ups_[{std::string(variable), dimension}] == kRollUpsBeforeSweep) {
      sweep(variable, dimension);
      if (auto found = sides_.find(SideKeyView{variable, dimensions}); found != sides_.end()) {
        return found->second;
      }
    }
  }
  return sides_
      .emplace(SideKey{std::string(variable), dimensions}, ResolvedSide(std::move(members)))
      .first->second;
}

void SideResolver::sweep(std::string_view variable, const std::string& dimension) {
  const storage::Database::ValuePositions* values = db_.positions_by_value(variable, dimension);
  if (values == nullptr) return;
  struct Pending {
    const std::string* value;
    ResolvedMembers members;
    std::optional<core::DistributionRepr> counts;
  };
  std::vector<Pending> pending;
  // Which pending side each of the variable's positions adds to, from its first position on;
  // the walk keeps storage order, so every sum adds the same counts in the same order as
  // `rolled_up_repr`.
  const auto all = db_.positions_of_variable(variable);
  const std::size_t first = all.front();
  std::vector<std::uint32_t> side_of(all.back() - first + 1, kNoSide);
  for (const auto& [value, positions] : *values) {
    const DimensionMap dimensions{{dimension, value}};
    if (positions.size() < 2 || sides_.contains(SideKeyView{variable, dimensions}) ||
        db_.find_distribution(variable, dimensions) != nullptr) {
      continue;
    }
    Pending side{&value, {}, std::nullopt};
    side.members.members.reserve(positions.size());
    for (const std::size_t position : positions) {
      side.members.members.push_back(&db_.distributions()[position]);
      side_of[position - first] = static_cast<std::uint32_t>(pending.size());
    }
    pending.push_back(std::move(side));
  }
  for (std::size_t k = 0; k < all.size(); ++k) {
    if (k + kCountsAhead < all.size()) prefetch_counts(db_.distributions()[all[k + kCountsAhead]]);
    const std::size_t position = all[k];
    const std::uint32_t side = side_of[position - first];
    if (side == kNoSide) continue;
    auto& counts = pending[side].counts;
    const core::DistributionRepr& repr = db_.distributions()[position].repr;
    if (counts) {
      add_repr(*counts, repr);
    } else {
      counts.emplace(repr);
    }
  }
  for (Pending& side : pending) {
    sides_.emplace(SideKey{std::string(variable), DimensionMap{{dimension, *side.value}}},
                   ResolvedSide(std::move(side.members), std::move(*side.counts)));
  }
}

}  // namespace quib::query
