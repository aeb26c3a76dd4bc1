#include "query/resolver.h"

#include <atomic>
#include <bit>
#include <utility>

#include "math/rebin.h"
#include "storage/dist_store.h"

namespace quib::query {
namespace {

bool same_bits(double x, double y) {
  return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
}

}  // namespace

ResolvedSide::ResolvedSide(ResolvedMembers resolved) : resolved_(std::move(resolved)) {}

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
      rebinned_->counts.emplace(RebinnedCounts{std::move(*repr), entropy});
    }
  }
  return rebinned_->counts ? &*rebinned_->counts : nullptr;
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
  return sides_
      .emplace(SideKey{std::string(variable), dimensions}, ResolvedSide(std::move(members)))
      .first->second;
}

}  // namespace quib::query
