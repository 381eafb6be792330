// The three delta-rope instances: list deltas (up to eight entries per
// insert), text deltas (Unicode scalar values, style attributes) and raw
// rich-text deltas (text runs and style anchors, no attributes).
#pragma once

#include "kesu/delta/delta_rope.h"
#include "kesu/delta/delta_rope_builder.h"
#include "kesu/delta/list_delta_value.h"
#include "kesu/delta/richtext_item.h"
#include "kesu/delta/text_delta_value.h"

namespace kesu {

using ListDelta = DeltaRope<ListDeltaOps>;
using TextDelta = DeltaRope<TextDeltaOps>;
using RichtextRawDelta = DeltaRope<RichtextRawDeltaOps>;

using ListDeltaItem = DeltaItem<ListDeltaOps>;
using TextDeltaItem = DeltaItem<TextDeltaOps>;
using RichtextRawDeltaItem = DeltaItem<RichtextRawDeltaOps>;

using ListDeltaBuilder = DeltaRopeBuilder<ListDeltaOps>;
using TextDeltaBuilder = DeltaRopeBuilder<TextDeltaOps>;

using ListDeltaTree = ListDelta::Tree;
using TextDeltaTree = TextDelta::Tree;
using RichtextRawDeltaTree = RichtextRawDelta::Tree;

}  // namespace kesu
