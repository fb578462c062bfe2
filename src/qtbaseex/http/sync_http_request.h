// Requests to the product's backend services.
//
// SyncHttpRequest posts one request and returns when one of its handlers has
// run. It tries the primary address first and the alternative one only when
// the primary fails at the transport level (no connection, TLS failure,
// time-out, or an address this request refuses to use); an HTTP error status
// is an answer and is reported as it is. HTTPS is verified against the
// system's CAs plus, when the product environment names one
// (`Software\<product>\Env`, value "ConfigServiceCaFile", a PEM file), the
// CA of a sandbox's own service. Plain http is accepted for loopback hosts
// only (127.0.0.0/8, ::1, "localhost"); any other host fails without a byte
// being sent.
//
// The header text (a JSON object text) travels in the HTTP header
// "X-Quarrion-Header", percent-encoded (only '%', control characters and
// non-ASCII bytes are escaped, so the JSON stays readable on the wire).
//
// Redirects are not followed, and any status outside 2xx is a failure. An
// answer longer than the size cap fails whole (checked against the announced
// length and again while reading), never as a shortened success.
//
// A process-wide QCoreApplication must exist; no event loop needs to run.
#pragma once

#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

// Full addresses of one endpoint: the same path on two hosts.
struct BackendUrl {
  QString primary;
  QString alternative;
};

// The configuration service's endpoint `path` (starting with "/") on the two
// base addresses of the product environment (`Software\<product>\Env`,
// values "ConfigServiceUrl" and "ConfigServiceAltUrl", built-in defaults
// otherwise). A trailing "/" of a base address is dropped.
BackendUrl ConfigServiceUrl(const QString& path);

namespace qtbaseex::http {

// Failure codes of our own, outside Qt's QNetworkReply::NetworkError range.
// Every other failure carries Qt's NetworkError number.
inline constexpr int kErrorResponseTooLarge = 1001;  // answer over the size cap
inline constexpr int kErrorAddressRefused = 1002;    // not https, nor http to loopback; or malformed
inline constexpr int kErrorUnexpectedStatus = 1003;  // an HTTP status outside 2xx without a Qt error
inline constexpr int kErrorNoApplication = 1004;     // no QCoreApplication in the process

// Name of the HTTP header that carries SetHeader's text.
inline constexpr char kHeaderField[] = "X-Quarrion-Header";

struct Timeouts {
  // Until the connection and TLS handshake are up (for plain http: until
  // the request has been sent or an answer begins).
  std::chrono::milliseconds connect{5000};
  // The whole attempt on one address, connecting included.
  std::chrono::milliseconds total{15000};
};

inline constexpr std::int64_t kDefaultMaxResponseBytes = 8 * 1024 * 1024;

// The time-outs a request uses unless given its own: the defaults above, or
// the product environment's `Software\<product>\Env` numbers
// "HttpConnectTimeoutMs" and "HttpTotalTimeoutMs" (1 ms to 10 minutes; other
// values are ignored), so a sandbox can shorten them for a whole run.
Timeouts DefaultTimeouts();

}  // namespace qtbaseex::http

class SyncHttpRequest {
 public:
  using SuccessHandler = std::function<void(const QString& body, int http_code)>;
  using FailureHandler = std::function<void(const QString& message, int error_code, int http_code)>;

  explicit SyncHttpRequest(const BackendUrl& url);
  ~SyncHttpRequest();
  SyncHttpRequest(const SyncHttpRequest&) = delete;
  SyncHttpRequest& operator=(const SyncHttpRequest&) = delete;

  SyncHttpRequest& SetHeader(const QString& header);
  SyncHttpRequest& SetData(const QString& data);
  SyncHttpRequest& OnSuccess(SuccessHandler handler);
  SyncHttpRequest& OnFailure(FailureHandler handler);
  // Per attempt (each address gets its own); DefaultTimeouts() otherwise.
  SyncHttpRequest& SetTimeouts(const qtbaseex::http::Timeouts& timeouts);
  SyncHttpRequest& SetMaxResponseBytes(std::int64_t max_bytes);

  // POSTs the body; exactly one handler has run when this returns. The body
  // reaches OnSuccess decoded as UTF-8. A failure reports the message, the
  // error code (see above) and the HTTP status (0 when there was none).
  void Post();

 private:
  BackendUrl url_;
  QString header_;
  QString data_;
  SuccessHandler on_success_;
  FailureHandler on_failure_;
  std::optional<qtbaseex::http::Timeouts> timeouts_;
  std::int64_t max_response_bytes_ = qtbaseex::http::kDefaultMaxResponseBytes;
};

class AsyncHttpRequest {
 public:
  // Fills the product's standard request header into `header` (JSON null or
  // an object): "version" (main version), "guid" (machine identifier),
  // "channel", "client_type" (numbers), "body_sha256" (lower-case hex of the
  // body's SHA-256) and "timestamp" (seconds since the epoch).
  static void GetBasicHeader(const std::string& body, nlohmann::json& header);
};
