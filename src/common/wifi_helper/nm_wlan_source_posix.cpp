// The WLAN service here is NetworkManager on the system bus: its devices of
// the Wi-Fi type stand for the WLAN interfaces, an activated device is a
// connected one, and the SSID is that of its active access point.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QList>
#include <QVariant>

#include <atomic>
#include <filesystem>

#include "common/wifi_helper/wifi_helper.h"
#include "platform/session.h"

namespace wifi_helper {

namespace {

const char* const kService = "org.freedesktop.NetworkManager";
const char* const kRootPath = "/org/freedesktop/NetworkManager";
const char* const kDeviceInterface = "org.freedesktop.NetworkManager.Device";
const char* const kWirelessInterface = "org.freedesktop.NetworkManager.Device.Wireless";
const char* const kAccessPointInterface = "org.freedesktop.NetworkManager.AccessPoint";
constexpr unsigned kDeviceTypeWifi = 2;
constexpr unsigned kDeviceStateActivated = 100;

// Windows numbers for what can go wrong on the bus.
constexpr std::uint32_t kServiceNotActive = 1062;
constexpr std::uint32_t kAccessDenied = 5;
constexpr std::uint32_t kTimeout = 1460;
constexpr std::uint32_t kNotFound = 1168;
constexpr std::uint32_t kInvalidData = 13;
constexpr std::uint32_t kGenFailure = 31;

std::uint32_t FromDBusError(const QDBusError& error) {
  switch (error.type()) {
    case QDBusError::ServiceUnknown:
    case QDBusError::Disconnected:
    case QDBusError::NoServer:
      return kServiceNotActive;
    case QDBusError::AccessDenied:
      return kAccessDenied;
    case QDBusError::NoReply:
    case QDBusError::Timeout:
    case QDBusError::TimedOut:
      return kTimeout;
    case QDBusError::UnknownObject:
    case QDBusError::UnknownInterface:
    case QDBusError::UnknownProperty:
      return kNotFound;
    default:
      return kGenFailure;
  }
}

// Whether a system bus can be there at all: its address is set, or its
// socket is where the bus library looks by default. Without one, connecting
// would only start QtDBus's own thread (whose stop cost a run with nothing to
// do a quarter of its time) to learn that there is no service.
bool SystemBusMayBeThere() {
  if (const auto address = platform::ReadEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS");
      address && !address->empty()) {
    return true;
  }
  std::error_code ec;
  return std::filesystem::exists("/run/dbus/system_bus_socket", ec) ||
         std::filesystem::exists("/var/run/dbus/system_bus_socket", ec);
}

class NetworkManagerSource : public WlanSource {
 public:
  NetworkManagerSource(std::string address, int timeout_ms)
      : address_(std::move(address)), timeout_ms_(timeout_ms) {
    static std::atomic<int> counter{0};
    name_ = QStringLiteral("wifi_helper_%1").arg(counter++);
  }
  ~NetworkManagerSource() override { Close(); }

  std::uint32_t Open() override {
    if (address_.empty() && !SystemBusMayBeThere()) return kServiceNotActive;
    connection_ = address_.empty()
                      ? QDBusConnection::connectToBus(QDBusConnection::SystemBus, name_)
                      : QDBusConnection::connectToBus(QString::fromStdString(address_), name_);
    open_ = true;
    if (!connection_.isConnected()) return kServiceNotActive;
    QDBusConnectionInterface* bus = connection_.interface();
    if (bus == nullptr) return kServiceNotActive;
    const auto registered = bus->isServiceRegistered(QString::fromLatin1(kService));
    if (!registered.isValid()) return FromDBusError(registered.error());
    return registered.value() ? 0 : kServiceNotActive;
  }

  std::uint32_t EnumInterfaces(std::vector<WlanInterface>* out) override {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kRootPath, kService, "GetDevices");
    const QDBusMessage reply = connection_.call(call, QDBus::Block, timeout_ms_);
    if (reply.type() != QDBusMessage::ReplyMessage) return FromDBusError(QDBusError(reply));
    if (reply.arguments().isEmpty()) return kInvalidData;
    const auto paths = qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().at(0));
    for (const QDBusObjectPath& path : paths) {
      QVariant type, state;
      // A device that vanished between the list and the question is skipped.
      if (Property(path.path(), kDeviceInterface, "DeviceType", &type) != 0) continue;
      if (type.toUInt() != kDeviceTypeWifi) continue;
      if (Property(path.path(), kDeviceInterface, "State", &state) != 0) continue;
      out->push_back({path.path().toStdString(), state.toUInt() == kDeviceStateActivated});
    }
    return 0;
  }

  std::uint32_t QueryCurrentSsid(const WlanInterface& wlan_interface, std::string* ssid) override {
    QVariant access_point;
    if (auto e = Property(QString::fromStdString(wlan_interface.id), kWirelessInterface,
                          "ActiveAccessPoint", &access_point)) {
      return e;
    }
    const QString ap = qvariant_cast<QDBusObjectPath>(access_point).path();
    if (ap.isEmpty() || ap == "/") return kNotFound;
    QVariant bytes;
    if (auto e = Property(ap, kAccessPointInterface, "Ssid", &bytes)) return e;
    const QByteArray raw = bytes.toByteArray();
    *ssid = std::string(raw.constData(), static_cast<std::size_t>(raw.size()));
    return 0;
  }

  void Close() override {
    if (!open_) return;
    open_ = false;
    QDBusConnection::disconnectFromBus(name_);
  }

 private:
  std::uint32_t Property(const QString& path, const char* bus_interface, const char* name,
                         QVariant* value) {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, path,
                                                       "org.freedesktop.DBus.Properties", "Get");
    call << QString::fromLatin1(bus_interface) << QString::fromLatin1(name);
    const QDBusMessage reply = connection_.call(call, QDBus::Block, timeout_ms_);
    if (reply.type() != QDBusMessage::ReplyMessage) return FromDBusError(QDBusError(reply));
    if (reply.arguments().isEmpty()) return kInvalidData;
    *value = qvariant_cast<QDBusVariant>(reply.arguments().at(0)).variant();
    return 0;
  }

  std::string address_;
  int timeout_ms_;
  QString name_;
  QDBusConnection connection_{QString()};
  bool open_ = false;
};

}  // namespace

std::unique_ptr<WlanSource> MakeNetworkManagerSource(const std::string& bus_address, int timeout_ms) {
  return std::make_unique<NetworkManagerSource>(bus_address, timeout_ms);
}

std::unique_ptr<WlanSource> MakeWlanSource() { return MakeNetworkManagerSource(); }

}  // namespace wifi_helper
