// Object Streams nested as deep as a test likes, written in place: each level
// is a bag inside the one around it, with no copy of the inner bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "automation/bag_codec.hpp"

namespace replikon::test_support {

// `levels` object Streams of class `class_name`, each but the innermost holding
// the next in its entry `key`.
inline std::vector<std::uint8_t> NestedObjectStreams(std::size_t levels,
                                                     const std::string& class_name,
                                                     const std::string& key) {
  std::vector<std::uint8_t> out;
  std::vector<BagWriter> bags;
  std::vector<BagWriter::Pending> pending;
  bags.reserve(levels);
  for (std::size_t i = 0; i < levels; ++i) {
    BagWriter& bag = bags.emplace_back(out);
    bag.Write("@SF#", Variant(17));
    bag.Write("@OT#", Variant(class_name));
    if (i + 1 < levels) pending.push_back(bag.BeginBytes(key));
  }
  for (std::size_t i = levels; i-- > 0;) {
    bags[i].Finish();
    if (i > 0) bags[i - 1].EndBytes(pending[i - 1]);
  }
  return out;
}

}  // namespace replikon::test_support
