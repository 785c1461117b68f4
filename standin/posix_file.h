// Helpers of the stand-in's drives on POSIX hosts: descriptors kept off the
// console, opened through what was found, and reading back without keeping.
#pragma once

#include <cstddef>
#include <cstdint>

// Keeps an opened disk off standard input, output and error, so that console
// output can never land on it when one of them is closed. Returns the
// descriptor to use (the same, or a copy above 2 with the first closed), or -1.
int move_above_standard_streams(int descriptor);

// Opens, with `flags` (O_CLOEXEC and O_NOCTTY added), the very object that
// `found` names, a descriptor that reads and writes nothing (O_PATH), never
// what its name may lead to by now. Returns the descriptor, or -1 with errno set.
int reopen_found(int found, int flags);

// Reads `length` bytes from `offset` on, `buffer_size` bytes at a time into
// `buffer`, keeping nothing: a verify's reading back. Returns the bytes read,
// fewer than `length` where the disk ends, or -1 with errno set.
long long read_back(int descriptor, long long offset, std::size_t length, std::uint8_t* buffer,
                    std::size_t buffer_size);
