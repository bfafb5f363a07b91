#include "platform/instancelock.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <glib-unix.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace zelvo::platform {

namespace {
constexpr char kPresentRequest[] = "present\n";
}

// An abstract-namespace UNIX socket named after the title: it vanishes with the process that holds it.
struct InstanceLock::State {
  sockaddr_un address{};
  socklen_t addressLength = 0;
  int fd = -1;
  bool first = true;
  guint watch = 0;
  std::function<void()> onRequest;

  static gboolean onConnection(gint fd, GIOCondition, gpointer data) {
    auto* self = static_cast<State*>(data);
    int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client >= 0) close(client);
    if (self->onRequest) self->onRequest();
    return G_SOURCE_CONTINUE;
  }
};

InstanceLock::InstanceLock(const std::string& name) : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.address.sun_family = AF_UNIX;
  const std::size_t length = std::min(name.size(), sizeof s.address.sun_path - 1);
  std::memcpy(s.address.sun_path + 1, name.data(), length); // sun_path[0] = 0: abstract namespace
  s.addressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
  s.fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s.fd < 0) return;
  if (bind(s.fd, reinterpret_cast<sockaddr*>(&s.address), s.addressLength) == 0 && listen(s.fd, 4) == 0)
    return;
  s.first = errno != EADDRINUSE;
  close(s.fd);
  s.fd = -1;
}

InstanceLock::~InstanceLock() {
  if (state_->watch) g_source_remove(state_->watch);
  if (state_->fd >= 0) close(state_->fd);
}

bool InstanceLock::first() const {
  return state_->first;
}

void InstanceLock::askFirstCopy() const {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&state_->address), state_->addressLength) == 0)
    (void)!write(fd, kPresentRequest, sizeof kPresentRequest - 1);
  close(fd);
}

void InstanceLock::serve(std::function<void()> onRequest) {
  state_->onRequest = std::move(onRequest);
  if (state_->fd >= 0 && !state_->watch)
    state_->watch = g_unix_fd_add(state_->fd, G_IO_IN, &State::onConnection, state_.get());
}

} // namespace zelvo::platform
