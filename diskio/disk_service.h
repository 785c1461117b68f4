// The disk operations on drive A:, each one VWIN32 service call.
#pragma once

#include <cstdint>

// MS-DOS IOCTL lock of drive A:. Returns 1 when the system granted the lock, else 0.
int lock_volume();

// MS-DOS IOCTL unlock of drive A:. Returns 1 when the system released it, else 0.
int unlock_volume();

// BIOS format of one track of drive A: with 18 sectors of 512 bytes. Prints its
// progress line on standard error. Returns 1 on success, else 0.
int format_track(int head, int cylinder);

// BIOS verify of every sector of one track of drive A:: each is read back from
// the disk. Prints its progress line on standard error. Returns 1 when every
// sector could be read, else 0; `error_code`, when given, receives the code the
// line shows.
int verify_track(int head, int cylinder, int* error_code = nullptr);

// MS-DOS absolute write of one 512-byte sector image to logical sector `sector`
// of drive A:. Prints its progress line on standard error. Returns 1 on success,
// else 0; a sector number beyond what the service takes is refused unsent.
int write_sector(int sector, const std::uint8_t* buffer);
