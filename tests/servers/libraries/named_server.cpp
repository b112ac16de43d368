// A server library that defines server REPLIKON_TEST_SERVER with one class,
// REPLIKON_TEST_CLASS. Built as OtherName.so, it defines a server of another
// name than its file's; built as BadClass.so, a class the registry refuses.
#include <cstdint>

#include "replikon/server.hpp"

namespace {

struct Thing {
  std::int32_t value = 0;
};

replikon::Server MakeServer() {
  replikon::Server server(REPLIKON_TEST_SERVER);
  server.Class<Thing>(REPLIKON_TEST_CLASS).Property("Value", &Thing::value);
  return server;
}

}  // namespace

REPLIKON_SERVER_LIBRARY(MakeServer)
