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
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTimer>
#include <QUrl>

#include "base/gstring.h"
#include "base/multi_inst.h"
#include "base/reg.h"
#include "base/yvok_guid.h"
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

std::wstring EnvSetting(const wchar_t* name) {
  const std::wstring root = MultiInst::Instance()->GetNimbrelEnvRegRoot();
  std::wstring value = base::reg::GetValue(HKEY_CURRENT_USER, root, name, L"");
  if (value.empty()) value = base::reg::GetValue(HKEY_LOCAL_MACHINE, root, name, L"");
  return value;
}

std::uint64_t EnvNumber(const wchar_t* name) {
  const std::wstring root = MultiInst::Instance()->GetNimbrelEnvRegRoot();
  std::uint64_t value = base::reg::GetValue(HKEY_CURRENT_USER, root, name, std::uint64_t{0});
  if (value == 0) value = base::reg::GetValue(HKEY_LOCAL_MACHINE, root, name, std::uint64_t{0});
  return value;
}

// The system's CAs are read once: the set is large and does not change
// while the helper runs.
const QList<QSslCertificate>& SystemCas() {
  static const QList<QSslCertificate> cas = QSslConfiguration::systemCaCertificates();
  return cas;
}

// The TLS setup of one request: the defaults, plus the CA file the product
// environment names. Verification stays on either way.
QSslConfiguration TlsConfiguration() {
  QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
  conf.setPeerVerifyMode(QSslSocket::VerifyPeer);
  const std::wstring ca_file = EnvSetting(L"ConfigServiceCaFile");
  if (ca_file.empty()) return conf;
  const QString path = QString::fromStdWString(ca_file);
  const QList<QSslCertificate> extra = QSslCertificate::fromPath(path, QSsl::Pem);
  if (extra.isEmpty()) {
    qCWarning(lc_post) << "no certificate in the configured CA file" << path;
    return conf;
  }
  conf.setCaCertificates(SystemCas() + extra);
  return conf;
}

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

  QNetworkAccessManager manager;
  if (loopback) manager.setProxy(QNetworkProxy::NoProxy);
  QNetworkRequest request(url);
  request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
  request.setRawHeader(qtbaseex::http::kHeaderField, header);
  // A redirect could lead anywhere, plain http included: it is not followed.
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::ManualRedirectPolicy);
  if (scheme == QLatin1String("https")) request.setSslConfiguration(TlsConfiguration());

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
