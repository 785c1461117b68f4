// The real VWIN32 virtual device of Windows 9x, behind drive A: on Windows.
#include <windows.h>

#include "diskio/device_call.h"

int vwin32_device_io_control(std::uint32_t control_code, DIOC_REGISTERS* record)
{
    // The handle is not tested: with no such device, DeviceIoControl fails on the
    // invalid handle and the record comes back as it was passed.
    HANDLE device = CreateFileA(VWIN32_DEVICE_NAME, 0, 0, nullptr, 0,
                                FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    DWORD returned_bytes = 0;
    BOOL result = DeviceIoControl(device, control_code, record, sizeof(DIOC_REGISTERS), record,
                                  sizeof(DIOC_REGISTERS), &returned_bytes, nullptr);
    CloseHandle(device);
    return result;
}
