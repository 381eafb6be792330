#include "kesu/delta/list_delta_value.h"

namespace kesu {

void ArrayVec::push(ListDeltaValue v) {
  if (len_ >= kCapacity) invariant_failed(kMsgUnwrapErr);
  construct(len_, std::move(v));
  ++len_;
}

}  // namespace kesu
