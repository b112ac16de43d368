// A server library whose server has a class the registry refuses.
#include <cstdint>

#include "replikon/server.hpp"

namespace {

struct Thing {
  std::int32_t value = 0;
};

replikon::Server MakeServer() {
  replikon::Server server("BadClass");
  server.Class<Thing>("Not.AClass").Property("Value", &Thing::value);
  return server;
}

}  // namespace

REPLIKON_SERVER_LIBRARY(MakeServer)
