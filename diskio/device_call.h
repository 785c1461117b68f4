// The one place the program reaches the platform: open the disk device, make one
// control call with a register record, close it again; and the buffers lent to it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "diskio/registers.h"

// The disk operations' device call: device_io_control, after which every
// buffer lent for the call (lend_buffer) is given back, whatever the platform.
int disk_service_call(std::uint32_t control_code, DIOC_REGISTERS* record);

// The device call: opens the device behind drive A: (drive_a_device()), makes
// one DeviceIoControl call with `control_code` and `record` as both input and
// output buffer, closes the device. Returns the BOOL result of the control
// call: nonzero when the request reached the device; the record then holds the
// registers as the service left them.
int device_io_control(std::uint32_t control_code, DIOC_REGISTERS* record);

// The two devices it chooses between. The real VWIN32 device exists on
// Windows only; the stand-in on every host.
int vwin32_device_io_control(std::uint32_t control_code, DIOC_REGISTERS* record);
int stand_in_device_io_control(std::uint32_t control_code, DIOC_REGISTERS* record);

// Windows: 1 when the system has the VWIN32 device (Windows 95, 98 and ME,
// where it opens), else 0.
int vwin32_device_present();

// What a user without it is told, wherever the system's drive A: is named.
constexpr char ONLY_WINDOWS_9X_FORMATS[] = "only Windows 95, 98 and ME let a program format a diskette";

// Buffer addresses travel in the record's 32-bit fields. For the VWIN32 device
// of a 32-bit Windows process the field holds the address itself, which the
// device reads. For the stand-in, and wherever addresses are wider, it holds a
// reference into a small table of the buffers lent for the current call, with
// their lengths, which the stand-in looks up; no pointer is ever truncated.
using BufferReference = std::uint32_t;

// Lends `length` bytes at `buffer` to the next device call and returns the value
// to put into the record. At most LENT_BUFFER_LIMIT buffers per call.
BufferReference lend_buffer(const void* buffer, std::size_t length);

// The stand-in's look-up: the buffer behind `reference` when it was lent for
// the current call and holds at least `length` bytes, else nullptr.
const void* borrow_lent_buffer(BufferReference reference, std::size_t length);

// Ends the loans of the call just made (disk_service_call).
void end_buffer_loans();

constexpr std::size_t LENT_BUFFER_LIMIT = 4;
