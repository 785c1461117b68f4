/* The benchmark's floor: the console text and image writes of a confirmed format149 run, and the flush of its
   unlock, and nothing more. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { CYLINDERS = 82, HEADS = 2, SECTORS_PER_TRACK = 18, SECTOR_BYTES = 512 };
enum { TRACK_BYTES = SECTORS_PER_TRACK * SECTOR_BYTES, SYSTEM_AREA_SECTORS = HEADS * SECTORS_PER_TRACK };

static const char WARNING[] =
    "\n\n     Make sure you have a 1.44 megabyte floppy disk in drive A.\n"
    "     This is a high level program for the Windows environment\n"
    "     and an unusually formatted disk will not format well\n"
    "     with this software.  Enter Y or y if you want to format\n"
    "     the floppy disk in drive A: to 1.49 megabytes.  Warning, all\n"
    "     data on the disk will be lost.  Take the disk out of the\n"
    "     drive and reinsert the floppy for Windows to take notice\n"
    "     of the new format.\n\n     ";
static const char LOCKED[] = "\n     Lock succeeded!\n\n";
static const char SEPARATOR[] = "\n\n     *****     \n\n";
static const char UNLOCKED[] = "\n\n     Unlock succeeded!\n\n";
static const char UNLOCK_FAILED[] = "\n\n     Unlock failed!\n\n";
static const char FAREWELL[] =
    "\n     Thank you for using format149.\n"
    "     format149 is published by the Marvesto diskette tools team.\n"
    "     Press Enter to end the program.\n";

static void show(int descriptor, const char *text, size_t length)
{
    if (write(descriptor, text, length) < 0)
        return; /* a failed console does not stop the run, as in format149 */
}

int main(void)
{
    static unsigned char track[TRACK_BYTES];
    static const unsigned char system_sector[SECTOR_BYTES]; /* zeros: only the count and size of writes matter */
    char text[1024];
    char answer[512];

    const char *path = getenv("DRIVE_A_IMAGE");
    if (path == NULL || path[0] == '\0')
        path = "drive_a.img";

    time_t now = time(NULL);
    struct tm moment;
    char date[32];
    localtime_r(&now, &moment);
    strftime(date, sizeof date, "%a %b %d %H:%M:%S %Y", &moment);
    int length = snprintf(text, sizeof text, "\n\n     The date and time of your format will be: %s\n%s", date, WARNING);
    show(1, text, (size_t)length);

    if (read(0, answer, sizeof answer) <= 0 || (answer[0] != 'y' && answer[0] != 'Y'))
        return 1;

    int image = open(path, O_RDWR | O_CREAT, 0666);
    if (image < 0)
        return 1;
    show(1, LOCKED, sizeof LOCKED - 1);

    memset(track, 0xF6, sizeof track);
    for (int cylinder = 0; cylinder < CYLINDERS; ++cylinder) {
        for (int head = 0; head < HEADS; ++head) {
            off_t offset = (off_t)(cylinder * HEADS + head) * TRACK_BYTES;
            int code = pwrite(image, track, sizeof track, offset) == (ssize_t)sizeof track ? 0 : 32;
            length = snprintf(text, sizeof text,
                              "     Formatting side %d of track %d, where error code = %d. \a \a \a \r", head,
                              cylinder, code);
            show(2, text, (size_t)length);
        }
    }
    show(1, SEPARATOR, sizeof SEPARATOR - 1);

    for (int sector = 0; sector < SYSTEM_AREA_SECTORS; ++sector) {
        off_t offset = (off_t)sector * SECTOR_BYTES;
        int code = pwrite(image, system_sector, sizeof system_sector, offset) == (ssize_t)sizeof system_sector ? 0 : 32;
        length = snprintf(text, sizeof text, "     Writing sector %d, where error code = %d. \r", sector, code);
        show(2, text, (size_t)length);
    }
    /* The unlock, as the image drive's: the image's data flushed to the medium and the image closed, either
       failing it. */
    int flushed = fdatasync(image) == 0;
    if (close(image) == 0 && flushed)
        show(1, UNLOCKED, sizeof UNLOCKED - 1);
    else
        show(1, UNLOCK_FAILED, sizeof UNLOCK_FAILED - 1);
    show(1, FAREWELL, sizeof FAREWELL - 1);

    /* The final Enter. */
    if (read(0, answer, sizeof answer) < 0)
        return 1;
    return 0;
}
