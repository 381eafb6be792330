// StyleRangeMap: for every entity position of a rich-text state, the style
// operations that cover it, as runs of positions sharing one style set.
//
// The map starts with one unstyled run of 2^62-1 positions, longer than any
// text, so every real position is inside it. Until the first annotate it is
// not maintained at all (inserts and deletes change nothing), so a text that
// never had a style pays nothing for it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <tuple>
#include <vector>

#include "kesu/btree/style_range_tree.h"
#include "kesu/richtext/style.h"

namespace kesu {

class StyleRangeMap {
 public:
  static constexpr uint64_t kInitialLen = (uint64_t(1) << 62) - 1;

  // What annotate reports when asked: the resulting styles of each visited run.
  struct AnnotateOutput {
    uint64_t pos = 0;
    std::vector<std::tuple<Styles, uint64_t, uint64_t>> ranges;
  };

  StyleRangeMap();
  StyleRangeMap(const StyleRangeMap&) = delete;
  StyleRangeMap& operator=(const StyleRangeMap&) = delete;

  bool has_style() const { return has_style_; }
  uint64_t total_len() const { return tree_.root_cache(); }

  // Adds `style` to every position of [start, end) (start <= end).
  void annotate(uint64_t start, uint64_t end, const StyleOpHandle& style,
                AnnotateOutput* out = nullptr);
  // Makes room for `len` new entities at `pos`; returns the styles they got
  // (valid until the map next changes).
  const Styles& insert(uint64_t pos, uint64_t len);
  // Removes the entities [start, end); end < start removes nothing.
  void remove(uint64_t start, uint64_t end);
  // The styles text inserted at `pos` would receive; the map is not changed.
  static Styles styles_at(const StyleRangeMap* map, uint64_t pos);

  // Calls f(styles, run length) for every run piece inside [start, end).
  void for_each_in_range(uint64_t start, uint64_t end,
                         const std::function<void(const Styles&, uint64_t)>& f) const;
  // Runs that carry styles, as (start, end, styles), in order.
  std::vector<std::tuple<uint64_t, uint64_t, Styles>> styled_ranges() const;

  // Removes `style` from the runs ending at the end anchor at `pos` and walking
  // back while they hold it. Returns the start of the earliest run that held
  // it, or none when the run at `pos` did not hold it.
  std::optional<uint64_t> remove_style_ending_at(uint64_t pos, const StyleOp& style);

  const StyleRangeTree<Styles>& tree() const { return tree_; }

 private:
  using Trait = StyleRangeTrait<Styles>;
  std::optional<QueryResult> query(uint64_t pos) const;

  StyleRangeTree<Styles> tree_;
  bool has_style_ = false;
};

}  // namespace kesu
