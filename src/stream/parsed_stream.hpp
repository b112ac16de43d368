// The inspection routines of stream_layout.hpp for a Stream whose bag is
// parsed already, so that a caller that reads the bag anyway parses it once.
#pragma once

#include "replikon/detail/layer_stream.hpp"

#include "replikon/export.hpp"

#include <cstdint>
#include <optional>

#include "automation/bag_codec.hpp"
#include "replikon/stream/stream_layout.hpp"

namespace replikon {

// The header word of a parsed Stream: "@SF#" read with the default 0 and
// converted to a 32-bit integer by the automation rules (a string "17"
// converts, a double rounds); nullopt when the stored value does not convert.
REPLIKON_API std::optional<std::int32_t> StreamHeaderWord(const BagReader& bag) noexcept;
// Same, telling a value that does not convert (nullopt, `out_of_memory` false)
// from running out of memory while converting it (nullopt, `out_of_memory` set).
REPLIKON_API std::optional<std::int32_t> StreamHeaderWord(const BagReader& bag,
                                                          bool& out_of_memory) noexcept;

// `bag` is the parsed Stream, or nullptr when the bytes do not load as a bag.
// Reads two entries of the bag and copies no value bytes (only the class name).
REPLIKON_API StreamInfo InspectStream(const BagReader* bag) noexcept;

}  // namespace replikon
