// What one run of the helper leaves behind for a fixed set of service
// documents - the requests the service saw, the Configs.db rows, the guest
// files, the events and the log lines - compared with a capture checked in
// beside this test (volatile fields normalised). Making a run cheaper must
// not change any of it.
//
// To write the capture again: QUARRION_WRITE_REFRESH_CAPTURE=<file> when
// running this test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include "common/config/model/config_derivation.h"
#include "support/spool.h"
#include "update/src/config_refresh/refresh_harness.h"

namespace {

namespace fs = std::filesystem;

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// The folders of this machine, which differ between checkouts.
std::string NormalisePaths(std::string text, const fs::path& home) {
  text = ReplaceAll(text, testenv::BinDir().string(), "<bin>");
  return ReplaceAll(text, home.string(), "<home>");
}

// A log line without what differs from run to run: the time and process
// prefix, the source line numbers, the folders and process ids.
std::string NormaliseLogLine(std::string line, const fs::path& home) {
  line = NormalisePaths(line, home);
  static const std::regex kStamp(R"(^\d{4}-\d\d-\d\d[ T]\d\d:\d\d:\d\d[.,]\d+)");
  line = std::regex_replace(line, kStamp, "<time>");
  static const std::regex kFileLine(R"((\.(cpp|h)):\d+)");
  line = std::regex_replace(line, kFileLine, "$1:<line>");
  static const std::regex kPid(R"((pid[=: ]+|\[)\d{2,}(\]?))");
  line = std::regex_replace(line, kPid, "$1<n>$2");
  static const std::regex kPort(R"(127\.0\.0\.1:\d+)");
  line = std::regex_replace(line, kPort, "127.0.0.1:<port>");
  return line;
}

std::string Capture(const fs::path& home, const std::vector<nlohmann::json>& requests) {
  std::ostringstream out;
  out << "# requests\n";
  for (nlohmann::json r : requests) {
    nlohmann::json header = r.value("header_json", nlohmann::json());
    if (header.is_object()) {
      for (const char* volatile_key : {"guid", "timestamp"}) {
        if (header.contains(volatile_key)) header[volatile_key] = "<" + std::string(volatile_key) + ">";
      }
    }
    out << r.value("role", "") << " " << r.value("method", "") << " " << r.value("path", "") << " "
        << r.value("body", "") << " -> " << r.value("answer", "") << "\n  header " << header.dump() << "\n";
  }
  out << "# configs\n";
  for (const auto& [key, row] : testenv::ReadConfigRows(home)) {
    out << key << " encrypt=" << row.encrypt << " json_data=" << row.json_data << "\n  "
        << (row.encrypt != 0 ? std::string("<enciphered>") : row.value) << "\n";
  }
  out << "# guest files\n";
  for (const auto& [name, text] : refresh::Files(home / "shared")) out << name << "\n  " << text << "\n";
  out << "# events\n";
  for (const auto& e : testenv::ReadSpoolEvents()) {
    nlohmann::json params = e.value("params", nlohmann::json::object());
    for (const char* volatile_key : {"pid", "duration", "no_client_duration"}) {
      if (params.contains(volatile_key)) params[volatile_key] = "<n>";
    }
    out << e.value("event", "") << " " << NormalisePaths(params.dump(), home) << "\n";
  }
  out << "# log\n";
  for (const auto& raw : refresh::LogLines(home)) {
    const std::string line = NormaliseLogLine(raw, home);
    // The helper's own lines; not those of the probes, whose thread runs
    // beside the refresh in no fixed order with it.
    if (line.rfind("<time> ", 0) != 0 || line.find("graphic_info_detector.cpp") != std::string::npos) continue;
    out << line << "\n";
  }
  return out.str();
}

class RefreshOutputTest : public testenv::ProductTest {};

TEST_F(RefreshOutputTest, SameDocumentsGiveTheCapturedRun) {
  const fs::path docs = home() / "service" / "docs";
  testenv::ConfigService::Options options;
  options.docs = docs;
  options.state_dir = home() / "service" / "state";
  // The first package's first two attempts fail; the third answers.
  options.args = {"--fail-next=2"};
  auto service = testenv::ConfigService::Start(options);
  ASSERT_TRUE(service);
  service->UseInSandbox();

  const std::vector<std::string> installed = {"com.example.alpha", "com.example.beta", "bad name!",
                                              "com.example.gamma"};
  for (const char* p : refresh::kBuiltins) {
    for (const auto& [kind, text] : refresh::DocumentsFor(p)) testenv::WriteServiceDocument(docs, p, kind, text);
  }
  for (const std::string p : {"com.example.alpha", "com.example.gamma"}) {
    for (const auto& [kind, text] : refresh::DocumentsFor(p)) testenv::WriteServiceDocument(docs, p, kind, text);
  }
  testenv::WriteServiceDocument(docs, "com.example.alpha", "configfile",
                                R"({"multipane":{"enable":"true"},"notification":false})");
  testenv::WriteServiceDocument(docs, "com.example.gamma", "appconfigjson", R"({"media_tray":true})");
  // beta is unknown to the service: its stored documents serve.
  refresh::StoreDocuments(home(), "com.example.beta", refresh::DocumentsFor("com.example.beta"));
  refresh::StoreRow(home(), "nimbrel.com.morvath.launcher.local_user_config", R"({"volume":7})");
  refresh::StoreRow(home(), "nimbrel.com.example.gamma.local_user_config", R"({})");
  refresh::InstallApps(installed);
  base::reg::SetValue(HKEY_CURRENT_USER, config::AppSettingsRegSubkey("com.example.alpha"), L"Clarity",
                      std::uint64_t{2});

  ASSERT_EQ(refresh::RunHelper(), 0u);
  const std::string capture = Capture(home(), service->Requests());

  const fs::path fixture =
      testenv::SourceDir() / "tests" / "update" / "src" / "config_refresh" / "fixtures" / "refresh_output.txt";
  if (const char* target = std::getenv("QUARRION_WRITE_REFRESH_CAPTURE")) {
    std::ofstream(target, std::ios::binary) << capture;
    GTEST_SKIP() << "capture written to " << target;
  }
  EXPECT_EQ(capture, testenv::ReadFile(fixture));
}

}  // namespace
