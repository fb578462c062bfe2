#include "qtbaseex/http/sync_http_request.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QEventLoop>
#include <QHostAddress>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "base/reg.h"
#include "base/yvok_guid.h"
#include "platform/socket_options.h"
#include "qtbaseex/log/categories.h"

namespace {

using qtbaseex::http::Timeouts;

struct Outcome {
  bool ok = false;
  QString body;
  int http_code = 0;
  QString message;
  int error_code = 0;
  // The address never gave an answer: worth trying the other one.
  bool transport = false;
  // The connection was closed before any answer came.
  bool closed_unanswered = false;
};

bool IsLoopbackHost(const QString& host) {
  QHostAddress address;
  if (address.setAddress(host)) return address.isLoopback();
  return host.compare(QStringLiteral("localhost"), Qt::CaseInsensitive) == 0;
}

// Qt's network-layer and proxy errors (1..199): no answer came from the server.
bool IsTransportError(QNetworkReply::NetworkError error) {
  const int code = static_cast<int>(error);
  return code >= 1 && code < 200;
}

// The service's environment (CA file, time-outs) cannot change during a run:
// read once, and again only after this process wrote the registry itself or
// points it at another home.
struct EnvMemo {
  std::mutex mutex;
  std::uint64_t serial = ~std::uint64_t{0};
  std::filesystem::path storage;
  std::map<std::wstring, std::wstring> texts;
  std::map<std::wstring, std::uint64_t> numbers;
};

EnvMemo& Memo() {
  static EnvMemo memo;
  return memo;
}

// Under memo.mutex: drops what was read before a write or another home.
void Refresh(EnvMemo& memo, std::uint64_t serial, const std::filesystem::path& storage) {
  if (memo.serial == serial && memo.storage == storage) return;
  memo.texts.clear();
  memo.numbers.clear();
  memo.serial = serial;
  memo.storage = storage;
}

std::wstring EnvSetting(const wchar_t* name) {
  EnvMemo& memo = Memo();
  const std::uint64_t serial = base::reg::WriteSerial();
  const std::filesystem::path storage = MultiInst::Instance()->Home();
  {
    std::lock_guard<std::mutex> lock(memo.mutex);
    Refresh(memo, serial, storage);
    if (const auto it = memo.texts.find(name); it != memo.texts.end()) return it->second;
  }
  const std::wstring root = MultiInst::Instance()->GetNimbrelEnvRegRoot();
  std::wstring value = base::reg::GetValue(HKEY_CURRENT_USER, root, name, L"");
  if (value.empty()) value = base::reg::GetValue(HKEY_LOCAL_MACHINE, root, name, L"");
  std::lock_guard<std::mutex> lock(memo.mutex);
  if (memo.serial == serial && memo.storage == storage) memo.texts.emplace(name, value);
  return value;
}

std::uint64_t EnvNumber(const wchar_t* name) {
  EnvMemo& memo = Memo();
  const std::uint64_t serial = base::reg::WriteSerial();
  const std::filesystem::path storage = MultiInst::Instance()->Home();
  {
    std::lock_guard<std::mutex> lock(memo.mutex);
    Refresh(memo, serial, storage);
    if (const auto it = memo.numbers.find(name); it != memo.numbers.end()) return it->second;
  }
  const std::wstring root = MultiInst::Instance()->GetNimbrelEnvRegRoot();
  std::uint64_t value = base::reg::GetValue(HKEY_CURRENT_USER, root, name, std::uint64_t{0});
  if (value == 0) value = base::reg::GetValue(HKEY_LOCAL_MACHINE, root, name, std::uint64_t{0});
  std::lock_guard<std::mutex> lock(memo.mutex);
  if (memo.serial == serial && memo.storage == storage) memo.numbers.emplace(name, value);
  return value;
}

// The system's CAs are read once: the set is large and does not change
// while the helper runs.
const QList<QSslCertificate>& SystemCas() {
  static const QList<QSslCertificate> cas = QSslConfiguration::systemCaCertificates();
  return cas;
}

// The TLS setup of one request: the defaults, plus the CA file the product
// environment names. Verification stays on either way. `ca_key` names the
// extra CA (its path), so connections made under one setup are not reused
// under another.
QSslConfiguration TlsConfiguration(QString* ca_key) {
  QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
  conf.setPeerVerifyMode(QSslSocket::VerifyPeer);
  const std::wstring ca_file = EnvSetting(L"ConfigServiceCaFile");
  ca_key->clear();
  if (ca_file.empty()) return conf;
  const QString path = QString::fromStdWString(ca_file);
  // Parsed once per path: the file is the sandbox's, fixed for the run.
  static std::mutex mutex;
  static std::map<QString, QList<QSslCertificate>> parsed;
  QList<QSslCertificate> extra;
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto it = parsed.find(path);
    if (it == parsed.end()) it = parsed.emplace(path, QSslCertificate::fromPath(path, QSsl::Pem)).first;
    extra = it->second;
  }
  if (extra.isEmpty()) {
    qCWarning(lc_post) << "no certificate in the configured CA file" << path;
    return conf;
  }
  *ca_key = path;
  conf.setCaCertificates(SystemCas() + extra);
  return conf;
}

// The requests of one run share their managers, and so their connections:
// a kept-alive connection and its TLS session serve every package instead of
// one handshake each. One manager for loopback (never through a proxy), one
// for the rest; both belong to the application object and end with it. A
// manager lives in the thread that made it: a request from another thread
// gets a manager of its own for that request.
class SharedManagers {
 public:
  static QNetworkAccessManager* For(bool loopback, const QString& ca_key) {
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() != app->thread()) return nullptr;
    static SharedManagers shared;
    Slot& slot = shared.slots_[loopback ? 1 : 0];
    // Connections verified against another CA set are not to be reused.
    if (slot.manager && slot.ca_key != ca_key) delete slot.manager.data();
    if (!slot.manager) {
      slot.manager = new QNetworkAccessManager(app);
      if (loopback) slot.manager->setProxy(QNetworkProxy::NoProxy);
      slot.ca_key = ca_key;
    }
    return slot.manager.data();
  }

 private:
  struct Slot {
    QPointer<QNetworkAccessManager> manager;
    QString ca_key;
  };
  Slot slots_[2];
};

// The header text on the wire: '%', control characters and non-ASCII bytes
// escaped; everything else, quotes and braces included, left readable.
QByteArray EncodeHeader(const QString& text) {
  static const QByteArray kKeep = [] {
    QByteArray keep;
    for (char c = 0x20; c < 0x7F; ++c) {
      if (c != '%') keep.append(c);
    }
    return keep;
  }();
  return text.toUtf8().toPercentEncoding(kKeep);
}

Outcome Refused(const QString& message) {
  Outcome o;
  o.message = message;
  o.error_code = qtbaseex::http::kErrorAddressRefused;
  o.transport = true;
  return o;
}

Outcome Exchange(QNetworkAccessManager& manager, const QNetworkRequest& request, const QByteArray& data,
                 const Timeouts& timeouts, std::int64_t max_bytes);

// Qt writes a request's head and its body in two writes and leaves Nagle's
// algorithm on: over a kept-alive connection the body then waits for the
// service's delayed acknowledgement of the head, some 40 ms per request.
// Once an answer shows the connection is up, its later requests go without
// that wait. The bytes sent stay the same.
void LowDelay(const QUrl& url) {
  const QString scheme = url.scheme().toLower();
  const int port = url.port(scheme == QLatin1String("https") ? 443 : 80);
  QHostAddress numeric;
  const std::string address = numeric.setAddress(url.host()) ? url.host().toStdString() : std::string();
  if (port > 0 && port <= 65535) (void)platform::sockets::SetLowDelayOnConnectionsTo(address, static_cast<std::uint16_t>(port));
}

Outcome PostOnce(const QString& address, const QByteArray& header, const QByteArray& data,
                 const Timeouts& timeouts, std::int64_t max_bytes) {
  const QUrl url(address, QUrl::StrictMode);
  if (!url.isValid() || url.host().isEmpty()) {
    return Refused(QStringLiteral("invalid address: ") + address);
  }
  const QString scheme = url.scheme().toLower();
  const bool loopback = IsLoopbackHost(url.host());
  if (scheme != QLatin1String("https") && !(scheme == QLatin1String("http") && loopback)) {
    return Refused(QStringLiteral("refused to send over ") + scheme +
                   QStringLiteral(" to ") + url.host());
  }

  QNetworkRequest request(url);
  request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
  request.setRawHeader(qtbaseex::http::kHeaderField, header);
  // A redirect could lead anywhere, plain http included: it is not followed.
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::ManualRedirectPolicy);
  QString ca_key;
  if (scheme == QLatin1String("https")) request.setSslConfiguration(TlsConfiguration(&ca_key));

  std::unique_ptr<QNetworkAccessManager> own;
  QNetworkAccessManager* manager = SharedManagers::For(loopback, ca_key);
  if (manager == nullptr) {
    own = std::make_unique<QNetworkAccessManager>();
    if (loopback) own->setProxy(QNetworkProxy::NoProxy);
    manager = own.get();
  }
  const auto started = std::chrono::steady_clock::now();
  Outcome o = Exchange(*manager, request, data, timeouts, max_bytes);
  // A kept-alive connection the service closed while it lay idle fails
  // before any answer: that says nothing about the address, so the request
  // goes once more on a new connection, within the same total time.
  const auto used = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started);
  if (o.closed_unanswered && used < timeouts.total) {
    Timeouts rest = timeouts;
    rest.total = timeouts.total - used;
    rest.connect = std::min(timeouts.connect, rest.total);
    o = Exchange(*manager, request, data, rest, max_bytes);
  }
  return o;
}

Outcome Exchange(QNetworkAccessManager& manager, const QNetworkRequest& request, const QByteArray& data,
                 const Timeouts& timeouts, std::int64_t max_bytes) {
  QNetworkReply* reply = manager.post(request, data);
  QEventLoop loop;
  QTimer connect_timer;
  QTimer total_timer;
  connect_timer.setSingleShot(true);
  total_timer.setSingleShot(true);
  QByteArray body;
  bool too_large = false;
  bool connect_timed_out = false;
  bool total_timed_out = false;

  const auto connected = [&] { connect_timer.stop(); };
  const auto take = [&] {
    if (too_large) return;
    body += reply->readAll();
    if (body.size() > max_bytes) {
      too_large = true;
      reply->abort();
    }
  };
  QObject::connect(reply, &QNetworkReply::encrypted, &loop, connected);
  QObject::connect(reply, &QNetworkReply::uploadProgress, &loop,
                   [&](qint64 sent, qint64) { if (sent > 0) connected(); });
  QObject::connect(reply, &QNetworkReply::metaDataChanged, &loop, [&] {
    connected();
    LowDelay(request.url());
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > max_bytes) {
      too_large = true;
      reply->abort();
    }
  });
  QObject::connect(reply, &QNetworkReply::readyRead, &loop, [&] {
    connected();
    take();
  });
  QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
  QObject::connect(&connect_timer, &QTimer::timeout, &loop, [&] {
    connect_timed_out = true;
    reply->abort();
  });
  QObject::connect(&total_timer, &QTimer::timeout, &loop, [&] {
    total_timed_out = true;
    reply->abort();
  });
  connect_timer.start(static_cast<int>(timeouts.connect.count()));
  total_timer.start(static_cast<int>(timeouts.total.count()));
  if (!reply->isFinished()) loop.exec(QEventLoop::ExcludeUserInputEvents);
  connect_timer.stop();
  total_timer.stop();

  Outcome o;
  const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
  o.http_code = status.isValid() ? status.toInt() : 0;
  const QNetworkReply::NetworkError error = reply->error();
  if (!too_large && !connect_timed_out && !total_timed_out) take();
  if (too_large) {
    o.message = QStringLiteral("the answer is larger than %1 bytes").arg(max_bytes);
    o.error_code = qtbaseex::http::kErrorResponseTooLarge;
  } else if (connect_timed_out || total_timed_out) {
    o.message = connect_timed_out
                    ? QStringLiteral("no connection within %1 ms").arg(timeouts.connect.count())
                    : QStringLiteral("no complete answer within %1 ms").arg(timeouts.total.count());
    o.error_code = static_cast<int>(QNetworkReply::TimeoutError);
    o.transport = true;
  } else if (error != QNetworkReply::NoError) {
    o.message = reply->errorString();
    o.error_code = static_cast<int>(error);
    o.transport = IsTransportError(error);
    o.closed_unanswered = error == QNetworkReply::RemoteHostClosedError && o.http_code == 0 && body.isEmpty();
  } else if (o.http_code < 200 || o.http_code > 299) {
    o.message = QStringLiteral("unexpected HTTP status %1").arg(o.http_code);
    o.error_code = qtbaseex::http::kErrorUnexpectedStatus;
  } else {
    o.ok = true;
    o.body = QString::fromUtf8(body);
  }
  delete reply;
  return o;
}

}  // namespace

namespace qtbaseex::http {

Timeouts DefaultTimeouts() {
  constexpr std::uint64_t kMaxMs = 10 * 60 * 1000;
  Timeouts t;
  const std::uint64_t connect = EnvNumber(L"HttpConnectTimeoutMs");
  const std::uint64_t total = EnvNumber(L"HttpTotalTimeoutMs");
  if (connect >= 1 && connect <= kMaxMs) t.connect = std::chrono::milliseconds(connect);
  if (total >= 1 && total <= kMaxMs) t.total = std::chrono::milliseconds(total);
  return t;
}

}  // namespace qtbaseex::http

BackendUrl ConfigServiceUrl(const QString& path) {
  MultiInst* inst = MultiInst::Instance();
  const auto join = [&](std::wstring base) {
    QString b = QString::fromStdWString(base);
    while (b.endsWith(QLatin1Char('/'))) b.chop(1);
    return path.startsWith(QLatin1Char('/')) ? b + path : b + QLatin1Char('/') + path;
  };
  return BackendUrl{join(inst->GetConfigServiceUrl()), join(inst->GetConfigServiceAltUrl())};
}

SyncHttpRequest::SyncHttpRequest(const BackendUrl& url) : url_(url) {}
SyncHttpRequest::~SyncHttpRequest() = default;

SyncHttpRequest& SyncHttpRequest::SetHeader(const QString& header) {
  header_ = header;
  return *this;
}

SyncHttpRequest& SyncHttpRequest::SetData(const QString& data) {
  data_ = data;
  return *this;
}

SyncHttpRequest& SyncHttpRequest::OnSuccess(SuccessHandler handler) {
  on_success_ = std::move(handler);
  return *this;
}

SyncHttpRequest& SyncHttpRequest::OnFailure(FailureHandler handler) {
  on_failure_ = std::move(handler);
  return *this;
}

SyncHttpRequest& SyncHttpRequest::SetTimeouts(const Timeouts& timeouts) {
  timeouts_ = timeouts;
  return *this;
}

SyncHttpRequest& SyncHttpRequest::SetMaxResponseBytes(std::int64_t max_bytes) {
  max_response_bytes_ = max_bytes;
  return *this;
}

void SyncHttpRequest::Post() {
  const auto fail = [this](const QString& message, int error_code, int http_code) {
    if (on_failure_) on_failure_(message, error_code, http_code);
  };
  if (QCoreApplication::instance() == nullptr) {
    fail(QStringLiteral("no application object"), qtbaseex::http::kErrorNoApplication, 0);
    return;
  }
  const Timeouts timeouts = timeouts_ ? *timeouts_ : qtbaseex::http::DefaultTimeouts();
  const QByteArray header = EncodeHeader(header_);
  const QByteArray data = data_.toUtf8();
  QStringList messages;
  Outcome last;
  for (const QString* address : {&url_.primary, &url_.alternative}) {
    if (address->isEmpty()) continue;
    last = PostOnce(*address, header, data, timeouts, max_response_bytes_);
    if (last.ok) {
      if (on_success_) on_success_(last.body, last.http_code);
      return;
    }
    messages << *address + QStringLiteral(": ") + last.message;
    if (!last.transport) break;
  }
  if (messages.isEmpty()) {
    fail(QStringLiteral("no address to send to"), qtbaseex::http::kErrorAddressRefused, 0);
    return;
  }
  fail(messages.join(QStringLiteral("; ")), last.error_code, last.http_code);
}

void AsyncHttpRequest::GetBasicHeader(const std::string& body, nlohmann::json& header) {
  if (!header.is_object()) header = nlohmann::json::object();
  MultiInst* inst = MultiInst::Instance();
  header["version"] = base::gstring::ToUtf8(inst->GetMainVersion());
  header["guid"] = base::yvok_guid::GetYvokGuid();
  header["channel"] = inst->GetChannel();
  header["client_type"] = static_cast<int>(inst->GetClientType());
  header["body_sha256"] =
      QCryptographicHash::hash(QByteArray::fromStdString(body), QCryptographicHash::Sha256)
          .toHex()
          .toStdString();
  header["timestamp"] = QDateTime::currentSecsSinceEpoch();
}
