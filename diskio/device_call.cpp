// The device call: drive A:'s own device, chosen at run time by what drive A: is.
#include "diskio/device_call.h"

#include "diskio/drive_a.h"

int device_io_control(std::uint32_t control_code, DIOC_REGISTERS* record)
{
#if defined(_WIN32)
    if (drive_a_device() == DEVICE_VWIN32)
        return vwin32_device_io_control(control_code, record);
#endif
    return stand_in_device_io_control(control_code, record);
}
