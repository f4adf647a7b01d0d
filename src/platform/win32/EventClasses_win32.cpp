// The kernel trace's event classes as the system's management service describes them, in the
// "root\wmi" namespace. Classes are read when first asked for and kept: they never change
// while the system runs.
// The system's headers need its base definitions first.
// clang-format off
#include <windows.h>
#include <wbemidl.h>
// clang-format on

#include <map>
#include <mutex>

#include "platform/ErrorCodes.h"
#include "platform/EventClasses.h"
#include "platform/Mutex.h"
#include "platform/SystemServices.h"
#include "platform/win32/Win32Support.h"

namespace Vantor::platform {

namespace {

constexpr int kConnected = 0;
constexpr int kServiceMissing = 1;
constexpr int kNamespaceRefused = 2;

// A COM interface pointer, released when the owner goes.
template <typename Interface>
class ComPointer {
 public:
  ComPointer() = default;
  ~ComPointer() {
    if (pointer_ != nullptr) pointer_->Release();
  }
  ComPointer(const ComPointer&) = delete;
  ComPointer& operator=(const ComPointer&) = delete;
  Interface* operator->() const { return pointer_; }
  Interface* get() const { return pointer_; }
  Interface** out() { return &pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }

 private:
  Interface* pointer_ = nullptr;
};

// A BSTR made from UTF-8 text, freed when the owner goes.
class Bstr {
 public:
  explicit Bstr(const std::string& text) : text_(::SysAllocString(wide(text).c_str())) {}
  ~Bstr() { ::SysFreeString(text_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR get() const { return text_; }

 private:
  BSTR text_;
};

std::string textOf(BSTR text) {
  return text == nullptr ? std::string() : narrow(text, ::SysStringLen(text));
}

std::optional<QualifierValue> qualifierValueOf(const VARIANT& value) {
  switch (value.vt) {
    case VT_BSTR:
      return QualifierValue(textOf(value.bstrVal));
    case VT_BOOL:
      return QualifierValue(std::int64_t{value.boolVal != VARIANT_FALSE});
    case VT_I2:
      return QualifierValue(std::int64_t{value.iVal});
    case VT_I4:
      return QualifierValue(std::int64_t{value.lVal});
    case VT_UI1:
      return QualifierValue(std::int64_t{value.bVal});
    case VT_UI4:
      return QualifierValue(std::int64_t{value.ulVal});
    case VT_ARRAY | VT_I4: {
      std::vector<std::int64_t> numbers;
      LONG low = 0;
      LONG high = -1;
      ::SafeArrayGetLBound(value.parray, 1, &low);
      ::SafeArrayGetUBound(value.parray, 1, &high);
      for (LONG at = low; at <= high; ++at) {
        LONG number = 0;
        if (SUCCEEDED(::SafeArrayGetElement(value.parray, &at, &number))) numbers.push_back(number);
      }
      return QualifierValue(std::move(numbers));
    }
    default:
      return std::nullopt;
  }
}

Qualifiers readQualifiers(IWbemQualifierSet* set) {
  Qualifiers qualifiers;
  if (set == nullptr || FAILED(set->BeginEnumeration(0))) return qualifiers;
  BSTR name = nullptr;
  VARIANT value;
  ::VariantInit(&value);
  while (set->Next(0, &name, &value, nullptr) == WBEM_S_NO_ERROR) {
    if (std::optional<QualifierValue> read = qualifierValueOf(value)) {
      qualifiers.emplace(textOf(name), std::move(*read));
    }
    ::SysFreeString(name);
    ::VariantClear(&value);
  }
  set->EndEnumeration();
  return qualifiers;
}

std::string stringProperty(IWbemClassObject* object, const wchar_t* name) {
  VARIANT value;
  ::VariantInit(&value);
  std::string text;
  if (SUCCEEDED(object->Get(name, 0, &value, nullptr, nullptr)) && value.vt == VT_BSTR) {
    text = textOf(value.bstrVal);
  }
  ::VariantClear(&value);
  return text;
}

EventClass readClass(IWbemClassObject* object) {
  EventClass result;
  result.name = stringProperty(object, L"__CLASS");
  result.superclass = stringProperty(object, L"__SUPERCLASS");
  {
    ComPointer<IWbemQualifierSet> set;
    if (SUCCEEDED(object->GetQualifierSet(set.out())))
      result.qualifiers = readQualifiers(set.get());
  }
  // Only the class's own properties: the inherited ones belong to its ancestors.
  if (FAILED(object->BeginEnumeration(WBEM_FLAG_LOCAL_ONLY))) return result;
  BSTR name = nullptr;
  CIMTYPE type = 0;
  while (object->Next(0, &name, nullptr, &type, nullptr) == WBEM_S_NO_ERROR) {
    EventProperty property;
    property.name = textOf(name);
    property.cimType = static_cast<std::uint32_t>(type);
    ComPointer<IWbemQualifierSet> set;
    if (SUCCEEDED(object->GetPropertyQualifierSet(name, set.out()))) {
      property.qualifiers = readQualifiers(set.get());
    }
    result.properties.push_back(std::move(property));
    ::SysFreeString(name);
  }
  object->EndEnumeration();
  return result;
}

class Win32EventClasses : public EventClasses {
 public:
  int connect() override {
    MutexLock lock(&mutex_);
    if (services_) return kConnected;
    // The calling thread joins a single-threaded apartment, unless it is in one already.
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                           RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    ComPointer<IWbemLocator> locator;
    if (FAILED(::CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_IWbemLocator, reinterpret_cast<void**>(locator.out())))) {
      return kServiceMissing;
    }
    Bstr space("root\\wmi");
    if (FAILED(locator->ConnectServer(space.get(), nullptr, nullptr, nullptr, 0, nullptr, nullptr,
                                      services_.out()))) {
      return kNamespaceRefused;
    }
    ::CoSetProxyBlanket(services_.get(), RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr,
                        RPC_C_AUTHN_LEVEL_CALL, RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
    return kConnected;
  }

  std::vector<const EventClass*> subclasses(const std::string& name, bool deep) const override {
    MutexLock lock(&mutex_);
    auto key = std::make_pair(name, deep);
    auto known = asked_.find(key);
    if (known == asked_.end()) known = asked_.emplace(key, readSubclasses(name, deep)).first;
    std::vector<const EventClass*> found;
    for (const EventClass& eventClass : known->second) found.push_back(&eventClass);
    return found;
  }

 private:
  std::vector<EventClass> readSubclasses(const std::string& name, bool deep) const
      EXCLUSIVE_LOCKS_REQUIRED(mutex_) {
    std::vector<EventClass> classes;
    if (!services_) return classes;
    Bstr parent(name);
    ComPointer<IEnumWbemClassObject> found;
    long flags = (deep ? WBEM_FLAG_DEEP : WBEM_FLAG_SHALLOW) | WBEM_FLAG_USE_AMENDED_QUALIFIERS |
                 WBEM_FLAG_FORWARD_ONLY;
    if (FAILED(services_->CreateClassEnum(parent.get(), flags, nullptr, found.out()))) {
      return classes;
    }
    while (true) {
      ComPointer<IWbemClassObject> object;
      ULONG returned = 0;
      if (found->Next(static_cast<long>(WBEM_INFINITE), 1, object.out(), &returned) !=
              WBEM_S_NO_ERROR ||
          returned == 0) {
        break;
      }
      classes.push_back(readClass(object.get()));
    }
    return classes;
  }

  mutable Mutex mutex_;
  ComPointer<IWbemServices> services_ GUARDED_BY(mutex_);
  // Kept as long as this object: the pointers handed out point into it. A std::map never
  // moves its elements.
  mutable std::map<std::pair<std::string, bool>, std::vector<EventClass>> asked_ GUARDED_BY(mutex_);
};

}  // namespace

EventClasses& systemEventClasses() {
  static EventClasses* const classes = new Win32EventClasses;
  return *classes;
}

}  // namespace Vantor::platform
