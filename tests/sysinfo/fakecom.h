#pragma once
// A COM platform that answers WQL queries with fixed objects, and records what it was asked.

#include "platform/wmi.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zelvo::test {

using platform::FixedClassObject;
using platform::HResult;

inline std::shared_ptr<platform::WbemClassObject> Object(std::vector<FixedClassObject::Property> properties) {
  return std::make_shared<FixedClassObject>(std::move(properties));
}
inline FixedClassObject::Property Text(const std::string& name, const std::string& value,
                                       const std::string& origin = "Win32_Test") {
  return {name, platform::TextVariant(value), platform::kCimString, origin};
}
inline FixedClassObject::Property Null(const std::string& name, std::int32_t cimType = platform::kCimString) {
  return {name, platform::NullVariant(), cimType, "Win32_Test"};
}

class FakeCom : public platform::ComPlatform {
public:
  // namespace (as given) -> class name (as in the query) -> objects; a missing class is an invalid class.
  std::map<std::string, std::map<std::string, std::vector<std::shared_ptr<platform::WbemClassObject>>>>
      spaces;
  std::vector<std::string> queries; // "namespace|query" as the services received them
  HResult initResult = 0, securityResult = 0, locatorResult = 0, blanketResult = 0, statusResult = 0;
  HResult nextFailure = 0; // an enumeration error after the objects
  std::map<std::uint32_t, std::string> systemMessages;
  int initCount = 0;

  HResult CoInitializeEx(std::int32_t) override {
    if (initResult >= 0) ++initCount;
    return initResult;
  }
  void CoUninitialize() override {
    if (initCount > 0) --initCount;
  }
  HResult CoInitializeSecurity(std::int32_t, std::int32_t, std::int32_t) override { return securityResult; }
  HResult CreateLocator(std::unique_ptr<platform::WbemLocator>& locator) override;
  HResult CoSetProxyBlanket(platform::WbemServices&, std::int32_t, std::int32_t, std::int32_t,
                            std::int32_t) override {
    return blanketResult;
  }
  HResult CreateStatusCodeText(std::unique_ptr<platform::WbemStatusCodeText>& object) override;
  bool FormatSystemMessage(std::uint32_t code, std::size_t limit, std::string& text) override {
    auto it = systemMessages.find(code);
    if (it == systemMessages.end()) return false;
    text = it->second.substr(0, limit);
    return true;
  }
};

class FakeEnumerator : public platform::EnumWbemClassObject {
public:
  FakeEnumerator(std::vector<std::shared_ptr<platform::WbemClassObject>> objects, HResult failure)
      : inner_(std::move(objects)), failure_(failure) {}
  HResult Reset() override { return inner_.Reset(); }
  HResult Next(std::int32_t timeout, std::shared_ptr<platform::WbemClassObject>& object,
               std::uint32_t& returned) override {
    HResult result = inner_.Next(timeout, object, returned);
    if (returned == 0 && failure_ < 0) return failure_;
    return result;
  }

private:
  platform::FixedEnumerator inner_;
  HResult failure_;
};

class FakeServices : public platform::WbemServices {
public:
  FakeServices(FakeCom& com, std::string space) : com_(com), space_(std::move(space)) {}
  HResult ExecQuery(const std::string&, const std::string& query, std::int32_t,
                    std::unique_ptr<platform::EnumWbemClassObject>& result) override {
    com_.queries.push_back(space_ + "|" + query);
    auto& classes = com_.spaces[space_];
    std::string cls = query.substr(query.rfind(' ') + 1);
    auto it = classes.find(cls);
    if (it == classes.end()) return platform::kWbemEInvalidClass;
    result = std::make_unique<FakeEnumerator>(it->second, com_.nextFailure);
    return 0;
  }

private:
  FakeCom& com_;
  std::string space_;
};

class FakeLocator : public platform::WbemLocator {
public:
  explicit FakeLocator(FakeCom& com) : com_(com) {}
  HResult ConnectServer(const std::u16string& nameSpace,
                        std::unique_ptr<platform::WbemServices>& services) override {
    std::string name(nameSpace.begin(), nameSpace.end());
    if (!com_.spaces.count(name)) return platform::kWbemEInvalidNamespace;
    services = std::make_unique<FakeServices>(com_, name);
    return 0;
  }

private:
  FakeCom& com_;
};

class FakeStatusText : public platform::WbemStatusCodeText {
public:
  HResult GetErrorCodeText(HResult code, std::int32_t, std::int32_t, std::string& text) override {
    if (code == platform::kWbemEInvalidNamespace) {
      text = "Invalid namespace ";
      return 0;
    }
    return platform::kWbemENotFound;
  }
};

inline HResult FakeCom::CreateLocator(std::unique_ptr<platform::WbemLocator>& locator) {
  if (locatorResult < 0) return locatorResult;
  locator = std::make_unique<FakeLocator>(*this);
  return 0;
}

inline HResult FakeCom::CreateStatusCodeText(std::unique_ptr<platform::WbemStatusCodeText>& object) {
  if (statusResult < 0) return statusResult;
  object = std::make_unique<FakeStatusText>();
  return 0;
}

} // namespace zelvo::test
