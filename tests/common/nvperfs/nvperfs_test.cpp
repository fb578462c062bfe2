// The driver profile written through a fake driver library with an in-memory
// profile store: every step, its failure and its log line.
#include <gtest/gtest.h>

#include <QtGlobal>

#include <string>
#include <vector>

#include "common/nvperfs/nvapi_types.h"
#include "common/nvperfs/nvperfs.h"
#include "platform/library.h"
#include "support/log_recorder.h"

namespace {

constexpr const char* kSignature =
    "bool __cdecl nvperfs::AddExeToNvidiaGpu(const class std::basic_string<wchar_t,struct "
    "std::char_traits<wchar_t>,class std::allocator<wchar_t> > &,bool)";

using Line = testenv::RecordedLine;
using Recorder = testenv::LogRecorder;

// "C:text" / "I:text" for each line, in order.
std::vector<std::string> Summary(const Recorder& log) {
  std::vector<std::string> out;
  for (const Line& l : log.Lines()) {
    out.push_back(std::string(l.type == QtCriticalMsg ? "C:" : l.type == QtInfoMsg ? "I:" : "?:") + l.message);
  }
  return out;
}

// The test holds the fake loaded, so its store outlives each run.
class NvperfsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string detail;
    fake_ = platform::Library::Load(FAKE_NVAPI_PATH, &detail).value_or(platform::Library());
    ASSERT_TRUE(fake_.valid()) << detail;
    reset_ = reinterpret_cast<void (*)()>(fake_.Symbol("FakeNvapiReset"));
    fail_ = reinterpret_cast<void (*)(const char*, int)>(fake_.Symbol("FakeNvapiFail"));
    hide_ = reinterpret_cast<void (*)(unsigned)>(fake_.Symbol("FakeNvapiHide"));
    add_ = reinterpret_cast<void (*)(const char*, int, unsigned, unsigned)>(
        fake_.Symbol("FakeNvapiAddProfile"));
    dump_ = reinterpret_cast<const char* (*)()>(fake_.Symbol("FakeNvapiDump"));
    ASSERT_TRUE(reset_ && fail_ && hide_ && add_ && dump_);
    reset_();
  }

  bool Run(const std::wstring& exe = L"C:\\Program Files\\Quarrion\\QuarrionAssistant.exe",
           unsigned threads = 8) {
    return nvperfs::internal::AddExeToNvidiaGpuWith(FAKE_NVAPI_PATH, exe, threads);
  }
  std::string Dump() const { return dump_(); }

  platform::Library fake_;
  void (*reset_)() = nullptr;
  void (*fail_)(const char*, int) = nullptr;
  void (*hide_)(unsigned) = nullptr;
  void (*add_)(const char*, int, unsigned, unsigned) = nullptr;
  const char* (*dump_)() = nullptr;
};

const std::string kProfileLine =
    "profile QuarrionAssistant Nvidia Profile predefined=0 "
    "apps=QuarrionAssistant.exe/QuarrionAssistant ";

TEST_F(NvperfsTest, FirstRunCreatesProfileApplicationAndSettings) {
  Recorder log;
  EXPECT_TRUE(Run(L"C:\\Program Files\\Quarrion\\QuarrionAssistant.exe", 4));
  EXPECT_EQ(Dump(),
            kProfileLine + "settings=10F9DC80=1,10F9DC81=1,10F9DC84=0,20C1221E=2\n"
            "calls Initialize CreateSession LoadSettings FindProfileByName CreateProfile "
            "CreateApplication SetSetting SetSetting SetSetting SetSetting SaveSettings "
            "DestroySession\nsaves 1 sessions 0\n");
  EXPECT_EQ(Summary(log), (std::vector<std::string>{
                               "I:num_hw_thread = 4, thread_optimization = 2",
                               "I:NvAPI_DRS_SaveSettings save app_profile_name ok QuarrionAssistant "
                               "Nvidia Profile"}));
  for (const Line& l : log.Lines()) {
    EXPECT_EQ(l.category, "quarrion.nvapi_perfs");
    EXPECT_EQ(l.function, kSignature);
  }
}

TEST_F(NvperfsTest, ThreadOptimisationFollowsTheThreadCount) {
  const std::pair<unsigned, const char*> cases[] = {
      {1, "20C1221E=2"}, {5, "20C1221E=2"}, {6, "20C1221E=0"}, {64, "20C1221E=0"}};
  for (const auto& [threads, want] : cases) {
    reset_();
    Recorder log;
    EXPECT_TRUE(Run(L"/opt/q/QuarrionAssistant.exe", threads));
    EXPECT_NE(Dump().find(want), std::string::npos) << threads;
    EXPECT_EQ(Summary(log).at(0), "I:num_hw_thread = " + std::to_string(threads) +
                                        ", thread_optimization = " + (threads < 6 ? "2" : "0"));
  }
}

TEST_F(NvperfsTest, SecondRunRestoresOurProfileAndMakesItAnew) {
  ASSERT_TRUE(Run());
  Recorder log;
  ASSERT_TRUE(Run());
  const std::string dump = Dump();
  // One profile, one application: the restore removed ours, the run made it again.
  EXPECT_EQ(dump.find("profile "), dump.rfind("profile "));
  EXPECT_NE(dump.find(kProfileLine + "settings=10F9DC80=1,10F9DC81=1,10F9DC84=0,20C1221E=0\n"),
            std::string::npos);
  EXPECT_NE(dump.find("FindProfileByName RestoreProfileDefault SaveSettings CreateProfile "
                      "CreateApplication"),
            std::string::npos);
  EXPECT_NE(dump.find("saves 3 "), std::string::npos);
  EXPECT_EQ(Summary(log).at(0), "I:restore app_profile_name QuarrionAssistant Nvidia Profile");
}

TEST_F(NvperfsTest, DriverProfileIsKeptAndGetsTheSettingsWithoutANewApplication) {
  add_("QuarrionAssistant Nvidia Profile", 1, 0x20C1221E, 7);
  ASSERT_TRUE(Run());
  const std::string dump = Dump();
  EXPECT_NE(dump.find("profile QuarrionAssistant Nvidia Profile predefined=1 apps= "
                      "settings=10F9DC80=1,10F9DC81=1,10F9DC84=0,20C1221E=0\n"),
            std::string::npos)
      << dump;
  EXPECT_EQ(dump.find("CreateProfile"), std::string::npos);
  EXPECT_EQ(dump.find("CreateApplication"), std::string::npos);
}

TEST_F(NvperfsTest, EveryFailingStepEndsWithItsLineAndCleansUp) {
  struct Case {
    const char* fail;       // function made to fail ("" for none)
    int status;
    const char* line;       // the critical line
    const char* tail;       // the calls after the failing one
  };
  const Case cases[] = {
      {"Initialize", -1, "Error NVAPI: Init failed ", "calls Initialize\n"},
      {"CreateSession", -1, "NVAPI: Error creating DRS session ", "CreateSession Unload\n"},
      {"LoadSettings", -1, "NVAPI: Error loading DRS settings ", "LoadSettings DestroySession Unload\n"},
      {"CreateProfile", -128, "NVAPI: Error creating profile ", "CreateProfile DestroySession Unload\n"},
      {"CreateApplication", -1, "NVAPI: Error creating application ",
       "CreateApplication DestroySession Unload\n"},
      {"SaveSettings", -1, "NVAPI: Error calling NvAPI_DRS_SaveSettings ",
       "SetSetting SaveSettings DestroySession Unload\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fail);
    reset_();
    fail_(c.fail, c.status);
    Recorder log;
    EXPECT_FALSE(Run());
    const std::vector<Line> lines = log.Lines();
    std::vector<std::string> critical;
    for (const Line& l : lines) {
      if (l.type == QtCriticalMsg) critical.push_back(l.message);
    }
    EXPECT_EQ(critical, std::vector<std::string>{c.line});
    const std::string dump = Dump();
    EXPECT_NE(dump.find(std::string(c.tail) + "saves 0 sessions 0\n"), std::string::npos) << dump;
  }
}

TEST_F(NvperfsTest, RestoreOrItsSaveFailingEndsQuietly) {
  for (const char* step : {"RestoreProfileDefault", "SaveSettings"}) {
    SCOPED_TRACE(step);
    reset_();
    add_("QuarrionAssistant Nvidia Profile", 1, 0, 0);
    fail_(step, -1);
    Recorder log;
    EXPECT_FALSE(Run());
    EXPECT_TRUE(log.Lines().empty());  // no line of its own for these two
    EXPECT_NE(Dump().find("DestroySession Unload\nsaves 0 sessions 0\n"), std::string::npos);
  }
}

TEST_F(NvperfsTest, AFailedSettingIsLoggedAndTheOthersAreStillSaved) {
  fail_("SetSetting:10F9DC80", -1);
  fail_("SetSetting:20C1221E", -1);
  Recorder log;
  EXPECT_TRUE(Run());
  std::vector<std::string> critical;
  for (const Line& l : log.Lines()) {
    if (l.type == QtCriticalMsg) critical.push_back(l.message);
  }
  // The identifier as a signed number: 0x20C1221E and 0x10F9DC80 are positive.
  EXPECT_EQ(critical, (std::vector<std::string>{"NVAPI: Error calling NvAPI_DRS_SetSetting 549528094",
                                                "NVAPI: Error calling NvAPI_DRS_SetSetting 284810368"}));
  EXPECT_NE(Dump().find("settings=10F9DC81=1,10F9DC84=0\n"), std::string::npos) << Dump();
}

TEST_F(NvperfsTest, AMissingFunctionIsRefusedBeforeAnyCall) {
  for (unsigned id : {nvperfs::nvapi::kIdInitialize, nvperfs::nvapi::kIdRestoreProfileDefault,
                      nvperfs::nvapi::kIdSetSetting}) {
    reset_();
    hide_(id);
    Recorder log;
    EXPECT_FALSE(Run());
    EXPECT_EQ(Summary(log), std::vector<std::string>{"C:Error NVAPI: Function nullptr "});
    EXPECT_NE(Dump().find("calls\n"), std::string::npos);
  }
}

TEST(NvperfsLibrary, NoLibraryOrNoEntryPoint) {
  {
    Recorder log;
    EXPECT_FALSE(nvperfs::internal::AddExeToNvidiaGpuWith("/nonexistent/libnvidia-api.so.1",
                                                           L"a.exe", 4));
    EXPECT_EQ(Summary(log), std::vector<std::string>{"C:Error getting NVAPI module"});
  }
  {
    Recorder log;
    EXPECT_FALSE(nvperfs::internal::AddExeToNvidiaGpuWith(FAKE_NVAPI_NOQUERY_PATH, L"a.exe", 4));
    EXPECT_EQ(Summary(log), std::vector<std::string>{"C:Error getting NVAPI NvAPI_QueryInterface "});
  }
}

TEST(NvperfsLibrary, ThisMachineHasNoDriver) {
  platform::Library driver = platform::Library::Load(nvperfs::kNvapiLibraryName).value_or(platform::Library());
  if (driver.valid()) GTEST_SKIP() << "an NVIDIA driver is installed here";
  Recorder log;
  EXPECT_FALSE(nvperfs::AddExeToNvidiaGpu(L"/opt/Quarrion/QuarrionAssistant.exe", true));
  EXPECT_EQ(Summary(log), std::vector<std::string>{"C:Error getting NVAPI module"});
}

TEST(NvperfsNames, FromPaths) {
  struct Case {
    const wchar_t* path;
    const wchar_t* file;
    const wchar_t* stem;
  };
  const Case cases[] = {
      {L"C:\\dir\\tool.beta.exe", L"tool.beta.exe", L"tool.beta"},
      {L"/opt/q/QuarrionAssistant.exe", L"QuarrionAssistant.exe", L"QuarrionAssistant"},
      {L"C:\\mixed/sep\\last.exe", L"last.exe", L"last"},
      {L"noext", L"noext", L"noext"},
      {L"C:\\dir\\.hidden", L".hidden", L".hidden"},
      {L"C:\\dir\\", L"", L""},
      {L"", L"", L""},
  };
  for (const Case& c : cases) {
    const auto names = nvperfs::internal::NamesFor(c.path);
    EXPECT_EQ(names.file_name, c.file);
    EXPECT_EQ(names.stem, c.stem);
    EXPECT_EQ(names.profile, std::wstring(c.stem) + L" Nvidia Profile");
  }
}

TEST(NvperfsNames, FieldCopyIsBoundedAndKeepsPairsWhole) {
  std::vector<std::uint16_t> field(8, 0xAAAA);
  nvperfs::internal::CopyToField(std::wstring(100, L'x'), field.data(), 8);
  EXPECT_EQ(field[6], u'x');
  EXPECT_EQ(field[7], 0);
  // An emoji needs two units; with one slot left it is left out, not halved.
  std::fill(field.begin(), field.end(), 0xAAAA);
  nvperfs::internal::CopyToField(std::wstring(L"abcdef") + L'\U0001F600', field.data(), 8);
  EXPECT_EQ(field[6], 0);
  std::fill(field.begin(), field.end(), 0xAAAA);
  nvperfs::internal::CopyToField(std::wstring(L"ab") + L'\U0001F600', field.data(), 8);
  EXPECT_EQ(field[2], 0xD83D);
  EXPECT_EQ(field[3], 0xDE00);
  EXPECT_EQ(field[4], 0);
  // Names at the driver's limit: 2047 units and the terminator.
  std::vector<std::uint16_t> big(nvperfs::nvapi::kUnicodeStringMax, 0xAAAA);
  nvperfs::internal::CopyToField(std::wstring(5000, L'y'), big.data(), big.size());
  EXPECT_EQ(big[2046], u'y');
  EXPECT_EQ(big[2047], 0);
}

TEST_F(NvperfsTest, LongPathIsCutToTheDriversLimit) {
  Recorder quiet;
  const std::wstring stem(3000, L'n');
  EXPECT_TRUE(Run(L"C:\\x\\" + stem + L".exe"));
  const std::string dump = Dump();
  // The profile name is cut at 2047 units: the suffix does not fit.
  EXPECT_NE(dump.find("profile " + std::string(2047, 'n') + " predefined=0"), std::string::npos);
}

}  // namespace
