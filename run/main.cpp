// The format run: one straight pass from the date line to the final keystroke.
#include <cstdio>
#include <ctime>

#include "diskio/disk_service.h"
#include "run/console.h"
#include "volume/geometry.h"
#include "volume/images.h"
#include "volume/stamp.h"

namespace {

const char WARNING_AND_PROMPT[] =
    "\n\n     Make sure you have a 1.44 megabyte floppy disk in drive A.\n"
    "     This is a high level program for the Windows environment\n"
    "     and an unusually formatted disk will not format well\n"
    "     with this software.  Enter Y or y if you want to format\n"
    "     the floppy disk in drive A: to 1.49 megabytes.  Warning, all\n"
    "     data on the disk will be lost.  Take the disk out of the\n"
    "     drive and reinsert the floppy for Windows to take notice\n"
    "     of the new format.\n\n     ";

const char FAREWELL_BANNER[] =
    "\n     Thank you for using format149.\n"
    "     format149 is published by the Marvesto diskette tools team.\n"
    "     Press Enter to end the program.\n";

} // namespace

int main()
{
    keep_running_on_console_errors();

    // 1. Until the user says otherwise, the answer is no.
    char answer = 'N';

    // 2. One clock reading, shown as local time.
    std::time_t now = std::time(nullptr);
    bool clock_read = now != static_cast<std::time_t>(-1);
    char date_text[DATE_TEXT_SIZE] = "unknown";
    if (clock_read) {
        const std::tm* shown = std::localtime(&now);
        if (shown == nullptr || format_date(*shown, date_text) == 0) {
            clock_read = false;
            std::snprintf(date_text, sizeof date_text, "unknown");
        }
    }
    say("\n\n     The date and time of your format will be: ");
    say(date_text);
    say("\n");

    // 3. The same reading broken down once more, held for the run; the images.
    // Here, before the warning, the stamp goes into the images, whatever the
    // answer; without a clock reading they keep a zero stamp.
    SystemAreaImages images;
    build_images(&images);
    std::tm format_time{};
    if (clock_read) {
        const std::tm* broken_down = std::localtime(&now);
        if (broken_down != nullptr) {
            format_time = *broken_down;
            stamp_images(format_time, images.BootSectorImage, images.RootLabelSector);
        }
    }

    // 4. Warning and prompt; 5. the answer.
    say(WARNING_AND_PROMPT);
    AnswerBuffer answer_buffer;
    answer = read_answer(answer, &answer_buffer, read_standard_input_block);

    if (answer == 'Y' || answer == 'y') {
        // 7. Lock drive A:.
        if (lock_volume() == 1)
            print("\n     Lock succeeded!\n\n");
        else
            print("\n\n     Lock failed!\n\n");

        // 8. Every track, cylinder-major.
        for (int cylinder = 0; cylinder < CYLINDER_COUNT; ++cylinder)
            for (int head = 0; head < HEAD_COUNT; ++head)
                format_track(head, cylinder);

        // 9.
        print("\n\n     *****     \n\n");

        // 10. The system area, in the plan's order.
        for (const PlannedWrite& step : SystemAreaWritePlan)
            write_sector(step.sector, planned_image(&images, step.image));

        // 11. Unlock.
        if (unlock_volume() == 1)
            print("\n\n     Unlock succeeded!\n\n");
        else
            print("\n\n     Unlock failed!\n\n");
    } else {
        // 6. Declined: the disk is never touched.
        say("\n\n     You chose not to format A:!\n\n     ");
    }

    // 12. Farewell.
    print("%s", FAREWELL_BANNER);

    // 13. One more line; the rest of the answer's line is not visible here.
    std::getchar();
    return 0;
}
