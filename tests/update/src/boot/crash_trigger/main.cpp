// The helper's start-up in a program that then crashes as the test asks.
// Test-only: it is built with the tests and never shipped. The helper
// itself has no way to crash on request.
//
// QUARRION_TEST_CRASH: null | abort | overflow | thread | none
// QUARRION_TEST_CRASH_HANDLER: gone (killed first) | stuck (stopped first);
//   the handler's pid is written to $QUARRION_HOME/handler.pid
// QUARRION_TEST_CRASH_LIMIT: record size limit to set instead of the default
// QUARRION_TEST_CRASH_CUSTOM_BYTES: size of an extra custom value
#include <signal.h>
#include <sys/wait.h>

#include <QApplication>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "base/multi_inst.h"
#include "boot/crash_reporting.h"
#include "boot/initialize.h"

namespace {

volatile int g_keep_recursing = 1;
volatile int* volatile g_null = nullptr;

[[gnu::noinline]] void CrashTriggerNullDereference() { *g_null = 42; }

[[gnu::noinline]] void CrashTriggerAbort() { std::abort(); }

[[gnu::noinline]] int CrashTriggerStackOverflow(int depth) {
  volatile char pad[2048];
  pad[0] = static_cast<char>(depth);
  if (g_keep_recursing == 0) return pad[0];
  return CrashTriggerStackOverflow(depth + 1) + pad[0];
}

[[gnu::noinline]] void CrashTriggerOnWorkerThread() {
  std::thread worker([] { CrashTriggerNullDereference(); });
  worker.join();
}

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

void PrepareHandler(const std::string& how) {
  IVexilAgent* agent = boot::CurrentVexilAgent();
  if (how.empty() || agent == nullptr) return;
  const pid_t handler = static_cast<pid_t>(agent->HandlerPid());
  if (handler <= 0) return;
  std::ofstream(MultiInst::Instance()->Home() / "handler.pid") << handler;
  if (how == "gone") {
    ::kill(handler, SIGKILL);
    ::waitpid(handler, nullptr, 0);  // the agent started it: ours to reap
  } else if (how == "stuck") {
    ::kill(handler, SIGSTOP);
  }
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  boot::Initialize();

  if (IVexilAgent* agent = boot::CurrentVexilAgent()) {
    if (const std::string limit = Env("QUARRION_TEST_CRASH_LIMIT"); !limit.empty()) {
      agent->SetLimit(kVexilLimitRecordBytes, std::stoull(limit));
    }
    if (const std::string bytes = Env("QUARRION_TEST_CRASH_CUSTOM_BYTES"); !bytes.empty()) {
      agent->SetCustomValue("test_padding", std::string(std::stoul(bytes), 'p').c_str());
    }
  }
  PrepareHandler(Env("QUARRION_TEST_CRASH_HANDLER"));

  const std::string mode = Env("QUARRION_TEST_CRASH");
  if (mode == "null") CrashTriggerNullDereference();
  if (mode == "abort") CrashTriggerAbort();
  if (mode == "overflow") return CrashTriggerStackOverflow(0);
  if (mode == "thread") CrashTriggerOnWorkerThread();
  return 0;
}
