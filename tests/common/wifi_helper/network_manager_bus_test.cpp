// The NetworkManager source over a real, private message bus: a dbus-daemon
// of the test's own, with a stand-in NetworkManager served from a thread of
// this process.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QEventLoop>
#include <QThread>

#include <fstream>
#include <condition_variable>
#include <map>
#include <mutex>

#include "base/cclog.h"
#include "common/wifi_helper/wifi_helper.h"
#include "platform/launch.h"
#include "platform/process.h"
#include "support/test_env.h"

namespace {

constexpr char kNm[] = "org.freedesktop.NetworkManager";
constexpr char kRoot[] = "/org/freedesktop/NetworkManager";

// Properties by (object path, property name); GetDevices lists `devices`.
struct FakeNetwork {
  QList<QDBusObjectPath> devices;
  std::map<std::pair<QString, QString>, QVariant> properties;
};

class FakeNetworkManager : public QDBusVirtualObject {
 public:
  explicit FakeNetworkManager(FakeNetwork network) : network_(std::move(network)) {}
  QString introspect(const QString&) const override { return {}; }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.member() == "GetDevices" && message.path() == kRoot) {
      connection.send(message.createReply(QVariant::fromValue(network_.devices)));
      return true;
    }
    if (message.member() == "Get" && message.arguments().size() == 2) {
      const auto it = network_.properties.find({message.path(), message.arguments()[1].toString()});
      if (it == network_.properties.end()) {
        connection.send(message.createErrorReply("org.freedesktop.DBus.Error.UnknownProperty",
                                                 "no such property"));
      } else {
        connection.send(message.createReply(QVariant::fromValue(QDBusVariant(it->second))));
      }
      return true;
    }
    return false;
  }

 private:
  FakeNetwork network_;
};

// Serves the stand-in on its own thread, so the probe's blocking calls on the
// test thread get their answers.
class ServiceThread : public QThread {
 public:
  ServiceThread(QString address, FakeNetwork network, bool own_name)
      : address_(std::move(address)), network_(std::move(network)), own_name_(own_name) {}
  ~ServiceThread() override {
    quit();
    wait();
  }
  // Blocks until the service is on the bus (or failed to get there).
  bool StartAndWait() {
    start();
    std::unique_lock lock(mutex_);
    ready_cv_.wait(lock, [this] { return ready_; });
    return ok_;
  }

 protected:
  void run() override {
    bool ok = false;
    {
      QDBusConnection connection = QDBusConnection::connectToBus(address_, "fake_nm_service");
      FakeNetworkManager object(network_);
      if (connection.isConnected()) {
        ok = connection.registerVirtualObject(kRoot, &object, QDBusConnection::SubPath);
        if (own_name_) ok = ok && connection.registerService(kNm);
      }
      {
        std::lock_guard lock(mutex_);
        ready_ = true;
        ok_ = ok;
      }
      ready_cv_.notify_all();
      if (ok) exec();
      connection.unregisterObject(kRoot, QDBusConnection::UnregisterTree);
    }
    QDBusConnection::disconnectFromBus("fake_nm_service");
  }

 private:
  QString address_;
  FakeNetwork network_;
  bool own_name_;
  std::mutex mutex_;
  std::condition_variable ready_cv_;
  bool ready_ = false;
  bool ok_ = false;
};

// A private bus daemon listening in the test's home; stopped at the end.
class PrivateBus {
 public:
  explicit PrivateBus(const std::filesystem::path& dir) : socket_(dir / "bus") {
    const auto config = dir / "bus.conf";
    std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                             "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                             "<busconfig><type>session</type><listen>unix:path="
                          << socket_.string()
                          << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                             "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                             "<allow own=\"*\"/></policy></busconfig>\n";
    // The daemon makes its socket once it listens: wait for that event.
    const int watch_fd = inotify_init1(IN_CLOEXEC);
    inotify_add_watch(watch_fd, dir.c_str(), IN_CREATE);
    platform::LaunchRequest request;
    request.file = "/usr/bin/dbus-daemon";
    request.parameters = L"--nofork --nopidfile --config-file=" + config.wstring();
    request.want_handle = true;
    if (platform::Launch(request, &daemon_) == 0) {
      pollfd fd{watch_fd, POLLIN, 0};
      while (!std::filesystem::exists(socket_) && ::poll(&fd, 1, 10000) > 0) {
        char buffer[4096];
        (void)!::read(watch_fd, buffer, sizeof buffer);
      }
    }
    ::close(watch_fd);
  }
  ~PrivateBus() {
    if (daemon_.valid()) {
      platform::RealTerminateProcess(daemon_.get(), 1);
      platform::WaitForProcess(daemon_.get(), 10000);
    }
  }
  bool ready() const { return daemon_.valid() && std::filesystem::exists(socket_); }
  std::string address() const { return "unix:path=" + socket_.string(); }

 private:
  std::filesystem::path socket_;
  platform::ProcessHandle daemon_;
};

class NetworkManagerBusTest : public testenv::ProductTest {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists("/usr/bin/dbus-daemon")) GTEST_SKIP() << "no dbus-daemon";
    bus_ = std::make_unique<PrivateBus>(home());
    ASSERT_TRUE(bus_->ready());
  }
  std::string Ask(FakeNetwork network, bool own_name = true) {
    ServiceThread service(QString::fromStdString(bus_->address()), std::move(network), own_name);
    EXPECT_TRUE(service.StartAndWait());
    std::int64_t now = 1000;
    wifi_helper::WifiRecord record(
        [this] { return wifi_helper::MakeNetworkManagerSource(bus_->address(), 5000); },
        [&] { return now; });
    return record.Ssid();
  }
  std::string Log() const { return testenv::ReadFile(nimbrel::cclog::instance().path()); }

  std::unique_ptr<PrivateBus> bus_;
};

QString Dev(int n) { return QString("%1/Devices/%2").arg(kRoot).arg(n); }

FakeNetwork Typical() {
  FakeNetwork net;
  const QString ap = QString("%1/AccessPoint/7").arg(kRoot);
  net.devices = {QDBusObjectPath(Dev(1)), QDBusObjectPath(Dev(2)), QDBusObjectPath(Dev(3))};
  net.properties[{Dev(1), "DeviceType"}] = 1u;  // ethernet, connected
  net.properties[{Dev(1), "State"}] = 100u;
  net.properties[{Dev(2), "DeviceType"}] = 2u;  // Wi-Fi, connected
  net.properties[{Dev(2), "State"}] = 100u;
  net.properties[{Dev(2), "ActiveAccessPoint"}] = QVariant::fromValue(QDBusObjectPath(ap));
  net.properties[{ap, "Ssid"}] = QByteArray("Caf\xc3\xa9 5G");
  net.properties[{Dev(3), "DeviceType"}] = 2u;  // Wi-Fi, disconnected
  net.properties[{Dev(3), "State"}] = 30u;
  return net;
}

TEST_F(NetworkManagerBusTest, ConnectedWifiDeviceGivesItsSsid) {
  EXPECT_EQ(Ask(Typical()), "Caf\xc3\xa9 5G");
  EXPECT_EQ(Log(), "");
}

TEST_F(NetworkManagerBusTest, ActivatedWithoutAccessPointIsAQueryFailure) {
  FakeNetwork net = Typical();
  net.properties[{Dev(2), "ActiveAccessPoint"}] = QVariant::fromValue(QDBusObjectPath("/"));
  EXPECT_EQ(Ask(net), "");
  EXPECT_NE(Log().find("WlanQueryInterface failed with error: 1168"), std::string::npos) << Log();
}

TEST_F(NetworkManagerBusTest, NoNetworkManagerOnTheBus) {
  EXPECT_EQ(Ask(Typical(), /*own_name=*/false), "");
  EXPECT_NE(Log().find("WlanOpenHandle failed with error: 1062"), std::string::npos) << Log();
}

}  // namespace
