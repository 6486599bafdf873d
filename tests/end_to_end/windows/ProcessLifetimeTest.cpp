#include <malloc.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "host/VelkorApi.h"
#include "platform/ProcessExit.h"
#include "sim/host/SimHost.h"
#include "tests/support/Faults.h"
#include "tests/support/Gate.h"
#include "tests/support/LoadedPluginFixture.h"

// Work for this program's thread to do while it holds the loader lock: the lock holder's
// library calls this from its attach notification.
std::function<void()> WorkUnderLoaderLock;

extern "C" __declspec(dllexport) bool TamselTestUnderLoaderLock() {
  if (!WorkUnderLoaderLock) return false;
  WorkUnderLoaderLock();
  return true;
}

namespace {

void RunHoldingTheLoaderLock(std::function<void()> work) {
  WorkUnderLoaderLock = std::move(work);
  if (HMODULE holder = LoadLibraryW(L"" TAMSEL_LOADER_LOCK_HOLDER_FILE)) FreeLibrary(holder);
  WorkUnderLoaderLock = nullptr;
}

struct HeapUse {
  long long blocks = 0;
  long long bytes = 0;
};

// Every block in use on the C runtime's heap, the one the plug-in and this program share.
HeapUse CurrentHeapUse() {
  HeapUse use;
  _HEAPINFO entry{};
  while (_heapwalk(&entry) == _HEAPOK) {
    if (entry._useflag != _USEDENTRY) continue;
    ++use.blocks;
    use.bytes += static_cast<long long>(entry._size);
  }
  return use;
}

// The value the next new handle gets. Handle values are reused lowest first, so every handle
// left open pushes it up by a slot; that holds under Wine too, whose handle count is a stub.
long long NextHandleValue() {
  const HANDLE probe = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  const auto value = static_cast<long long>(reinterpret_cast<std::uintptr_t>(probe));
  CloseHandle(probe);
  return value;
}

// Asks until a save is accepted and has run; refusals while the last worker leaves are normal.
void SaveOnce() {
  const int before = SimulatedSave::Runs();
  while (SimulatedSave::Runs() == before) {
    SimulatedSave::Request();
    if (SimulatedSave::Runs() == before) std::this_thread::yield();
  }
}

using ProcessLifetimeTest = LoadedPluginFixture;

// Each save's thread must give back all it took: memory, its handle, its module reference.
TEST_F(ProcessLifetimeTest, TenThousandSavesLeaveTheHeapAndTheHandlesAsTheyWere) {
  serverDir_.WriteConfig(R"({"CpuThreads": "0"})");
  GetLogSinks().clear();  // refused requests write nothing anywhere
  LoadPlugin();
  const auto settle = [] {
    SaveOnce();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the last worker leaves
  };
  for (int i = 0; i < 100; ++i)
    SaveOnce();
  settle();
  const HeapUse heapBefore = CurrentHeapUse();
  const long long handlesBefore = NextHandleValue();

  constexpr int kSaves = 10000;
  for (int i = 0; i < kSaves; ++i)
    SaveOnce();
  settle();
  const HeapUse heapAfter = CurrentHeapUse();
  const long long handlesAfter = NextHandleValue();
  std::printf("heap: %lld blocks, %lld bytes before; %lld blocks, %lld bytes after %d saves\n",
              heapBefore.blocks, heapBefore.bytes, heapAfter.blocks, heapAfter.bytes, kSaves);
  std::printf("next handle value: %lld before, %lld after\n", handlesBefore, handlesAfter);
  EXPECT_LE(std::llabs(heapAfter.blocks - heapBefore.blocks), 8);
  EXPECT_LE(std::llabs(heapAfter.bytes - heapBefore.bytes), 2048);
  EXPECT_LE(handlesAfter - handlesBefore, 8 * 4) << "handle values are 4 apart";

  // The module references went with the threads: the unload really unloads, as UnloadPlugin
  // checks.
  UnloadPlugin();
}

// The lowest thread-local storage slot free now: every slot left allocated pushes it up.
DWORD NextTlsSlot() {
  const DWORD slot = TlsAlloc();
  TlsFree(slot);
  return slot;
}

// Loading and unloading the plug-in leaves nothing behind: no thread-local storage slot (a
// process has 1,088), no handle, no memory on the shared heap; without a save, with one that
// ended before the unload, and with the host freeing the plug-in during a save, so that the
// save's thread unloads it.
struct LoadCycle {
  const char* name;
  bool withASave;
  bool saveEndsBeforeTheUnload;
};

void PrintTo(const LoadCycle& cycle, std::ostream* out) {
  *out << cycle.name;
}

class LoadCycleTest : public LoadedPluginFixture,
                      public ::testing::WithParamInterface<LoadCycle> {};

TEST_P(LoadCycleTest, EachLoadAndUnloadGivesBackWhatItTook) {
  const LoadCycle way = GetParam();
  serverDir_.WriteConfig(R"({"CpuThreads": ""})");
  GetLogSinks().clear();
  std::atomic<DWORD> saveThread{0};
  SimulatedSave::SetBody([&saveThread](ADravikMode*) { saveThread = GetCurrentThreadId(); });
  const auto cycle = [&] {
    LoadPlugin();
    if (way.withASave) SaveOnce();
    if (way.saveEndsBeforeTheUnload) {
      if (HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, saveThread.load())) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
      }
    }
    UnloadPlugin();
  };
  for (int i = 0; i < 5; ++i)
    cycle();
  const DWORD slotBefore = NextTlsSlot();
  const long long handlesBefore = NextHandleValue();
  const HeapUse heapBefore = CurrentHeapUse();
  constexpr int kCycles = 50;
  for (int i = 0; i < kCycles; ++i)
    cycle();
  const DWORD slotAfter = NextTlsSlot();
  const long long handlesAfter = NextHandleValue();
  const HeapUse heapAfter = CurrentHeapUse();
  std::printf("%d cycles: TLS slot %lu -> %lu, next handle %lld -> %lld, heap %lld -> %lld bytes\n",
              kCycles, slotBefore, slotAfter, handlesBefore, handlesAfter, heapBefore.bytes,
              heapAfter.bytes);
  EXPECT_EQ(slotAfter, slotBefore);
  EXPECT_LE(handlesAfter - handlesBefore, 8 * 4) << "handle values are 4 apart";
  // The mingw-w64 runtime keeps about 0.7 KB of each load (the Visual C++ one 0.2 KB); a leak
  // of its emergency exception memory would be 75 KB a cycle.
  EXPECT_LE(heapAfter.bytes - heapBefore.bytes, 64 * 1024);
}

INSTANTIATE_TEST_SUITE_P(Cycles, LoadCycleTest,
                         ::testing::Values(LoadCycle{"WithoutASave", false, false},
                                           LoadCycle{"WithASaveEndedBeforeTheUnload", true, true},
                                           LoadCycle{"WithTheUnloadOnTheSaveThread", true, false}),
                         [](const auto& test) { return std::string(test.param.name); });

// The host frees the plug-in while a save runs and the server goes on asking for saves: the
// save thread's reference keeps the library loaded until the save ends, and the unload that
// then runs on that thread waits for the requests inside the detour before the code goes.
TEST_F(ProcessLifetimeTest, UnloadDuringASaveWhileSavesAreAskedForKeepsTheServerAlive) {
  serverDir_.WriteConfig(R"({"CpuThreads": ""})");
  for (int cycle = 0; cycle < 10; ++cycle) {
    LoadPlugin();
    // A request that the last copy accepted as it went may still be saving, and this copy
    // refuses requests until it is done: asked until a save runs.
    auto started = std::make_shared<Gate>();
    SimulatedSave::SetBody([started](ADravikMode*) {
      started->Open();
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    });
    ASSERT_TRUE(Eventually([&started] {
      SimulatedSave::Request();
      return started->Wait(std::chrono::milliseconds(10));
    })) << "cycle "
        << cycle;
    ReleasePlugin();  // the save thread holds the last reference now
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (SimOs::DynamicLibrary::IsLoaded(TAMSEL_PLUGIN_FILE) &&
           std::chrono::steady_clock::now() < deadline) {
      SimulatedSave::Request();
    }
    ASSERT_FALSE(SimOs::DynamicLibrary::IsLoaded(TAMSEL_PLUGIN_FILE)) << "cycle " << cycle;
  }
  EXPECT_EQ(sink_->CountOf("error",
                           "The world save did not finish within 60 seconds; "
                           "unloading anyway."),
            0);
}

// The host frees the plug-in while the server asks for saves without pause: the unload, holding
// the loader's lock, waits for the requests inside the detour, and a request never waits for
// the loader's lock in turn. Each unload ends without running into its limit.
TEST_F(ProcessLifetimeTest, AnUnloadWhileSavesAreAskedForNeverWaitsForARequest) {
  serverDir_.WriteConfig(R"({"CpuThreads": ""})");
  for (int cycle = 0; cycle < 5; ++cycle) {
    LoadPlugin();
    std::atomic<bool> stop{false};
    std::thread server([&stop] {
      while (!stop.load())
        SimulatedSave::Request();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // saves under way
    UnloadPlugin();
    stop = true;
    server.join();
    ASSERT_FALSE(SimOs::DynamicLibrary::IsLoaded(TAMSEL_PLUGIN_FILE)) << "cycle " << cycle;
  }
  EXPECT_FALSE(sink_->Contains("did not finish within"));
}

// Another module redirects exit() after the plug-in (here this program, with the same code),
// then the plug-in is unloaded and the program exits: the entry the plug-in could not put back
// leads, through the other module, to code that is still there, and the exit ends cleanly.
void NothingBeforeExit() {}

TEST_F(ProcessLifetimeTest, AnExitRedirectedAfterThePluginStillEndsAfterItsUnload) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        serverDir_.WriteConfig(R"({"CpuThreads": ""})");
        LoadPlugin();
        if (tamsel::platform::InterceptProcessExit(&NothingBeforeExit) == 0) std::exit(60);
        UnloadPlugin();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// When the process exits, Windows ends every other thread first, perhaps one that holds a
// sink's lock, perhaps a save's; the library's detach must not wait for either. (With a save
// cut off, an ordinary detach would wait for its flag and log that it does, on either spdlog
// line.) The exit hook, which would wait for the save first, is off here.
TEST_F(ProcessLifetimeTest, ExitWhileAnotherThreadHoldsASinkLockEndsCleanly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        serverDir_.WriteConfig(R"({"CpuThreads": "", "WaitForSaveAtExit": false})");
        LoadPlugin();
        Gate saveRuns;
        SimulatedSave::SetBody([&saveRuns](ADravikMode*) {
          saveRuns.Open();
          std::this_thread::sleep_for(std::chrono::hours(1));
        });
        SimulatedSave::Request();
        saveRuns.Wait();
        Gate held;
        std::thread([this, &held] {
          sink_->Lock().lock();
          held.Open();
          std::this_thread::sleep_for(std::chrono::hours(1));
        }).detach();
        held.Wait();
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// Another thread loads a library whose entry point holds the loader lock, as a slow DLL of the
// server's would, until the test lets it go.
class LoaderLockHeld {
 public:
  LoaderLockHeld() : held_(Event(L"held")), release_(Event(L"release")) {
    loader_ = std::thread([] {
      if (HMODULE library = LoadLibraryW(L"" TAMSEL_LOADER_LOCK_HOLDER_FILE)) FreeLibrary(library);
    });
    WaitForSingleObject(held_, INFINITE);
  }
  ~LoaderLockHeld() {
    Release();
    loader_.join();
    CloseHandle(held_);
    CloseHandle(release_);
  }
  LoaderLockHeld(const LoaderLockHeld&) = delete;
  LoaderLockHeld& operator=(const LoaderLockHeld&) = delete;
  void Release() { SetEvent(release_); }

 private:
  static HANDLE Event(const wchar_t* what) {
    const std::wstring name =
        std::wstring(L"TamselLoaderLock-") + what + L"-" + std::to_wstring(GetCurrentProcessId());
    return CreateEventW(nullptr, TRUE, FALSE, name.c_str());
  }
  HANDLE held_;
  HANDLE release_;
  std::thread loader_;
};

// The loader is busy elsewhere while the server asks for a save: the request returns without
// waiting for it, and the save runs on a thread of its own once the loader is free, never on
// the server's.
TEST_F(ProcessLifetimeTest, ASaveAskedForWhileTheLoaderIsBusyRunsOnItsOwnThread) {
  serverDir_.WriteConfig(R"({"CpuThreads": ""})");
  LoadPlugin();
  {
    LoaderLockHeld loaderBusy;
    SimulatedSave::Request();
    EXPECT_EQ(SimulatedSave::Runs(), 0) << "the save ran while the loader was busy";
    loaderBusy.Release();
  }
  ASSERT_TRUE(Eventually([] { return SimulatedSave::Runs() == 1; }));
  EXPECT_NE(SimulatedSave::LastThread(), std::this_thread::get_id());
  EXPECT_FALSE(sink_->Contains("Could not start a save thread"));
}

// The host frees the plug-in while a save it accepted waits for the loader (held by this
// thread throughout), then loads the plug-in again or another library lands where it was. The
// accepted save still runs, once, by the server's routine alone; a copy loaded meanwhile refuses
// requests until that save has ended; the save's thread never enters the other library, and
// keeps no reference to it.
struct ReloadWay {
  const char* name;
  bool anotherLibraryInItsPlace;
};

void PrintTo(const ReloadWay& way, std::ostream* out) {
  *out << way.name;
}

class UnloadBeforeASaveStartsTest : public LoadedPluginFixture,
                                    public ::testing::WithParamInterface<ReloadWay> {};

TEST_P(UnloadBeforeASaveStartsTest, OneSaveAtATimeAndNoOtherLibraryEntered) {
  const ReloadWay way = GetParam();
  serverDir_.WriteConfig(R"({"CpuThreads": ""})");
  static std::atomic<int> running{0};
  static std::atomic<int> mostAtOnce{0};
  running = 0;
  mostAtOnce = 0;
  SimulatedSave::SetBody([](ADravikMode*) {
    const int now = ++running;
    for (int most = mostAtOnce.load();
         now > most && !mostAtOnce.compare_exchange_weak(most, now);) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // room for a second save
    --running;
  });
  LoadPlugin();
  HMODULE other = nullptr;
  RunHoldingTheLoaderLock([&] {
    const HMODULE firstCopy = GetModuleHandleW(L"Tamsel.dll");
    SimulatedSave::Request();  // accepted; its thread waits for the loader
    ReleasePlugin();
    if (way.anotherLibraryInItsPlace) {
      other = LoadLibraryW(L"" TAMSEL_FOREIGN_LIBRARY_FILE);
      EXPECT_EQ(other, firstCopy) << "the other library did not take the plug-in's place";
    } else {
      LoadPlugin();
      SimulatedSave::Request();  // the first copy's save has yet to run
      EXPECT_EQ(SimulatedSave::Runs(), 0);
    }
  });
  ASSERT_TRUE(Eventually([] { return SimulatedSave::Runs() == 1; }));
  if (way.anotherLibraryInItsPlace) {
    ASSERT_TRUE(FreeLibrary(other));
    EXPECT_FALSE(SimOs::DynamicLibrary::IsLoaded(TAMSEL_FOREIGN_LIBRARY_FILE))
        << "the save's thread holds a reference to the other library";
    LoadPlugin();
  } else {
    EXPECT_EQ(sink_->CountOf("warning", "World Already Saving!"), 1);
  }
  SaveOnce();  // accepted once the first save has ended
  EXPECT_EQ(SimulatedSave::Runs(), 2);
  EXPECT_EQ(mostAtOnce.load(), 1);
}

INSTANTIATE_TEST_SUITE_P(Ways, UnloadBeforeASaveStartsTest,
                         ::testing::Values(ReloadWay{"Reloaded", false},
                                           ReloadWay{"AnotherLibraryInItsPlace", true}),
                         [](const auto& test) { return std::string(test.param.name); });

// exit() while another thread's FreeLibrary unloads the plug-in (holding the loader lock): the
// process ends with the exit's code, as it would without the plug-in.
TEST_F(ProcessLifetimeTest, AnExitDuringAnUnloadOnAnotherThreadEndsAsWithoutThePlugin) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        serverDir_.WriteConfig(R"({"CpuThreads": ""})");
        LoadPlugin();
        std::thread([this] { ReleasePlugin(); }).detach();
        // The unload has begun, inside the loader lock, once it asks for the detour's removal.
        Eventually([] {
          const auto requests = SimHost::HookRequests();
          return !requests.empty() && requests.back().kind == SimHost::HookRequest::Kind::Remove;
        });
        std::exit(7);
      },
      ::testing::ExitedWithCode(7), "");
}

// Two exits during one save, the second from another thread (a console handler, a watchdog):
// both wait for the save, which ends on disk before either exit goes on. The death test's
// child runs this test again, with a server folder of its own: the parent's file's path comes
// by the environment, which the child inherits.
class TwoExitsTest : public LoadedPluginFixture, public ::testing::WithParamInterface<bool> {};

TEST_P(TwoExitsTest, BothWaitForTheRunningSave) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const bool secondByExitProcess = GetParam();
  const wchar_t* const kSavedFile = L"TAMSEL_TEST_SAVED_FILE";
  const std::filesystem::path saved = serverDir_.Path() / "saved";
  if (GetEnvironmentVariableW(kSavedFile, nullptr, 0) == 0)
    SetEnvironmentVariableW(kSavedFile, saved.wstring().c_str());
  EXPECT_EXIT(
      {
        serverDir_.WriteConfig(R"({"CpuThreads": ""})");
        LoadPlugin();
        static std::atomic<bool> secondExitAsked{false};
        SimulatedSave::SetBody([](ADravikMode*) {
          if (SimulatedSave::Runs() > 1) return;  // the shutdown save
          while (!secondExitAsked)
            std::this_thread::yield();
          // Time for an exit that did not wait to end the process; a waiting one does nothing.
          std::this_thread::sleep_for(std::chrono::milliseconds(200));
          wchar_t path[MAX_PATH] = {};
          GetEnvironmentVariableW(L"TAMSEL_TEST_SAVED_FILE", path, MAX_PATH);
          std::ofstream(std::filesystem::path(path)) << "world";
        });
        SimulatedSave::Request();
        if (!Eventually([] { return SimulatedSave::Runs() == 1; })) std::exit(60);
        std::thread([] { std::exit(3); }).detach();
        if (!Eventually([this] { return sink_->Contains("before the server exits."); }))
          std::exit(61);
        secondExitAsked = true;
        if (secondByExitProcess) ExitProcess(4);
        std::exit(4);
      },
      [](int code) { return code == 3 || code == 4; }, "");
  SetEnvironmentVariableW(kSavedFile, nullptr);
  std::ifstream file(saved);
  const std::string content((std::istreambuf_iterator<char>(file)), {});
  EXPECT_EQ(content, "world");
}

INSTANTIATE_TEST_SUITE_P(SecondExit, TwoExitsTest, ::testing::Bool(),
                         [](const auto& test) { return test.param ? "ExitProcess" : "exit"; });

#if defined(TAMSEL_ON_MICROSOFT_RUNTIME)
// The leg on Microsoft's runtime runs on it: Wine loads the DLLs beside the program, not its own.
TEST(MicrosoftRuntimeTest, TheRuntimeDllsAreTheOnesBesideTheProgram) {
  const auto folderOf = [](HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(module, path, MAX_PATH);
    return std::filesystem::path(path).parent_path();
  };
  for (const wchar_t* name : {L"vcruntime140.dll", L"msvcp140.dll"}) {
    const HMODULE module = GetModuleHandleW(name);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(folderOf(module), folderOf(nullptr)) << "Wine's own " << std::filesystem::path(name);
  }
}
#endif

// The DLL's version resource, as Explorer reads it: the fixed part's numbers and each string
// value by its key.
class VersionResource {
 public:
  explicit VersionResource(HMODULE module) {
    const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16));
    if (found == nullptr) return;
    const auto* bytes = static_cast<const char*>(LockResource(LoadResource(module, found)));
    data_.assign(bytes, bytes + SizeofResource(module, found));
  }
  // "major.minor.patch.build" of the fixed part's file version, after its 0xFEEF04BD signature.
  std::string FixedFileVersion() const {
    const std::uint32_t signature = 0xFEEF04BD;
    const auto at = data_.find(std::string(reinterpret_cast<const char*>(&signature), 4));
    if (at == std::string::npos || at + 16 > data_.size()) return "";
    std::uint32_t ms = 0;
    std::uint32_t ls = 0;
    std::memcpy(&ms, data_.data() + at + 8, 4);
    std::memcpy(&ls, data_.data() + at + 12, 4);
    return std::to_string(ms >> 16) + "." + std::to_string(ms & 0xFFFF) + "." +
           std::to_string(ls >> 16) + "." + std::to_string(ls & 0xFFFF);
  }
  // A string's value follows its NUL-ended UTF-16 key, aligned to four bytes.
  std::wstring String(const std::wstring& key) const {
    const std::string keyBytes(reinterpret_cast<const char*>(key.c_str()), (key.size() + 1) * 2);
    auto at = data_.find(keyBytes);
    if (at == std::string::npos) return L"";
    at = (at + keyBytes.size() + 3) & ~std::size_t{3};
    std::wstring value;
    for (; at + 1 < data_.size(); at += 2) {
      wchar_t unit = 0;
      std::memcpy(&unit, data_.data() + at, 2);
      if (unit == 0) break;
      value += unit;
    }
    return value;
  }

 private:
  std::string data_;
};

TEST_F(ProcessLifetimeTest, TheDllSaysItsVersionAsWindowsReadsIt) {
  serverDir_.WriteConfig(R"({"CpuThreads": ""})");
  LoadPlugin();
  const HMODULE module = GetModuleHandleW(L"Tamsel.dll");
  ASSERT_NE(module, nullptr);
  const VersionResource resource(module);
  const std::string version = TAMSEL_VERSION;  // major.minor.patch
  const std::wstring expected(version.begin(), version.end());
  EXPECT_EQ(resource.FixedFileVersion(), version + ".0");
  EXPECT_EQ(resource.String(L"FileVersion"), expected);
  EXPECT_EQ(resource.String(L"ProductVersion"), expected);
  EXPECT_EQ(resource.String(L"ProductName"), L"Tamsel");
  EXPECT_EQ(resource.String(L"OriginalFilename"), L"Tamsel.dll");
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(module);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(reinterpret_cast<const char*>(module) +
                                                             dos->e_lfanew);
  EXPECT_EQ(std::to_string(nt->OptionalHeader.MajorImageVersion) + "." +
                std::to_string(nt->OptionalHeader.MinorImageVersion),
            version.substr(0, version.rfind('.')));
}

#if defined(_MSC_VER)
// Stack protection as a Visual Studio Release build has it: the load configuration names the
// module's cookie, which each load sets anew, and an overwritten cookie ends the process at
// once (fail-fast), not as a save fault the guard would catch and log.
std::uintptr_t CookieOf(HMODULE module) {
  const auto* base = reinterpret_cast<const char*>(module);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(module)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& entry =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG];
  if (entry.VirtualAddress == 0) return 0;
  const auto* config =
      reinterpret_cast<const IMAGE_LOAD_CONFIG_DIRECTORY64*>(base + entry.VirtualAddress);
  const auto cookie = static_cast<std::uintptr_t>(config->SecurityCookie);
  const auto start = reinterpret_cast<std::uintptr_t>(base);
  if (cookie < start || cookie >= start + nt->OptionalHeader.SizeOfImage) return 0;
  return *reinterpret_cast<const std::uintptr_t*>(cookie);
}

TEST_F(ProcessLifetimeTest, EachLoadGetsASecurityCookieOfItsOwn) {
  const std::uintptr_t kMicrosoftsDefault = 0x00002B992DDFA232;
  serverDir_.WriteConfig(R"({"CpuThreads": ""})");
  std::vector<std::uintptr_t> cookies;
  for (int load = 0; load < 2; ++load) {
    LoadPlugin();
    cookies.push_back(CookieOf(GetModuleHandleW(L"Tamsel.dll")));
    UnloadPlugin();
  }
  for (const std::uintptr_t cookie : cookies) {
    EXPECT_NE(cookie, 0U) << "the load configuration names no cookie in the image";
    EXPECT_NE(cookie, kMicrosoftsDefault) << "the cookie was never set";
  }
  EXPECT_NE(cookies[0], cookies[1]);
}

__declspec(noinline) void OverrunALocalBuffer(std::size_t bytes) {
  char buffer[16];
  std::memset(buffer, 'x', bytes);
  volatile char last = buffer[sizeof buffer - 1];
  static_cast<void>(last);
}

TEST_F(ProcessLifetimeTest, AnOverwrittenStackEndsTheProcessAtOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        serverDir_.WriteConfig(R"({"CpuThreads": "", "LogSaveFaults": true})");
        LoadPlugin();
        SimulatedSave::SetBody([](ADravikMode*) {
          volatile std::size_t bytes = 64;
          OverrunALocalBuffer(bytes);
        });
        SimulatedSave::Request();
        // Where the guard caught it, the save ends as failed and this exit tells so.
        if (Eventually([this] { return sink_->Contains("Save fault"); })) std::exit(1);
        std::exit(2);
      },
      ::testing::ExitedWithCode(static_cast<int>(STATUS_STACK_BUFFER_OVERRUN)), "");
}
#endif

// With "CrashDumps", each crashed save leaves a minidump of the process, with the fault's
// exception record and the save thread; the newest N stay; a dump that cannot be written costs
// one warning, and the next save is accepted.
class CrashDumpTest : public LoadedPluginFixture {
 protected:
  std::filesystem::path Folder() const {
    return serverDir_.Path() / "VelkorApi" / "Plugins" / "Tamsel" / "crashes";
  }
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(Folder(), ignored))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  // Loads the plug-in keeping two dumps, crashes one save and waits for what it logs of the
  // dump; returns the save thread's id.
  DWORD CrashASave() {
    serverDir_.WriteConfig(R"({"CpuThreads": "", "CrashDumps": 2})");
    LoadPlugin();
    static std::atomic<DWORD> saveThread{0};
    SimulatedSave::SetBody([](ADravikMode*) {
      saveThread = GetCurrentThreadId();
      RaiseFault(Fault::NullWrite);
    });
    SimulatedSave::Request();
    EXPECT_TRUE(Eventually(
        [this] {
          return sink_->Contains("Crash dump written to") ||
                 sink_->Contains("Could not write a crash");
        },
        std::chrono::minutes(5)));
    return saveThread;
  }
};

template <typename T>
T Read(const std::string& bytes, std::size_t at) {
  T value{};
  if (at + sizeof(T) <= bytes.size()) std::memcpy(&value, bytes.data() + at, sizeof(T));
  return value;
}

// The streams a dump holds, by type: {type, size, offset} entries from the header's directory.
std::vector<std::uint32_t> StreamTypes(const std::string& dump) {
  std::vector<std::uint32_t> types;
  const auto streams = Read<std::uint32_t>(dump, 8);
  const auto directory = Read<std::uint32_t>(dump, 12);
  for (std::uint32_t i = 0; i < streams; ++i)
    types.push_back(Read<std::uint32_t>(dump, directory + 12 * i));
  return types;
}

// One crash (Wine's dbghelp takes seconds over a dump): the new dump, written by the dump
// writer's process, with the exception on the save thread, the threads, the modules and the
// memory's regions; of the dumps already there, the oldest by the files' own times is removed,
// two being kept, whatever their names say (a clock that was ahead named these).
TEST_F(CrashDumpTest, TheDumpHoldsTheFaultAndTheSaveThreadAndTheNewestStay) {
  std::filesystem::create_directories(Folder());
  const auto now = std::filesystem::file_time_type::clock::now();
  std::ofstream(Folder() / "notes.txt") << "old";
  for (const auto& [name, age] : {std::pair{"save-crash-20991231-235959-998.dmp", 2},
                                  std::pair{"save-crash-20991231-235959-999.dmp", 1}}) {
    std::ofstream(Folder() / name) << "old";
    std::filesystem::last_write_time(Folder() / name, now - std::chrono::hours(age));
  }
  const DWORD saveThread = CrashASave();
  const std::vector<std::string> files = Files();
  ASSERT_EQ(files.size(), 3U);
  EXPECT_EQ(files[0], "notes.txt");
  ASSERT_EQ(files[1].rfind("save-crash-2", 0), 0U) << files[1];
  EXPECT_NE(files[1], "save-crash-20991231-235959-998.dmp");
  EXPECT_EQ(files[2], "save-crash-20991231-235959-999.dmp");
  EXPECT_TRUE(sink_->Contains(files[1])) << "the log names the dump";
  std::ifstream file(Folder() / files[1], std::ios::binary);
  const std::string dump((std::istreambuf_iterator<char>(file)), {});
  ASSERT_EQ(dump.substr(0, 4), "MDMP");
  // The exception stream (type 6) starts {thread id, alignment, exception code, ...}.
  const auto directory = Read<std::uint32_t>(dump, 12);
  std::size_t exception = 0;
  const std::vector<std::uint32_t> types = StreamTypes(dump);
  for (std::size_t i = 0; i < types.size(); ++i) {
    if (types[i] == 6) exception = Read<std::uint32_t>(dump, directory + 12 * i + 8);
  }
  ASSERT_NE(exception, 0U) << "no exception stream";
  EXPECT_EQ(Read<std::uint32_t>(dump, exception), saveThread);
  EXPECT_EQ(Read<std::uint32_t>(dump, exception + 8), EXCEPTION_ACCESS_VIOLATION);
  for (const std::uint32_t stream : {3U, 4U}) {  // threads, modules
    EXPECT_NE(std::find(types.begin(), types.end(), stream), types.end()) << "stream " << stream;
  }
}

// The writer is another process: a fault while a thread of the server holds the process
// heap's lock still gets its dump, written while that lock is held (the faulting thread itself
// allocates nothing until the dump is on disk).
TEST_F(CrashDumpTest, ADumpIsWrittenWhileAnotherThreadHoldsTheHeapLock) {
  serverDir_.WriteConfig(R"({"CpuThreads": "", "CrashDumps": 2})");
  LoadPlugin();
  // Events, not Gates: nothing between the lock and the fault may allocate. The lock is taken
  // only once the save runs: the save thread's start allocates.
  static HANDLE saveRunning = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  static HANDLE heapLocked = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ResetEvent(saveRunning);
  ResetEvent(heapLocked);
  SimulatedSave::SetBody([](ADravikMode*) {
    SetEvent(saveRunning);
    WaitForSingleObject(heapLocked, INFINITE);
    RaiseFault(Fault::NullWrite);
  });
  SimulatedSave::Request();
  const std::filesystem::path folder = Folder();
  bool writtenWhileLocked = false;
  // The thread that holds the lock may allocate: it owns it.
  std::thread([&folder, &writtenWhileLocked] {
    WaitForSingleObject(saveRunning, INFINITE);
    HeapLock(GetProcessHeap());
    SetEvent(heapLocked);
    writtenWhileLocked = Eventually(
        [&folder] {
          std::error_code ignored;
          for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
            if (entry.path().extension() == ".dmp") return true;
          }
          return false;
        },
        std::chrono::minutes(2));
    HeapUnlock(GetProcessHeap());
  }).join();
  EXPECT_TRUE(writtenWhileLocked);
  EXPECT_TRUE(Eventually([this] { return sink_->Contains("Crash dump written to"); },
                         std::chrono::minutes(5)));
}

// A file named dbghelp.dll beside the server's program, or beside the plug-in, is never
// loaded: the writer takes the system's. In a process of its own, so that its writer starts
// with the files there.
TEST_F(CrashDumpTest, ADbghelpBesideTheProgramIsNeverLoaded) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  wchar_t program[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, program, MAX_PATH);
  const std::vector<std::filesystem::path> planted = {
      std::filesystem::path(program).parent_path() / "dbghelp.dll",
      std::filesystem::path(TAMSEL_PLUGIN_FILE).parent_path() / "dbghelp.dll"};
  for (const auto& path : planted)
    std::ofstream(path) << "not a library";
  EXPECT_EXIT(
      {
        CrashASave();
        std::exit(sink_->Contains("Crash dump written to") ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  for (const auto& path : planted)
    std::filesystem::remove(path);
}

TEST_F(CrashDumpTest, ADumpThatCannotBeWrittenCostsOneWarning) {
  std::filesystem::create_directories(Folder().parent_path());
  std::ofstream(Folder()) << "a file where the folder should be";
  CrashASave();
  const std::vector<std::string> logged = Logged();
  EXPECT_EQ(std::count_if(logged.begin(), logged.end(),
                          [](const std::string& line) {
                            return line.rfind("warning|Could not write a crash dump (", 0) == 0;
                          }),
            1);
  SimulatedSave::SetBody(nullptr);
  const int before = SimulatedSave::Runs();
  SimulatedSave::Request();
  EXPECT_TRUE(Eventually([before] { return SimulatedSave::Runs() > before; }));
}

}  // namespace
