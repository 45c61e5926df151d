// The path parameters of every command, read by one reader: a path that holds U+0000 (the file
// calls would end it there and so name another file) or one that cannot be converted (an
// unpaired surrogate, which no UTF-8 path holds; a colon-path component "..") is refused with the
// command's own code before any file is opened or written. One table runs every path parameter of
// every path-taking command with each such form, and checks the code, that the test folder is as
// it was, and that nothing the plug-in made is left behind.

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "codecs/codecs_oracle.h"
#include "support/plugin_test.h"
#include "support/temp_folder.h"

namespace zuvtest {
namespace {

constexpr int64_t kLoopback = 0x7F000001;
constexpr int64_t kKeepStream = 0x2;

// A picture's answer of "no picture" in a table of numbers.
constexpr int64_t kNoPicture = -1000;

// The forms of a path that must be refused, made from a good POSIX path of the test folder.
// Each names, read carelessly, the good file or a file beside it.
std::vector<std::pair<std::string, Text>> refusedForms(const std::string& folder,
                                                       const std::string& name) {
  const Text posix = host::text(folder + "/" + name);
  std::string colonFolder = folder;
  std::replace(colonFolder.begin(), colonFolder.end(), '/', ':');
  const Text colon = host::text("Disk" + colonFolder + ":" + name);
  const std::string last = std::filesystem::path(folder).filename().string();
  return {
      {"U+0000 after a POSIX path", posix + Text(1, u'\0') + u"junk"},
      {"U+0000 after a colon path", colon + Text(1, u'\0') + u"junk"},
      {"a POSIX path ending in an unpaired surrogate", posix + Text(1, char16_t(0xD800))},
      {"a colon path ending in an unpaired surrogate", colon + Text(1, char16_t(0xDC00))},
      {"a colon path with a component ..",
       host::text("Disk" + colonFolder + ":..:" + last + ":" + name)},
  };
}

// The names under the folder, sidecars included, sorted: a file that appears shows.
std::string listing(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    names.push_back(std::filesystem::relative(entry.path(), folder).string());
  }
  std::sort(names.begin(), names.end());
  std::string out;
  for (const std::string& name : names) out += name + " ";
  return out;
}

// A path parameter of a command: its number, the file it names when good, and the code that a
// refused form answers (kNoPicture: the empty picture).
struct PathParameter {
  size_t index;
  std::string file;
  int64_t refused;
};

struct PathCommand {
  const char* command;
  std::vector<Value> args;  // the call with good paths put in at each parameter's index
  std::vector<PathParameter> paths;
};

// The answer of a call as a number, the empty picture as kNoPicture.
int64_t answerOf(const Outcome& outcome) {
  if (const auto* picture = std::get_if<Picture>(&outcome.result)) {
    return picture->null || picture->formats.empty() ? kNoPicture : 0;
  }
  return outcome.number();
}

class PathParametersTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    ASSERT_TRUE(files.made());
    files.write("in", "the source of every conversion and transfer");
    files.write("in.png", std::string("\x89PNG\r\n\x1a\n", 8) + std::string(40, 'p'));
    int status = 0;
    runTool("cd '" + files.name() +
                "' && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                "-days 2 -keyout key.pem -out cert.pem -subj /CN=paths.test 2>/dev/null",
            "", &status);
    ASSERT_EQ(status, 0) << "the openssl command could not make a certificate";
  }
  void TearDown() override {
    forgetWhatACarelessReadMade();
    PluginTest::TearDown();
  }

  // Closes the documents, clears the default certificate and the server-name map, so that a
  // path read carelessly shows in its own case only.
  void forgetWhatACarelessReadMade() {
    emu.closeDocuments();
    run("ZUV_SSLSetCertificate", {num(0), txt(""), txt(""), txt(""), txt("")});
    run("ZUV_SSLSetSNICertificate", {num(-1), txt(""), txt(""), txt(""), txt(""), txt("")});
  }

  std::vector<PathCommand> pathCommands(int64_t stream) const {
    const Value picture =
        Picture{false, {{".png;image/png", TempFolder::read(files.path("in.png"))}}};
    std::vector<PathCommand> commands = {
        {"ZUV_TCPSendFile",
         {num(stream), {}, num(0), num(0), num(0), num(0), num(0)},
         {{2, "in", -1}}},
        {"ZUV_TCPReceiveFile",
         {num(stream), {}, num(0), num(kKeepStream), num(1), num(0)},
         {{2, "out", -1}}},
        {"ZUV_Picture2File", {picture, {}, num(0), num(0), num(0)}, {{2, "out.png", -1}}},
        {"ZUV_File2Picture", {{}, num(0), num(0), num(0)}, {{1, "in.png", kNoPicture}}},
        {"ZUV_OpenDocument", {Value{}}, {{1, "in", 0}}},
        // A certificate or chain refused is a certificate not loaded, a key refused a key not
        // loaded, in the order in which each command loads them.
        {"ZUV_SSLSetCertificate",
         {num(0), {}, {}, txt(""), {}},
         {{2, "cert.pem", -3}, {3, "key.pem", -4}, {5, "cert.pem", -3}}},
        {"ZUV_SSLSetSNICertificate",
         {num(1), txt("paths.test"), {}, {}, txt(""), {}},
         {{3, "cert.pem", -3}, {4, "key.pem", -4}, {6, "cert.pem", -3}}},
    };
    for (const char* conversion : {"ZUV_File2MacBinary", "ZUV_MacBinary2File", "ZUV_File2BinHex",
                                   "ZUV_BinHex2File", "ZUV_File2Gzip", "ZUV_Gzip2File"}) {
      std::vector<Value> args{{}, {}};
      if (std::string(conversion) == "ZUV_File2Gzip") args.push_back(num(6));
      commands.push_back({conversion, args, {{1, "in", -1}, {2, "out", -1}}});
    }
    return commands;
  }

  // The call with every path parameter good but `refused`, which gets `form`.
  std::vector<Value> callWith(const PathCommand& command, size_t refused, const Text& form) const {
    std::vector<Value> args = command.args;
    for (const PathParameter& path : command.paths) {
      args[path.index - 1] = path.index == refused ? Value{form} : txt(files.path(path.file));
    }
    return args;
  }

  TempFolder files{"zuv-paths"};
};

TEST_F(PathParametersTest, EveryPathParameterRefusesAZeroUnitAndAPathThatCannotBeConverted) {
  const int64_t stream =
      run("ZUV_TCPListen", {num(0), num(0), num(0), num(0), num(0), num(0), num(kLoopback), num(0)})
          .number();
  ASSERT_GT(stream, 0);
  const std::vector<PathCommand> commands = pathCommands(stream);

  // The table holds every path parameter of the command table, and nothing else.
  std::set<std::pair<std::string, size_t>> inTable;
  for (const PathCommand& command : commands) {
    for (const PathParameter& path : command.paths) inTable.insert({command.command, path.index});
  }
  std::set<std::pair<std::string, size_t>> inManifest;
  for (const host::CommandSpec& spec : host::Manifest::builtIn().commands()) {
    for (size_t i = 0; i < spec.params.size(); ++i) {
      const std::string& name = spec.params[i].name;
      const bool path =
          name == "path" || (name.size() > 4 && name.substr(name.size() - 4) == "Path");
      if (path && spec.params[i].kind == host::Kind::Text) inManifest.insert({spec.name, i + 1});
    }
  }
  EXPECT_EQ(inTable, inManifest);

  for (const PathCommand& command : commands) {
    for (const PathParameter& path : command.paths) {
      for (const auto& [form, units] : refusedForms(files.name(), path.file)) {
        SCOPED_TRACE(std::string(command.command) + " parameter " + std::to_string(path.index) +
                     ": " + form);
        const std::string before = listing(files.name());
        const std::string held = host::describe(emu.live());
        EXPECT_EQ(answerOf(run(command.command, callWith(command, path.index, units))),
                  path.refused);
        EXPECT_EQ(listing(files.name()), before);
        EXPECT_EQ(host::describe(emu.live()), held);
        EXPECT_TRUE(emu.openDocuments().empty());
        EXPECT_EQ(run("ZUV_SSLSNIList", {LongintArray{}, TextArray{}}).number(), 0);
        forgetWhatACarelessReadMade();
      }
    }
  }
  EXPECT_EQ(run("ZUV_TCPRelease", {num(stream), num(0)}).number(), 0);
}

}  // namespace
}  // namespace zuvtest
