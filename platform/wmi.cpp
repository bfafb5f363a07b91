// Variants, fixed objects and the text parsers, shared by every platform.
#include "platform/wmi.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <sstream>

namespace zelvo::platform {

Variant TextVariant(const std::string& text) {
  Variant v;
  v.kind = Variant::Text;
  v.text = text;
  return v;
}

Variant IntegerVariant(std::int64_t value) {
  Variant v;
  v.kind = Variant::Integer;
  v.integer = value;
  return v;
}

Variant NullVariant() {
  Variant v;
  v.kind = Variant::Null;
  return v;
}

HResult FixedClassObject::GetNames(std::int32_t, std::vector<std::string>& names) const {
  names.clear();
  for (const auto& p : properties_)
    names.push_back(p.name);
  return kSOk;
}

HResult FixedClassObject::Get(const std::string& name, Variant& value, std::int32_t& cimType) const {
  for (const auto& p : properties_)
    if (p.name == name) {
      value = p.value;
      cimType = p.cimType;
      return kSOk;
    }
  return kWbemENotFound;
}

HResult FixedClassObject::GetPropertyOrigin(const std::string& name, std::string& origin) const {
  for (const auto& p : properties_)
    if (p.name == name) {
      origin = p.origin;
      return kSOk;
    }
  return kWbemENotFound;
}

HResult FixedEnumerator::Next(std::int32_t, std::shared_ptr<WbemClassObject>& object,
                              std::uint32_t& returned) {
  if (next_ >= objects_.size()) {
    returned = 0;
    object.reset();
    return kWbemSFalse;
  }
  object = objects_[next_++];
  returned = 1;
  return kSOk;
}

std::string OsCaptionFromOsRelease(const std::string& osRelease) {
  std::istringstream lines(osRelease);
  std::string line, pretty, name, version;
  auto unquote = [](std::string value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    return value;
  };
  while (std::getline(lines, line)) {
    if (line.rfind("PRETTY_NAME=", 0) == 0)
      pretty = unquote(line.substr(12));
    else if (line.rfind("NAME=", 0) == 0)
      name = unquote(line.substr(5));
    else if (line.rfind("VERSION=", 0) == 0)
      version = unquote(line.substr(8));
  }
  if (!pretty.empty()) return pretty;
  if (!name.empty()) return version.empty() ? name : name + " " + version;
  return "Linux";
}

std::vector<std::string> ProcessorNamesFromCpuInfo(const std::string& cpuinfo) {
  // One object per physical package, as WMI lists sockets, named by its first logical processor.
  std::vector<std::string> names;
  std::set<std::string> packages;
  std::istringstream lines(cpuinfo);
  std::string line, model, package;
  auto flush = [&] {
    if (!model.empty() && packages.insert(package).second) names.push_back(model);
    model.clear();
    package.clear();
  };
  while (std::getline(lines, line)) {
    if (line.find_first_not_of(" \t") == std::string::npos) {
      flush();
      continue;
    }
    auto colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string key = line.substr(0, colon);
    while (!key.empty() && std::isspace(static_cast<unsigned char>(key.back())))
      key.pop_back();
    std::string value = line.substr(colon + 1);
    std::size_t start = value.find_first_not_of(" \t");
    value = start == std::string::npos ? std::string() : value.substr(start);
    if (key == "model name" || (key == "Processor" && model.empty()) || (key == "cpu model" && model.empty()))
      model = value;
    else if (key == "physical id")
      package = value;
  }
  flush();
  return names;
}

std::vector<std::string> DiskMountPoints(const std::string& mounts) {
  auto decode = [](const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
      bool octal = field[i] == '\\' && i + 3 < field.size();
      for (std::size_t k = 1; octal && k <= 3; ++k)
        octal = field[i + k] >= '0' && field[i + k] <= '7';
      if (octal) {
        out.push_back(static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8)));
        i += 3;
      } else {
        out.push_back(field[i]);
      }
    }
    return out;
  };
  std::vector<std::string> points = {"/"};
  std::istringstream lines(mounts);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string source, target;
    if (!(fields >> source >> target)) continue;
    // Real file systems sit on a device node; pseudo file systems name no path.
    if (source.empty() || source[0] != '/') continue;
    std::string point = decode(target);
    if (std::find(points.begin(), points.end(), point) == points.end()) points.push_back(point);
  }
  return points;
}

} // namespace zelvo::platform
