// `replikon diff`: the entries in which two Streams differ, by path.
//
// Bags are compared by key, so two Streams that hold the same entries in
// another order are the same; a nested bag present in both is compared entry
// by entry, and one whose bytes are identical is not opened.
#pragma once

#include <cstdint>
#include <ostream>
#include <span>
#include <string>

namespace replikon::cli {

// Writes one line per difference to `out` and sets `differences` to their
// number. False with `error` set when either input is no Stream.
bool DiffStreams(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b,
                 std::ostream& out, std::uint64_t& differences, std::string& error);

}  // namespace replikon::cli
