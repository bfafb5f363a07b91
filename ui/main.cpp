// zelvo-speedtest: the Zelvo speed test in its window.

#include "frontend/production.h"
#include "frontend/settings.h"
#include "sysinfo/systemprofile.h"
#include "ui/gtkview.h"

#include <clocale>
#include <cstdio>
#include <cstring>
#include <gio/gio.h>
#include <glib-unix.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "zelvo_version.h"

using namespace zelvo;

namespace {

constexpr const char* kAppVersion = ZELVO_APP_VERSION;
// How long the program lets a given-up run finish after the window went (the window waited 300 ms).
constexpr int kEngineGraceMs = 200;
constexpr const char* kInstanceName = kWindowTitle;
constexpr const char kPresentRequest[] = "present\n";

// One copy per user session: the first copy holds an abstract UNIX socket named after the window
// title; a later copy asks it to bring its window to the front and leaves.
class SingleInstance {
public:
  SingleInstance() {
    std::memset(&address_, 0, sizeof address_);
    address_.sun_family = AF_UNIX;
    const std::size_t length = std::min(std::strlen(kInstanceName), sizeof address_.sun_path - 1);
    std::memcpy(address_.sun_path + 1, kInstanceName, length); // sun_path[0] = 0: abstract namespace
    addressLength_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address_), addressLength_) == 0 && listen(fd_, 4) == 0) {
      first_ = true;
      return;
    }
    close(fd_);
    fd_ = -1;
  }
  ~SingleInstance() {
    if (watch_) g_source_remove(watch_);
    if (fd_ >= 0) close(fd_);
  }
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // False when another copy holds the name; it has then been asked to present its window.
  bool first() const { return first_; }
  void askFirstCopy() const {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address_), addressLength_) == 0)
      (void)!write(fd, kPresentRequest, sizeof kPresentRequest - 1);
    close(fd);
  }
  // Runs on the main thread: every connection is a request to present the window.
  void serve(GtkWidget* window) {
    window_ = window;
    watch_ = g_unix_fd_add(fd_, G_IO_IN, onConnection, this);
  }

private:
  static gboolean onConnection(gint fd, GIOCondition, gpointer data) {
    auto* self = static_cast<SingleInstance*>(data);
    int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client >= 0) close(client);
    if (self->window_) gtk_window_present(GTK_WINDOW(self->window_));
    return G_SOURCE_CONTINUE;
  }

  sockaddr_un address_{};
  socklen_t addressLength_ = 0;
  int fd_ = -1;
  bool first_ = false;
  guint watch_ = 0;
  GtkWidget* window_ = nullptr;
};

} // namespace

int main(int argc, char** argv) {
  gtk_init(&argc, &argv);
  // Report numbers are written with a decimal point, whatever the desktop's locale says.
  std::setlocale(LC_NUMERIC, "C");

  SingleInstance instance;
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
  instance.serve(view.window());

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
