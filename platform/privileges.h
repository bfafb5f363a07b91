#pragma once
// Start-up privileges. On Linux the package gives the programs CAP_NET_RAW, only so that the latency
// probe can open a raw ICMP socket where datagram ICMP is not allowed for the user's groups. Start-up
// opens that socket and then gives up every capability, before any toolkit, web view, library thread,
// network request or picture decoder runs: none of them ever works with a privilege.

namespace zelvo::platform {

// Keeps what the latency probe needs (IcmpReserveRawSocket), then empties the permitted, effective,
// inheritable and ambient capability sets, and the bounding set where the process may (that needs
// CAP_SETPCAP, which root has). Capabilities belong to each thread: threads started later inherit the
// emptied sets, and those a library started before main are made to empty theirs. Call it first thing
// in main. False when some thread still holds a capability afterwards; the program should not go on.
bool KeepEchoSocketAndDropPrivileges();

} // namespace zelvo::platform
