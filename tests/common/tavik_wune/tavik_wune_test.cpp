// Device identifiers: the SDK loader against a fake SDK copied next to a
// pretend executable, the real SDK stand-in, the OAIDs and the getters.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <filesystem>
#include <random>
#include <thread>

#include "base/crypto.h"
#include "base/gstring.h"
#include "base/reg.h"
#include "common/tavik_wune/tavik_wune.h"
#include "support/test_env.h"

namespace fs = std::filesystem;

namespace {

using Configure = void(int, int, int, const char*, int);
using Calls = const char*();

// A directory with a pretend executable and, optionally, an SDK file in it.
class SdkDir {
 public:
  explicit SdkDir(const char* library) {
    static std::atomic<int> counter{0};
    dir_ = fs::temp_directory_path() /
           ("tavik_test_" + std::to_string(std::random_device()()) + "_" +
            std::to_string(counter++));
    fs::create_directories(dir_);
    if (library != nullptr) fs::copy_file(library, dir_ / "tavik.dll");
  }
  ~SdkDir() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  tavik_wune::DeviceIdentity::Sources Sources(std::string guid = "{GUID-1}") const {
    const std::wstring exe = base::gstring::FromPath(dir_ / "QuarrionUpdate.exe");
    return {[exe] { return exe; }, [guid] { return guid; }};
  }
  // The control exports of the fake copied here (the loader opened the same file).
  template <typename T>
  T* Control(const char* name) const {
    if (!control_.valid()) control_ = platform::Library::Load(dir_ / "tavik.dll").value_or(platform::Library());
    return reinterpret_cast<T*>(control_.Symbol(name));
  }
  const fs::path& path() const { return dir_; }

 private:
  fs::path dir_;
  mutable platform::Library control_;
};

TEST(TavikLoader, LoadResults) {
  {
    SdkDir dir(nullptr);
    tavik_wune::DeviceIdentity id(dir.Sources());
    EXPECT_EQ(id.LoadAndInit("", false, L""), 3);  // no SDK file
    EXPECT_EQ(id.DeviceId(), "");
  }
  {
    tavik_wune::DeviceIdentity id({[] { return std::wstring(); }, [] { return std::string(); }});
    EXPECT_EQ(id.LoadAndInit("", false, L""), 1);
  }
  {
    tavik_wune::DeviceIdentity id({[] { return std::wstring(L"QuarrionUpdate.exe"); },
                                   [] { return std::string(); }});
    EXPECT_EQ(id.LoadAndInit("", false, L""), 2);
  }
  {
    SdkDir dir(nullptr);
    fs::create_directories(dir.path() / "tavik.dll");  // a directory is no library
    tavik_wune::DeviceIdentity id(dir.Sources());
    EXPECT_EQ(id.LoadAndInit("", false, L""), 3);
  }
  {
    SdkDir dir(nullptr);
    { std::ofstream(dir.path() / "tavik.dll") << "not a library"; }
    tavik_wune::DeviceIdentity id(dir.Sources());
    EXPECT_EQ(id.LoadAndInit("", false, L""), 4);
  }
  {
    SdkDir dir(FAKE_NVAPI_PATH_FOR_TAVIK);  // a library without "a1"
    tavik_wune::DeviceIdentity id(dir.Sources());
    EXPECT_EQ(id.LoadAndInit("", false, L""), 5);
  }
}

TEST(TavikLoader, InitialisesWithTheGuidFirstThenWithout) {
  SdkDir dir(FAKE_TAVIK_PATH);
  tavik_wune::DeviceIdentity id(dir.Sources("{ABC}"));
  dir.Control<Configure>("FakeTavikConfigure")(7, 0, 0, "00ff", 0);
  EXPECT_EQ(id.DeviceId(), "00ff");
  EXPECT_EQ(std::string(dir.Control<Calls>("FakeTavikCalls")()),
            "a1(0XNA0PLB284VKCD3,0,{\"GUID\":\"{ABC}\"},1) a1(0XNA0PLB284VKCD3,0,,0) "
            "b(0XNA0PLB284VKCD3,70) ");
  // Cached: the SDK is not asked again.
  EXPECT_EQ(id.DeviceId(), "00ff");
  EXPECT_EQ(std::string(dir.Control<Calls>("FakeTavikCalls")()).size(),
            std::string("a1(0XNA0PLB284VKCD3,0,{\"GUID\":\"{ABC}\"},1) a1(0XNA0PLB284VKCD3,0,,0) "
                        "b(0XNA0PLB284VKCD3,70) ")
                .size());
}

TEST(TavikLoader, BothAttemptsFailingIsRetriedAtTheNextRead) {
  SdkDir dir(FAKE_TAVIK_PATH);
  tavik_wune::DeviceIdentity id(dir.Sources());
  auto* configure = dir.Control<Configure>("FakeTavikConfigure");
  configure(9, 9, 0, "abc", 0);
  EXPECT_EQ(id.DeviceId(), "");
  EXPECT_FALSE(id.InitSdk());
  configure(0, 9, 0, "abc", 0);
  EXPECT_EQ(id.DeviceId(), "abc");
}

TEST(TavikLoader, IdentifierTextIsValidatedAndABadOneIsAskedForAgain) {
  struct Case {
    const char* text;
    const char* want;
  };
  const Case cases[] = {
      {"0123456789abcdefABCDEF", "0123456789abcdefABCDEF"},
      {"dead-beef", ""},
      {"abcg", ""},
      {"", ""},
      {" abc", ""},
      {"\xc3\xa9", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    SdkDir dir(FAKE_TAVIK_PATH);
    tavik_wune::DeviceIdentity id(dir.Sources());
    auto* configure = dir.Control<Configure>("FakeTavikConfigure");
    configure(0, 0, 0, c.text, 0);
    EXPECT_EQ(id.DeviceId(), c.want);
    if (*c.want != '\0') continue;
    // The SDK now has a good one: the next read gets it.
    configure(0, 0, 0, "beef", 0);
    EXPECT_EQ(id.DeviceId(), "beef");
  }
}

TEST(TavikLoader, RecordWithoutTerminatorIsReadWithinItsSize) {
  SdkDir dir(FAKE_TAVIK_PATH);
  tavik_wune::DeviceIdentity id(dir.Sources());
  dir.Control<Configure>("FakeTavikConfigure")(0, 0, 0, "", 1);
  EXPECT_EQ(id.DeviceId(), std::string(70, 'a'));
}

TEST(TavikLoader, FailedFetchLeavesTheRecordEmpty) {
  SdkDir dir(FAKE_TAVIK_PATH);
  tavik_wune::DeviceIdentity id(dir.Sources());
  auto* configure = dir.Control<Configure>("FakeTavikConfigure");
  configure(0, 0, 3, "abc", 0);
  EXPECT_EQ(id.DeviceId(), "");
  EXPECT_EQ(id.FetchRecord()[0], '\0');
  configure(0, 0, 0, "abc", 0);
  EXPECT_EQ(id.DeviceId(), "abc");
}

TEST(TavikLoader, ManyReadersAgree) {
  SdkDir dir(FAKE_TAVIK_PATH);
  tavik_wune::DeviceIdentity id(dir.Sources());
  dir.Control<Configure>("FakeTavikConfigure")(0, 0, 0, "feed", 0);
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      for (int j = 0; j < 200; ++j) {
        if (id.DeviceId() != "feed") ++wrong;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(TavikStandIn, StableHexIdentifierPerMachine) {
  SdkDir dir(TAVIK_PATH);
  tavik_wune::DeviceIdentity first(dir.Sources());
  const std::string id = first.DeviceId();
  ASSERT_EQ(id.size(), 32u) << id;
  EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
  // Another instance, a different GUID: the same machine gives the same id.
  SdkDir other(TAVIK_PATH);
  tavik_wune::DeviceIdentity second(other.Sources("{OTHER}"));
  EXPECT_EQ(second.DeviceId(), id);
}

TEST(TavikStandIn, BuiltBesideTheHelper) {
  EXPECT_TRUE(fs::exists(testenv::BinDir() / "tavik.dll"));
}

class OaidTest : public testenv::ProductTest {};

TEST_F(OaidTest, DecipheredWithTheMachineGuid) {
  const std::wstring root = MultiInst::Instance()->GetComponentRegRoot(0);
  const std::string guid = "{6F1D2A34-0000-4000-8000-00000000ABCD}";
  ASSERT_TRUE(base::reg::SetValue(HKEY_LOCAL_MACHINE, root, L"Oaid1",
                                  base::gstring::FromUtf8(base::crypto::EncodeXxteaBase64(guid, "win-oaid-1"))));
  ASSERT_TRUE(base::reg::SetValue(HKEY_LOCAL_MACHINE, root, L"Oaid3", L"not base64 at all!"));
  int guid_reads = 0;
  const auto key = [&] {
    ++guid_reads;
    return guid;
  };
  EXPECT_EQ(tavik_wune::OaidValue(1, key), "win-oaid-1");
  EXPECT_EQ(guid_reads, 1);
  // Nothing stored: no key is asked for and no decoding done.
  EXPECT_EQ(tavik_wune::OaidValue(2, key), "");
  EXPECT_EQ(guid_reads, 1);
  EXPECT_EQ(tavik_wune::OaidValue(3, key), "");  // damaged text
  EXPECT_EQ(tavik_wune::OaidValue(1, [] { return std::string(); }), "");  // no GUID
  EXPECT_EQ(tavik_wune::OaidValue(1, [] { return std::string("{another-guid}"); }).find("win-oaid"),
            std::string::npos);
}

TEST_F(OaidTest, GettersRegisteredWithTheirValues) {
  std::map<std::string, std::function<std::string()>> getters;
  param::InitTavikWuneGuid(getters);
  ASSERT_EQ(getters.size(), 5u);
  for (const char* key : {"A3", "q36", "guid", "wune40", "wune32"}) {
    ASSERT_TRUE(getters.count(key)) << key;
  }
  EXPECT_FALSE(getters["A3"]().empty());
  EXPECT_EQ(getters["A3"](), getters["guid"]());
  EXPECT_EQ(getters["wune40"](), "");
  EXPECT_EQ(getters["wune32"](), "");
  // The stand-in SDK lies beside this test program.
  const std::string q36 = getters["q36"]();
  EXPECT_EQ(q36.size(), 32u);
  EXPECT_EQ(getters["q36"](), q36);
}

}  // namespace
