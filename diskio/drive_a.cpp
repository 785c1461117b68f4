// Which disk stands in drive A: for this run, and which device serves it.
#include "diskio/drive_a.h"

#include <cstdlib>

namespace {

// The drive named on the command line; nullptr when none was.
const char* named_drive_a = nullptr;

#if defined(_WIN32)
// The system's own drive A:, as a command line names it.
bool names_system_drive_a(const char* path)
{
    return (path[0] == 'A' || path[0] == 'a') && path[1] == ':' && path[2] == '\0';
}
#endif

} // namespace

void name_drive_a(const char* path)
{
    named_drive_a = path;
}

const char* drive_a_path()
{
    if (named_drive_a != nullptr)
        return named_drive_a;
#if defined(_WIN32)
    // Without a name the Windows program formats the system's drive A:, as it
    // always has; the environment never turns that road into an image.
    return "A:";
#else
    const char* path = std::getenv("DRIVE_A_IMAGE");
    return path != nullptr && path[0] != '\0' ? path : "drive_a.img";
#endif
}

DriveADevice drive_a_device()
{
#if defined(_WIN32)
    if (named_drive_a == nullptr || names_system_drive_a(named_drive_a))
        return DEVICE_VWIN32;
#endif
    return DEVICE_STAND_IN;
}
