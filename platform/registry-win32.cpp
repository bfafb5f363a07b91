#include "platform/registry.h"

#include <cstring>
#include <windows.h>

namespace zelvo::platform {

namespace {
HKEY rootOf(RegistryHive hive) {
  return hive == RegistryHive::LocalMachine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

struct Key {
  HKEY handle = nullptr;
  Key(RegistryHive hive, const std::string& path) {
    if (::RegOpenKeyExA(rootOf(hive), path.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) handle = nullptr;
  }
  ~Key() {
    if (handle) ::RegCloseKey(handle);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
};

class Win32Registry : public RegistryView {
public:
  bool openKey(RegistryHive hive, const std::string& path) const override { return Key(hive, path).handle; }

  // Texts come back in the ANSI code page, which is CP950 on the subscribers' systems.
  std::optional<RegistryValue> readValue(RegistryHive hive, const std::string& path,
                                         const std::string& name) const override {
    Key key(hive, path);
    if (!key.handle) return std::nullopt;
    DWORD type = 0, size = 0;
    if (::RegQueryValueExA(key.handle, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
      return std::nullopt;
    std::string data(size, '\0');
    if (::RegQueryValueExA(key.handle, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                           &size) != ERROR_SUCCESS)
      return std::nullopt;
    data.resize(size);
    RegistryValue value;
    if (type == REG_DWORD && size == sizeof(DWORD)) {
      DWORD number = 0;
      std::memcpy(&number, data.data(), sizeof number);
      value.type = RegistryValue::Number;
      value.number = number;
      return value;
    }
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
      // The stored terminator (or a missing one) is not part of the text.
      if (auto end = data.find('\0'); end != std::string::npos) data.resize(end);
      value.type = RegistryValue::String;
      value.text = data;
      return value;
    }
    return std::nullopt; // other types are never read
  }
};
} // namespace

const RegistryView& SystemRegistry() {
  static const Win32Registry registry;
  return registry;
}

} // namespace zelvo::platform
