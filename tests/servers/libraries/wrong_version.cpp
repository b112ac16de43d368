// A server library that speaks another version of the entry point: it
// defines nothing for the version it is called with.
#include <cstdint>

#include "replikon/server.hpp"

extern "C" __attribute__((visibility("default"))) std::uint32_t replikon_server_entry(
    std::uint32_t version, replikon::Server* server) {
  constexpr std::uint32_t kMine = 99;
  if (version == kMine && server != nullptr) *server = replikon::Server("WrongVersion");
  return kMine;
}
