// Servers found by name in shared libraries, in a program that links no server
// code: the sample server comes from OrdersLib.so alone, and each faulty
// library is refused with the reason in the error's details.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "replikon/replikon.hpp"
#include "test_support.hpp"

namespace replikon {
namespace {

using test_support::ErrorFrom;
using test_support::ScopedEnv;
using test_support::TempDir;

const std::filesystem::path kServers = REPLIKON_TEST_SERVERS_DIR;
const std::filesystem::path kBadServers = REPLIKON_TEST_BAD_SERVERS_DIR;

// The build's folders are searched only when no one but their owner may
// write to them; a build under a permissive umask is made so here.
void KeepToOwner(const std::filesystem::path& folder) {
  namespace fs = std::filesystem;
  const auto others = fs::perms::group_write | fs::perms::others_write;
  fs::permissions(folder, others, fs::perm_options::remove);
  for (const auto& entry : fs::directory_iterator(folder)) {
    fs::permissions(entry.path(), others, fs::perm_options::remove);
  }
}

class ServerLibraries : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    KeepToOwner(kServers);
    KeepToOwner(kBadServers);
  }

  // A registry that finds servers in `folders` alone.
  static void UseFolders(ClassRegistry& registry, std::vector<std::filesystem::path> folders) {
    registry.AddServerProvider(std::make_shared<ServerLibraryProvider>(std::move(folders)));
  }
};

void Let(const ObjectRef& object, std::string_view name, Variant value) {
  const std::array<Variant, 1> args{std::move(value)};
  InvokeByName(object, name, InvokeKind::PropertyPut, args);
}

TEST_F(ServerLibraries, ProgramWithoutServerCodeRoundTripsThroughTheLibraryOnThePath) {
  const ScopedEnv path("REPLIKON_SERVER_PATH", "/nonexistent/servers:" + kServers.string());
  ObjectRef invoice = CreateByProgId("OrdersLib.Invoice");
  ASSERT_NE(invoice, nullptr);
  EXPECT_TRUE(ClassRegistry::Global().HasServer("OrdersLib"));
  Let(invoice, "Number", Variant(std::int32_t{4711}));
  ObjectRef buyer = CreateByProgId("OrdersLib.Client");
  Let(buyer, "Name", Variant(std::string("Ada")));
  InvokeByName(invoice, "Buyer", InvokeKind::PropertyPutRef,
               std::array<Variant, 1>{Variant(buyer)});

  Replikon control;
  control.SetObjectServerName("OrdersLib");
  const SafeArray stream = control.StreamFromObject(invoice);
  const ObjectRef back = control.ObjectFromStream(stream);
  ASSERT_NE(back, nullptr);
  EXPECT_NE(back, invoice);
  EXPECT_EQ(back->Class().Name(), "Invoice");
  // Every value comes back, and is copied: their Streams are the same bytes.
  EXPECT_EQ(control.StreamFromObject(back), stream);
  EXPECT_EQ(control.StreamFromObject(control.Copy(invoice)), stream);
}

// The path is read from the environment at each search; its empty entries
// name no folder.
TEST_F(ServerLibraries, TheComponentTellsWhyItsServerWasNotFound) {
  Replikon writer;
  writer.SetObjectServerName("OrdersLib");
  SafeArray stream;
  {
    const ScopedEnv path("REPLIKON_SERVER_PATH", kServers.string());
    stream = writer.StreamFromObject(CreateByProgId("OrdersLib.Address"));
  }
  const ScopedEnv path("REPLIKON_SERVER_PATH",
                       "::/nonexistent/servers::" + kServers.string() + ":");
  Replikon reader;
  reader.SetObjectServerName("NoSuchLib");
  const AutomationError error = ErrorFrom([&] { reader.ObjectFromStream(stream); });
  EXPECT_EQ(error.Number(), errors::kProcessingProblems);
  EXPECT_NE(
      error.Details().find("server library NoSuchLib.so:\n/nonexistent/servers: no such folder\n" +
                           (kServers / "NoSuchLib.so").string() + ": missing"),
      std::string::npos)
      << error.Details();
  // A class the server lacks is a plain processing problem.
  reader.SetObjectServerName("OrdersLib");
  const SafeArray other = writer.StreamFromObject(CreateByProgId("OrdersLib.Product"));
  EXPECT_NO_THROW(reader.ObjectFromStream(other));
}

TEST_F(ServerLibraries, TheExplicitCallLoadsAGivenFileOnceAndRegistersItsServer) {
  ClassRegistry first;
  ClassRegistry second;
  EXPECT_EQ(RegisterServerLibrary(kServers / "OrdersLib.so", first), "OrdersLib");
  EXPECT_EQ(RegisterServerLibrary(kServers / "OrdersLib.so", second), "OrdersLib");
  EXPECT_NE(first.CreateByProgId("OrdersLib.Product"), nullptr);
  EXPECT_NE(second.CreateByProgId("OrdersLib.Product"), nullptr);
  const Server server = LoadServerLibrary(kServers / "OrdersLib.so");
  EXPECT_EQ(server.Name(), "OrdersLib");
  EXPECT_FALSE(server.Definitions().empty());

  // The library is mapped once, however often it is loaded.
  std::ifstream maps("/proc/self/maps");
  std::set<std::string> mapped;
  for (std::string line; std::getline(maps, line);) {
    if (line.ends_with("/OrdersLib.so")) mapped.insert(line.substr(line.find('/')));
  }
  EXPECT_EQ(mapped.size(), 1U);
}

// Each faulty library, asked for by name: 429 with the reason in the details;
// so too a name that cannot name a file.
// What the registry does with a server that was not supplied is the
// providers' tests' (ServerProviders in the system tests).
TEST_F(ServerLibraries, FaultyLibrariesAndNamesOfNoFileAreRefusedAndNothingRegistered) {
  struct Case {
    const char* server;
    const char* reason;
  };
  const Case cases[] = {
      {"Missing", "Missing.so: missing"},
      {"NotAServer", "NotAServer.so: not a server (it exports no replikon_server_entry)"},
      {"WrongVersion",
       "WrongVersion.so: wrong entry-point version 99 (this Replikon calls version 1)"},
      {"Throws", "Throws.so: registration threw error 76: the server's data folder is missing"},
      {"OtherName", "OtherName.so: registered another name, 'SomethingElse'"},
      {"BadClass", "Invalid class name 'Not.AClass' in server 'BadClass'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.server);
    ClassRegistry registry;
    UseFolders(registry, {kBadServers});
    const AutomationError error =
        ErrorFrom([&] { registry.CreateByProgId(std::string(c.server) + ".Thing"); });
    EXPECT_EQ(error.Number(), errors::kCannotCreateObject);
    EXPECT_NE(error.Details().find(c.reason), std::string::npos) << error.Details();
    EXPECT_FALSE(registry.HasServer(c.server));
  }

  // Names that cannot name a file are refused before any search.
  for (const char* name : {"", "../OrdersLib", ".hidden", "a/b", "sp ace"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(ErrorFrom([&] { ServerLibraryFileName(name); }).Number(),
              errors::kInvalidProcedureCall);
    ClassRegistry registry;
    UseFolders(registry, {kServers});
    EXPECT_EQ(ErrorFrom([&] { registry.RequireServer(name); }).Number(),
              errors::kCannotCreateObject);
  }
  EXPECT_EQ(ServerLibraryFileName("Orders_Lib-2.x"), "Orders_Lib-2.x.so");
}

TEST_F(ServerLibraries, TheDetailsListEveryFolderAndFileTriedInOrder) {
  TempDir empty;
  TempDir garbage;
  std::ofstream(garbage / "Garbage.so") << "not a library\n";
  TempDir open_to_all;
  ASSERT_EQ(::chmod(open_to_all.path().c_str(), 01777), 0);
  std::filesystem::copy_file(kServers / "OrdersLib.so", open_to_all.path() / "Garbage.so");

  ClassRegistry registry;
  UseFolders(registry, {"/nonexistent/servers", open_to_all.path(), empty.path(), garbage.path()});
  const AutomationError error = ErrorFrom([&] { registry.RequireServer("Garbage"); });
  EXPECT_EQ(error.Number(), errors::kCannotCreateObject);
  const std::string& details = error.Details();
  const std::vector<std::string> lines = {
      "server library Garbage.so:",
      "/nonexistent/servers: no such folder",
      open_to_all.path().string() +
          ": refused: the folder is writable by others than its owner and root",
      (empty.path() / "Garbage.so").string() + ": missing",
      (garbage.path() / "Garbage.so").string() + ": not a server (it does not load: ",
  };
  std::size_t at = 0;
  for (const std::string& line : lines) {
    const std::size_t found = details.find(line, at);
    ASSERT_NE(found, std::string::npos) << "'" << line << "' after " << at << " in\n" << details;
    at = found + line.size();
  }
}

// Loading `file` fails with 429 and `reason` in the details.
void ExpectRefused(const std::filesystem::path& file, const std::string& reason) {
  const AutomationError error = ErrorFrom([&] { LoadServerLibrary(file); });
  EXPECT_EQ(error.Number(), errors::kCannotCreateObject);
  EXPECT_NE(error.Details().find("refused: " + reason), std::string::npos) << error.Details();
}

// Whoever may rename an entry of a folder above the server's may swap the
// server's folder for one of their own; a sticky folder (like /tmp) lets only
// an entry's owner rename it.
TEST_F(ServerLibraries, FilesAndFoldersAboveThatOthersMayChangeAreRefused) {
  TempDir top;
  const std::filesystem::path shared = top.path() / "shared";
  const std::filesystem::path file = shared / "servers" / "OrdersLib.so";
  std::filesystem::create_directories(file.parent_path());
  std::filesystem::copy_file(kServers / "OrdersLib.so", file);
  ASSERT_EQ(::chmod(file.c_str(), 0666), 0);
  ExpectRefused(file, "the file is writable by others than its owner and root");
  ASSERT_EQ(::chmod(file.c_str(), 0644), 0);

  ASSERT_EQ(::chmod(shared.c_str(), 0777), 0);
  ExpectRefused(file, "the folder " + shared.string() +
                          " above it is writable by others than its owner and root");
  ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
  EXPECT_EQ(LoadServerLibrary(file).Name(), "OrdersLib");

  // A file of another user: only root can make one.
  if (::geteuid() != 0) return;
  ASSERT_EQ(::chown(file.c_str(), 65534, 65534), 0);
  ExpectRefused(file, "the file belongs to another user (uid 65534)");
}

TEST_F(ServerLibraries, ThreadsAskingForOneServerLoadItOnce) {
  ClassRegistry registry;
  UseFolders(registry, {kServers});
  std::vector<std::thread> threads;
  std::atomic<int> made{0};
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      if (registry.CreateByProgId("OrdersLib.Address") != nullptr) ++made;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(made.load(), 4);
  EXPECT_EQ(registry.Generation(), 1U);
}

}  // namespace
}  // namespace replikon
