// The table of buffers lent to the device for one call, so that a 32-bit register
// field can name a buffer without truncating a wider address.
#include <cstdint>

#include "diskio/device_call.h"
#include "diskio/drive_a.h"

namespace {

struct LentBuffer {
    const void* address;
    std::size_t length;
};

// References start high so that a small register value left by mistake in a
// buffer field never names a lent buffer.
constexpr BufferReference FIRST_REFERENCE = 0x4C000001u;

LentBuffer lent_buffers[LENT_BUFFER_LIMIT];
std::size_t lent_buffer_count = 0;

// The real VWIN32 device reads the address itself, which fits the field in a
// 32-bit process only.
constexpr bool ADDRESSES_FIT_A_FIELD = sizeof(void*) == sizeof(BufferReference);

} // namespace

BufferReference lend_buffer(const void* buffer, std::size_t length)
{
    if (ADDRESSES_FIT_A_FIELD && drive_a_device() == DEVICE_VWIN32)
        return static_cast<BufferReference>(reinterpret_cast<std::uintptr_t>(buffer));
    if (buffer == nullptr || lent_buffer_count == LENT_BUFFER_LIMIT)
        return 0;
    lent_buffers[lent_buffer_count] = LentBuffer{buffer, length};
    return FIRST_REFERENCE + static_cast<BufferReference>(lent_buffer_count++);
}

const void* borrow_lent_buffer(BufferReference reference, std::size_t length)
{
    if (reference < FIRST_REFERENCE)
        return nullptr;
    std::uint32_t index = reference - FIRST_REFERENCE;
    if (index >= lent_buffer_count || lent_buffers[index].length < length)
        return nullptr;
    return lent_buffers[index].address;
}

void end_buffer_loans()
{
    lent_buffer_count = 0;
}
