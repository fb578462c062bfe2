#include "common/core/logic/hardware_detect/graphic_info_detector.h"

#include <QDebug>
#include <QMessageLogger>
#include <QString>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <utility>

#include <fmt/format.h>
#include <fmt/xchar.h>

#include "base/gstring.h"
#include "base/hardware_detect.h"
#include "base/misc.h"
#include "base/multi_inst.h"
#include "base/process.h"
#include "base/reg.h"
#include "common/nvperfs/nvperfs.h"
#include "emulator/shared/utils/process_utils.h"

// The detector's lines go to the default category with the function text
// the product's log readers know.
#define GFX_LOG(level, signature) QMessageLogger(__FILE__, __LINE__, signature).level().noquote()

namespace {

constexpr std::uint64_t kOpenglProbeIntervalMs = 1296000000ull;  // 15 days
constexpr std::uint64_t kOneGiB = 1ull << 30;
constexpr const char* kUpdateSignature = "void __cdecl GraphicInfoDetector::Update(bool,bool)";
constexpr const char* kSafeCheckSignature =
    "int __cdecl GraphicInfoDetector::SafeCheckOpengl(bool)";

std::wstring AssistantKey() { return graphic_info::GraphicInfoKey(graphic_info::kAssistantName); }
std::wstring DxDiagKey() { return graphic_info::GraphicInfoKey(graphic_info::kDxDiagSubKey); }

std::string RegString(const std::wstring& key, const wchar_t* name) {
  return base::gstring::ToUtf8(base::reg::GetValue(HKEY_CURRENT_USER, key, name, L""));
}
std::uint64_t RegNumber(const std::wstring& key, const wchar_t* name) {
  return base::reg::GetValue(HKEY_CURRENT_USER, key, name, std::uint64_t{0});
}

// Integers are stored as DWORDs; read back as signed 32-bit.
int RegInt(const std::wstring& key, const wchar_t* name) {
  return static_cast<int>(static_cast<std::uint32_t>(RegNumber(key, name)));
}

std::wstring OpenglDemoKey() { return MultiInst::Instance()->GetNimbrelEnvRegRoot(); }

int ReadOpenglDemoResult(int fallback) {
  const std::uint64_t raw =
      base::reg::GetValue(HKEY_LOCAL_MACHINE, OpenglDemoKey(), L"OpenglDemoResult",
                          static_cast<std::uint64_t>(static_cast<std::uint32_t>(fallback)));
  return static_cast<int>(static_cast<std::uint32_t>(raw));
}

// Exit statuses are 8 bits wide on POSIX systems, so the assistant's 1000
// arrives there as 232.
DWORD AssistantResult(DWORD code) {
#ifndef _WIN32
  if (code == (static_cast<DWORD>(graphic_info::kCheckOpenglOk) & 0xFFu)) {
    return graphic_info::kCheckOpenglOk;
  }
#endif
  return code;
}

void WriteLogBeforeCheckOpengl(bool) {
  GFX_LOG(info, "void __cdecl `anonymous-namespace'::WriteLogBeforeCheckOpengl(bool)")
      << "Send CHECK OPENGL request";
}

}  // namespace

namespace graphic_info {

std::uint64_t DedicatedGpuMemoryOf(const std::vector<base::hardware_detect::AdapterInfo>& adapters) {
  using namespace base::hardware_detect;
  std::uint64_t large = 0;
  std::uint64_t any = 0;
  for (const AdapterInfo& adapter : adapters) {
    if ((adapter.adapter_type & kAdapterRenderSupported) == 0 ||
        (adapter.adapter_type & kAdapterSoftwareDevice) != 0) {
      continue;
    }
    any = std::max(any, adapter.dedicated_video_memory);
    if ((adapter.adapter_type & kAdapterHybridIntegrated) == 0 &&
        adapter.dedicated_video_memory >= kOneGiB) {
      large = std::max(large, adapter.dedicated_video_memory);
    }
  }
  return large != 0 ? large : any;
}

std::filesystem::path DxDiagReportPath(const std::filesystem::path& temp_dir,
                                       const std::wstring& exe_name) {
  std::wstring name = exe_name;
  if (const auto pos = name.find(L".exe"); pos != std::wstring::npos) name.replace(pos, 4, L"_");
  return temp_dir / (name + L"dxdiag.log");
}

std::wstring GraphicInfoKey(const std::wstring& sub_key) {
  return MultiInst::Instance()->GetNimbrelEnvRegRoot() + L"\\GraphicInfo\\" + sub_key;
}

std::optional<int> RunOpenglDemo(const std::filesystem::path& component_dir) {
  if (ReadOpenglDemoResult(1) == 0) return 0;
  const std::filesystem::path checker = component_dir / kOpenglCheckerName;
  std::error_code ec;
  if (component_dir.empty() || !std::filesystem::exists(checker, ec)) return std::nullopt;
  DWORD exit_code = 0;
  const DWORD error = ShellExecuteOpen(checker, L"", &exit_code, true, component_dir, 0);
  const int result = static_cast<int>(error != 0 ? error : exit_code);
  base::reg::SetValue(HKEY_LOCAL_MACHINE, OpenglDemoKey(), L"OpenglDemoResult", result);
  return result;
}

}  // namespace graphic_info

GraphicInfoDetector::Sources GraphicInfoDetector::DefaultSources() {
  Sources sources;
  sources.exe_path = [] { return base::process::GetCurrentExeFullPath(); };
  sources.component_dir = [] {
    return std::filesystem::path(MultiInst::Instance()->GetCurrentComponentDirectory(1, false));
  };
  sources.adapters = [] { return base::hardware_detect::EnumerateAdapters(); };
  return sources;
}

GraphicInfoDetector& GraphicInfoDetector::Instance() {
  static GraphicInfoDetector* instance = [] {
    auto* detector = new GraphicInfoDetector(DefaultSources());
    detector->detach_threads_ = true;
    return detector;
  }();
  return *instance;
}

GraphicInfoDetector::GraphicInfoDetector(Sources sources) : sources_(std::move(sources)) {
  std::lock_guard lock(data_lock_);
  ReloadOpenglInfoLocked();
  LoadDxDiagValuesLocked();
}

GraphicInfoDetector::~GraphicInfoDetector() {
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(threads_lock_);
    threads.swap(threads_);
  }
  for (std::thread& t : threads) {
    if (t.joinable()) t.join();
  }
}

void GraphicInfoDetector::StartThread(std::function<void()> work) {
  std::thread thread(std::move(work));
  if (detach_threads_) {
    thread.detach();
    return;
  }
  std::lock_guard lock(threads_lock_);
  threads_.push_back(std::move(thread));
}

std::filesystem::path GraphicInfoDetector::AssistantPath() const {
  std::error_code ec;
  const std::filesystem::path exe = sources_.exe_path ? sources_.exe_path() : std::filesystem::path{};
  if (!exe.empty()) {
    const auto beside = exe.parent_path() / graphic_info::kAssistantName;
    if (std::filesystem::exists(beside, ec)) return beside;
  }
  const std::filesystem::path dir = sources_.component_dir ? sources_.component_dir() : std::filesystem::path{};
  if (!dir.empty()) {
    const auto installed = dir / graphic_info::kAssistantName;
    if (std::filesystem::exists(installed, ec)) return installed;
  }
  return {};
}

bool GraphicInfoDetector::RunsAsClient() const {
  const std::filesystem::path exe = sources_.exe_path ? sources_.exe_path() : std::filesystem::path{};
  return graphic_info::ContainsNoCase(base::gstring::ToUtf8(exe.filename().wstring()), "Quarrion.exe");
}

bool GraphicInfoDetector::ReloadOpenglInfoLocked() {
  const std::wstring key = AssistantKey();
  vendor_ = RegString(key, L"OpenglVendor");
  renderer_ = RegString(key, L"OpenglRenderer");
  version_ = RegString(key, L"OpenglVersion");
  major_ = RegInt(key, L"OpenglMajorVersion");
  minor_ = RegInt(key, L"OpenglMinorVersion");
  vendor_class_ = graphic_info::ClassifyVendor(vendor_, renderer_);
  opengl_info_complete_ = !vendor_.empty() && !renderer_.empty() && !version_.empty() &&
                          !vendor_class_.empty() && major_ != 0 && minor_ != 0;
  return opengl_info_complete_;
}

void GraphicInfoDetector::LoadDxDiagValuesLocked() {
  const std::wstring key = DxDiagKey();
  driver_version_ = RegString(key, L"OpenglDriverVersion");
  driver_date_ = RegString(key, L"OpenglDriverPublishDate");
  second_vendor_ = RegString(key, L"SecondGCVendor");
  second_renderer_ = RegString(key, L"SecondGCRenderer");
  second_driver_version_ = RegString(key, L"SecondGCDriverVersion");
  second_driver_date_ = RegString(key, L"SecondGCDriverPublishDate");
  card_count_ = RegInt(key, L"GraphicCardCount");
  dedicated_memory_ = RegNumber(key, L"DedicatedGpuMemoryBytes");
}

void GraphicInfoDetector::SaveDxDiagValuesLocked() {
  const std::wstring key = DxDiagKey();
  const auto put = [&](const wchar_t* name, const std::string& value) {
    base::reg::SetValue(HKEY_CURRENT_USER, key, name, base::gstring::FromUtf8(value));
  };
  put(L"OpenglDriverVersion", driver_version_);
  put(L"OpenglDriverPublishDate", driver_date_);
  put(L"SecondGCVendor", second_vendor_);
  put(L"SecondGCRenderer", second_renderer_);
  put(L"SecondGCDriverVersion", second_driver_version_);
  put(L"SecondGCDriverPublishDate", second_driver_date_);
  base::reg::SetValue(HKEY_CURRENT_USER, key, L"GraphicCardCount", card_count_);
  base::reg::SetValue(HKEY_CURRENT_USER, key, L"DedicatedGpuMemoryBytes", dedicated_memory_);
}

void GraphicInfoDetector::Update(bool, bool) {
  const std::filesystem::path assistant = AssistantPath();
  const auto finish = [this] {
    std::lock_guard lock(data_lock_);
    done_ = 1;
    done_condition_.notify_all();
  };
  if (assistant.empty()) {
    GFX_LOG(info, kUpdateSignature) << "CHECK OPENGL assistant path check not satisfied";
    finish();
    return;
  }
  base::misc::Duration duration(std::wstring(L"FetchOpenglInfo") + graphic_info::kAssistantName,
                                HKEY_CURRENT_USER);
  if (duration.CheckElapsed(kOpenglProbeIntervalMs)) {
    WriteLogBeforeCheckOpengl(false);
    const int ret = SafeCheckOpengl(false);
    int major = 0;
    int minor = 0;
    {
      std::lock_guard lock(data_lock_);
      major = major_;
      minor = minor_;
    }
    // The outcome line reads each field under the data lock.
    [&](int result, int core_major, int core_minor) {
      std::string vendor_class, renderer, driver_version, version, driver_date;
      {
        std::lock_guard lock(data_lock_);
        vendor_class = vendor_class_;
        renderer = renderer_;
        driver_version = driver_version_;
        version = version_;
        driver_date = driver_date_;
      }
      const std::string tail = fmt::format(
          "{} vendor:{} model:{} driver_version:{} opengl_version:{} driver_date:{} "
          "core_major_version:{} core_minor_version:{}",
          result, vendor_class, renderer, driver_version, version, driver_date, core_major,
          core_minor);
      constexpr const char* kSignature =
          "void __cdecl `anonymous-namespace'::WriteLogAfterCheckOpengl(int,int,int)";
      if (result != graphic_info::kCheckOpenglOk) {
        GFX_LOG(critical, kSignature) << QString::fromStdString("CHECK OPENGL FAILED! ret:" + tail);
      } else {
        GFX_LOG(info, kSignature) << QString::fromStdString("CHECK OPENGL ok! ret:" + tail);
      }
    }(ret, major, minor);
    if (RunsAsClient()) {
      {
        std::lock_guard lock(second_lock_);
        second_pending_ = false;
      }
      std::call_once(dxdiag_once_, [this] { StartThread([this] { RunDxDiagFill(); }); });
    }
  } else {
    GFX_LOG(info, kUpdateSignature) << "CHECK OPENGL duration check not satisfied";
    bool wanted = false;
    {
      std::lock_guard lock(data_lock_);
      wanted = !renderer_.empty() && second_renderer_.empty();
    }
    if (wanted && RunsAsClient() &&
        !base::reg::IsExist(HKEY_CURRENT_USER, DxDiagKey(), L"GraphicCardCount")) {
      {
        std::lock_guard lock(second_lock_);
        second_pending_ = false;
      }
      DelayGetSecondGraphicCardInfo();
    }
  }
  {
    std::lock_guard lock(data_lock_);
    ReloadOpenglInfoLocked();
  }
  finish();
}

int GraphicInfoDetector::SafeCheckOpengl(bool) {
  const std::filesystem::path assistant = AssistantPath();
  GFX_LOG(info, kSafeCheckSignature)
      << QString::fromStdString("check_opengl_process path:" +
                                base::gstring::ToUtf8(assistant.wstring()));
  if (assistant.empty()) return graphic_info::kCheckOpenglOk;

  base::reg::SetValue(HKEY_CURRENT_USER, L"Software\\Microsoft\\DirectX\\UserGpuPreferences",
                      assistant.wstring(), L"GpuPreference=2;");
  nvperfs::AddExeToNvidiaGpu(assistant.wstring(), false);

  const std::filesystem::path exe = sources_.exe_path ? sources_.exe_path() : std::filesystem::path{};
  const std::wstring arguments =
      fmt::format(L"--check-opengl-process \"{}\" ", exe.filename().wstring());
  DWORD exit_code = 0;
  const DWORD error = CreateRestrictedProcess(assistant, arguments, &exit_code);
  if (error == 0 && AssistantResult(exit_code) == static_cast<DWORD>(graphic_info::kCheckOpenglOk)) {
    std::lock_guard lock(data_lock_);
    if (ReloadOpenglInfoLocked()) return graphic_info::kCheckOpenglOk;
  }
  GFX_LOG(info, kSafeCheckSignature) << "CHECK OPENGL ExecuteShellWithCurrentPrivileges";
  return static_cast<int>(AssistantResult(
      ExecuteShellWithCurrentPrivileges(assistant, arguments, assistant.parent_path())));
}

void GraphicInfoDetector::DelayGetSecondGraphicCardInfo() {
  StartThread([this] {
    std::this_thread::sleep_until(std::chrono::steady_clock::now() + sources_.second_card_delay);
    RunDxDiagFill();
  });
}

void GraphicInfoDetector::RunDxDiagFill() {
  const std::filesystem::path exe = sources_.exe_path ? sources_.exe_path() : std::filesystem::path{};
  const std::filesystem::path report = graphic_info::DxDiagReportPath(
      MultiInst::Instance()->GetTempNimbrelDirectory(0, true), exe.filename().wstring());
  // The tool ships beside the product's programs; the system's otherwise.
  std::filesystem::path tool = exe.parent_path() / "dxdiag";
  std::error_code ec;
  if (exe.empty() || !std::filesystem::exists(tool, ec)) tool = "dxdiag";
  // Only a report this run wrote may be read: one left by an earlier run (or
  // put there by anyone who can write the temporary folder) would otherwise
  // be stored as this machine's adapters whenever the tool fails, and never
  // asked for again. A name that cannot be cleared is not read at all.
  std::filesystem::remove(report, ec);
  if (ec) return;
  DWORD exit_code = 0;
  // Quoted: a temporary directory with blanks would otherwise reach the tool
  // in pieces.
  const DWORD error =
      ShellExecuteOpen(tool, L"/t \"" + report.wstring() + L"\"", &exit_code, true, {}, 0);
  // A tool that is missing or ends with an error yields nothing.
  if (error != 0 || exit_code != 0) return;

  std::ifstream in(report, std::ios::binary);
  if (!in) return;
  std::ostringstream text;
  text << in.rdbuf();
  FillGraphicDriverInfosFromDXDiag(graphic_info::ParseDxDiagReport(text.str()));
}

void GraphicInfoDetector::FillGraphicDriverInfosFromDXDiag(
    const std::vector<GraphicDriverInfoFromDXDiag>& infos) {
  if (infos.empty()) return;
  std::lock_guard lock(data_lock_);
  std::string keyword;
  for (const char* candidate : {"NVIDIA", "AMD", "Intel", "Qualcomm", "Microsoft"}) {
    if (graphic_info::ContainsNoCase(vendor_, candidate) || graphic_info::ContainsNoCase(renderer_, candidate)) {
      keyword = candidate;
      break;
    }
  }
  std::size_t primary = infos.size();
  if (!keyword.empty()) {
    for (std::size_t i = 0; i < infos.size(); ++i) {
      if (graphic_info::ContainsNoCase(infos[i].card_name, keyword) ||
          graphic_info::ContainsNoCase(infos[i].manufacturer, keyword)) {
        primary = i;
        break;
      }
    }
  }
  if (primary < infos.size()) {
    driver_version_ = infos[primary].driver_version;
    driver_date_ = infos[primary].driver_date;
  }
  if (infos.size() > 1) {
    const GraphicDriverInfoFromDXDiag& second = infos[primary == 0 ? 1 : 0];
    second_vendor_ = second.manufacturer;
    second_renderer_ = second.card_name;
    second_driver_version_ = second.driver_version;
    second_driver_date_ = second.driver_date;
    card_count_ = 2;
  }
  SaveDxDiagValuesLocked();
}

bool GraphicInfoDetector::WaitDone(std::chrono::milliseconds timeout) {
  std::unique_lock lock(data_lock_);
  return done_condition_.wait_for(lock, timeout, [this] { return done_ == 1; });
}

#define GFX_READER(type, name, field)  \
  type GraphicInfoDetector::name() {   \
    std::lock_guard lock(data_lock_);  \
    return field;                      \
  }
GFX_READER(int, Done, done_)
GFX_READER(int, OpenglMajorVersion, major_)
GFX_READER(int, OpenglMinorVersion, minor_)
GFX_READER(std::string, OpenglVendor, vendor_)
GFX_READER(std::string, OpenglRenderer, renderer_)
GFX_READER(std::string, OpenglVersion, version_)
GFX_READER(std::string, VendorClass, vendor_class_)
GFX_READER(std::string, DriverVersion, driver_version_)
GFX_READER(std::string, DriverPublishDate, driver_date_)
GFX_READER(std::string, SecondVendor, second_vendor_)
GFX_READER(std::string, SecondRenderer, second_renderer_)
GFX_READER(std::string, SecondDriverVersion, second_driver_version_)
GFX_READER(std::string, SecondDriverPublishDate, second_driver_date_)
GFX_READER(int, GraphicCardCount, card_count_)
GFX_READER(bool, OpenglInfoComplete, opengl_info_complete_)
#undef GFX_READER

std::string GraphicInfoDetector::SecondVendorClass() {
  std::lock_guard lock(data_lock_);
  if (second_vendor_.empty() && second_renderer_.empty()) return {};
  return graphic_info::ClassifyVendor(second_vendor_, second_renderer_);
}

bool GraphicInfoDetector::SecondAdapterPending() {
  std::lock_guard lock(second_lock_);
  return second_pending_;
}

std::uint64_t GraphicInfoDetector::DedicatedGpuMemory() {
  {
    std::lock_guard lock(data_lock_);
    if (dedicated_memory_ != 0) return dedicated_memory_;
  }
  // The enumeration is slow; it runs without the lock, so two callers may
  // both compute the same value.
  const auto adapters = sources_.adapters ? sources_.adapters() : std::nullopt;
  const std::uint64_t memory = adapters ? graphic_info::DedicatedGpuMemoryOf(*adapters) : 0;
  std::lock_guard lock(data_lock_);
  if (memory != 0 && dedicated_memory_ == 0) {
    dedicated_memory_ = memory;
    base::reg::SetValue(HKEY_CURRENT_USER, DxDiagKey(), L"DedicatedGpuMemoryBytes", memory);
  }
  return dedicated_memory_;
}

int GraphicInfoDetector::OpenglDemoResult() {
  const int stored = ReadOpenglDemoResult(graphic_info::kOpenglDemoUnknown);
  if (stored != graphic_info::kOpenglDemoUnknown) return stored;
  std::call_once(demo_once_, [this] {
    const std::filesystem::path dir =
        sources_.component_dir ? sources_.component_dir() : std::filesystem::path{};
    StartThread([dir] { graphic_info::RunOpenglDemo(dir); });
  });
  return graphic_info::kOpenglDemoUnknown;
}
