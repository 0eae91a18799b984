// The driver's device path, "\\.\ezusb-N", read back into its number.
#pragma once

namespace winapi {

// N of "\\.\ezusb-N" (N decimal as printf's %d writes a non-negative int:
// digits only, no leading zero, at most INT_MAX), or -1 for any other path.
int device_number(const char* path);

}  // namespace winapi
