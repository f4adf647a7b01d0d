// Named mutexes and events are the system's kernel objects, in the namespace every session
// shares. Who may use one is its security descriptor's business: an object meant for everyone
// lets everyone wait and set; one for this user admits the system, administrators and its
// owner.
#include "platform/ErrorCodes.h"
#include "platform/NamedEvent.h"
#include "platform/NamedMutex.h"
#include "platform/SystemServices.h"
#include "platform/win32/Win32Support.h"

namespace Vantor::platform {

namespace {

// What the agent does with its named objects, and no more: asking for all rights, as the
// plain create calls do, would fail on an object whose descriptor grants only these.
// READ_CONTROL: the owner is checked before an object is believed.
constexpr DWORD kEventRights = SYNCHRONIZE | EVENT_MODIFY_STATE | READ_CONTROL;
constexpr DWORD kMutexRights = SYNCHRONIZE | MUTEX_MODIFY_STATE | READ_CONTROL;

class Win32MutexHold : public NamedMutexHold {
 public:
  explicit Win32MutexHold(UniqueHandle mutex) : mutex_(std::move(mutex)) {}
  // A mutex belongs to the thread that took it: released from another, the system lets it go
  // when that thread ends (the next taker finds it abandoned, which counts as free).
  ~Win32MutexHold() override { ::ReleaseMutex(mutex_.get()); }

 private:
  UniqueHandle mutex_;
};

class Win32Event : public NamedEvent {
 public:
  explicit Win32Event(UniqueHandle event) : event_(std::move(event)) {}

  bool set() override { return ::SetEvent(event_.get()) || failWithSystemError(); }

  HANDLE handle() const { return event_.get(); }

 private:
  UniqueHandle event_;
};

SECURITY_ATTRIBUTES* attributesFor(MutexTakers takers) {
  return takers == MutexTakers::kEveryone ? everyoneMayUse() : ownersOnly();
}

// A handle to the object made or found, or an empty one (lastError set) when it cannot be made
// or, meant for this user alone, another user made it first.
UniqueHandle checked(HANDLE made, bool forThisUser) {
  UniqueHandle object(made);
  if (!object.valid()) {
    failWithSystemError();
    return object;
  }
  if (forThisUser && ::GetLastError() == ERROR_ALREADY_EXISTS &&
      !ownedByUsOrTheSystem(object.get())) {
    failWithCode(kErrorAccessDenied);
    return UniqueHandle();
  }
  return object;
}

}  // namespace

std::unique_ptr<NamedMutexHold> tryHoldNamedMutex(const std::string& name, MutexTakers takers) {
  UniqueHandle mutex = checked(
      ::CreateMutexExW(attributesFor(takers), globalObjectName(name).c_str(), 0, kMutexRights),
      takers == MutexTakers::kThisUser);
  if (!mutex.valid()) return nullptr;
  DWORD taken = ::WaitForSingleObject(mutex.get(), 0);
  if (taken == WAIT_OBJECT_0 || taken == WAIT_ABANDONED) {
    return std::make_unique<Win32MutexHold>(std::move(mutex));
  }
  failWithCode(taken == WAIT_TIMEOUT ? kErrorAlreadyExists : ::GetLastError());
  return nullptr;
}

bool prepareNamedMutex(const std::string& name) {
  // An object lives while a handle to it is open: this one stays for the process's life, so
  // that users who may not create objects in the shared namespace can still open it.
  HANDLE mutex =
      ::CreateMutexExW(everyoneMayUse(), globalObjectName(name).c_str(), 0, kMutexRights);
  return mutex != nullptr || failWithSystemError();
}

std::unique_ptr<NamedEvent> createEvent(const std::string& name, NamedEvent::Reset reset,
                                        NamedEvent::Users users) {
  bool thisUser = users == NamedEvent::Users::kThisUser;
  DWORD flags = reset == NamedEvent::Reset::kManual ? CREATE_EVENT_MANUAL_RESET : 0;
  UniqueHandle event =
      checked(::CreateEventExW(thisUser ? ownersOnly() : everyoneMayUse(),
                               globalObjectName(name).c_str(), flags, kEventRights),
              thisUser);
  if (!event.valid()) return nullptr;
  return std::make_unique<Win32Event>(std::move(event));
}

std::unique_ptr<NamedEvent> openEvent(const std::string& name, NamedEvent::Reset) {
  UniqueHandle event(::OpenEventW(kEventRights, FALSE, globalObjectName(name).c_str()));
  if (!event.valid()) {
    DWORD error = ::GetLastError();
    failWithCode(error == ERROR_ACCESS_DENIED ? kErrorAccessDenied : kErrorFileNotFound);
    return nullptr;
  }
  // Only the system's or this user's events are believed.
  if (!ownedByUsOrTheSystem(event.get())) {
    failWithCode(kErrorAccessDenied);
    return nullptr;
  }
  return std::make_unique<Win32Event>(std::move(event));
}

bool setEvent(const std::string& name) {
  std::unique_ptr<NamedEvent> event = openEvent(name, NamedEvent::Reset::kAutomatic);
  return event != nullptr && event->set();
}

int waitForAnyEvent(const std::vector<NamedEvent*>& events, std::chrono::milliseconds timeout) {
  std::vector<HANDLE> handles;
  for (NamedEvent* event : events) {
    auto* own = dynamic_cast<Win32Event*>(event);
    if (own == nullptr) {
      failWithCode(kErrorInvalidHandle);
      return NamedEvent::kFailed;
    }
    handles.push_back(own->handle());
  }
  if (handles.empty() || handles.size() > MAXIMUM_WAIT_OBJECTS) {
    failWithCode(kErrorInvalidParameter);
    return NamedEvent::kFailed;
  }
  DWORD waited = ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE,
                                          static_cast<DWORD>(timeout.count()));
  if (waited == WAIT_TIMEOUT) return NamedEvent::kTimedOut;
  if (waited < WAIT_OBJECT_0 + handles.size()) return static_cast<int>(waited - WAIT_OBJECT_0);
  failWithSystemError();
  return NamedEvent::kFailed;
}

}  // namespace Vantor::platform
