// manifest.json, the command table that the host emulator and zuvhost read: it lists the 80
// commands by selector, each with its parameters and result, and it must agree with the
// dispatcher's switch in src/plugin/zuv.cpp case for case.

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace zuvtest {
namespace {

using nlohmann::json;

const std::string kManifestPath = std::string(ZUV_SOURCE_DIR) + "/manifest.json";
const std::string kDispatcherPath = std::string(ZUV_SOURCE_DIR) + "/src/plugin/zuv.cpp";

// The plug-in's commands: every selector that runs a command, and its name.
const std::map<int, std::string> kCommands = {
    {2, "ZUV_TCPOpen"},
    {3, "ZUV_TCPListen"},
    {4, "ZUV_TCPClose"},
    {5, "ZUV_TCPRelease"},
    {6, "ZUV_TCPStatus"},
    {7, "ZUV_TCPSend"},
    {8, "ZUV_TCPReceive"},
    {9, "ZUV_TCPBytesAvailable"},
    {10, "ZUV_TCPStreamInfo"},
    {11, "ZUV_TCPWaitStatus"},
    {12, "ZUV_TCPSendFile"},
    {13, "ZUV_TCPReceiveFile"},
    {14, "ZUV_TCPLocalInfo"},
    {15, "ZUV_TCPAddrToName"},
    {16, "ZUV_TCPNameToAddr"},
    {17, "ZUV_File2MacBinary"},
    {18, "ZUV_MacBinary2File"},
    {19, "ZUV_File2BinHex"},
    {20, "ZUV_BinHex2File"},
    {28, "ZUV_Text2HTML"},
    {29, "ZUV_HTML2Text"},
    {30, "ZUV_Text2URL"},
    {31, "ZUV_URL2Text"},
    {36, "ZUV_QueueSize"},
    {37, "ZUV_QueuePush"},
    {38, "ZUV_QueuePop"},
    {39, "ZUV_QueueErase"},
    {40, "ZUV_TCPSendPicture"},
    {41, "ZUV_UDPCreate"},
    {42, "ZUV_UDPRelease"},
    {43, "ZUV_UDPSend"},
    {44, "ZUV_UDPReceive"},
    {45, "ZUV_UDPMaxSize"},
    {47, "ZUV_PictureInfo"},
    {48, "ZUV_Seconds2RFC822Date"},
    {49, "ZUV_DateTime2Seconds"},
    {50, "ZUV_RFC822Date2Seconds"},
    {51, "ZUV_Seconds2DateTime"},
    {52, "ZUV_TCPStreamAt"},
    {53, "ZUV_Text2Base64"},
    {54, "ZUV_Base642Text"},
    {55, "ZUV_Text2QP"},
    {56, "ZUV_QP2Text"},
    {57, "ZUV_TCPGlobalInfo"},
    {58, "ZUV_TCPMultiStatus"},
    {60, "ZUV_Picture2File"},
    {61, "ZUV_File2Picture"},
    {62, "ZUV_DigestInit"},
    {63, "ZUV_DigestAddText"},
    {64, "ZUV_DigestFinal"},
    {66, "ZUV_Text2UU"},
    {67, "ZUV_UU2Text"},
    {72, "ZUV_OpenDocument"},
    {73, "ZUV_TCPUnreceive"},
    {74, "ZUV_TCPSendBlob"},
    {75, "ZUV_TCPReceiveBlob"},
    {76, "ZUV_Picture2Blob"},
    {77, "ZUV_Blob2Picture"},
    {80, "ZUV_Rot13Text"},
    {81, "ZUV_Rot13Blob"},
    {82, "ZUV_DigestAddBlob"},
    {85, "ZUV_TCPSetTimeout"},
    {88, "ZUV_BlobSearch"},
    {89, "ZUV_BlobReplace"},
    {90, "ZUV_File2Gzip"},
    {91, "ZUV_Gzip2File"},
    {92, "ZUV_EncryptText"},
    {93, "ZUV_DecryptText"},
    {94, "ZUV_Record2Blob"},
    {95, "ZUV_Blob2Record"},
    {96, "ZUV_SSLStreamInfo"},
    {97, "ZUV_SSLSetCertificate"},
    {98, "ZUV_SSLLastError"},
    {99, "ZUV_EncryptBlob"},
    {100, "ZUV_DecryptBlob"},
    {103, "ZUV_SSLSetCiphers"},
    {104, "ZUV_SSLSetSNICertificate"},
    {105, "ZUV_SSLSNIList"},
    {106, "ZUV_UDPSendBlob"},
    {107, "ZUV_UDPReceiveBlob"},
};

const std::set<std::string> kParamKinds = {"integer",       "longint",   "time", "date",
                                           "text",          "picture",   "blob", "integer array",
                                           "longint array", "text array"};
const std::set<std::string> kDirections = {"in", "out", "inout"};
const std::set<std::string> kResults = {"longint", "text", "picture", "blob", "none"};

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

json loadManifest() {
  std::ifstream in(kManifestPath);
  if (!in) throw std::runtime_error("cannot open " + kManifestPath);
  return json::parse(in);
}

class ManifestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_THROW(manifest_ = loadManifest()) << kManifestPath;
    ASSERT_TRUE(manifest_.is_object());
    ASSERT_TRUE(manifest_.contains("commands"));
    ASSERT_TRUE(manifest_["commands"].is_array());
  }

  const json& commands() const { return manifest_["commands"]; }

  // The manifest's commands as selector -> name, in the manifest's order.
  std::vector<std::pair<int, std::string>> selectorsAndNames() const {
    std::vector<std::pair<int, std::string>> out;
    for (const json& command : commands()) {
      out.emplace_back(command.at("selector").get<int>(), command.at("name").get<std::string>());
    }
    return out;
  }

  const json* command(const std::string& name) const {
    for (const json& c : commands()) {
      if (c.value("name", "") == name) return &c;
    }
    return nullptr;
  }

  json manifest_;
};

TEST_F(ManifestTest, HoldsEightyCommandsInRisingSelectorOrder) {
  ASSERT_EQ(commands().size(), 80u);
  int previous = 0;
  for (const json& command : commands()) {
    ASSERT_TRUE(command.contains("selector") && command["selector"].is_number_integer())
        << command.dump();
    int selector = command["selector"].get<int>();
    EXPECT_GT(selector, previous) << "selectors rise strictly, so none repeats";
    previous = selector;
  }
}

TEST_F(ManifestTest, EveryCommandHasAUniqueZuvName) {
  std::set<std::string> names;
  for (const json& command : commands()) {
    ASSERT_TRUE(command.contains("name") && command.at("name").is_string()) << command.dump();
    std::string name = command.at("name").get<std::string>();
    EXPECT_TRUE(std::regex_match(name, std::regex("ZUV_[A-Za-z0-9]+"))) << name;
    EXPECT_TRUE(names.insert(name).second) << name << " appears twice";
  }
}

TEST_F(ManifestTest, EveryEntryUsesOnlyKindsDirectionsAndResultsTheHostKnows) {
  const std::set<std::string> commandKeys = {"selector", "name", "result", "params"};
  const std::set<std::string> paramKeys = {"name", "kind", "dir"};
  const std::regex camelCase("[a-z][A-Za-z0-9]*");
  for (const json& command : commands()) {
    SCOPED_TRACE(command.value("name", "?"));
    ASSERT_TRUE(command.is_object());
    std::set<std::string> keys;
    for (const auto& item : command.items()) keys.insert(item.key());
    EXPECT_EQ(keys, commandKeys);
    ASSERT_TRUE(command.contains("result") && command["result"].is_string());
    EXPECT_EQ(kResults.count(command["result"].get<std::string>()), 1u) << command["result"];
    ASSERT_TRUE(command.contains("params") && command.at("params").is_array());
    std::set<std::string> paramNames;
    for (const json& param : command.at("params")) {
      ASSERT_TRUE(param.is_object()) << param.dump();
      std::set<std::string> have;
      for (const auto& item : param.items()) have.insert(item.key());
      EXPECT_EQ(have, paramKeys) << param.dump();
      ASSERT_TRUE(param.contains("name") && param.at("name").is_string()) << param.dump();
      ASSERT_TRUE(param.contains("kind") && param.at("kind").is_string()) << param.dump();
      ASSERT_TRUE(param.contains("dir") && param.at("dir").is_string()) << param.dump();
      std::string name = param.at("name").get<std::string>();
      EXPECT_TRUE(std::regex_match(name, camelCase)) << name;
      EXPECT_TRUE(paramNames.insert(name).second) << name << " names two parameters";
      EXPECT_EQ(kParamKinds.count(param.at("kind").get<std::string>()), 1u) << param.dump();
      EXPECT_EQ(kDirections.count(param.at("dir").get<std::string>()), 1u) << param.dump();
    }
  }
}

TEST_F(ManifestTest, SelectorsAndNamesAreThePluginsEightyCommands) {
  std::vector<std::pair<int, std::string>> expected(kCommands.begin(), kCommands.end());
  ASSERT_EQ(expected.size(), 80u);
  EXPECT_EQ(selectorsAndNames(), expected);
}

// The dispatcher's command cases, as `case N:  // ZUV_Name` followed by
// `return handleName(block);`.
struct DispatcherCase {
  int selector = 0;
  std::string name;     // from the case's comment; empty when it has none
  std::string handler;  // the function the case returns through; empty when none follows
};

std::vector<DispatcherCase> readDispatcherCases() {
  std::istringstream source(readFile(kDispatcherPath));
  const std::regex caseLine(R"(^\s*case\s+(-?\d+)\s*:\s*(?://\s*(\S+)\s*)?$)");
  const std::regex returnLine(R"(^\s*return\s+(\w+)\s*\(\s*block\s*\)\s*;\s*$)");
  std::vector<DispatcherCase> cases;
  std::string line;
  bool expectReturn = false;
  while (std::getline(source, line)) {
    std::smatch match;
    if (std::regex_match(line, match, caseLine)) {
      cases.push_back({std::stoi(match[1].str()), match[2].str(), ""});
      expectReturn = true;
    } else if (expectReturn && std::regex_match(line, match, returnLine)) {
      cases.back().handler = match[1].str();
      expectReturn = false;
    } else if (line.find_first_not_of(" \t") != std::string::npos) {
      expectReturn = false;
    }
  }
  return cases;
}

TEST_F(ManifestTest, SelectorsMatchTheDispatchersSwitch) {
  std::vector<DispatcherCase> cases = readDispatcherCases();
  ASSERT_FALSE(cases.empty()) << "no command case found in " << kDispatcherPath;

  std::map<int, std::string> dispatched;
  for (const DispatcherCase& c : cases) {
    SCOPED_TRACE("case " + std::to_string(c.selector));
    EXPECT_FALSE(c.name.empty()) << "a command case names its command in a comment";
    EXPECT_TRUE(dispatched.emplace(c.selector, c.name).second) << "the selector has two cases";
  }

  std::map<int, std::string> listed;
  for (const auto& [selector, name] : selectorsAndNames()) listed.emplace(selector, name);

  for (const auto& [selector, name] : listed) {
    auto found = dispatched.find(selector);
    if (found == dispatched.end()) {
      ADD_FAILURE() << name << " (" << selector << ") has no case in the dispatcher";
    } else {
      EXPECT_EQ(found->second, name) << "case " << selector;
    }
  }
  for (const auto& [selector, name] : dispatched) {
    EXPECT_EQ(listed.count(selector), 1u)
        << "case " << selector << " (" << name << ") is not in manifest.json";
  }
}

TEST_F(ManifestTest, EveryDispatcherCaseReturnsThroughItsCommandsHandler) {
  for (const DispatcherCase& c : readDispatcherCases()) {
    if (c.name.rfind("ZUV_", 0) != 0) continue;  // reported by the switch test
    EXPECT_EQ(c.handler, "handle" + c.name.substr(4)) << "case " << c.selector << " " << c.name;
  }
}

// Every BLOB parameter that a command may fill or replace is read back by the host; the others
// must come back as they went in.
TEST_F(ManifestTest, BlobsThatCommandsFillOrReplaceAreInOutAndTheRestIn) {
  const std::set<std::pair<std::string, size_t>> filled = {
      {"ZUV_TCPReceiveBlob", 2}, {"ZUV_Blob2Picture", 1}, {"ZUV_Rot13Blob", 1},
      {"ZUV_BlobReplace", 1},    {"ZUV_EncryptText", 6},  {"ZUV_DecryptText", 1},
      {"ZUV_Record2Blob", 2},    {"ZUV_EncryptBlob", 1},  {"ZUV_DecryptBlob", 1},
      {"ZUV_UDPReceiveBlob", 2}};
  std::set<std::pair<std::string, size_t>> seen;
  for (const json& command : commands()) {
    const json& params = command.at("params");
    for (size_t i = 0; i < params.size(); ++i) {
      if (params[i].at("kind") != "blob") continue;
      std::pair<std::string, size_t> where(command.at("name").get<std::string>(), i + 1);
      seen.insert(where);
      EXPECT_EQ(params[i].at("dir").get<std::string>(), filled.count(where) ? "inout" : "in")
          << where.first << " p" << where.second;
    }
  }
  for (const auto& where : filled) {
    EXPECT_EQ(seen.count(where), 1u) << where.first << " p" << where.second << " is a BLOB";
  }
}

TEST_F(ManifestTest, ArrayParametersHaveTheKindsTheirCommandsAccept) {
  const json* multiStatus = command("ZUV_TCPMultiStatus");
  ASSERT_NE(multiStatus, nullptr);
  ASSERT_EQ(multiStatus->at("params").size(), 3u);
  EXPECT_EQ(multiStatus->at("params")[0].at("kind"), "longint array");
  EXPECT_EQ(multiStatus->at("params")[1].at("kind"), "longint array");
  EXPECT_EQ(multiStatus->at("params")[1].at("dir"), "inout") << "elements past p1's count stay";

  // The key array may be an integer or a longint array; the table declares the wider one.
  const json* sniList = command("ZUV_SSLSNIList");
  ASSERT_NE(sniList, nullptr);
  ASSERT_EQ(sniList->at("params").size(), 2u);
  EXPECT_EQ(sniList->at("params")[0].at("kind"), "longint array");
  EXPECT_EQ(sniList->at("params")[1].at("kind"), "text array");

  for (const json& c : commands()) {
    if (&c == multiStatus || &c == sniList) continue;
    for (const json& param : c.at("params")) {
      EXPECT_EQ(param.at("kind").get<std::string>().find("array"), std::string::npos)
          << c.at("name") << " takes no array";
    }
  }
}

}  // namespace
}  // namespace zuvtest
