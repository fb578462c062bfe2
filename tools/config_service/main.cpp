// quarrion_config_service: the configuration service on loopback for tests
// and the demo. See README.md in this folder for the options, the document
// layout and the files it writes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include <httplib.h>

#include "service.h"

namespace fs = std::filesystem;
using config_service::Behaviour;

namespace {

struct Options {
  std::string host = "127.0.0.1";
  fs::path docs;
  fs::path state_dir;
  fs::path cert;
  fs::path key;
  bool plain = false;
  int ports[2] = {0, 0};
  bool exit_with_parent = false;
  // Requests one connection may carry; 1 closes each after its answer.
  int keep_alive = 1;
  Behaviour behaviour;
};

bool WriteAtomically(const fs::path& path, const std::string& text) {
  const fs::path tmp = path.string() + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << text;
    if (!out.flush()) return false;
  }
  std::error_code ec;
  fs::rename(tmp, path, ec);
  return !ec;
}

std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool IsLoopbackHost(const std::string& host) {
  in_addr a4{};
  if (inet_pton(AF_INET, host.c_str(), &a4) == 1) return (ntohl(a4.s_addr) >> 24) == 127;
  in6_addr a6{};
  if (inet_pton(AF_INET6, host.c_str(), &a6) == 1) return IN6_IS_ADDR_LOOPBACK(&a6);
  return host == "localhost";
}

// A socket bound to the port but not listening: connections to it are
// refused at once, and no other program can take the port meanwhile.
int HoldPort(const std::string& host, int port) {
  in6_addr a6{};
  const bool v6 = inet_pton(AF_INET6, host.c_str(), &a6) == 1;
  const int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int yes = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  int rc;
  if (v6) {
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = a6;
    sa.sin6_port = htons(static_cast<uint16_t>(port));
    rc = bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  } else {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, host == "localhost" ? "127.0.0.1" : host.c_str(), &sa.sin_addr);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    rc = bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  }
  if (rc != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int BoundPort(int fd) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return -1;
  if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

class Service {
 public:
  explicit Service(Options options) : opt_(std::move(options)), behaviour_(opt_.behaviour) {
    fail_left_ = behaviour_.fail_next;
  }

  bool Start() {
    record_.open(opt_.state_dir / "requests.jsonl", std::ios::binary | std::ios::app);
    if (!record_) {
      std::cerr << "cannot write " << (opt_.state_dir / "requests.jsonl") << "\n";
      return false;
    }
    for (int i = 0; i < 2; ++i) {
      endpoints_[i].port = opt_.ports[i];
      std::lock_guard<std::mutex> lock(mutex_);
      if (!Open(i, behaviour_.Refuses(kRoles[i]))) return false;
    }
    nlohmann::json ports = {{"primary", endpoints_[0].port},
                            {"alternative", endpoints_[1].port},
                            {"scheme", opt_.plain ? "http" : "https"},
                            {"host", opt_.host},
                            {"pid", static_cast<long long>(getpid())}};
    if (!WriteAtomically(opt_.state_dir / "ports.json", ports.dump() + "\n")) return false;
    std::cout << "primary=" << endpoints_[0].port << " alternative=" << endpoints_[1].port
              << std::endl;
    watcher_ = std::thread([this] { WatchControl(); });
    return true;
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      shutting_down_ = true;
    }
    wake_.notify_all();
    if (watcher_.joinable()) watcher_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 0; i < 2; ++i) Close(i);
  }

 private:
  static constexpr const char* kRoles[2] = {"primary", "alternative"};

  struct Endpoint {
    int port = 0;
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    int held_fd = -1;
    bool stopping = false;
  };

  // Under mutex_. Either listens on the endpoint's port or holds it refused.
  bool Open(int i, bool refused) {
    Endpoint& e = endpoints_[i];
    if (refused) {
      e.held_fd = HoldPort(opt_.host, e.port);
      if (e.held_fd < 0) {
        std::cerr << "cannot hold port " << e.port << ": " << std::strerror(errno) << "\n";
        return false;
      }
      e.port = BoundPort(e.held_fd);
      return true;
    }
    if (opt_.plain) {
      e.server = std::make_unique<httplib::Server>();
    } else {
      e.server = std::make_unique<httplib::SSLServer>(opt_.cert.c_str(), opt_.key.c_str());
    }
    if (!e.server->is_valid()) {
      std::cerr << "cannot load the certificate " << opt_.cert << " / " << opt_.key << "\n";
      return false;
    }
    // Stalled requests each hold a worker; keep room for many.
    e.server->new_task_queue = [] { return new httplib::ThreadPool(64); };
    // By default one request per connection, so switching the port off never
    // waits on a kept-alive socket. With keep-alive an idle connection is
    // dropped after a second, which bounds that wait.
    e.server->set_keep_alive_max_count(static_cast<size_t>(std::max(opt_.keep_alive, 1)));
    e.server->set_keep_alive_timeout(1);
    // SO_REUSEADDR rather than the library's SO_REUSEPORT: no other socket may
    // share the port, and the port can be held refused while connections
    // accepted on it are still closing.
    e.server->set_socket_options([](int sock) {
      const int yes = 1;
      setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    // An answer goes out as headers and body in two writes; on a kept-alive
    // connection Nagle would hold the body back for the client's delayed
    // acknowledgement, as no service in front of real clients does.
    e.server->set_tcp_nodelay(true);
    e.server->set_read_timeout(std::chrono::seconds(2));
    e.server->Post(".*", [this, i](const httplib::Request& req, httplib::Response& res) {
      Handle(i, req, res);
    });
    e.server->Get(".*", [this, i](const httplib::Request& req, httplib::Response& res) {
      Handle(i, req, res);
    });
    if (e.port == 0) {
      e.port = e.server->bind_to_any_port(opt_.host);
      if (e.port <= 0) {
        std::cerr << "cannot listen on " << opt_.host << "\n";
        return false;
      }
    } else if (!e.server->bind_to_port(opt_.host, e.port)) {
      std::cerr << "cannot listen on " << opt_.host << ":" << e.port << "\n";
      return false;
    }
    e.stopping = false;
    httplib::Server* server = e.server.get();
    e.thread = std::thread([server] { server->listen_after_bind(); });
    // stop() is a no-op until the loop runs; wait for it so a quick flip
    // to refusing cannot leave the loop running.
    while (!server->is_running()) std::this_thread::yield();
    return true;
  }

  // Under mutex_ (released while joining the server's workers).
  void Close(int i) {
    Endpoint& e = endpoints_[i];
    if (e.held_fd >= 0) {
      close(e.held_fd);
      e.held_fd = -1;
    }
    if (e.server) {
      e.stopping = true;
      wake_.notify_all();
      e.server->stop();
      std::thread t = std::move(e.thread);
      std::unique_ptr<httplib::Server> s = std::move(e.server);
      mutex_.unlock();
      if (t.joinable()) t.join();
      s.reset();
      mutex_.lock();
    }
  }

  void WatchControl() {
    const fs::path control = opt_.state_dir / "control.json";
    std::string applied_text;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!shutting_down_) {
      lock.unlock();
      std::string text = ReadWhole(control);
      lock.lock();
      if (!text.empty() && text != applied_text) {
        applied_text = text;
        Apply(text);
      }
      wake_.wait_for(lock, std::chrono::milliseconds(10), [this] { return shutting_down_; });
    }
  }

  // Under mutex_.
  void Apply(const std::string& text) {
    std::string error;
    nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
    std::optional<Behaviour> b = config_service::BehaviourFromJson(j, &error);
    nlohmann::json ack;
    if (!b) {
      std::cerr << "control file ignored: " << error << "\n";
      ack = {{"generation", j.is_object() && j.contains("generation") ? j["generation"]
                                                                      : nlohmann::json()},
             {"error", error}};
    } else {
      for (int i = 0; i < 2; ++i) {
        const bool was = behaviour_.Refuses(kRoles[i]);
        const bool now = b->Refuses(kRoles[i]);
        if (was != now) {
          Close(i);
          if (!Open(i, now)) {
            error = std::string("cannot switch the ") + kRoles[i] + " port";
            std::cerr << error << "\n";
          }
        }
      }
      behaviour_ = *b;
      fail_left_ = behaviour_.fail_next;
      wake_.notify_all();
      ack = {{"generation", behaviour_.generation},
             {"behaviour", config_service::BehaviourToJson(behaviour_)}};
      if (!error.empty()) ack["error"] = error;
    }
    WriteAtomically(opt_.state_dir / "control.applied", ack.dump() + "\n");
  }

  void Record(const nlohmann::json& line) {
    std::lock_guard<std::mutex> lock(record_mutex_);
    record_ << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    record_.flush();
  }

  void Handle(int i, const httplib::Request& req, httplib::Response& res) {
    std::unique_lock<std::mutex> lock(mutex_);
    const Behaviour b = behaviour_;
    std::string answer;
    if (req.path != config_service::kEndpoint) {
      answer = "not found";
    } else if (req.method != "POST") {
      answer = "method not allowed";
    } else if (b.stall) {
      answer = "stall";
    } else if (fail_left_ > 0) {
      --fail_left_;
      answer = "fail " + std::to_string(b.fail_status);
    } else if (b.status != 0) {
      answer = "status " + std::to_string(b.status);
    } else if (b.malformed) {
      answer = "malformed";
    } else if (b.overlong > 0) {
      answer = b.overlong_chunked ? "overlong chunked" : "overlong";
    } else {
      answer = "ok";
    }
    const long long seq = ++seq_;
    lock.unlock();

    const std::string header = config_service::PercentDecode(
        req.get_header_value(config_service::kHeaderField));
    nlohmann::json header_names = nlohmann::json::array();
    for (const auto& h : req.headers) header_names.push_back(h.first);
    nlohmann::json body_json = nlohmann::json::parse(req.body, nullptr, false);
    nlohmann::json header_json = nlohmann::json::parse(header, nullptr, false);
    Record({{"seq", seq},
            {"role", kRoles[i]},
            {"port", req.local_port},
            {"remote", req.remote_addr},
            {"remote_port", req.remote_port},
            // The client's end names the connection the request came on.
            {"connection", req.remote_addr + ":" + std::to_string(req.remote_port)},
            {"method", req.method},
            {"path", req.path},
            {"has_header", req.has_header(config_service::kHeaderField)},
            {"header_names", std::move(header_names)},
            {"header", header},
            {"header_json", header_json.is_discarded() ? nlohmann::json() : header_json},
            {"body", req.body},
            {"body_json", body_json.is_discarded() ? nlohmann::json() : body_json},
            {"answer", answer}});

    lock.lock();
    const auto released = [this, i] { return shutting_down_ || endpoints_[i].stopping; };
    if (answer == "stall") {
      wake_.wait_for(lock, std::chrono::minutes(10),
                     [&] { return released() || !behaviour_.stall; });
      res.status = 503;
      return;
    }
    if (b.delay_ms > 0) {
      wake_.wait_for(lock, std::chrono::milliseconds(b.delay_ms), released);
    }
    lock.unlock();

    if (answer == "not found") {
      res.status = 404;
      return;
    }
    if (answer == "method not allowed") {
      res.status = 405;
      return;
    }
    if (answer.rfind("fail ", 0) == 0 || answer.rfind("status ", 0) == 0) {
      res.status = answer[0] == 'f' ? b.fail_status : b.status;
      res.set_content("{\"ret_code\":-1,\"ret_msg\":\"error\"}", "application/json");
      return;
    }
    std::string package;
    if (body_json.is_object() && body_json.contains("group") && body_json["group"].is_string()) {
      package = body_json["group"].get<std::string>();
    }
    const nlohmann::json full = config_service::BuildAnswer(opt_.docs, package, b.ret_msg);
    if (answer == "malformed") {
      const std::string text = full.dump();
      res.set_content(text.substr(0, text.size() / 2), "application/json");
      return;
    }
    if (answer.rfind("overlong", 0) == 0) {
      auto text = std::make_shared<std::string>(config_service::OverlongBody(full, b.overlong));
      if (b.overlong_chunked) {
        res.set_chunked_content_provider(
            "application/json", [text](size_t offset, httplib::DataSink& sink) {
              if (offset >= text->size()) {
                sink.done();
                return true;
              }
              const size_t n = std::min<size_t>(64 * 1024, text->size() - offset);
              return sink.write(text->data() + offset, n);
            });
      } else {
        res.set_content(*text, "application/json");
      }
      return;
    }
    res.set_content(full.dump(), "application/json");
  }

  Options opt_;
  std::mutex mutex_;
  std::condition_variable wake_;
  Behaviour behaviour_;
  int fail_left_ = 0;
  bool shutting_down_ = false;
  long long seq_ = 0;
  Endpoint endpoints_[2];
  std::thread watcher_;
  std::mutex record_mutex_;
  std::ofstream record_;
};

void Usage() {
  std::cerr
      << "usage: quarrion_config_service --docs=DIR --state-dir=DIR "
         "(--tls-dir=DIR | --cert=FILE --key=FILE | --plain)\n"
         "  [--host=127.0.0.1] [--port=N] [--alt-port=N] [--exit-with-parent] [--keep-alive=N]\n"
         "  [--refuse=none|primary|alternative|both] [--fail-next=N] [--fail-status=N]\n"
         "  [--status=N] [--delay-ms=N] [--stall] [--malformed] [--overlong=BYTES]\n"
         "  [--overlong-chunked] [--ret-msg=TEXT]\n";
}

std::optional<Options> ParseOptions(int argc, char** argv) {
  Options opt;
  nlohmann::json switches = nlohmann::json::object();
  for (int a = 1; a < argc; ++a) {
    std::string arg = argv[a];
    if (arg.rfind("--", 0) != 0) {
      std::cerr << "unexpected argument " << arg << "\n";
      return std::nullopt;
    }
    arg = arg.substr(2);
    const auto eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    const std::optional<std::string> value =
        eq == std::string::npos ? std::nullopt : std::optional<std::string>(arg.substr(eq + 1));
    const auto need = [&]() -> const std::string& {
      static const std::string empty;
      return value ? *value : empty;
    };
    try {
      if (name == "docs") opt.docs = need();
      else if (name == "state-dir") opt.state_dir = need();
      else if (name == "cert") opt.cert = need();
      else if (name == "key") opt.key = need();
      else if (name == "tls-dir") {
        opt.cert = fs::path(need()) / "server.crt";
        opt.key = fs::path(need()) / "server.key";
      } else if (name == "plain") opt.plain = true;
      else if (name == "host") opt.host = need();
      else if (name == "port") opt.ports[0] = std::stoi(need());
      else if (name == "alt-port") opt.ports[1] = std::stoi(need());
      else if (name == "exit-with-parent") opt.exit_with_parent = true;
      else if (name == "keep-alive") opt.keep_alive = std::stoi(need());
      else {
        std::string key = name;
        for (char& c : key) c = c == '-' ? '_' : c;
        if (key == "refuse" || key == "ret_msg") {
          switches[key] = need();
        } else if (!value) {
          switches[key] = true;
        } else if (*value == "true" || *value == "false") {
          switches[key] = *value == "true";
        } else {
          switches[key] = std::stoll(*value);
        }
      }
    } catch (const std::exception&) {
      std::cerr << "bad value for --" << name << "\n";
      return std::nullopt;
    }
  }
  std::string error;
  std::optional<Behaviour> b = config_service::BehaviourFromJson(switches, &error);
  if (!b) {
    std::cerr << error << "\n";
    return std::nullopt;
  }
  opt.behaviour = *b;
  if (opt.docs.empty() || opt.state_dir.empty() ||
      (!opt.plain && (opt.cert.empty() || opt.key.empty()))) {
    return std::nullopt;
  }
  if (!IsLoopbackHost(opt.host)) {
    std::cerr << "only loopback addresses are served\n";
    return std::nullopt;
  }
  return opt;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<Options> opt = ParseOptions(argc, argv);
  if (!opt) {
    Usage();
    return 2;
  }
  if (opt->exit_with_parent) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() == 1) return 0;
  }
  std::error_code ec;
  fs::create_directories(opt->state_dir, ec);
  // Every thread inherits the mask; the main thread takes the signals.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Service service(std::move(*opt));
  if (!service.Start()) {
    service.Stop();
    return 1;
  }
  int sig = 0;
  sigwait(&stop_signals, &sig);
  service.Stop();
  return 0;
}
