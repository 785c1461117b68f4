// The real VWIN32 virtual device of Windows 9x, behind drive A: on Windows.
#include <windows.h>

#include "diskio/device_call.h"

namespace {

HANDLE open_vwin32()
{
    return CreateFileA(VWIN32_DEVICE_NAME, 0, 0, nullptr, 0, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
}

} // namespace

int vwin32_device_io_control(std::uint32_t control_code, DIOC_REGISTERS* record)
{
    // Without the device there is no call: the record would come back as the
    // program filled it, and read as the service's answer.
    HANDLE device = open_vwin32();
    if (device == INVALID_HANDLE_VALUE)
        return 0;
    DWORD returned_bytes = 0;
    BOOL result = DeviceIoControl(device, control_code, record, sizeof(DIOC_REGISTERS), record,
                                  sizeof(DIOC_REGISTERS), &returned_bytes, nullptr);
    CloseHandle(device);
    return result;
}

int vwin32_device_present()
{
    // GetVersion's high bit is set on Windows 95, 98 and ME only; the NT
    // family has no VWIN32 device, and its name is not even tried there.
    constexpr DWORD WINDOWS_9X = 0x80000000u;
    if ((GetVersion() & WINDOWS_9X) == 0)
        return 0;
    HANDLE device = open_vwin32();
    if (device == INVALID_HANDLE_VALUE)
        return 0;
    CloseHandle(device);
    return 1;
}
