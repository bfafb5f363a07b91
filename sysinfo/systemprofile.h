#pragma once
// The system profile: operating system, antivirus products, processor and system drive from WMI on the
// engine's thread; memory, power, free disk space and the window-side probes on the window's thread;
// processor load and memory samples during the transfers; and the report's values derived from them.

#include "engine/testrecord.h"
#include "platform/wmi.h"
#include "sysinfo/sources.h"
#include "sysinfo/windowprofile.h"

#include <cstdint>
#include <string>

namespace zelvo {

struct EngineProfileSources {
  platform::ComPlatform* com;
  const KernelSource* kernel;
  static EngineProfileSources System();
};

// The security centre namespace for a platform version: "root\SecurityCenter2" for 6.1 to 6.x,
// "root\SecurityCenter" otherwise.
std::string SecurityCenterNamespace(std::uint32_t major, std::uint32_t minor);

// The engine's system profile (CWorkThread::SystemProfile); runs on the engine's thread. Sets osIsNt6
// when it gets as far as the platform version.
void RunEngineSystemProfile(TestRecord& record, bool& osIsNt6,
                            const EngineProfileSources& sources = EngineProfileSources::System());

// The window-side profile of every test, in order: version, connection, registry, memory, power, TCP
// globals, network parameters, free disk space. Window thread.
void vGetSystemInfo(TestRecord& record, WindowProfile& window);

// Opens the processor load query with its counter and takes the reference reading; a query left
// from the previous test is closed first. Window thread, when the testing page is shown.
void OpenProcessorQuery(WindowProfile& window);
// Removes the counter and closes the query (program shutdown).
void CloseProcessorQuery(WindowProfile& window);
// One sample of processor load and available memory; the caller has already counted it in
// sampleCount. Window thread, at each progress notice.
void vGetSystemResource(TestRecord& record, WindowProfile& window);

// "CPU_usage": -1 when osIsNt6 and every sample read 0.0, and -1 when no sample was taken.
std::int32_t CpuUsageValue(const TestRecord& record, bool osIsNt6);
// "Memory": "%d,%d" of the mean available and the total memory (mean -1 when no sample was taken).
std::string MemoryValue(const TestRecord& record);
// "HD_FreeSpace": "%.02f".
std::string HdFreeSpaceValue(const TestRecord& record);

} // namespace zelvo
