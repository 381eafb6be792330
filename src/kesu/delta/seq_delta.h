// SeqDelta: the delta of a list-like container as events carry it, built by
// pushing items left to right. push() keeps it canonical: neighbouring
// retains join, consecutive deletes at the end join, a range insert that
// continues the previous one (same peer, adjacent range, counter and Lamport
// in step) joins it, and an insert pushed right after a final delete moves in
// front of that delete.
//
// `Meta` is whatever further fields the callers carry on Retain and Delete;
// it is kept as it is (a joined item keeps the earlier item's fields).
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <variant>
#include <vector>

#include "kesu/common/id.h"
#include "kesu/common/value.h"

namespace kesu {

// A run of consecutive element positions [start, end).
struct ElemRange {
  uint32_t start = 0;
  uint32_t end = 0;
  bool operator==(const ElemRange&) const = default;
};

template <typename Meta = std::monostate>
struct SeqDeltaItem {
  struct Retain {
    size_t len = 0;
    Meta meta{};
    bool operator==(const Retain&) const = default;
  };
  struct Delete {
    size_t len = 0;
    Meta meta{};
    bool operator==(const Delete&) const = default;
  };
  // A range insert of n elements covers the ids (peer, counter + i) with
  // Lamport lamport + i; a single value has length 1.
  struct Insert {
    std::variant<ElemRange, KesuValue> value;
    IdFull id;
    bool operator==(const Insert&) const = default;
  };
  std::variant<Retain, Delete, Insert> v;
  bool operator==(const SeqDeltaItem&) const = default;
};

template <typename Meta = std::monostate>
class SeqDelta {
 public:
  using Item = SeqDeltaItem<Meta>;

  void push(Item x) {
    if (items_.empty()) {
      items_.push_back(std::move(x));
      return;
    }
    Item& last = items_.back();
    auto* ld = std::get_if<typename Item::Delete>(&last.v);
    size_t place = items_.size();
    if (ld) {
      if (auto* xd = std::get_if<typename Item::Delete>(&x.v)) {
        ld->len += xd->len;
        return;
      }
      if (std::holds_alternative<typename Item::Insert>(x.v)) {
        if (items_.size() == 1) {
          items_.insert(items_.begin(), std::move(x));
          return;
        }
        place = items_.size() - 1;
      }
    }
    Item& r = items_[place - 1];
    if (try_join(r, x)) return;
    items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(place), std::move(x));
  }

  const std::vector<Item>& items() const { return items_; }
  bool empty() const { return items_.empty(); }

 private:
  static bool try_join(Item& r, const Item& x) {
    if (auto* rr = std::get_if<typename Item::Retain>(&r.v)) {
      if (auto* xr = std::get_if<typename Item::Retain>(&x.v)) {
        rr->len += xr->len;
        return true;
      }
      return false;
    }
    auto* ri = std::get_if<typename Item::Insert>(&r.v);
    auto* xi = std::get_if<typename Item::Insert>(&x.v);
    if (!ri || !xi) return false;
    auto* rg = std::get_if<ElemRange>(&ri->value);
    auto* xg = std::get_if<ElemRange>(&xi->value);
    if (!rg || !xg) return false;
    int64_t n = int64_t(rg->end) - int64_t(rg->start);
    if (ri->id.peer != xi->id.peer || rg->end != xg->start ||
        int64_t(ri->id.counter) + n != int64_t(xi->id.counter) ||
        int64_t(ri->id.lamport) + n != int64_t(xi->id.lamport))
      return false;
    rg->end = xg->end;
    return true;
  }

  std::vector<Item> items_;
};

}  // namespace kesu
