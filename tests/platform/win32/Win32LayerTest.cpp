// The Windows layer against the system's own calls (Wine's, in this build's runs): the
// registry, mailslots, named mutexes and events, process handles and version resources.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/Env.h"
#include "platform/ErrorCodes.h"
#include "support/SystemEnv.h"
#include "support/TempDir.h"

namespace Vantor {
namespace {

using namespace std::chrono_literals;

platform::Env& env() { return testing::systemEnv(); }

// A name no other run of the tests uses at the same time.
std::string uniqueName(const std::string& stem) {
  return stem + std::to_string(::GetCurrentProcessId()) + "_" + std::to_string(::GetTickCount64());
}

std::string lowered(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

TEST(Win32RegistryTest, StringsRoundTripOtherTypesKeepTheirBytesAndMissingValuesAreMissing) {
  // The machine's own registry, not a test's file.
  testing::ScopedEnv noFile("VANTOR_REGISTRY", nullptr);
  platform::Registry& registry = env().registry();
  std::string key = "SOFTWARE\\Tarnwick Tests\\" + uniqueName("registry");
  ASSERT_EQ(registry.setString(key, "Path", "C:\\Program Files\\Zürich 東京"),
            platform::kErrorSuccess);
  platform::RegistryValue value;
  ASSERT_EQ(registry.queryValue(key, "path", &value),
            platform::kErrorSuccess);  // names ignore case
  EXPECT_EQ(value.type, platform::kRegSz);
  EXPECT_EQ(value.data, std::string("C:\\Program Files\\Zürich 東京") + '\0');

  HKEY opened = nullptr;
  ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, std::wstring(key.begin(), key.end()).c_str(), 0,
                            KEY_SET_VALUE, &opened),
            ERROR_SUCCESS);
  DWORD number = 0x01020304;
  ::RegSetValueExW(opened, L"Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                   sizeof number);
  const wchar_t list[] = L"one\0two\0";
  ::RegSetValueExW(opened, L"List", 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(list),
                   sizeof list);
  ::RegCloseKey(opened);
  ASSERT_EQ(registry.queryValue(key, "Number", &value), platform::kErrorSuccess);
  EXPECT_EQ(value.type, platform::kRegDword);
  EXPECT_EQ(value.data, std::string("\x04\x03\x02\x01", 4));
  ASSERT_EQ(registry.queryValue(key, "List", &value), platform::kErrorSuccess);
  EXPECT_EQ(value.type, platform::kRegMultiSz);
  EXPECT_EQ(value.data, std::string("one\0two\0\0", 9));

  EXPECT_EQ(registry.queryValue(key, "Absent", &value), platform::kErrorFileNotFound);
  EXPECT_EQ(registry.queryValue(key + "\\Absent", "Path", &value), platform::kErrorFileNotFound);
  ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Tarnwick Tests");
}

TEST(Win32MailslotTest, WholeMessagesArriveInOrderAndAWakeEndsAWait) {
  std::string name = uniqueName("TarnwickTest");
  auto created = env().createMailslot(name);
  ASSERT_TRUE(created) << created.error();
  std::unique_ptr<platform::MailslotReader> reader = std::move(created.value());
  EXPECT_EQ(env().createMailslot(name).error(), platform::kErrorAlreadyExists);

  auto opened = env().openMailslot(name);
  ASSERT_TRUE(opened) << opened.error();
  std::unique_ptr<platform::MailslotWriter> writer = std::move(opened.value());
  ASSERT_TRUE(writer->write("hello"));
  ASSERT_TRUE(writer->write("a longer message"));
  ASSERT_TRUE(writer->write("last"));
  EXPECT_TRUE(reader->waitForMessage(1000));
  bool present = false;
  std::size_t size = 0;
  std::uint32_t sender = 0;
  ASSERT_TRUE(reader->peek(&present, &size, &sender));
  EXPECT_TRUE(present);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(sender, env().userId());
  platform::MailslotMessage message;
  ASSERT_TRUE(reader->read(100, &message));
  EXPECT_EQ(message.bytes, "hello");
  // The slot admits only the system, administrators and its owner: each message is theirs.
  EXPECT_EQ(message.senderUid, env().userId());
  // A reader that takes less takes the whole message still: its rest is no message.
  ASSERT_TRUE(reader->read(8, &message));
  EXPECT_EQ(message.bytes, "a longer");
  ASSERT_TRUE(reader->read(100, &message));
  EXPECT_EQ(message.bytes, "last");
  ASSERT_TRUE(reader->peek(&present, &size, &sender));
  EXPECT_FALSE(present);

  EXPECT_FALSE(reader->waitForMessage(50));
  auto started = std::chrono::steady_clock::now();
  std::thread waker([&] {
    std::this_thread::sleep_for(100ms);
    reader->wake();
  });
  EXPECT_FALSE(reader->waitForMessage(30000));
  waker.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);

  EXPECT_EQ(env().openMailslot(uniqueName("TarnwickNobody")).error(), platform::kErrorFileNotFound);
  EXPECT_EQ(env().createMailslot("..\\pipe\\x").error(), platform::kErrorInvalidName);
}

TEST(Win32NamedObjectsTest, AMutexHasOneHolderAndEventsWakeTheirWaiters) {
  std::string mutexName = uniqueName("TarnwickMutex");
  auto held = env().tryHoldNamedMutex(mutexName, platform::MutexTakers::kEveryone);
  ASSERT_TRUE(held) << held.error();
  std::unique_ptr<platform::NamedMutexHold> hold = std::move(held.value());
  // Another thread stands for another program: the mutex is held.
  std::thread([&] {
    EXPECT_EQ(env().tryHoldNamedMutex(mutexName, platform::MutexTakers::kEveryone).error(),
              platform::kErrorAlreadyExists);
  }).join();
  hold.reset();
  std::thread([&] {
    EXPECT_TRUE(env().tryHoldNamedMutex(mutexName, platform::MutexTakers::kEveryone));
  }).join();

  std::string eventName = uniqueName("TarnwickEvent");
  std::unique_ptr<platform::NamedEvent> quiet =
      std::move(env()
                    .createEvent(uniqueName("TarnwickQuiet"), platform::NamedEvent::Reset::kManual,
                                 platform::NamedEvent::Users::kThisUser)
                    .value());
  std::unique_ptr<platform::NamedEvent> event =
      std::move(env()
                    .createEvent(eventName, platform::NamedEvent::Reset::kAutomatic,
                                 platform::NamedEvent::Users::kEveryone)
                    .value());
  ASSERT_NE(quiet, nullptr);
  ASSERT_NE(event, nullptr);
  std::vector<platform::NamedEvent*> both = {quiet.get(), event.get()};
  EXPECT_EQ(env().waitForAnyEvent(both, 20ms).value(), platform::NamedEvent::kTimedOut);
  std::thread setter([&] {
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(env().setEvent(eventName));
  });
  EXPECT_EQ(env().waitForAnyEvent(both, 10s).value(), 1);
  setter.join();
  // Reset by the wait that took it.
  EXPECT_EQ(env().waitForAnyEvent(both, 20ms).value(), platform::NamedEvent::kTimedOut);
  std::unique_ptr<platform::NamedEvent> opened =
      std::move(env().openEvent(eventName, platform::NamedEvent::Reset::kAutomatic).value());
  ASSERT_NE(opened, nullptr);
  EXPECT_TRUE(opened->set());
  EXPECT_EQ(env().waitForAnyEvent(both, 1s).value(), 1);

  EXPECT_EQ(
      env().openEvent(uniqueName("TarnwickNoEvent"), platform::NamedEvent::Reset::kManual).error(),
      platform::kErrorFileNotFound);
  EXPECT_FALSE(env().setEvent(uniqueName("TarnwickNoEvent")));
}

// Starts the probe, which runs millis milliseconds and exits with code.
PROCESS_INFORMATION startProbe(int code, int millis) {
  std::wstring command =
      L"\"" +
      std::wstring(VERSIONED_PROBE_PATH, VERSIONED_PROBE_PATH + strlen(VERSIONED_PROBE_PATH)) +
      L"\" " + std::to_wstring(code) + L" " + std::to_wstring(millis);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  EXPECT_TRUE(::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &started));
  return started;
}

TEST(Win32ProcessTest, AHandleStaysWithItsProcessAndReadsItsExitCode) {
  PROCESS_INFORMATION probe = startProbe(7, 3000);
  ASSERT_NE(probe.hProcess, nullptr);
  auto opened = env().openProcess(probe.dwProcessId, 0);
  ASSERT_TRUE(opened) << opened.error();
  std::unique_ptr<platform::ProcessHandle> handle = std::move(opened.value());
  EXPECT_NE(handle->startStamp(), 0u);
  EXPECT_LE(handle->startStamp(), env().processStartStampNow());
  // A stamp of another start names another process.
  EXPECT_EQ(env().openProcess(probe.dwProcessId, handle->startStamp() + 1).error(),
            platform::kErrorInvalidParameter);
  EXPECT_TRUE(env().openProcess(probe.dwProcessId, handle->startStamp()));

  std::string path;
  ASSERT_TRUE(handle->executable(&path));
  EXPECT_TRUE(lowered(path).ends_with("versioned_probe.exe")) << path;
  std::string sid;
  ASSERT_TRUE(handle->userSid(&sid));
  EXPECT_EQ(sid.rfind("S-1-5-", 0), 0u) << sid;
  std::string user;
  std::string domain;
  EXPECT_TRUE(env().lookupAccountSid(sid, &user, &domain));
  EXPECT_FALSE(user.empty());
  // The system's libraries come as the new process's loader runs.
  std::vector<std::string> modules;
  EXPECT_TRUE(testing::waitUntil(
      [&] {
        return handle->modules(&modules) &&
               std::any_of(modules.begin(), modules.end(), [](const std::string& module) {
                 return lowered(module).ends_with("kernel32.dll");
               });
      },
      10s));
  ASSERT_FALSE(modules.empty());
  EXPECT_TRUE(lowered(modules[0]).ends_with("versioned_probe.exe")) << modules[0];
  std::uint32_t parent = 0;
  EXPECT_TRUE(handle->parentPid(&parent));
  EXPECT_EQ(parent, ::GetCurrentProcessId());

  std::unique_ptr<platform::ProcessTable> table = env().newProcessTable();
  std::vector<platform::ListedProcess> listed;
  ASSERT_TRUE(table->list(&listed));
  EXPECT_TRUE(std::any_of(listed.begin(), listed.end(), [&](const platform::ListedProcess& entry) {
    return entry.id == platform::ProcessId{probe.dwProcessId, handle->startStamp()};
  }));

  std::uint32_t code = 0;
  EXPECT_TRUE(handle->isRunning());
  ASSERT_TRUE(handle->exitCode(&code));
  EXPECT_EQ(code, platform::kStillActive);
  ASSERT_EQ(::WaitForSingleObject(probe.hProcess, 30000), WAIT_OBJECT_0);
  EXPECT_FALSE(handle->isRunning());
  ASSERT_TRUE(handle->exitCode(&code));
  EXPECT_EQ(code, 7u);
  ::CloseHandle(probe.hThread);
  ::CloseHandle(probe.hProcess);
  EXPECT_FALSE(env().openProcess(0, 0));
}

TEST(Win32VersionInfoTest, TheProbesResourceNamesItsProductAndAPlainFileHasNone) {
  platform::VersionInfo info;
  platform::Status read = env().readVersionInfo(VERSIONED_PROBE_PATH, &info);
  ASSERT_TRUE(read) << read.code();
  ASSERT_FALSE(info.translations.empty());
  EXPECT_EQ(info.translations[0], std::make_pair(std::uint16_t{0x0409}, std::uint16_t{1200}));
  EXPECT_EQ(info.query(0x0409, 1200, "ProductName"), "Tarnwick Probe Suite");
  EXPECT_EQ(info.query(0x0409, 1200, "FileDescription"), "Tarnwick Versioned Probe");

  testing::TempDir dir;
  testing::writeFile(dir.file("plain.exe"), "MZ but nothing else");
  EXPECT_FALSE(env().readVersionInfo(dir.file("plain.exe"), &info));
  EXPECT_FALSE(env().readVersionInfo(dir.file("absent.exe"), &info));
}

}  // namespace
}  // namespace Vantor
