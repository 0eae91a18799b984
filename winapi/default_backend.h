// The backend in force until another is installed: a running virtual board
// first, then, when none answers for the device number, a real board through
// libusb (where the build has it). The environment variable NEBU_BACKEND
// forces one of them: "vboard" (virtual boards only) or "libusb" (real boards
// only); unset or empty, both in that order. Any other value is treated as
// unset.
#pragma once

#include "winapi/backend.h"

namespace winapi {

Backend& default_backend();

}  // namespace winapi
