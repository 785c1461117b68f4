// The format run: one straight pass from the date line to the final keystroke.
#include <cstdio>
#include <ctime>

#include "diskio/disk_service.h"
#include "diskio/drive_a.h"
#include "run/command_line.h"
#include "run/console.h"
#include "run/verify_pass.h"
#include "standin/device.h"
#include "volume/geometry.h"
#include "volume/images.h"
#include "volume/stamp.h"

namespace {

// The program's fixed texts, byte for byte as users and their scripts know them.
// The lock and the unlock texts open with different numbers of blank lines on
// purpose.
const char DATE_LINE_START[] = "\n\n     The date and time of your format will be: ";
const char WARNING_AND_PROMPT[] =
    "\n\n     Make sure you have a 1.44 megabyte floppy disk in drive A.\n"
    "     This is a high level program for the Windows environment\n"
    "     and an unusually formatted disk will not format well\n"
    "     with this software.  Enter Y or y if you want to format\n"
    "     the floppy disk in drive A: to 1.49 megabytes.  Warning, all\n"
    "     data on the disk will be lost.  Take the disk out of the\n"
    "     drive and reinsert the floppy for Windows to take notice\n"
    "     of the new format.\n\n     ";
const char LOCK_SUCCEEDED[] = "\n     Lock succeeded!\n\n";
const char LOCK_FAILED[] = "\n\n     Lock failed!\n\n";
const char SEPARATOR[] = "\n\n     *****     \n\n";
const char UNLOCK_SUCCEEDED[] = "\n\n     Unlock succeeded!\n\n";
const char UNLOCK_FAILED[] = "\n\n     Unlock failed!\n\n";
const char DECLINED[] = "\n\n     You chose not to format A:!\n\n     ";
// The farewell banner; the last line only where the program waits for Enter.
const char FAREWELL_BANNER[] =
    "\n     Thank you for using format149.\n"
    "     format149 is published by the Marvesto diskette tools team.\n";
const char PRESS_ENTER[] = "     Press Enter to end the program.\n";

const char MALFORMED_EPOCH[] =
    "format149: SOURCE_DATE_EPOCH must be a whole number of seconds since 1970-01-01 UTC\n";
const char EPOCH_OUT_OF_RANGE[] = "format149: SOURCE_DATE_EPOCH must fall from 1980-01-01 00:00:00 to 2107-12-31 "
                                  "23:59:59 in the local time zone (TZ), the dates a FAT volume holds\n";

// Locks drive A:, formats every track cylinder by cylinder, writes the system
// area in the plan's order, reads every track back when asked to and marks
// the failed ones' clusters bad (only on a disk that took every write), and
// unlocks. No result stops it; returns 1 when every step succeeded.
int format_drive_a(const SystemAreaImages& images, bool verify)
{
    int all_succeeded = 1;
    if (lock_volume() == 1) {
        printf_and_flush("%s", LOCK_SUCCEEDED);
    } else {
        printf_and_flush("%s", LOCK_FAILED);
        all_succeeded = 0;
    }

    for (int cylinder = 0; cylinder < CYLINDER_COUNT; ++cylinder)
        for (int head = 0; head < HEAD_COUNT; ++head)
            if (format_track(head, cylinder) != 1)
                all_succeeded = 0;

    printf_and_flush("%s", SEPARATOR);

    int system_area_written = 1;
    for (const PlannedWrite& step : SystemAreaWritePlan)
        if (write_sector(step.sector, planned_image(&images, step.image)) != 1)
            system_area_written = 0;
    if (system_area_written != 1)
        all_succeeded = 0;

    if (verify && verify_written_disk(images, system_area_written) != 1)
        all_succeeded = 0;

    if (unlock_volume() == 1) {
        printf_and_flush("%s", UNLOCK_SUCCEEDED);
    } else {
        printf_and_flush("%s", UNLOCK_FAILED);
        all_succeeded = 0;
    }
    return all_succeeded;
}

} // namespace

int main(int argument_count, char** arguments)
{
    keep_running_on_console_errors();
    RunOptions options;
    int command_line_status = answer_command_line(argument_count, arguments, &options);
    if (command_line_status != CONTINUE_RUN)
        return command_line_status;
    name_drive_a(options.drive);

    // Until the user says otherwise, the answer is no.
    char answer = 'N';

    // One reading of the moment of the format, broken down into local time once:
    // the date line shows it and the stamp carries it. Without it the date line
    // says "unknown" and the images keep a zero stamp.
    std::tm format_time{};
    FormatMoment source = take_format_moment(&format_time);
    if (source == MOMENT_MALFORMED || source == MOMENT_OUT_OF_RANGE) {
        std::fputs(source == MOMENT_MALFORMED ? MALFORMED_EPOCH : EPOCH_OUT_OF_RANGE, stderr);
        return EXIT_BAD_INVOCATION;
    }
    char date_text[DATE_TEXT_SIZE] = "unknown";
    bool time_known = false;
    if (source == MOMENT_KNOWN) {
        time_known = format_date(format_time, date_text) == 1;
        if (!time_known)
            std::snprintf(date_text, sizeof date_text, "unknown");
    }
    fputs_and_flush(DATE_LINE_START);
    fputs_and_flush(date_text);
    fputs_and_flush("\n");
    // What drive A: is, so that the user knows what the answer erases, or
    // (on later Windows) that the system's drive A: cannot be reached.
    say_what_drive_a_is();

    // The images are built and stamped before the user is asked anything, so the
    // stamp is that of the moment shown, whatever the answer.
    SystemAreaImages images;
    build_images(&images);
    if (options.label != nullptr)
        label_images(&images, options.label);
    if (time_known)
        stamp_images(format_time, images.BootSectorImage, images.RootLabelSector);

    fputs_and_flush(WARNING_AND_PROMPT);
    // --yes answers for the user, and standard input is never read.
    AnswerBuffer answer_buffer;
    answer = options.yes ? 'y' : read_answer(answer, &answer_buffer, read_standard_input_block);

    int exit_status = EXIT_ALL_SUCCEEDED;
    if (answer == 'Y' || answer == 'y') {
        if (format_drive_a(images, options.verify) != 1)
            exit_status = EXIT_STEP_FAILED;
    } else {
        // Declined: the disk is never touched.
        fputs_and_flush(DECLINED);
    }

    printf_and_flush("%s", FAREWELL_BANNER);
    if (options.yes)
        return exit_status;
    printf_and_flush("%s", PRESS_ENTER);

    // The rest of the answer's line went with the answer's own buffer, so this
    // waits for one more line.
    wait_for_final_keystroke();
    return exit_status;
}
