// The recording device: stands where the VWIN32 device (or the virtual drive) is.
#include "recording_device.h"

#include <cstring>

#include "diskio/device_call.h"

std::vector<RecordedCall> recorded_calls;
ScriptedAnswer scripted_answer;

void reset_recording_device()
{
    recorded_calls.clear();
    scripted_answer = ScriptedAnswer{};
}

namespace {

// The longest buffer an operation lends: one sector.
constexpr std::size_t LONGEST_BUFFER = 512;

std::vector<std::uint8_t> lent_bytes(std::uint32_t reference)
{
    for (std::size_t length = LONGEST_BUFFER; length > 0; --length) {
        if (const void* buffer = borrow_lent_buffer(reference, length)) {
            const auto* bytes = static_cast<const std::uint8_t*>(buffer);
            return std::vector<std::uint8_t>(bytes, bytes + length);
        }
    }
    return {};
}

} // namespace

int device_io_control(std::uint32_t control_code, DIOC_REGISTERS* record)
{
    RecordedCall call{control_code, *record, lent_bytes(record->reg_EBX), false};
    call.esi_names_same_buffer = record->reg_ESI == record->reg_EBX;
    recorded_calls.push_back(call);
    if (scripted_answer.change_eax)
        record->reg_EAX = scripted_answer.eax;
    set_carry(record, scripted_answer.set_carry);
    return scripted_answer.result;
}
