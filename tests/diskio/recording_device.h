// A device that records every control call and answers as a test scripts it.
#pragma once

#include <cstdint>
#include <vector>

#include "diskio/registers.h"

struct RecordedCall {
    std::uint32_t control_code;
    DIOC_REGISTERS sent;                // the record as the operation passed it
    std::vector<std::uint8_t> ebx_buffer; // bytes behind reg_EBX, when it names a lent buffer
    bool esi_names_same_buffer;
};

struct ScriptedAnswer {
    int result = 1;                 // what DeviceIoControl returns
    bool set_carry = false;
    bool change_eax = false;
    std::uint32_t eax = 0;
};

// Calls made since the last reset, and the answer every next call gets.
extern std::vector<RecordedCall> recorded_calls;
extern ScriptedAnswer scripted_answer;

void reset_recording_device();
