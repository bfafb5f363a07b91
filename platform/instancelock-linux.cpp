#include "platform/instancelock.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <glib-unix.h>
#include <map>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace zelvo::platform {

namespace {
constexpr char kPresentRequest[] = "present\n";
// A holder that has bound the name but does not listen yet (a copy starting at the same moment), or
// whose queue is full, is tried again for up to this long before this copy runs on its own.
constexpr int kConnectAttempts = 10;
constexpr int kConnectPauseMs = 10;

// Whether the process at the other end of a connected socket runs as this process's user: its
// credentials as it listened or connected, as the kernel recorded them.
bool peerIsThisUser(int fd) {
  ucred peer{};
  socklen_t length = sizeof peer;
  return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 && length == sizeof peer &&
         peer.uid == geteuid();
}
} // namespace

// An abstract-namespace UNIX socket named after the title and the user: it vanishes with the process
// that holds it. Abstract names have no owner or permissions, so both ends check who the other is.
struct InstanceLock::State {
  sockaddr_un address{};
  socklen_t addressLength = 0;
  int fd = -1;       // the holder's listening socket
  int holderFd = -1; // a later copy's connection to a holder of this user
  bool first = true;
  guint watch = 0;
  std::map<int, guint> clients; // connections of this user whose request is awaited, with their watches
  std::function<void()> onRequest;

  static gboolean onConnection(gint fd, GIOCondition, gpointer data) {
    auto* self = static_cast<State*>(data);
    int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client < 0) return G_SOURCE_CONTINUE;
    // Another user's program may connect to any abstract name; it is not answered.
    if (!peerIsThisUser(client)) {
      close(client);
      return G_SOURCE_CONTINUE;
    }
    self->clients[client] =
        g_unix_fd_add(client, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR), &onClient, self);
    return G_SOURCE_CONTINUE;
  }

  static gboolean onClient(gint fd, GIOCondition, gpointer data) {
    auto* self = static_cast<State*>(data);
    char request[sizeof kPresentRequest] = {};
    const ssize_t n = read(fd, request, sizeof request - 1);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return G_SOURCE_CONTINUE;
    close(fd);
    self->clients.erase(fd);
    // A connection that ends without asking (a copy that only looked) presents nothing.
    if (n == sizeof kPresentRequest - 1 && std::memcmp(request, kPresentRequest, n) == 0 && self->onRequest)
      self->onRequest();
    return G_SOURCE_REMOVE;
  }

  // A connection to the holder of the name when that holder runs as this user, else -1.
  int connectToOwnHolder() const {
    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
      if (attempt > 0) g_usleep(kConnectPauseMs * 1000);
      int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      if (fd < 0) return -1;
      if (connect(fd, reinterpret_cast<const sockaddr*>(&address), addressLength) == 0) {
        if (peerIsThisUser(fd)) return fd;
        close(fd);
        return -1;
      }
      const int error = errno;
      close(fd);
      if (error != ECONNREFUSED && error != EAGAIN) return -1;
    }
    return -1;
  }
};

InstanceLock::InstanceLock(const std::string& name) : state_(std::make_unique<State>()) {
  State& s = *state_;
  // Each user has a name of their own; a title too long for the address gives way to the user's id.
  const std::string user = "/" + std::to_string(geteuid());
  const std::size_t room = sizeof s.address.sun_path - 1 - user.size();
  const std::string full = name.substr(0, std::min(name.size(), room)) + user;
  s.address.sun_family = AF_UNIX;
  std::memcpy(s.address.sun_path + 1, full.data(), full.size()); // sun_path[0] = 0: abstract namespace
  s.addressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + full.size());
  s.fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s.fd < 0) return;
  if (bind(s.fd, reinterpret_cast<sockaddr*>(&s.address), s.addressLength) == 0 && listen(s.fd, 4) == 0)
    return;
  const bool taken = errno == EADDRINUSE;
  close(s.fd);
  s.fd = -1;
  if (!taken) return;
  // Only a holder of this user makes this copy a later one. Anyone else holding the name would keep
  // this user's program from starting, and is told nothing.
  s.holderFd = s.connectToOwnHolder();
  s.first = s.holderFd < 0;
}

InstanceLock::~InstanceLock() {
  State& s = *state_;
  if (s.watch) g_source_remove(s.watch);
  for (auto& [fd, watch] : s.clients) {
    g_source_remove(watch);
    close(fd);
  }
  if (s.fd >= 0) close(s.fd);
  if (s.holderFd >= 0) close(s.holderFd);
}

bool InstanceLock::first() const {
  return state_->first;
}

void InstanceLock::askFirstCopy() const {
  // On the connection whose holder was checked: a name that changed hands since hears nothing.
  State& s = *state_;
  if (s.holderFd < 0) return;
  (void)!write(s.holderFd, kPresentRequest, sizeof kPresentRequest - 1);
  close(s.holderFd);
  s.holderFd = -1;
}

void InstanceLock::serve(std::function<void()> onRequest) {
  state_->onRequest = std::move(onRequest);
  if (state_->fd >= 0 && !state_->watch)
    state_->watch = g_unix_fd_add(state_->fd, G_IO_IN, &State::onConnection, state_.get());
}

} // namespace zelvo::platform
