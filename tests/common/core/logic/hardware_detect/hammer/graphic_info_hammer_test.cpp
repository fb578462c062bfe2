// The graphics record's readers, called from several threads while the
// update runs (with a real assistant probe) and the diagnostic values are
// filled. Built a second time with ThreadSanitizer (scripts/tsan-test.sh).
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "base/gstring.h"
#include "base/hardware_detect.h"
#include "base/multi_inst.h"
#include "base/reg.h"
#include "common/core/logic/hardware_detect/graphic_info_detector.h"
#include "support/standins.h"
#include "support/test_env.h"

namespace {

namespace fs = std::filesystem;

class GraphicInfoHammer : public testenv::ProductTest {};

TEST_F(GraphicInfoHammer, ReadersSeeWholeValuesWhileTheRecordIsUpdated) {
  const fs::path component_dir = MultiInst::Instance()->GetCurrentComponentDirectory(1, true);
  testenv::InstallStandin(component_dir, testenv::kAssistantExe);
  const std::wstring key = graphic_info::GraphicInfoKey(L"QuarrionAssistant.exe");
  base::reg::SetValue(HKEY_CURRENT_USER, key, L"OpenglVendor", L"NVIDIA Corporation");
  base::reg::SetValue(HKEY_CURRENT_USER, key, L"OpenglRenderer", L"NVIDIA GeForce RTX 3060");

  GraphicInfoDetector::Sources sources;
  sources.exe_path = [exe = home() / "helper" / "QuarrionUpdate.exe"] { return exe; };
  sources.component_dir = [component_dir] { return component_dir; };
  sources.adapters = [] {
    base::hardware_detect::AdapterInfo a;
    a.adapter_type = base::hardware_detect::kAdapterRenderSupported;
    a.dedicated_video_memory = 1ull << 33;
    return std::optional<std::vector<base::hardware_detect::AdapterInfo>>({a});
  };
  GraphicInfoDetector detector(sources);

  const std::vector<GraphicDriverInfoFromDXDiag> first = {
      {"NVIDIA GeForce RTX 3060", "NVIDIA", "31.0.15.1111", "1/1/2021"},
      {"Intel(R) UHD Graphics 630", "Intel Corporation", "27.20.100.1", "2/2/2022"}};
  const std::vector<GraphicDriverInfoFromDXDiag> second = {
      {"Intel(R) UHD Graphics 630", "Intel Corporation", "27.20.100.2", "3/3/2023"},
      {"NVIDIA GeForce RTX 3060", "NVIDIA", "31.0.15.2222", "4/4/2024"}};
  const std::set<std::string> driver_versions = {"", "31.0.15.1111", "31.0.15.2222"};
  // Once the probe has replaced the renderer, no device matches it and the
  // first device becomes the second adapter.
  const std::set<std::string> second_renderers = {"", "Intel(R) UHD Graphics 630",
                                                  "NVIDIA GeForce RTX 3060"};

  std::atomic<bool> stop{false};
  std::atomic<long> reads{0};
  std::atomic<int> torn{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        if (driver_versions.count(detector.DriverVersion()) == 0) ++torn;
        if (second_renderers.count(detector.SecondRenderer()) == 0) ++torn;
        const std::string vendor_class = detector.VendorClass();
        if (vendor_class.empty()) ++torn;
        detector.OpenglRenderer();
        detector.OpenglVendor();
        detector.OpenglVersion();
        detector.OpenglMajorVersion();
        detector.OpenglMinorVersion();
        detector.DriverPublishDate();
        detector.SecondVendor();
        detector.SecondVendorClass();
        detector.SecondDriverVersion();
        detector.SecondDriverPublishDate();
        detector.GraphicCardCount();
        detector.OpenglInfoComplete();
        detector.SecondAdapterPending();
        detector.Done();
        if (detector.DedicatedGpuMemory() != (1ull << 33)) ++torn;
        ++reads;
      }
    });
  }
  std::thread filler([&] {
    for (int i = 0; i < 50; ++i) detector.FillGraphicDriverInfosFromDXDiag(i % 2 ? second : first);
  });
  detector.Update(false, false);
  filler.join();
  EXPECT_TRUE(detector.WaitDone(std::chrono::milliseconds(0)));
  // Readers keep going until they have seen the finished record too.
  const long seen = reads.load();
  while (reads.load() < seen + 100) std::this_thread::yield();
  stop = true;
  for (auto& r : readers) r.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(driver_versions.count(detector.DriverVersion()), 1u);
  EXPECT_EQ(detector.GraphicCardCount(), 2);
}

}  // namespace
