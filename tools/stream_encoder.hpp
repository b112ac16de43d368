// `replikon encode`: the JSON that `replikon inspect --json` writes, in either
// form, read back into the bytes of the Stream it shows.
//
// The flat form is read entry by entry and each entry is dropped once it is
// written, so reading it needs memory for the Stream being built and for one
// open bag per level, not for the document. The nested form is read whole.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace replikon::cli {

// Fills `out` with the Stream's bytes and returns true; false with `error`
// set (the line and column for JSON that does not parse, the entry and why
// for a value that cannot be stored) and `out` emptied otherwise.
bool EncodeStreamJson(std::istream& in, std::vector<std::uint8_t>& out, std::string& error);

}  // namespace replikon::cli
