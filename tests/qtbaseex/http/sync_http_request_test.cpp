// The synchronous backend request against the service stand-in over real
// loopback HTTPS.
#include "qtbaseex/http/sync_http_request.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QNetworkReply>

#include <chrono>
#include <optional>
#include <set>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "base/reg.h"
#include "base/yvok_guid.h"
#include "platform/socket_options.h"
#include "support/config_service.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qtbaseex::http::Timeouts;

constexpr char kPath[] = "/v3/quarrion_get_corvale_conf";
constexpr char kBody[] = R"({"android":"Android13","group":"com.example.app"})";

class QtCoreEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (QCoreApplication::instance() == nullptr) app_ = new QCoreApplication(argc_, argv_);
  }
  void TearDown() override {
    delete app_;
    app_ = nullptr;
  }

 private:
  int argc_ = 1;
  char arg0_[16] = "http_test";
  char* argv_[2] = {arg0_, nullptr};
  QCoreApplication* app_ = nullptr;
};

[[maybe_unused]] ::testing::Environment* const kQtEnv =
    ::testing::AddGlobalTestEnvironment(new QtCoreEnvironment);

// What the handlers saw; each call is counted, so a request that calls both
// or one twice shows.
struct Seen {
  int successes = 0;
  int failures = 0;
  QString body;
  QString message;
  int error_code = -1;
  int http_code = -1;
};

Seen Post(const BackendUrl& url, const QString& data = kBody, const QString& header = "{}",
          std::optional<Timeouts> timeouts = std::nullopt,
          std::optional<std::int64_t> max_bytes = std::nullopt) {
  Seen seen;
  SyncHttpRequest request(url);
  request.SetHeader(header).SetData(data);
  request.OnSuccess([&](const QString& body, int http_code) {
    ++seen.successes;
    seen.body = body;
    seen.http_code = http_code;
  });
  request.OnFailure([&](const QString& message, int error_code, int http_code) {
    ++seen.failures;
    seen.message = message;
    seen.error_code = error_code;
    seen.http_code = http_code;
  });
  if (timeouts) request.SetTimeouts(*timeouts);
  if (max_bytes) request.SetMaxResponseBytes(*max_bytes);
  request.Post();
  return seen;
}

std::vector<std::string> Roles(const std::vector<nlohmann::json>& requests) {
  std::vector<std::string> roles;
  for (const auto& r : requests) roles.push_back(r.at("role").get<std::string>());
  return roles;
}

class SyncHttpRequestTest : public testenv::ProductTest {
 protected:
  void SetUp() override {
    docs_ = home() / "docs";
    testenv::WriteServiceDocument(docs_, "com.example.app", "configfile", R"({"multipane":1})");
    testenv::WriteServiceDocument(docs_, "com.example.app", "appconfigjson", R"({"dpi":240})");
  }

  testenv::ConfigService& StartService(std::vector<std::string> args = {}, bool plain = false,
                                       fs::path tls_dir = {}) {
    testenv::ConfigService::Options options;
    options.docs = docs_;
    options.state_dir = home() / "service";
    options.args = std::move(args);
    options.plain = plain;
    options.tls_dir = std::move(tls_dir);
    service_ = testenv::ConfigService::Start(options);
    if (!service_) throw std::runtime_error("no service");
    service_->UseInSandbox();
    return *service_;
  }

  BackendUrl Url() const { return ConfigServiceUrl(kPath); }

  void TrustCaFile(const std::wstring& path) {
    base::reg::SetValue(HKEY_CURRENT_USER, MultiInst::Instance()->GetNimbrelEnvRegRoot(),
                        L"ConfigServiceCaFile", path);
  }

  fs::path docs_;
  std::unique_ptr<testenv::ConfigService> service_;
};

TEST_F(SyncHttpRequestTest, PostsBodyAndHeaderToThePrimaryAndHandsBackTheAnswer) {
  testenv::ConfigService& service = StartService();
  // A '%', a non-ASCII letter, a quote and a line break must survive the
  // header encoding, and the line break must not start a header of its own.
  const QString header = QString::fromUtf8("{\"note\":\"100% sûr \\\"q\\\"\r\nX-Evil: 1\"}");
  const Seen seen = Post(Url(), kBody, header);

  ASSERT_EQ(seen.successes, 1) << seen.message.toStdString();
  EXPECT_EQ(seen.failures, 0);
  EXPECT_EQ(seen.http_code, 200);
  const nlohmann::json answer = nlohmann::json::parse(seen.body.toStdString());
  EXPECT_EQ(answer.at("ret_msg"), "ok");
  const nlohmann::json& kv = answer.at("config").at("items").at(0).at("key_values");
  ASSERT_EQ(kv.size(), 2u);
  EXPECT_EQ(kv[0].at("key"), "appconfigjson");
  EXPECT_EQ(kv[0].at("value"), R"({"dpi":240})");
  EXPECT_EQ(kv[1].at("key"), "configfile");

  const auto requests = service.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].at("role"), "primary");
  EXPECT_EQ(requests[0].at("method"), "POST");
  EXPECT_EQ(requests[0].at("path"), kPath);
  EXPECT_EQ(requests[0].at("body"), kBody);
  EXPECT_EQ(requests[0].at("header"), header.toStdString());
  for (const auto& name : requests[0].at("header_names")) EXPECT_NE(name, "X-Evil");
}

TEST_F(SyncHttpRequestTest, TransportFailuresOfThePrimaryMoveToTheAlternative) {
  testenv::ConfigService& service = StartService({"--refuse=primary"});
  Seen seen = Post(Url());
  ASSERT_EQ(seen.successes, 1) << seen.message.toStdString();
  EXPECT_EQ(Roles(service.Requests()), std::vector<std::string>{"alternative"});

  // Flipped at run time: the primary answers again and is used alone.
  ASSERT_TRUE(service.Control({{"refuse", "none"}}));
  seen = Post(Url());
  ASSERT_EQ(seen.successes, 1) << seen.message.toStdString();
  EXPECT_EQ(Roles(service.Requests()), (std::vector<std::string>{"alternative", "primary"}));

  // Both refusing: one failure, with Qt's code and no HTTP status, naming both.
  ASSERT_TRUE(service.Control({{"refuse", "both"}}));
  seen = Post(Url());
  EXPECT_EQ(seen.successes, 0);
  ASSERT_EQ(seen.failures, 1);
  EXPECT_EQ(seen.error_code, QNetworkReply::ConnectionRefusedError);
  EXPECT_EQ(seen.http_code, 0);
  EXPECT_TRUE(seen.message.contains(QString::number(service.primary_port())));
  EXPECT_TRUE(seen.message.contains(QString::number(service.alternative_port())));
  EXPECT_EQ(service.Requests().size(), 2u);
}

TEST_F(SyncHttpRequestTest, AnHttpErrorStatusIsAnAnswerAndNotRetriedElsewhere) {
  testenv::ConfigService& service = StartService();
  struct Case {
    int status;
    int error_code;
  };
  const Case cases[] = {
      {500, QNetworkReply::InternalServerError},
      {503, QNetworkReply::ServiceUnavailableError},
      {404, QNetworkReply::ContentNotFoundError},
      {403, QNetworkReply::ContentAccessDenied},
  };
  size_t expected_requests = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    ASSERT_TRUE(service.Control({{"status", c.status}}));
    const Seen seen = Post(Url());
    EXPECT_EQ(seen.successes, 0);
    ASSERT_EQ(seen.failures, 1);
    EXPECT_EQ(seen.http_code, c.status);
    EXPECT_EQ(seen.error_code, c.error_code);
    const auto requests = service.Requests();
    ASSERT_EQ(requests.size(), ++expected_requests);
    EXPECT_EQ(requests.back().at("role"), "primary");
  }

  // A status outside 2xx that Qt itself does not call an error is not a
  // success either.
  ASSERT_TRUE(service.Control({{"status", 204}}));
  EXPECT_EQ(Post(Url()).successes, 1);
  ASSERT_TRUE(service.Control({{"status", 302}}));
  const Seen redirect = Post(Url());
  EXPECT_EQ(redirect.successes, 0);
  EXPECT_EQ(redirect.failures, 1);
  EXPECT_EQ(redirect.http_code, 302);
}

TEST_F(SyncHttpRequestTest, ServiceSwitchesReachTheCallerAsTheyAre) {
  testenv::ConfigService& service = StartService({"--fail-next=2"});
  // The next two fail, the third is answered.
  EXPECT_EQ(Post(Url()).http_code, 500);
  EXPECT_EQ(Post(Url()).http_code, 500);
  EXPECT_EQ(Post(Url()).successes, 1);

  // Garbage is still a delivered answer: judging it is the caller's job.
  ASSERT_TRUE(service.Control({{"malformed", true}}));
  Seen seen = Post(Url());
  ASSERT_EQ(seen.successes, 1);
  EXPECT_TRUE(nlohmann::json::parse(seen.body.toStdString(), nullptr, false).is_discarded());

  ASSERT_TRUE(service.Control({{"ret_msg", "busy"}, {"delay_ms", 30}}));
  seen = Post(Url());
  ASSERT_EQ(seen.successes, 1);
  EXPECT_EQ(nlohmann::json::parse(seen.body.toStdString()).at("ret_msg"), "busy");

  // A package without documents: "ok" with no items.
  ASSERT_TRUE(service.Control(nlohmann::json::object()));
  seen = Post(Url(), R"({"android":"Android13","group":"com.unknown"})");
  ASSERT_EQ(seen.successes, 1);
  EXPECT_TRUE(nlohmann::json::parse(seen.body.toStdString()).at("config").at("items").empty());
  // A hostile group never reads outside the documents folder.
  testenv::WriteServiceDocument(home(), "secret", "configfile", "{}");
  seen = Post(Url(), R"({"android":"Android13","group":"../secret"})");
  ASSERT_EQ(seen.successes, 1);
  EXPECT_TRUE(nlohmann::json::parse(seen.body.toStdString()).at("config").at("items").empty());
}

TEST_F(SyncHttpRequestTest, AStalledServiceIsBoundedByTheTotalTimeOnEachAddress) {
  testenv::ConfigService& service = StartService({"--stall"});
  // Shortened for the whole run through the environment, not per request.
  base::reg::SetValue(HKEY_CURRENT_USER, MultiInst::Instance()->GetNimbrelEnvRegRoot(),
                      L"HttpTotalTimeoutMs", 300);
  const auto start = std::chrono::steady_clock::now();
  const Seen seen = Post(Url());
  const auto took = std::chrono::steady_clock::now() - start;

  EXPECT_EQ(seen.successes, 0);
  ASSERT_EQ(seen.failures, 1);
  EXPECT_EQ(seen.error_code, QNetworkReply::TimeoutError);
  EXPECT_EQ(seen.http_code, 0);
  // The service holds the answers for minutes; well under that means the
  // bound worked (the exact figure is not this test's business).
  EXPECT_LT(took, 60s);
  // A time-out is a transport failure: the alternative was asked too.
  EXPECT_EQ(Roles(service.Requests()), (std::vector<std::string>{"primary", "alternative"}));
}

TEST_F(SyncHttpRequestTest, AListenerThatNeverAcceptsIsBoundedByTheConnectTime) {
  // Takes connections into its backlog and never answers: TCP is up, TLS
  // never is.
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(::listen(fd, 8), 0);
  socklen_t len = sizeof sa;
  ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len), 0);
  const QString address = QStringLiteral("https://127.0.0.1:%1%2").arg(ntohs(sa.sin_port)).arg(kPath);

  const auto start = std::chrono::steady_clock::now();
  const Seen seen = Post(BackendUrl{address, QString()}, kBody, "{}", Timeouts{200ms, 600000ms});
  const auto took = std::chrono::steady_clock::now() - start;
  ::close(fd);

  ASSERT_EQ(seen.failures, 1);
  EXPECT_EQ(seen.error_code, QNetworkReply::TimeoutError);
  EXPECT_TRUE(seen.message.contains("no connection")) << seen.message.toStdString();
  EXPECT_LT(took, 60s);
}

TEST_F(SyncHttpRequestTest, AnAnswerOverTheCapFailsWholeAndAtTheCapSucceeds) {
  testenv::ConfigService& service = StartService();
  constexpr std::int64_t kCap = 64 * 1024;
  struct Case {
    std::int64_t size;
    bool chunked;
    bool ok;
  };
  const Case cases[] = {
      {kCap, false, true},          {kCap, true, true},
      {kCap + 1, false, false},     {kCap + 1, true, false},
      {4 * 1024 * 1024, false, false}, {4 * 1024 * 1024, true, false},
  };
  size_t expected_requests = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.size << (c.chunked ? " chunked" : ""));
    ASSERT_TRUE(service.Control({{"overlong", c.size}, {"overlong_chunked", c.chunked}}));
    const Seen seen = Post(Url(), kBody, "{}", std::nullopt, kCap);
    if (c.ok) {
      ASSERT_EQ(seen.successes, 1) << seen.message.toStdString();
      EXPECT_EQ(seen.body.toUtf8().size(), c.size);
      EXPECT_FALSE(nlohmann::json::parse(seen.body.toStdString(), nullptr, false).is_discarded());
    } else {
      EXPECT_EQ(seen.successes, 0);
      ASSERT_EQ(seen.failures, 1);
      EXPECT_EQ(seen.error_code, qtbaseex::http::kErrorResponseTooLarge);
      EXPECT_EQ(seen.http_code, 200);
    }
    // The service answered: no second address is tried either way.
    EXPECT_EQ(service.Requests().size(), ++expected_requests);
  }
}

TEST_F(SyncHttpRequestTest, OnlyTheConfiguredCaMakesTheServiceTrusted) {
  // The service presents a certificate of a CA the sandbox may or may not trust.
  testenv::ConfigService& service = StartService({}, false, testenv::TestCaDirectory("foreign"));
  struct Case {
    const char* name;
    std::optional<fs::path> ca_file;
    bool ok;
  };
  const Case cases[] = {
      {"the sandbox CA only", testenv::TestCaDirectory("sandbox") / "ca.crt", false},
      {"no CA file", fs::path(), false},
      {"a missing CA file", home() / "nothing.crt", false},
      {"a file that is no certificate", home() / "docs" / "com.example.app" / "configfile.json",
       false},
      {"the service's CA", testenv::TestCaDirectory("foreign") / "ca.crt", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TrustCaFile(base::gstring::FromPath(*c.ca_file));
    const Seen seen = Post(Url());
    EXPECT_EQ(seen.successes, c.ok ? 1 : 0);
    EXPECT_EQ(seen.failures, c.ok ? 0 : 1);
    if (!c.ok) {
      EXPECT_EQ(seen.error_code, QNetworkReply::SslHandshakeFailedError) << seen.message.toStdString();
      EXPECT_EQ(seen.http_code, 0);
    }
  }
  // Untrusted handshakes never got as far as a request.
  EXPECT_EQ(service.Requests().size(), 1u);
}

TEST_F(SyncHttpRequestTest, PlainHttpIsUsedForLoopbackOnly) {
  testenv::ConfigService& service = StartService({}, true);
  const std::string alt = service.AlternativeBase() + kPath;

  Seen seen = Post(Url());
  ASSERT_EQ(seen.successes, 1) << seen.message.toStdString();
  EXPECT_EQ(Roles(service.Requests()), std::vector<std::string>{"primary"});

  // Refused before anything is sent (no connection, no name lookup): the
  // failure comes with our own code, and the alternative is then used.
  const char* const refused[] = {
      "http://192.0.2.1:9/v3/quarrion_get_corvale_conf",
      "http://10.0.0.1/x",
      "http://localhost.example/x",
      "http://127.0.0.1.example/x",
      "ftp://127.0.0.1/x",
      "file:///etc/passwd",
      "not an address",
  };
  for (const char* address : refused) {
    SCOPED_TRACE(address);
    seen = Post(BackendUrl{address, QString()}, kBody, "{}", Timeouts{60000ms, 60000ms});
    EXPECT_EQ(seen.successes, 0);
    ASSERT_EQ(seen.failures, 1);
    EXPECT_EQ(seen.error_code, qtbaseex::http::kErrorAddressRefused);
    EXPECT_EQ(seen.http_code, 0);

    seen = Post(BackendUrl{address, QString::fromStdString(alt)});
    EXPECT_EQ(seen.successes, 1) << seen.message.toStdString();
  }
  EXPECT_EQ(service.Requests().size(), 1u + std::size(refused));
  for (const auto& r : service.Requests()) EXPECT_EQ(r.at("remote"), "127.0.0.1");
}

TEST_F(SyncHttpRequestTest, TheIpv6LoopbackIsLoopbackForPlainHttpAndTls) {
  for (const bool plain : {true, false}) {
    SCOPED_TRACE(plain ? "http" : "https");
    testenv::ConfigService& service = StartService({"--host=::1"}, plain);
    const QString address = QStringLiteral("%1://[::1]:%2%3")
                                .arg(plain ? "http" : "https")
                                .arg(service.primary_port())
                                .arg(kPath);
    const Seen seen = Post(BackendUrl{address, QString()});
    EXPECT_EQ(seen.successes, 1) << seen.message.toStdString();
    ASSERT_EQ(service.Requests().size(), 1u);
    EXPECT_EQ(service.Requests()[0].at("remote"), "::1");
    service_.reset();
    std::filesystem::remove_all(home() / "service");
  }
}

TEST_F(SyncHttpRequestTest, ServiceAddressesComeFromTheEnvironmentWithDefaults) {
  const std::wstring env = MultiInst::Instance()->GetNimbrelEnvRegRoot();
  BackendUrl url = ConfigServiceUrl(kPath);
  EXPECT_TRUE(url.primary.startsWith("https://")) << url.primary.toStdString();
  EXPECT_TRUE(url.alternative.startsWith("https://")) << url.alternative.toStdString();
  EXPECT_TRUE(url.primary.endsWith(kPath));
  EXPECT_NE(url.primary, url.alternative);

  base::reg::SetValue(HKEY_CURRENT_USER, env, L"ConfigServiceUrl", L"https://a.test:8443/");
  base::reg::SetValue(HKEY_CURRENT_USER, env, L"ConfigServiceAltUrl", L"https://b.test");
  url = ConfigServiceUrl(kPath);
  EXPECT_EQ(url.primary.toStdString(), std::string("https://a.test:8443") + kPath);
  EXPECT_EQ(url.alternative.toStdString(), std::string("https://b.test") + kPath);
  EXPECT_EQ(ConfigServiceUrl("x").alternative.toStdString(), "https://b.test/x");
}

TEST_F(SyncHttpRequestTest, DefaultTimeoutsTakeSaneValuesFromTheEnvironment) {
  const std::wstring env = MultiInst::Instance()->GetNimbrelEnvRegRoot();
  struct Case {
    std::uint64_t connect_ms;  // 0: not set
    std::uint64_t total_ms;
    long long want_connect;
    long long want_total;
  };
  const Timeouts defaults;
  const Case cases[] = {
      {0, 0, defaults.connect.count(), defaults.total.count()},
      {250, 900, 250, 900},
      {1, 600000, 1, 600000},
      {600001, 0, defaults.connect.count(), defaults.total.count()},
      {0xFFFFFFFFull, 0xFFFFFFFFFFull, defaults.connect.count(), defaults.total.count()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.connect_ms << "/" << c.total_ms);
    ASSERT_TRUE(base::reg::DeleteValue(HKEY_CURRENT_USER, env, L"HttpConnectTimeoutMs"));
    ASSERT_TRUE(base::reg::DeleteValue(HKEY_CURRENT_USER, env, L"HttpTotalTimeoutMs"));
    if (c.connect_ms) base::reg::SetValue(HKEY_CURRENT_USER, env, L"HttpConnectTimeoutMs", c.connect_ms);
    if (c.total_ms) base::reg::SetValue(HKEY_CURRENT_USER, env, L"HttpTotalTimeoutMs", c.total_ms);
    const Timeouts t = qtbaseex::http::DefaultTimeouts();
    EXPECT_EQ(t.connect.count(), c.want_connect);
    EXPECT_EQ(t.total.count(), c.want_total);
  }
  EXPECT_GT(defaults.connect.count(), 0);
  EXPECT_GE(defaults.total, defaults.connect);
}

TEST_F(SyncHttpRequestTest, BasicHeaderCarriesTheProductFactsAndTheBodyDigest) {
  const std::wstring root = MultiInst::Instance()->GetComponentRegRoot(0);
  base::reg::SetValue(HKEY_CURRENT_USER, root, L"MainVersion", L"5.6.7.8");
  base::reg::SetValue(HKEY_CURRENT_USER, root, L"Channel", 42);

  const long long before = QDateTime::currentSecsSinceEpoch();
  nlohmann::json header;
  AsyncHttpRequest::GetBasicHeader("abc", header);
  const long long after = QDateTime::currentSecsSinceEpoch();

  ASSERT_TRUE(header.is_object());
  EXPECT_EQ(header.at("version"), "5.6.7.8");
  EXPECT_EQ(header.at("guid"), base::yvok_guid::GetYvokGuid());
  EXPECT_FALSE(header.at("guid").get<std::string>().empty());
  EXPECT_EQ(header.at("channel"), 42);
  EXPECT_EQ(header.at("client_type"), 1);
  EXPECT_EQ(header.at("body_sha256"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_GE(header.at("timestamp").get<long long>(), before);
  EXPECT_LE(header.at("timestamp").get<long long>(), after);

  // The digest follows the body; fields already there are kept.
  nlohmann::json other = {{"extra", 1}};
  AsyncHttpRequest::GetBasicHeader("", other);
  EXPECT_EQ(other.at("extra"), 1);
  EXPECT_EQ(other.at("body_sha256"),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

}  // namespace

std::set<std::string> Connections(const std::vector<nlohmann::json>& requests) {
  std::set<std::string> connections;
  for (const auto& r : requests) connections.insert(r.at("connection").get<std::string>());
  return connections;
}

// The requests of one run share their connections: one TLS handshake for
// many packages. A connection the service closes - after an announced last
// answer, or idle under a switch of the port - is opened again without the
// request failing or moving to the alternative address.
TEST_F(SyncHttpRequestTest, RequestsShareOneKeptAliveConnectionAndReopenAClosedOne) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    bool switch_port_midway;  // the service drops every connection between two requests
    std::size_t max_connections;
  };
  const Case cases[] = {
      {"kept alive", {"--keep-alive=1000"}, false, 1},
      {"closed after every 5 answers", {"--keep-alive=5"}, false, 4},
      {"dropped while idle", {"--keep-alive=1000"}, true, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testenv::ConfigService::Options options;
    options.docs = docs_;
    options.state_dir = home() / "service" / c.name;
    options.args = c.args;
    auto started = testenv::ConfigService::Start(options);
    ASSERT_TRUE(started);
    testenv::ConfigService& service = *started;
    service.UseInSandbox();
    for (int i = 0; i < 20; ++i) {
      if (c.switch_port_midway && i == 10) {
        ASSERT_TRUE(service.Control({{"refuse", "primary"}}));
        ASSERT_TRUE(service.Control({{"refuse", "none"}}));
      }
      const Seen seen = Post(Url());
      ASSERT_EQ(seen.successes, 1) << i << ": " << seen.message.toStdString();
    }
    const auto requests = service.Requests();
    EXPECT_EQ(Roles(requests), std::vector<std::string>(20, "primary"));
    EXPECT_LE(Connections(requests).size(), c.max_connections);
    service.Kill();
  }
}

// A kept-alive connection carries its later requests without Nagle's delay:
// after an answer, the helper's own connection needs no change, while a
// connection this test opens to the same port still does.
TEST_F(SyncHttpRequestTest, AKeptAliveConnectionGoesWithoutNaglesDelay) {
  testenv::ConfigService& service = StartService({"--keep-alive=1000"});
  ASSERT_EQ(Post(Url()).successes, 1);
  const int raw = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(service.primary_port()));
  ASSERT_EQ(::connect(raw, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  const auto changed = platform::sockets::SetLowDelayOnConnectionsTo(
      "127.0.0.1", static_cast<std::uint16_t>(service.primary_port()));
  ::close(raw);
  ASSERT_TRUE(changed);
  EXPECT_EQ(*changed, 1);
  EXPECT_EQ(Connections(service.Requests()).size(), 1u);
}
