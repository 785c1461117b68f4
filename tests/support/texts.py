"""The texts format149 writes, as the tests expect them: a copy the tests own,
typed here once for every harness. Each is the bytes as the program writes
them, with line feeds; the Windows program, a console program in text mode,
writes every line feed as carriage return and line feed (see crlf).

The forms with %d are printf forms: fill them with the % operator."""

# --- standard output: the run from its date line to its farewell ----------

# The date line starts so, then the moment in DATE_PATTERN's form and "\n".
DATE_LINE_START = b"\n\n     The date and time of your format will be: "
# The moment on the date line, as "Mon Jun 07 13:45:31 2004", for re.
DATE_PATTERN = rb"[A-Z][a-z][a-z] [A-Z][a-z][a-z] [0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9][0-9][0-9][0-9]"

WARNING_AND_PROMPT = (b"\n\n     Make sure you have a 1.44 megabyte floppy disk in drive A.\n"
                      b"     This is a high level program for the Windows environment\n"
                      b"     and an unusually formatted disk will not format well\n"
                      b"     with this software.  Enter Y or y if you want to format\n"
                      b"     the floppy disk in drive A: to 1.49 megabytes.  Warning, all\n"
                      b"     data on the disk will be lost.  Take the disk out of the\n"
                      b"     drive and reinsert the floppy for Windows to take notice\n"
                      b"     of the new format.\n\n     ")

LOCK_SUCCEEDED = b"\n     Lock succeeded!\n\n"
LOCK_FAILED = b"\n\n     Lock failed!\n\n"
SEPARATOR = b"\n\n     *****     \n\n"
UNLOCK_SUCCEEDED = b"\n\n     Unlock succeeded!\n\n"
UNLOCK_FAILED = b"\n\n     Unlock failed!\n\n"
DECLINED = b"\n\n     You chose not to format A:!\n\n     "

FAREWELL_BANNER = (b"\n     Thank you for using format149.\n"
                   b"     format149 is published by the Marvesto diskette tools team.\n")
# The last line, left out when --yes answered.
PRESS_ENTER = b"     Press Enter to end the program.\n"

# --- standard error: one progress line a request, each ending in "\r" -----

FORMAT_LINE = b"     Formatting side %d of track %d, where error code = %d. \a \a \a \r"  # head, cylinder, code
WRITE_LINE = b"     Writing sector %d, where error code = %d. \r"  # sector, code
VERIFY_LINE = b"     Verifying side %d of track %d, where error code = %d. \r"  # head, cylinder, code

# --- standard output: the verify pass's summary, after Unlock's text ------

ALL_TRACKS_VERIFIED = b"\n\n     All 164 tracks verified.\n"
TRACKS_FAILED_TO_VERIFY = b"\n\n     %d of 164 tracks failed to verify.\n"  # count
FAILED_TRACK = b"     side %d of track %d, error code %d.\n"  # head, cylinder, code
SPACE_REPORT = (b"\n     %d bytes total disk space.\n"
                b"     %d bytes in bad sectors.\n"
                b"     %d bytes available on disk.\n")  # total, bad, available
CLEAN_SPACE_REPORT = SPACE_REPORT % (1494528, 0, 1494528)  # a volume without bad sectors
TRACK_ZERO_UNREADABLE = b"\n     Track 0 could not be read back, so the disk is unusable.\n"
NOT_FORMATTED = b"\n     The disk was not formatted, so it was not verified.\n"

# --- standard error: what drive A: is, and why it cannot be formatted ----

# The start of the program's own lines on standard error, its progress lines apart.
FAULT_START = b"format149: "
DRIVE_A_LINE = b"format149: drive A: is %s\n"  # what the drive is, before the question
FLOPPY_DRIVE = b"/dev/fd0, the floppy drive"
# A cause line is CAUSE_LINE % (drive, separator, cause): the separator is
# ": ", or " " after a name that ends in a colon (B:).
CAUSE_LINE = b"format149: %s%s%s\n"
CAUSE_DRIVE = b"a drive, not a diskette image"
CAUSE_NAME_TOO_LONG = b"the name is too long"
CAUSE_TOO_LARGE = b"larger than any diskette (%d bytes)"  # the file's size
CAUSE_CONSOLE = b"the program's own output goes into it"
CAUSE_CANNOT_OPEN = b"cannot be opened: "  # then the system's words
CAUSE_CANNOT_WRITE = b"cannot be written: "  # then the system's words
CAUSE_READ_ONLY = b"read-only: every format and write will fail with error code 3"
CAUSE_NO_DISKETTE = b"no diskette in the drive"

# The Windows program on a system without the VWIN32 device: the line after
# the date line, and what a drive's cause adds there.
NO_VWIN32_LINE = (b"format149: A: only Windows 95, 98 and ME let a program format a diskette; "
                  b"name an image file: format149 DISK.IMG\n")
NO_VWIN32_HINT = b"; only Windows 95, 98 and ME let a program format a diskette"

# --- the command line -------------------------------------------------------

USAGE = b"Usage: format149 [--verify] [--yes] [--label NAME] [DRIVE]"  # the first line
HELP_START = b"Formats the 3.5-inch"
# What the help says, among the rest.
HELP_SAYS = (b"DRIVE_A_IMAGE", b"Exit status", b"--yes, -y", b"--label NAME", b"DRIVE, the disk in drive A:, is")
UNKNOWN_OPTION = b"format149: unknown option '%s'"  # the option
VERSION_LINE = b"format149 %s\n"  # the version
EPOCH_OUT_OF_RANGE_START = b"format149: SOURCE_DATE_EPOCH must fall from "

# --- pieces of texts, short enough that any part of a text left shows ------

# Of the console's: none is in a file that the console's output missed.
CONSOLE_PIECES = (b"Formatting side", b"Writing sector", b"error code", b"succeeded", b"*****",
                  b"Thank you", b"Press Enter", b"chose not")
# Of the verify pass's: none is in the output of a run that verified nothing.
VERIFY_PIECES = (b"Verifying", b"tracks verified.", b"failed to verify", b"Track 0", b"could not be read back",
                 b"could not be marked", b"bytes total disk space", b"bytes available on disk")

# --- the boot sector's messages, as a BIOS's teletype shows them, without
# carriage returns

INVALID_SYSTEM_DISK = b"\nInvalid system disk\nReplace the disk, and then press any key\n"
DISK_IO_ERROR = b"\nDisk I/O error\nReplace the disk, and then press any key\n"
REPLACE_THE_DISK = b"Replace the disk, and then press any key"


def crlf(text):
    """The text as a Windows console program writes it in text mode."""
    return text.replace(b"\n", b"\r\n")


def cause_line(drive, cause):
    """The line that says why `drive` (bytes) cannot be formatted."""
    return CAUSE_LINE % (drive, b" " if drive.endswith(b":") else b": ", cause)
