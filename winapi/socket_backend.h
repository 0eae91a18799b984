// The stand-in's backend on systems other than Windows: each device path
// reaches a running virtual board (`vboard serve`) over the board link, so
// the unmodified tool talks to it. The default backend tries it first
// (winapi/default_backend.h).
//
// CreateFileA("\\.\ezusb-N") connects to board N's socket in the rendezvous
// directory (vboard/link/rendezvous.h says where) and opens its device; with
// no board running, or its device not on the bus, the open fails as with
// nothing plugged in. Each DeviceIoControl is one request on that
// connection; CloseHandle ends the connection. Sleep really sleeps.
#pragma once

#include "winapi/backend.h"

namespace winapi {

Backend& socket_backend();

}  // namespace winapi
