// The process-wide record of the machine's graphics: what the OpenGL probe of
// the assistant found, the driver of the primary and of a second adapter as
// the diagnostic report lists them, the adapter count and the largest
// dedicated video memory. Every probe is slow, so each result is cached in the
// registry and the record starts from that cache; the refresh runs on the
// delayed probe thread. Every reader takes the data lock and returns a copy.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/core/logic/hardware_detect/dxdiag_report.h"

// Declared only: the adapter header and the system-facts header of the base
// library both declare a memory query of the same name, so a file may not
// include both.
namespace base::hardware_detect {
struct AdapterInfo;
}

namespace graphic_info {

inline constexpr int kCheckOpenglOk = 1000;
inline constexpr int kOpenglDemoUnknown = -10240;
inline constexpr const wchar_t* kAssistantName = L"QuarrionAssistant.exe";
inline constexpr const wchar_t* kDxDiagSubKey = L"dxdiag.exe";
inline constexpr const wchar_t* kOpenglCheckerName = L"opengl_checker.exe";

// The largest dedicated video memory of the render adapters that are not
// software devices, preferring non-hybrid adapters of at least 1 GiB.
std::uint64_t DedicatedGpuMemoryOf(const std::vector<base::hardware_detect::AdapterInfo>& adapters);

// "<temp>/QuarrionUpdate_dxdiag.log" for "QuarrionUpdate.exe".
std::filesystem::path DxDiagReportPath(const std::filesystem::path& temp_dir,
                                       const std::wstring& exe_name);

// The registry key of one cache sub-key (HKCU).
std::wstring GraphicInfoKey(const std::wstring& sub_key);

// The demo run: starts opengl_checker.exe from `component_dir` unless an
// earlier run stored 0, and stores its exit code (or the launch error) in
// HKLM OpenglDemoResult. Returns the stored result, nullopt when nothing ran.
std::optional<int> RunOpenglDemo(const std::filesystem::path& component_dir);

}  // namespace graphic_info

class GraphicInfoDetector {
 public:
  // Where the detector looks; the defaults are this process's facts.
  struct Sources {
    std::function<std::filesystem::path()> exe_path;       // the running executable
    std::function<std::filesystem::path()> component_dir;  // the client's current directory
    std::function<std::optional<std::vector<base::hardware_detect::AdapterInfo>>()> adapters;
    std::chrono::milliseconds second_card_delay{1000};
  };
  static Sources DefaultSources();

  // The process's record. It lives until the process ends and is never
  // destroyed, so a probe still running at exit touches no dead object.
  static GraphicInfoDetector& Instance();

  explicit GraphicInfoDetector(Sources sources);
  // Waits for the probe threads this record started (test instances only).
  ~GraphicInfoDetector();
  GraphicInfoDetector(const GraphicInfoDetector&) = delete;
  GraphicInfoDetector& operator=(const GraphicInfoDetector&) = delete;

  void Update(bool, bool);
  int SafeCheckOpengl(bool);
  void DelayGetSecondGraphicCardInfo();
  // Runs the diagnostic tool, parses the report it wrote and fills the
  // record. A run that fails (no tool, an error exit, no report) changes
  // nothing; a report left from before is removed first, never read.
  void RunDxDiagFill();
  // True when an update has finished within `timeout`.
  bool WaitDone(std::chrono::milliseconds timeout);

  std::filesystem::path AssistantPath() const;

  int Done();
  int OpenglMajorVersion();
  int OpenglMinorVersion();
  std::string OpenglVendor();
  std::string OpenglRenderer();
  std::string OpenglVersion();
  std::string VendorClass();
  std::string DriverVersion();
  std::string DriverPublishDate();
  std::string SecondVendor();
  std::string SecondRenderer();
  std::string SecondVendorClass();
  std::string SecondDriverVersion();
  std::string SecondDriverPublishDate();
  int GraphicCardCount();
  bool SecondAdapterPending();
  bool OpenglInfoComplete();
  // Computed from the adapter enumeration when still 0, then kept.
  std::uint64_t DedicatedGpuMemory();
  // The stored demo result; while none is stored, starts the demo once per
  // process and answers -10240.
  int OpenglDemoResult();

  // Fills the driver and second-adapter fields from a report's devices and
  // stores them; an empty list changes nothing.
  void FillGraphicDriverInfosFromDXDiag(const std::vector<GraphicDriverInfoFromDXDiag>& infos);

 private:
  bool ReloadOpenglInfoLocked();
  void LoadDxDiagValuesLocked();
  void SaveDxDiagValuesLocked();
  bool RunsAsClient() const;
  void StartThread(std::function<void()> work);

  Sources sources_;
  bool detach_threads_ = false;

  std::mutex data_lock_;
  std::condition_variable done_condition_;
  int done_ = 0;
  int major_ = 0;
  int minor_ = 0;
  std::string vendor_;
  std::string renderer_;
  std::string version_ = "0.0.0";
  std::string vendor_class_;
  std::string driver_version_;
  std::string driver_date_;
  std::string second_vendor_;
  std::string second_renderer_;
  std::string second_driver_version_;
  std::string second_driver_date_;
  int card_count_ = 0;
  std::uint64_t dedicated_memory_ = 0;
  bool opengl_info_complete_ = false;

  std::mutex second_lock_;
  bool second_pending_ = true;

  std::once_flag dxdiag_once_;
  std::once_flag demo_once_;
  std::mutex threads_lock_;
  std::vector<std::thread> threads_;
};
