// zelvo-speedtest.exe: the Zelvo speed test in its window.

#include "frontend/production.h"
#include "frontend/settings.h"
#include "platform/cp950.h"
#include "platform/instancelock.h"
#include "platform/mainloop.h"
#include "sysinfo/systemprofile.h"
#include "ui/win32view.h"

#include <ole2.h>
#include <windows.h>

#include <clocale>
#include <cstdio>
#include <exception>
#include <string>

#include "zelvo_version.h"

using namespace zelvo;

namespace {

constexpr const char* kAppVersion = ZELVO_APP_VERSION;
// The application's title: the single-instance mutex and the hidden window a second copy looks for.
constexpr const char* kApplicationTitle = "Zelvo測速軟體";
// How long the program lets a given-up run finish after the window went (the window waited 300 ms).
constexpr int kEngineGraceMs = 200;

std::wstring wide(const std::string& utf8) {
  const auto text = platform::Utf8ToUtf16(utf8);
  return text ? std::wstring(text->begin(), text->end()) : std::wstring();
}

// What escapes to the entry is shown in the application's error box, and the program ends.
int showFatal(const char* what) {
  std::wstring text = wide(what);
  if (text.empty()) text = L"unknown exception";
  ::MessageBoxW(nullptr, text.c_str(), wide(kApplicationTitle).c_str(), MB_OK | MB_ICONERROR | MB_TASKMODAL);
  return 1;
}

int run() {
  platform::InstanceLock instance(kApplicationTitle);
  if (!instance.first()) {
    instance.askFirstCopy();
    return 0;
  }
  auto loop = platform::MainLoop::current();
  auto record = std::make_shared<TestRecord>();
  FormModel form(*record);
  Win32FormView view(form, loop);
  ProductionServices production;
  production.openProcessorQueryWithProfile = false; // the testing page opens it
  RunController controller(record, production.services(), view, loop);
  view.attach(controller);
  view.setProcessorQuery([&production] { OpenProcessorQuery(production.windowProfile()); },
                         [&production] { CloseProcessorQuery(production.windowProfile()); });
  instance.serve([&view] { view.bringForward(); });

  view.start(kAppVersion, BuiltInSettingsFile());
  loop->run();

  // The engine releases its sessions as its run ends; it is given a short while, and a run that has
  // not ended by then does not hold the process: closing ends the program within a second. The
  // process ends here, its windows and controls with it.
  std::fflush(nullptr);
  const UINT status = static_cast<UINT>(view.exitStatus());
  if (auto engine = view.abandonedRun(); engine && !engine->WaitFor(kEngineGraceMs))
    ::TerminateProcess(::GetCurrentProcess(), status);
  ::ExitProcess(status);
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  // Report numbers are written with a decimal point, whatever the user's locale says.
  std::setlocale(LC_NUMERIC, "C");
  // The web panels live in this thread's single-threaded apartment.
  const HRESULT ole = ::OleInitialize(nullptr);
  int status = 0;
  try {
    status = run();
  } catch (const std::exception& e) {
    status = showFatal(e.what());
  } catch (...) {
    status = showFatal("");
  }
  if (SUCCEEDED(ole)) ::OleUninitialize();
  return status;
}
