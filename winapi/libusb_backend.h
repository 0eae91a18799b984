// The stand-in's backend for real boards on systems with libusb-1.0 (Linux,
// macOS): device N is the N-th device with the controller's IDs (VID 0x0547,
// PID 0x2131: the bare controller and our firmware alike), in bus and port
// order. The driver's six control codes become:
//
//   vendor request   a control transfer (bmRequestType 0x40, or 0xC0 with
//                    direction 1), the record's request, value, index, length
//   download         the loader's 0xA0 writes from address 0, 1,024 bytes each
//   string           GET_DESCRIPTOR(string, index, language); the reply is the
//                    descriptor as the device sends it (length, type, UTF-16LE)
//   bulk write/read  a bulk (or interrupt) transfer on the pipe's endpoint;
//                    pipe n is the n-th endpoint of interface 0, alternate 0
//   reset pipe       clearing the endpoint's halt
//
// Interface 0 is claimed at the open (a kernel driver bound to it is set
// aside). Every transfer has the driver's 5-second limit; a board that has
// gone away fails every call, as the Windows driver's calls do.
#pragma once

#include "winapi/backend.h"

namespace winapi {

Backend& libusb_backend();

}  // namespace winapi
