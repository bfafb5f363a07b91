#include "sysinfo/wmi.h"

#include "platform/cp950.h"
#include "tests/sysinfo/fakecom.h"

#include <gtest/gtest.h>
#include <set>

namespace zelvo {
namespace {

using platform::FixedClassObject;
using platform::Variant;
using test::FakeCom;
using test::Null;
using test::Object;
using test::Text;

TEST(CimTypeNames, PrefixesBasesAndUnknownCodes) {
  EXPECT_EQ(CimTypeName(8), "String");
  EXPECT_EQ(CimTypeName(0x2008), "Array - String");
  EXPECT_EQ(CimTypeName(0x4000 + 102), "Reference - Reference");
  EXPECT_EQ(CimTypeName(0x2000 + 7), "Array - 0x2007");
  EXPECT_EQ(CimTypeName(4095), "Illegal");
  EXPECT_EQ(CimTypeName(0), "Empty (null)");
  EXPECT_EQ(CimTypeName(21), "Uint64");
  EXPECT_EQ(CimTypeName(101), "DateTime");
  EXPECT_EQ(CimTypeName(0x1000 + 8), "String"); // other flag bits give no prefix
  EXPECT_EQ(CimTypeName(0x4000 + 999), "Reference - 0x43E7");
}

TEST(WbemErrorNames, AllEightyTwoCodesAndTheGap) {
  FakeCom com;
  std::set<std::string> names;
  for (std::uint32_t code = 0x80041001u; code <= 0x80041049u; ++code)
    names.insert(WbemErrorName(static_cast<HResult>(code), com));
  for (std::uint32_t code = 0x80041050u; code <= 0x80041056u; ++code)
    names.insert(WbemErrorName(static_cast<HResult>(code), com));
  names.insert(WbemErrorName(static_cast<HResult>(0x80042001u), com));
  names.insert(WbemErrorName(static_cast<HResult>(0x80042002u), com));
  EXPECT_EQ(names.size(), 82u);
  EXPECT_EQ(names.count(""), 0u);
  EXPECT_EQ(WbemErrorName(static_cast<HResult>(0x80041001u), com), "WBEM_E_FAILED");
  EXPECT_EQ(WbemErrorName(static_cast<HResult>(0x80041010u), com), "WBEM_E_INVALID_CLASS");
  EXPECT_EQ(WbemErrorName(static_cast<HResult>(0x80041049u), com), "WBEM_E_CANNOT_CHANGE_KEY_INHERITANCE");
  EXPECT_EQ(WbemErrorName(static_cast<HResult>(0x80041050u), com), "WBEM_E_CANNOT_CHANGE_INDEX_INHERITANCE");
  EXPECT_EQ(WbemErrorName(static_cast<HResult>(0x80041056u), com), "WBEM_E_METHOD_DISABLED");
  EXPECT_EQ(WbemErrorName(static_cast<HResult>(0x80042002u), com), "WBEMESS_E_REGISTRATION_TOO_PRECISE");
  // Between the two ranges the system's text, here none.
  EXPECT_EQ(WbemErrorName(static_cast<HResult>(0x8004104Au), com), "");
  com.systemMessages[0x8004104Au] = "Some system text\r\n";
  EXPECT_EQ(WbemErrorName(static_cast<HResult>(0x8004104Au), com), "Some system text");
}

TEST(WbemErrorNames, SystemTextLosesOnlyAFinalCrLf) {
  FakeCom com;
  com.systemMessages[5] = "Access is denied.\r\n";
  com.systemMessages[6] = "No line end";
  com.systemMessages[7] = "Only a line feed\n";
  com.systemMessages[8] = std::string(300, 'x') + "\r\n";
  EXPECT_EQ(SystemErrorText(5, com), "Access is denied.");
  EXPECT_EQ(SystemErrorText(6, com), "No line end");
  EXPECT_EQ(SystemErrorText(7, com), "Only a line feed\n");
  EXPECT_EQ(SystemErrorText(8, com).size(), 256u); // at most 256 bytes, cut before the line end
  EXPECT_EQ(SystemErrorText(9, com), "");
  // The machine's own table has the generic COM texts.
  EXPECT_EQ(SystemErrorText(platform::kEFail), "Unspecified error");
}

TEST(WbemStatusTexts, FailureTextsInCp950) {
  FakeCom com;
  EXPECT_EQ(WbemStatusText(platform::kWbemEInvalidNamespace, com), "Invalid namespace ");
  EXPECT_EQ(platform::Cp950ToUtf8(WbemStatusText(platform::kWbemEInvalidClass, com)).value(),
            "無法取得 Error Code Text!!!");
  com.statusResult = platform::kEFail;
  EXPECT_EQ(WbemStatusText(platform::kWbemEInvalidNamespace, com), "");
}

TEST(WmiQuery, RecordsInObjectPropertyAndElementOrder) {
  FakeCom com;
  Variant tags;
  tags.kind = Variant::Text;
  tags.isArray = true;
  tags.elements = {platform::TextVariant("first"), platform::TextVariant("second")};
  Variant inner;
  inner.kind = Variant::Object;
  inner.object = Object({Text("InnerA", "a"), Text("InnerB", "b")});
  com.spaces["root\\test"]["Thing"] = {
      Object({Text("Name", "one"),
              {"Tags", tags, platform::kCimFlagArray | platform::kCimString, "Win32_Thing"},
              {"Count", platform::IntegerVariant(-42), platform::kCimSint32, "Win32_Thing"},
              Null("Missing", platform::kCimUint32)}),
      Object({{"Embedded", inner, platform::kCimObject, "Win32_Thing"}, Text("Name", "two")}),
  };
  WmiPropertyList list;
  list.push_back({"stale", "", 0, "", ""});
  ASSERT_TRUE(RunWmiQuery("root\\test", "Select * from Thing", list, com));
  std::vector<std::string> order;
  for (const auto& p : list)
    order.push_back(p.name + "=" + p.value);
  EXPECT_EQ(order, (std::vector<std::string>{"Name=one", "Tags[0]=first", "Tags[1]=second", "Count=-42",
                                             "Missing=(Null)",
                                             "Embedded=" + platform::Utf8ToCp950("Object -- 如下 --").value(),
                                             "InnerA=a", "InnerB=b", "Name=two"}));
  EXPECT_EQ(list[1].cimTypeName, "Array - String");
  EXPECT_EQ(list[2].cimTypeName, "Array - String");
  EXPECT_EQ(list[1].origin, "Win32_Thing");
  EXPECT_EQ(list[4].cimTypeName, "Uint32");
  EXPECT_EQ(list[4].origin, ""); // a null record has no origin
  EXPECT_THROW(list.at(list.size()), std::out_of_range);
}

TEST(WmiQuery, NoObjectIsSuccessAndEscapesBackslashes) {
  FakeCom com;
  com.spaces["root\\CIMV2"]["'C:\\\\Windows'"] = {}; // the class word as the services see it
  WmiPropertyList list;
  EXPECT_TRUE(
      RunWmiQuery("root\\CIMV2", "Select * from Win32_Directory where Name = 'C:\\Windows'", list, com));
  EXPECT_TRUE(list.empty());
  ASSERT_EQ(com.queries.size(), 1u);
  EXPECT_EQ(com.queries[0], "root\\CIMV2|Select * from Win32_Directory where Name = 'C:\\\\Windows'");
}

TEST(WmiQuery, EachFailingStepGivesFalseAndItsText) {
  FakeCom com;
  com.spaces["root\\test"]["Thing"] = {Object({Text("Name", "one")})};
  WmiPropertyList list;
  EXPECT_FALSE(RunWmiQuery("root\\nowhere", "Select * from Thing", list, com));
  EXPECT_FALSE(RunWmiQuery("root\\test", "Select * from Other", list, com));

  std::unique_ptr<platform::WbemServices> services;
  WmiError error;
  EXPECT_EQ(ConnectWmi("root\\nowhere", services, &error, com), platform::kWbemEInvalidNamespace);
  EXPECT_TRUE(error.raised);
  EXPECT_EQ(error.text,
            "IWbemLocator::ConnectServer(): 0x8004100E (WBEM_E_INVALID_NAMESPACE) - Invalid namespace ");

  com.blanketResult = platform::kEInvalidArg;
  error = {};
  EXPECT_LT(ConnectWmi("root\\test", services, &error, com), 0);
  EXPECT_EQ(error.text.rfind("CoSetProxyBlanket(): 0x80070057 (", 0), 0u);
  com.blanketResult = 0;

  com.locatorResult = platform::kEFail;
  error = {};
  ConnectWmi("root\\test", services, &error, com);
  EXPECT_EQ(error.text.rfind("CoCreateInstance()- Create IWbemLocator object failed: 0x80004005\n", 0), 0u);
  com.locatorResult = 0;

  // An enumeration error after the first object keeps what was filled.
  com.nextFailure = platform::kWbemEFailed;
  EXPECT_FALSE(RunWmiQuery("root\\test", "Select * from Thing", list, com));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].value, "one");
}

class NamelessObject : public platform::WbemClassObject {
public:
  HResult GetNames(std::int32_t, std::vector<std::string>&) const override { return platform::kWbemEFailed; }
  HResult Get(const std::string&, Variant&, std::int32_t&) const override { return platform::kWbemEFailed; }
  HResult GetPropertyOrigin(const std::string&, std::string&) const override {
    return platform::kWbemEFailed;
  }
};

TEST(WmiQuery, UnlistableObjectIsSkippedAndUnreadablePropertyIsNull) {
  FakeCom com;
  com.spaces["root\\test"]["Thing"] = {std::make_shared<NamelessObject>(), Object({Text("Name", "kept")})};
  WmiPropertyList list;
  EXPECT_TRUE(RunWmiQuery("root\\test", "Select * from Thing", list, com));
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].value, "kept");

  NamelessObject broken;
  EXPECT_EQ(AddPropertyValue(broken, "Anything", list, com), platform::kWbemEFailed);
  EXPECT_EQ(list.back().name, "Anything");
  EXPECT_EQ(list.back().value, "(Null)");
}

TEST(WmiQuery, ValueTexts) {
  FakeCom com;
  Variant real, boolean, date, unknown;
  real.kind = Variant::Real;
  real.real = 2.5;
  boolean.kind = Variant::Boolean;
  boolean.boolean = true;
  date.kind = Variant::Date;
  date.date = 45000.75; // 2023-03-15 18:00
  unknown.kind = Variant::Unknown;
  com.spaces["root\\test"]["Thing"] = {Object({{"R", real, 5, "T"},
                                               {"B", boolean, platform::kCimBoolean, "T"},
                                               {"D", date, platform::kCimDateTime, "T"},
                                               {"U", unknown, 102, "T"}})};
  WmiPropertyList list;
  ASSERT_TRUE(RunWmiQuery("root\\test", "Select * from Thing", list, com));
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].value, "2.5");
  EXPECT_EQ(list[1].value, "True");
  EXPECT_EQ(list[2].value, "2023/03/15 18:00:00");
  EXPECT_EQ(list[3].value, "Unknown");
}

TEST(WmiQuery, ObjectThatEmbedsItselfStops) {
  FakeCom com;
  auto self = std::make_shared<FixedClassObject>(std::vector<FixedClassObject::Property>{});
  Variant loop;
  loop.kind = Variant::Object;
  loop.object = self;
  *self = FixedClassObject({{"Self", loop, platform::kCimObject, "T"}});
  WmiPropertyList list;
  AddObjectProperties(*self, list, com);
  EXPECT_GT(list.size(), 1u);
  EXPECT_LT(list.size(), 100u);
  loop.object.reset();
  *self = FixedClassObject({}); // break the cycle for the leak checker
}

TEST(WmiInitialisation, TextsOfFailingStarts) {
  FakeCom com;
  WmiError error;
  EXPECT_TRUE(InitializeWmi(&error, com));
  EXPECT_FALSE(error.raised);
  com.securityResult = platform::kEFail;
  EXPECT_FALSE(InitializeWmi(&error, com));
  EXPECT_EQ(error.text, "CoInitializeSecurity()- Failed to initialize security: 0x80004005\n");
  EXPECT_EQ(com.initCount, 0); // the start that failed left COM uninitialised on the thread
  com.initResult = static_cast<HResult>(0x80010106u);
  com.systemMessages[0x80010106u] = "Cannot change thread mode after it is set.\r\n";
  EXPECT_FALSE(InitializeWmi(&error, com));
  EXPECT_EQ(error.text, "CoInitializeEx(): Failed to initialize COM library - 0x80010106\n"
                        "Cannot change thread mode after it is set.");
}

TEST(LocalProvider, AnswersTheProfileQueries) {
  ASSERT_TRUE(InitializeWmi());
  WmiPropertyList list;
  ASSERT_TRUE(RunWmiQuery("root\\CIMV2", "Select * from Win32_OperatingSystem", list));
  std::map<std::string, WmiProperty> byName;
  for (const auto& p : list)
    byName[p.name] = p;
  EXPECT_FALSE(byName["Caption"].value.empty());
  EXPECT_EQ(byName["CSDVersion"].value, "(Null)");
  EXPECT_EQ(byName["CSDVersion"].cimTypeName, "String");
  EXPECT_EQ(byName["SystemDrive"].value, "/");

  ASSERT_TRUE(RunWmiQuery("root\\CIMV2", "Select * from Win32_LogicalDisk", list));
  ASSERT_GE(list.size(), 2u);
  EXPECT_EQ(list[0].name, "Caption");
  EXPECT_EQ(list[0].value, "/");
  bool freeSpace = false;
  for (const auto& p : list)
    if (p.name == "FreeSpace" && p.cimType == platform::kCimUint64) freeSpace = true;
  EXPECT_TRUE(freeSpace);

  EXPECT_TRUE(RunWmiQuery("root\\SecurityCenter2", "Select * from AntiVirusProduct", list));
  EXPECT_TRUE(list.empty());
  EXPECT_TRUE(RunWmiQuery("root\\SecurityCenter", "Select * from AntiVirusProduct", list));
  EXPECT_FALSE(RunWmiQuery("root\\CIMV2", "Select * from Win32_NoSuchClass", list));
  EXPECT_FALSE(RunWmiQuery("root\\Elsewhere", "Select * from Win32_Processor", list));
  UninitializeWmi();
}

TEST(LocalProvider, SourcesParsing) {
  EXPECT_EQ(platform::OsCaptionFromOsRelease("NAME=\"Debian GNU/Linux\"\nPRETTY_NAME=\"Debian GNU/Linux 12 "
                                             "(bookworm)\"\n"),
            "Debian GNU/Linux 12 (bookworm)");
  EXPECT_EQ(platform::OsCaptionFromOsRelease("NAME=Arch\nVERSION='rolling'\n"), "Arch rolling");
  EXPECT_EQ(platform::OsCaptionFromOsRelease(""), "Linux");
  std::string cpuinfo = "processor\t: 0\nmodel name\t: CPU A\nphysical id\t: 0\n\n"
                        "processor\t: 1\nmodel name\t: CPU A\nphysical id\t: 0\n\n"
                        "processor\t: 2\nmodel name\t: CPU B\nphysical id\t: 1\n";
  EXPECT_EQ(platform::ProcessorNamesFromCpuInfo(cpuinfo), (std::vector<std::string>{"CPU A", "CPU B"}));
  EXPECT_TRUE(platform::ProcessorNamesFromCpuInfo("").empty());
  std::string mounts =
      "proc /proc proc rw 0 0\n/dev/vda1 / ext4 rw 0 0\n/dev/vdb1 /mnt/my\\040disk ext4 rw 0 0\n"
      "tmpfs /tmp tmpfs rw 0 0\n/dev/vda1 / ext4 rw 0 0\nbroken\n";
  EXPECT_EQ(platform::DiskMountPoints(mounts), (std::vector<std::string>{"/", "/mnt/my disk"}));
}

} // namespace
} // namespace zelvo
