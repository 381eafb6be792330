// Small helpers of the container states and encoders: raising version vector
// entries to a maximum, and the export error that names where it was raised.
#pragma once

#include <source_location>
#include <string_view>
#include <utility>
#include <vector>

#include "kesu/common/error.h"
#include "kesu/common/version.h"

namespace kesu {

// For each (peer, counter) in order: counters of 0 or less are skipped; a
// present peer keeps the larger counter; an absent peer is added.
void extend_max(VersionVector& vv, const std::vector<std::pair<PeerID, Counter>>& pairs);

// The export error whose text is the message, " at ", then file:line:column
// of the raising check (the file by its name only).
KesuEncodeError encode_error_with_location(
    std::string_view message, std::source_location where = std::source_location::current());

}  // namespace kesu
