// The device call on hosts without VWIN32: the virtual drive takes its place.
#include "diskio/device_call.h"
#include "virtualdrive/virtual_drive.h"

int device_io_control(std::uint32_t control_code, DIOC_REGISTERS* record)
{
    return virtual_drive_control(control_code, record);
}
