// The reachability probe: can a TCP connection to the server's port be made within a time limit?
// It bounds the time a worker spends on a server that does not answer; the internet layer is asked
// to connect only after the probe succeeded. It logs nothing and keeps nothing between calls; any
// thread may call it.
#ifndef FILEREPOSITORY_FTP_REACHABILITY_H_
#define FILEREPOSITORY_FTP_REACHABILITY_H_

#include <cstdint>

#include "platform/internet/internet.h"

// `host` is a dotted IPv4 address or a host name (resolved to IPv4 addresses only, at most 10 of
// which are tried); `port` in host byte order. True only when a connection was established within
// `timeoutMs`. A name that does not resolve fails at once; a refused connection fails as soon as
// the refusal arrives; so does a list without an address to try (0.0.0.0 ends the list and
// 255.255.255.255 is skipped). `stop`, the run's stop grace (may be null), ends the wait as it
// ends the internet layer's.
bool IsServerReachable(const char* host, std::uint16_t port, std::uint32_t timeoutMs,
                       StopGrace* stop = nullptr);

#endif  // FILEREPOSITORY_FTP_REACHABILITY_H_
