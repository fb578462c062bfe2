// The configuration service stand-in (tools/config_service) in tests: a test
// CA made once per test program, the service started as a child process with
// a file handshake, its switches flipped at run time, and the requests it
// recorded read back.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/standins.h"

namespace testenv {

// The built service program.
std::filesystem::path ConfigServiceProgram();

// A CA and a loopback server certificate made by scripts/make-test-ca.sh,
// once per test program and `name` (different names are CAs that do not
// trust each other). Holds ca.crt, ca.key, server.crt, server.key.
std::filesystem::path TestCaDirectory(const std::string& name = "sandbox");

// Writes `<docs>/<package>/<key>.json` with `text`.
void WriteServiceDocument(const std::filesystem::path& docs, const std::string& package,
                          const std::string& key, const std::string& text);

class ConfigService {
 public:
  struct Options {
    std::filesystem::path docs;       // the per-package documents
    std::filesystem::path state_dir;  // ports.json, requests.jsonl, control files
    std::filesystem::path tls_dir;    // empty: TestCaDirectory()
    bool plain = false;               // http instead of https
    std::vector<std::string> args;    // extra switches, e.g. "--refuse=primary"
  };

  // Starts the service and waits until it listens; null on failure (the
  // reason is added to the test's failures).
  static std::unique_ptr<ConfigService> Start(const Options& options);
  ~ConfigService();

  int primary_port() const { return ports_[0]; }
  int alternative_port() const { return ports_[1]; }
  // "https://127.0.0.1:<port>" (or http with `plain`).
  std::string PrimaryBase() const;
  std::string AlternativeBase() const;

  // Replaces the switches (keys as in the service's README; the generation is
  // added here) and waits until the service has applied them.
  bool Control(nlohmann::json behaviour);

  // Every request recorded so far, oldest first.
  std::vector<nlohmann::json> Requests() const;

  // Points the current product home's environment at this service: both base
  // addresses, and its CA as the trusted extra CA.
  void UseInSandbox() const;

  // Stops the service at once.
  void Kill();

 private:
  ConfigService() = default;
  std::string Base(int port) const;

  Options options_;
  StandinProcess process_;
  int ports_[2] = {0, 0};
  long long generation_ = 0;
};

}  // namespace testenv
