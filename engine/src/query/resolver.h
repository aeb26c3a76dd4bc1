// Resolution shared by the compares of one statement. ACROSS, PAIRWISE, NEAREST, EXPLAIN and
// TRACK compare the same few sides over and over; a `SideResolver` resolves each distinct
// (variable, dimensions) once and keeps, per side, its members, its counts (a roll-up summed
// once) and its last rebinned grid. Once a statement has asked for a few roll-ups of single
// values of one dimension, the rest of that dimension's roll-ups are summed in one walk over the
// variable's distributions in storage order. It also names its statement to the compare cache.
//
// Contract: a resolver lives for one statement over a database that does not change meanwhile
// (it keeps pointers into it). Every answer equals resolving afresh: the same members in storage
// order, the same counts, and a side that resolves to nothing fails each time it is asked, with
// the not-found message of `resolve_members`. One thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/distribution.h"
#include "math/rebin.h"
#include "math/shares.h"
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
  // A roll-up whose counts were summed already.
  ResolvedSide(ResolvedMembers resolved, core::DistributionRepr rolled_up);

  const ResolvedMembers& resolved() const { return resolved_; }
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
  mutable std::optional<core::DistributionRepr> rolled_up_;
  mutable std::optional<Rebinned> rebinned_;
  mutable std::optional<OwnCategories> own_categories_;
};

class SideResolver {
 public:
  explicit SideResolver(const storage::Database& db);
  SideResolver(const SideResolver&) = delete;
  SideResolver& operator=(const SideResolver&) = delete;

  const storage::Database& database() const { return db_; }
  // A number no other resolver of the process has: the statement, for the compare cache.
  std::uint64_t statement() const { return statement_; }
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
  // Keeps the side of every value of `dimension` that rolls up more than one distribution of
  // `variable` and is not yet kept.
  void sweep(std::string_view variable, const std::string& dimension);

  const storage::Database& db_;
  std::uint64_t statement_;
  std::map<SideKey, ResolvedSide, SideOrder> sides_;
  // Roll-ups of a single pair asked for so far, per variable and dimension.
  std::map<std::pair<std::string, std::string>, unsigned> single_pair_roll_ups_;
};

// The sides of one variable at a list of slices, each resolved when first asked for: a statement
// that compares every two of them looks each one up once, in the order it first needs them, so
// its failures come in the order of resolving afresh. A side that fails is asked again next time.
class SliceSides {
 public:
  SliceSides(SideResolver& sides, std::string_view variable, std::size_t count)
      : sides_(sides), variable_(variable), resolved_(count, nullptr) {}

  SideResolver& resolver() const { return sides_; }
  std::string_view variable() const { return variable_; }

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
