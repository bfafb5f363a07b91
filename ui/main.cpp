// zelvo-speedtest: the Zelvo speed test in its window.

#include "frontend/production.h"
#include "frontend/settings.h"
#include "platform/instancelock.h"
#include "platform/privileges.h"
#include "sysinfo/systemprofile.h"
#include "ui/gtkview.h"

#include <clocale>
#include <cstdio>
#include <exception>
#include <gtk/gtk.h>
#include <unistd.h>

#include "zelvo_version.h"

using namespace zelvo;

namespace {

constexpr const char* kAppVersion = ZELVO_APP_VERSION;
// How long the program lets a given-up run finish after the window went (the window waited 300 ms).
constexpr int kEngineGraceMs = 200;

// The program itself; an exception it lets out is the entry's to show.
int run() {
  // One copy per user.
  platform::InstanceLock instance(kWindowTitle);
  if (!instance.first()) {
    instance.askFirstCopy();
    return 0;
  }

  auto record = std::make_shared<TestRecord>();
  FormModel form(*record);
  GtkFormView view(form);
  ProductionServices production;
  production.openProcessorQueryWithProfile = false; // the testing page opens it
  RunController controller(record, production.services(), view);
  view.attach(controller);
  view.setProcessorQuery([&production] { OpenProcessorQuery(production.windowProfile()); },
                         [&production] { CloseProcessorQuery(production.windowProfile()); });
  instance.serve([&view] { gtk_window_present(GTK_WINDOW(view.window())); });

  view.start(kAppVersion, BuiltInSettingsFile());
  gtk_main();

  // The engine releases its sessions as its run ends; it is given a short while, and a run that has
  // not ended by then does not hold the process: closing ends the program within a second.
  if (auto engine = view.abandonedRun(); engine && !engine->WaitFor(kEngineGraceMs)) {
    std::fflush(nullptr);
    _exit(view.exitStatus());
  }
  return view.exitStatus();
}

} // namespace

int main(int argc, char** argv) {
  // Before GTK, the web view or any picture decoder runs: none of them sees the capability.
  if (!platform::KeepEchoSocketAndDropPrivileges()) {
    std::fputs("zelvo-speedtest: cannot give up the process's capabilities; not running with them\n", stderr);
    return 1;
  }
  gtk_init(&argc, &argv);
  // Report numbers are written with a decimal point, whatever the desktop's locale says.
  std::setlocale(LC_NUMERIC, "C");
  try {
    return run();
  } catch (const std::exception& e) {
    // Whatever reached the entry ends the program, but not silently.
    ShowExceptionBox(nullptr, e.what());
    return 1;
  }
}
