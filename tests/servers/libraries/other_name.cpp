// A server library, found as OtherName.so, that defines a server of another name.
#include <cstdint>

#include "replikon/server.hpp"

namespace {

struct Thing {
  std::int32_t value = 0;
};

replikon::Server MakeServer() {
  replikon::Server server("SomethingElse");
  server.Class<Thing>("Thing").Property("Value", &Thing::value);
  return server;
}

}  // namespace

REPLIKON_SERVER_LIBRARY(MakeServer)
