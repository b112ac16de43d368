// A server library whose entry point raises while defining its server.
#include "replikon/server.hpp"

namespace {

replikon::Server MakeServer() {
  replikon::errors::Raise(replikon::errors::kPathNotFound, "the server's data folder is missing");
}

}  // namespace

REPLIKON_SERVER_LIBRARY(MakeServer)
