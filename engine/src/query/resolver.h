// Resolution shared by the compares of one statement. ACROSS, PAIRWISE, NEAREST, EXPLAIN and
// TRACK compare the same few sides over and over; a `SideResolver` resolves each distinct
// (variable, dimensions) once and keeps, per side, its members, the (id, version) list that keys
// the compare cache, its counts (a roll-up summed once) and its last rebinned grid.
//
// Contract: a resolver lives for one statement over a database that does not change meanwhile
// (it keeps pointers into it). Every answer equals resolving afresh: the same members in storage
// order, the same counts, and a side that resolves to nothing fails each time it is asked, with
// the not-found message of `rolled_up_members`. One thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/distribution.h"
#include "math/rebin.h"
#include "math/shares.h"
#include "query/cache.h"
#include "query/parser.h"
#include "query/planner.h"

namespace quib::storage {
class Database;
}

namespace quib::query {

// A side's counts on another grid, with their entropy and shares (which every histogram compare
// needs).
struct RebinnedCounts {
  core::DistributionRepr repr;
  double entropy = 0.0;
  math::ShareTerms terms;
};

// A categorical side's counts on its own categories in byte order, each name once, as a compare
// with a side of the same category list aligns them; with their entropy and shares.
struct OwnCategories {
  math::AlignedCategories aligned;
  double entropy = 0.0;
  math::ShareTerms terms;
};

class ResolvedSide {
 public:
  explicit ResolvedSide(ResolvedMembers resolved);

  const ResolvedMembers& resolved() const { return resolved_; }
  // The (id, version) of every member in storage order: this side's half of a cache key.
  const std::vector<MemberVersion>& versions() const { return versions_; }
  // The first member's own object; a roll-up carries its identity and version.
  const core::DistributionObject& first() const { return *resolved_.members.front(); }
  // The stored counts when one object holds them, else their roll-up (summed on first use).
  const core::DistributionRepr& counts() const;
  // The stored figures for an exact hit, else those of the counts.
  std::uint64_t sample_count() const;
  double entropy() const;
  // The counts rebinned onto `bins` bins over [min, max] (`math::rebin_histogram`), null when
  // that yields nothing. The last grid asked for is kept, so a side compared with many others
  // of one variable is rebinned once.
  const RebinnedCounts* rebinned(std::uint64_t bins, double min, double max) const;
  // The counts of a categorical side on its own categories (computed on first use).
  const OwnCategories& own_categories() const;

 private:
  struct Rebinned {
    std::uint64_t bins;
    double min;
    double max;
    std::optional<RebinnedCounts> counts;
  };

  ResolvedMembers resolved_;
  std::vector<MemberVersion> versions_;
  mutable std::optional<core::DistributionRepr> rolled_up_;
  mutable std::optional<Rebinned> rebinned_;
  mutable std::optional<OwnCategories> own_categories_;
};

class SideResolver {
 public:
  explicit SideResolver(const storage::Database& db) : db_(db) {}
  SideResolver(const SideResolver&) = delete;
  SideResolver& operator=(const SideResolver&) = delete;

  const storage::Database& database() const { return db_; }
  // The side of `variable` under `dimensions`; the reference stays valid for the resolver's life.
  const ResolvedSide& resolve(std::string_view variable, const DimensionMap& dimensions);

 private:
  struct SideKey {
    std::string variable;
    DimensionMap dimensions;
  };
  struct SideKeyView {
    std::string_view variable;
    const DimensionMap& dimensions;
  };
  struct SideOrder {
    using is_transparent = void;
    template <typename X, typename Y>
    bool operator()(const X& x, const Y& y) const {
      if (const auto order = std::string_view(x.variable) <=> std::string_view(y.variable);
          order != 0) {
        return order < 0;
      }
      return x.dimensions < y.dimensions;
    }
  };
  // Positions of one variable's distributions per value of one dimension, each list in storage
  // order; the views point into the stored keys.
  using ValuePositions = std::unordered_map<std::string_view, std::vector<std::size_t>>;
  // Filed per dimension name as roll-ups ask for it, once a statement has asked for a few
  // roll-ups of the variable.
  struct VariableState {
    unsigned rolled_up = 0;
    std::map<std::string, ValuePositions, std::less<>> by_dimension;
  };
  // Where a roll-up's members can be: `all_hold` when every candidate holds every pair.
  struct Candidates {
    std::span<const std::size_t> positions;
    bool all_hold = false;
  };

  ResolvedMembers find_members(std::string_view variable, const DimensionMap& dimensions);
  Candidates candidates(std::string_view variable, const DimensionMap& dimensions);
  const ValuePositions& filed(std::string_view variable, VariableState& state,
                              const std::string& dimension);

  const storage::Database& db_;
  std::map<SideKey, ResolvedSide, SideOrder> sides_;
  std::map<std::string, VariableState, std::less<>> variables_;
};

// The sides of one variable at a list of slices, each resolved when first asked for: a statement
// that compares every two of them looks each one up once, in the order it first needs them, so
// its failures come in the order of resolving afresh. A side that fails is asked again next time.
class SliceSides {
 public:
  SliceSides(SideResolver& sides, std::string_view variable, std::size_t count)
      : sides_(sides), variable_(variable), resolved_(count, nullptr) {}

  const ResolvedSide& at(std::size_t k, const DimensionMap& dimensions) {
    if (resolved_[k] == nullptr) resolved_[k] = &sides_.resolve(variable_, dimensions);
    return *resolved_[k];
  }

 private:
  SideResolver& sides_;
  std::string_view variable_;
  std::vector<const ResolvedSide*> resolved_;
};

}  // namespace quib::query
