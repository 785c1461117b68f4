#!/usr/bin/env python3
"""The Windows executables of format149, cross-built with MinGW-w64 and checked on
this host: the 32-bit one's PE header, imports and release archive; runs under
Wine without the VWIN32 device (64-bit, or 32-bit as an NT-family system), and
under 32-bit Wine as Windows 95, 98 and ME, whose VWIN32 device passes the
records to Wine's MS-DOS services, drive A: being an image file.

  windows_test.py build SOURCE_DIR WORK_DIR [CMAKE [GENERATOR]]
      Cross-builds WORK_DIR/win32/format149.exe and WORK_DIR/win64/format149.exe.
  windows_test.py pe-imports EXE32 IMPORT_LIST [EXE64]
      The 32-bit PE header asks for Windows 4.0 and the imports are exactly the
      reviewed list; neither executable needs a DLL besides KERNEL32 and MSVCRT.
  windows_test.py release SOURCE_DIR WORK_DIR VERSION CMAKE CPACK [GENERATOR]
      cpack in two clean 32-bit builds, WORK_DIR/release-1 and -2: the files,
      the texts, the program stripped, without time stamp, the same in both.
  windows_test.py wine-confirmed EXE64 [NATIVE_EXE]
      "y" piped in, without the device; with NATIVE_EXE, the image runs.
  windows_test.py wine-declined EXE64
      "n" piped in, without the device.
  windows_test.py wine-win9x EXE32 NATIVE_EXE RELEASE_ZIP [CMAKE]
      The 32-bit program without the device, then as Windows 95, 98 (from the
      archive) and ME through it, as 98 with --verify and -x; as the NT family
      and as 98 the image runs.

Exits 77 (skipped) when the MinGW-w64 compilers, their objdump or Wine are
missing (a missing Wine fails under continuous integration, CI=true); any
other failure exits 1.
"""

import calendar
import difflib
import os
import re
import shutil
import stat
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # nothing written into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import harness  # noqa: E402
import texts  # noqa: E402
from harness import (CONFIRMED, DECLINED, TRACKS, VOLUME_BYTES, check, excerpt, expect_bytes, fail,  # noqa: E402
                     has_line_starting, lines, read, remove, require, same, show, skip, tree, write)
from texts import crlf  # noqa: E402

SYSTEM_AREA_BYTES = harness.SYSTEM_AREA_SECTORS * harness.SECTOR_BYTES  # cylinder 0
MINGW_PACKAGES = "Debian: g++-mingw-w64-i686, g++-mingw-w64-x86-64"
OBJDUMP32, OBJDUMP64 = "i686-w64-mingw32-objdump", "x86_64-w64-mingw32-objdump"
FIXED_EPOCH = "1086615931"
EPOCH_2107 = "4354819199"  # the last second of 2107


def have_mingw():
    """Whether there is a C++ driver for both targets, by a name the toolchain files look for."""
    return all(any(shutil.which(triplet + suffix) for suffix in ("-g++-win32", "-c++-win32", "-g++"))
               for triplet in ("i686-w64-mingw32", "x86_64-w64-mingw32"))


def require_mingw():
    if not have_mingw():
        skip("the MinGW-w64 C++ compilers are missing (%s)" % MINGW_PACKAGES)


def require_executable(path, what):
    """An executable of the cross build: missing only because the build was
    skipped for want of the compilers, or else a failure."""
    if os.path.isfile(path):
        return
    if not have_mingw():
        skip("no %s was built: the MinGW-w64 C++ compilers are missing (%s)" % (what, MINGW_PACKAGES))
    fail("%s not found: %s" % (what, path))


# ---------------------------------------------------------------------------
# Cross build

def cross_build(source_dir, folder, arch, cmake, generator):
    """One warning-free build."""
    generator_option = ["-G", generator] if generator else []
    configured = harness.run([cmake, "-S", source_dir, "-B", folder, *generator_option,
                              "-DCMAKE_TOOLCHAIN_FILE=%s/cmake/mingw-w64-%s.cmake" % (source_dir, arch),
                              "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DBUILD_TESTING=OFF"],
                             timeout=600, stdout=folder + ".configure.log", stderr=harness.STDOUT)
    if configured.returncode != 0:
        fail("configuring the %s build" % arch, read(folder + ".configure.log"))
    built = harness.run([cmake, "--build", folder, "--parallel"], timeout=600,
                        stdout=folder + ".build.log", stderr=harness.STDOUT)
    if built.returncode != 0:
        fail("building the %s executable" % arch, read(folder + ".build.log"))
    # The build is to be free of warnings, as the native one is.
    warnings = [line for line in lines(read(folder + ".build.log")) if b"warning:" in line.lower()]
    if warnings:
        fail("the %s build gave warnings" % arch, b"\n".join(warnings))
    require(os.path.isfile(folder + "/format149.exe"), "the %s executable not found in %s" % (arch, folder))
    print("built %s/format149.exe" % folder)


def build_both(source_dir, work_dir, cmake="cmake", generator=""):
    require_mingw()
    os.makedirs(work_dir, exist_ok=True)
    cross_build(source_dir, work_dir + "/win32", "i686", cmake, generator)
    cross_build(source_dir, work_dir + "/win64", "x86_64", cmake, generator)


# ---------------------------------------------------------------------------
# PE header and imports

def objdump(program, option, exe, environment=None):
    result = harness.run([program, option, exe], environment=environment)
    require(result.returncode == 0, "%s cannot read %s" % (program, exe))
    return result.stdout.decode("latin-1")


def imports(header):
    """"DLL!function" for every import, sorted."""
    found, dll = [], ""
    for line in header.split("\n"):
        fields = line.split()
        if re.match(r"[ \t]*DLL Name:", line):
            dll = fields[2] if len(fields) > 2 else ""
        elif re.fullmatch(r"[ \t]*", line):
            dll = ""
        elif dll and re.match(r"\t[0-9a-f]+\t", line):
            found.append(dll + "!" + fields[2] if len(fields) >= 3 else dll + "!#" + fields[1])
    return sorted(found)


def check_dlls(header, exe):
    dlls = [line.split()[2] for line in header.split("\n")
            if re.match(r"[ \t]*DLL Name:", line) and len(line.split()) > 2]
    require(dlls, "no imported DLLs found in %s: objdump output not understood" % exe)
    others = [dll for dll in dlls if dll.lower() not in ("kernel32.dll", "msvcrt.dll")]
    require(not others, "%s needs DLLs besides KERNEL32.dll and msvcrt.dll: %s" % (exe, ", ".join(others)))


def header_field(header, name):
    return next(((fields + [""])[1] for fields in map(str.split, header.split("\n")) if fields[:1] == [name]), "")


def pe_imports(exe32, import_list, exe64=""):
    harness.require_tool(OBJDUMP32, "binutils-mingw-w64-i686")
    require_executable(exe32, "32-bit executable")
    require(os.path.isfile(import_list), "the list of reviewed imports not found: " + import_list)

    header = objdump(OBJDUMP32, "-p", exe32)
    require("file format pei-i386" in header, "%s is not a 32-bit PE executable" % exe32)
    require(re.search(r"^Magic\s+010b", header, re.M), "%s has no PE32 optional header" % exe32)
    require(re.search(r"^Subsystem\s+00000003", header, re.M), "%s is not a console program" % exe32)
    for field, expected in (("MajorOSystemVersion", "4"), ("MinorOSystemVersion", "0"),
                            ("MajorSubsystemVersion", "4"), ("MinorSubsystemVersion", "0")):
        value = header_field(header, field)
        require(value == expected, "%s is '%s', not %s" % (field, value, expected))

    check_dlls(header, exe32)
    actual = imports(header)
    require(actual, "no imports found in %s: objdump output not understood" % exe32)
    reviewed = sorted(line for line in read(import_list).decode("latin-1").split("\n")
                      if not re.match(r"\s*(#|$)", line))
    if actual != reviewed:
        print("imports of %s (+) against the reviewed list (-):" % exe32)
        for line in difflib.unified_diff(reviewed, actual, lineterm="", n=0):
            if line[:1] in "+-" and line[:3] not in ("+++", "---"):
                print(line)
        fail("the imports differ from the reviewed list; every import must exist in Windows 98")
    print("PE32 console program for Windows 4.0; imports: the %d reviewed functions of KERNEL32.dll and msvcrt.dll"
          % len(actual))

    if exe64:
        harness.require_tool(OBJDUMP64, "binutils-mingw-w64-x86-64")
        require_executable(exe64, "64-bit executable")
        check_dlls(objdump(OBJDUMP64, "-p", exe64), exe64)
        print("64-bit executable: no DLLs besides KERNEL32.dll and msvcrt.dll")


# ---------------------------------------------------------------------------
# The release archive

def release(source_dir, work_dir, version, cmake, cpack, generator=""):
    name = "format149-%s-win32" % version
    require_mingw()
    harness.require_tool(OBJDUMP32, "binutils-mingw-w64-i686")
    for build in (1, 2):  # two clean builds, each packed as the README says
        folder = "%s/release-%d" % (work_dir, build)
        shutil.rmtree(folder, ignore_errors=True)
        shutil.rmtree(folder + ".unpacked", ignore_errors=True)
        os.makedirs(folder + ".unpacked")
        cross_build(source_dir, folder, "i686", cmake, generator)
        packed = harness.run([cpack], cwd=folder, timeout=600, stdout=folder + ".cpack.log", stderr=harness.STDOUT)
        extracted = packed.returncode == 0 and harness.run(
            [cmake, "-E", "tar", "xf", "%s/%s.zip" % (folder, name)], cwd=folder + ".unpacked",
            stdout=None, stderr=None).returncode == 0
        if not extracted:
            fail("cpack in %s made no %s.zip to unpack" % (folder, name), read(folder + ".cpack.log") or b"")
    unpacked = "%s/release-1.unpacked/%s" % (work_dir, name)
    require(tree(os.path.dirname(unpacked)) == [".", "./" + name, "./%s/LICENSE.TXT" % name,
                                                "./%s/README.TXT" % name, "./%s/format149.exe" % name],
            "the archive holds other than %s/ with format149.exe, README.TXT and LICENSE.TXT" % name)
    require(same(unpacked + "/format149.exe", "%s/release-2.unpacked/%s/format149.exe" % (work_dir, name)),
            "two clean builds of the same source packed different programs")
    program = unpacked + "/format149.exe"
    header = objdump(OBJDUMP32, "-p", program, {"TZ": "UTC"})
    require(re.search(r"^Time/Date\s+Thu Jan  1 00:00:00 1970$", header, re.M), "the packed program has a time stamp")
    sections = harness.run([OBJDUMP32, "-h", program]).stdout
    require(re.search(r"^\s+symbols stripped$", header, re.M) and b".debug" not in sections,
            "the packed program is not stripped")
    # As Notepad shows it whole: printable ASCII, CR LF line ends (no line
    # feed without its carriage return), at most 76 columns.
    for text in (unpacked + "/README.TXT", unpacked + "/LICENSE.TXT"):
        data = read(text)
        bad = ["%d: %s" % (number, show(line)) for number, line in enumerate(lines(data), 1)
               if not re.fullmatch(rb"[ -~]*\r", line) or len(line) > 77]
        require(not bad and data.endswith(b"\r\n"),
                "%s: lines beyond 76 columns, not ASCII, or no CR LF: %s" % (text, "; ".join(bad)))
    print("%s.zip: format149.exe stripped, no time stamp, the same from two clean builds; texts for Notepad" % name)


# ---------------------------------------------------------------------------
# Runs under Wine

def native_image(native, image, epoch):
    """The image the native build makes, answered y, at the moment `epoch`
    in UTC; whether it ran to its end."""
    return harness.format_image(native, image, environment={"SOURCE_DATE_EPOCH": epoch, "TZ": "UTC"}, timeout=300,
                                stdout=harness.DEVNULL, stderr=harness.DEVNULL).returncode == 0


class Wine:
    """One test's runs under the Wine loader `loader`, in a temporary folder
    that holds the outputs and, in "prefix", a fresh Wine prefix."""

    def __init__(self, loader):
        self.loader, self.folder = loader, None
        # The road of the runs that name no drive: "absent" without the VWIN32
        # device (the NT family), where the cause line follows the date line, no
        # call is made and every line shows 128; "vwin32" through Wine's VWIN32
        # device, where each format comes back as passed (5) and each write
        # lands (0).
        self.road = "absent"

    def path(self, name):
        return os.path.join(self.folder, name)

    def wineserver(self):
        return os.path.join(os.path.dirname(self.loader), "wineserver")

    def __enter__(self):
        self.folder = tempfile.mkdtemp(prefix="format149-wine.", dir=os.environ.get("TMPDIR") or "/tmp")
        return self

    def __exit__(self, *exception):
        """The prefix's Wine server stopped and the folder removed."""
        server = self.wineserver() if os.access(self.wineserver(), os.X_OK) else shutil.which("wineserver")
        if server and os.path.isdir(self.path("prefix")):
            harness.run([server, "-k"], None, {"WINEPREFIX": self.path("prefix")}, stdout=harness.DEVNULL,
                        stderr=harness.DEVNULL)
        shutil.rmtree(self.folder, ignore_errors=True)

    def make_prefix(self, image=None):
        """A fresh prefix, set up before the program runs, with drive A: a
        floppy drive whose folder (a:) is empty and whose raw device (a::) is
        `image` in the run folder, when one is named. The first program a Wine
        server starts also starts wineboot and Wine's services, and they write
        to that program's standard error (a service that fails under load says
        so there). So the prefix's server is made persistent and a first
        program runs here, its output in boot.log: the services stay up, apart
        from the runs."""
        os.environ["WINEPREFIX"] = self.path("prefix")
        os.environ["WINEDLLOVERRIDES"] = "mscoree,mshtml="  # no Mono or Gecko installers
        boot_log = self.path("boot.log")
        booted = harness.run([self.loader, "wineboot"], None, {"WINEDEBUG": "-all"}, timeout=300,
                             stdout=boot_log, stderr=harness.STDOUT)
        if booted.returncode != 0:
            fail("Wine cannot set up a prefix", read(boot_log))
        if image:
            self.setting(r"HKLM\Software\Wine\Drives", "a:", "floppy")
            os.mkdir(self.path("floppy"))
            os.symlink(self.path("floppy"), os.path.join(self.path("prefix"), "dosdevices", "a:"))
            os.symlink(self.path(image), os.path.join(self.path("prefix"), "dosdevices", "a::"))
        # Wine's services read the drive type as they start: the server ends
        # (and they with it) before the persistent one starts.
        with open(boot_log, "ab") as log:
            started = (harness.run([self.wineserver(), "-w"], None, timeout=60, stdout=log, stderr=log).returncode == 0
                       and harness.run([self.wineserver(), "-p"], None, stdout=log, stderr=log).returncode == 0
                       and harness.run([self.loader, "cmd", "/c", "exit"], None, {"WINEDEBUG": "-all"}, timeout=300,
                                       stdout=log, stderr=log).returncode == 0)
        if not started:
            fail("Wine's services do not start in " + self.path("prefix"), read(boot_log))

    def setting(self, key, value, data):
        """A registry value, set through Wine's reg."""
        harness.succeeded(self.loader, "reg", "add", key, "/v", value, "/d", data, "/f",
                          environment={"WINEDEBUG": "-all"})

    def run(self, command, answer, environment=None, stdout="out", stderr="err"):
        """One run in the run folder, local time UTC, with `answer` piped in and
        no Wine diagnostics among the program's own output; stdout and stderr
        are files of the run folder (stderr may be STDOUT, or None for this
        process's). Returns the exit status."""
        outputs = [self.path(name) if isinstance(name, str) else name for name in (stdout, stderr)]
        variables = {"TZ": "UTC", "WINEDEBUG": "-all", **(environment or {})}
        return harness.run([self.loader, *command], answer, variables, cwd=self.folder, timeout=300,
                           stdout=outputs[0], stderr=outputs[1]).returncode

    def run_program(self, exe, answer, status, *arguments, environment=None, stderr="err"):
        """A run that is to end with exit status `status`."""
        ended = self.run([exe, *arguments], answer, environment, stderr=stderr)
        require(ended == status, "exit status %d, not %d" % (ended, status))

    def traced_run(self, exe, answer, *arguments, environment=None):
        """A run that Wine traces, standard output into trace.out; the device
        calls it made."""
        self.run([exe, *arguments], answer, dict(environment or {}, WINEDEBUG="trace+file,trace+vxd"),
                 stdout="trace.out", stderr="trace")
        trace = read(self.path("trace"))
        require(b":trace:file:" in trace, "Wine wrote no file traces; this Wine build cannot show the device calls")
        return device_calls(trace)

    def listing(self):
        """Every path in the run folder but the prefix."""
        return tree(self.folder, leaving_out=("prefix",))

    # --- what the runs write ---

    def cause_line(self):
        return crlf(texts.NO_VWIN32_LINE) if self.road == "absent" else b""

    def opening(self, date, together=False):
        """With `together`, standard error's cause line in its place."""
        return (crlf(texts.DATE_LINE_START + date + b"\n") + (self.cause_line() if together else b"")
                + crlf(texts.WARNING_AND_PROMPT))

    def format_lines(self, writes=False):
        """The format lines of a run on this road, or with `writes` its write lines."""
        found = harness.progress_lines(128 if self.road == "absent" else 5, 128 if self.road == "absent" else 0)
        return b"".join(found[len(TRACKS):] if writes else found[:len(TRACKS)])

    def confirmed_transcript(self, date, lock, unlock, together=False):
        """The standard output of a confirmed run; with `together`, standard
        error's lines in their places."""
        return (self.opening(date, together) + crlf(lock) + (self.format_lines() if together else b"")
                + crlf(texts.SEPARATOR) + (self.format_lines(True) if together else b"") + crlf(unlock)
                + crlf(texts.FAREWELL_BANNER + texts.PRESS_ENTER))

    def device_call(self, code, eax, ebx, ecx, edx, esi):
        """One opening of the device, and on the VWIN32 road the call on it
        with the record the device received; without the device, the opening
        alone."""
        if self.road == "absent":
            return ["open"]
        return ["open", "call %d" % code,
                "record eax=%08x ebx=%s ecx=%08x edx=%08x esi=%s edi=00000000" % (eax, ebx, ecx, edx, esi)]

    def expected_device_calls(self, verify=False):
        """A confirmed run's calls, each after an opening, with the records: the
        lock (IOCTL 440Dh, 084Ah, drive 1), the formats in track order (Int 13h
        05h, 18 sectors, CH cylinder, DH head), the writes (Int 26h, sector
        EDX, EBX its image as the README's layout has them: the FAT copies'
        first sectors 1 and 10 share one, all but 0, 1, 10 and 19 the blank
        one), with `verify` the verifies in track order (Int 13h 04h, 18
        sectors from CL 1), the unlock (086Ah). Through the device, one opening
        comes first, before the question: the look for it."""
        calls = [] if self.road == "absent" else ["open"]
        calls += self.device_call(1, 0x440D, "00000001", 0x084A, 0, "00000000")
        for cylinder, head in TRACKS:
            calls += self.device_call(4, 0x0512, "list", cylinder << 8, head << 8, "list")
        images = {0: "image1", 1: "image2", 10: "image2", 19: "image4"}
        for sector in range(harness.SYSTEM_AREA_SECTORS):
            calls += self.device_call(3, 0, images.get(sector, "image3"), 1, sector, "00000000")
        for cylinder, head in TRACKS if verify else ():
            calls += self.device_call(4, 0x0412, "00000000", cylinder << 8 | 1, head << 8, "00000000")
        calls += self.device_call(1, 0x440D, "00000001", 0x086A, 0, "00000000")
        return calls

    def expect_device_calls(self, calls, verify=False):
        """The traced run made exactly those calls."""
        expected = self.expected_device_calls(verify)
        if calls != expected:
            for line in list(difflib.unified_diff(expected, calls, "expected", "traced", lineterm="", n=1))[:20]:
                print(line)
            fail("the device calls differ from lock, 164 formats, 36 writes, unlock on the %s road" % self.road)

    # --- the runs ---

    def expect_run(self, exe, answer, status, transcript, errors):
        """A run that ends with `status`, standard output and error apart, byte
        for byte: transcript(the date shown) and `errors`. Returns the date."""
        self.run_program(exe, answer, status)
        out = read(self.path("out"))
        date = shown_date(out)
        expect_bytes(out, transcript(date), "standard output")
        expect_bytes(read(self.path("err")), errors, "standard error")
        return date

    def confirmed_run(self, exe, lock, unlock):
        """Every format fails under Wine, so the exit status is 1."""
        return self.expect_run(exe, CONFIRMED, 1, lambda date: self.confirmed_transcript(date, lock, unlock),
                               self.cause_line() + self.format_lines() + self.format_lines(True))

    def confirmed_without_device(self, exe):
        """The road without the device: byte for byte, apart and together, and the calls."""
        self.road = "absent"
        date = self.confirmed_run(exe, texts.LOCK_FAILED, texts.UNLOCK_FAILED)
        # Both into one file: every text is out before the next one is written.
        self.run_program(exe, CONFIRMED, 1, stderr=harness.STDOUT)
        both = read(self.path("out"))
        expect_bytes(both, self.confirmed_transcript(shown_date(both), texts.LOCK_FAILED, texts.UNLOCK_FAILED, True),
                     "standard output and error together")
        self.expect_device_calls(self.traced_run(exe, CONFIRMED))
        self.run_program(exe, CONFIRMED, 1, "--verify")
        out, err = read(self.path("out")), read(self.path("err"))
        check(crlf(texts.NOT_FORMATTED) in out and not any(text in out + err for text in texts.VERIFY_PIECES),
              "--verify without the device: not the line that the disk was not formatted, or a verify")
        print("confirmed (%s): Lock and Unlock failed, 200 lines with 128, apart and together; 202 failed openings "
              "of the device; --verify: not formatted, so not verified" % date.decode())

    def confirmed_with_vwin32(self, exe, native, image, original):
        """The run through Wine's VWIN32 device on `image`, still as `original`.
        Wine has no Int 13h: each format comes back as passed (code 5) and
        changes nothing; the writes land."""
        self.road = "vwin32"
        date = self.confirmed_run(exe, texts.LOCK_SUCCEEDED, texts.UNLOCK_SUCCEEDED)
        self.expect_written_system_area(native, image, original, date)
        self.expect_device_calls(self.traced_run(exe, CONFIRMED))
        print("confirmed (%s): formats 5, writes 0, that moment's system area; the 202 records" % date.decode())

    def expect_written_system_area(self, native, image, original, date):
        """Cylinder 0 of `image` is what the native build writes for the moment
        `date`, in the same zone, and the rest is still `original`."""
        try:
            epoch = calendar.timegm(time.strptime(date.decode(), "%a %b %d %H:%M:%S %Y"))
        except ValueError:
            fail("cannot read the date line %s" % date.decode())
        reference = self.path("reference.img")
        remove(reference)
        require(native_image(native, reference, str(epoch)),
                "the native build did not make the reference image")
        written, kept, stamped = read(image) or b"", read(original) or b"", read(reference)
        require(stamped is not None and written[:SYSTEM_AREA_BYTES] == stamped[:SYSTEM_AREA_BYTES],
                "cylinder 0 is not the system area stamped %s" % date.decode())
        require(written[SYSTEM_AREA_BYTES:] == kept[SYSTEM_AREA_BYTES:], "the image changed beyond cylinder 0")
        harness.succeeded("fsck.fat", "-n", image)

    def verify_with_vwin32(self, exe, native, image, original):
        """--verify through Wine's VWIN32 device, which has no Int 13h: each
        verify record comes back as passed, so cylinder 0 failed and nothing
        more is written after the verifies (the trace shows no write after
        them); the image is as after a plain run."""
        shutil.copyfile(original, image)
        self.run_program(exe, CONFIRMED, 1, "--verify")
        out = read(self.path("out"))
        require(crlf(texts.TRACKS_FAILED_TO_VERIFY % 164) in out and crlf(texts.TRACK_ZERO_UNREADABLE) in out,
                "--verify: no Track 0 text after the summary: %s" % excerpt(out, -6, None))
        self.expect_written_system_area(native, image, original, shown_date(out))
        shutil.copyfile(original, image)
        self.expect_device_calls(self.traced_run(exe, CONFIRMED, "--verify"), verify=True)
        self.run_program(exe, b"", 2, "-x")
        check(has_line_starting(read(self.path("err")), texts.USAGE), "-x: no usage on standard error")
        check(self.traced_run(exe, b"", "-x") == [], "-x reached the device")
        print("--verify: 164 failing verify records, Track 0 unusable; -x: the usage, no device call")

    def image_runs(self, exe, native):
        """An image named on the command line, through the stand-in's image
        drive, never VWIN32. At a fixed moment it is the native build's image
        byte for byte; --verify reads every track and finds no bad sector;
        device names, a folder and a read-only file show their status on every
        line, and nothing is written or created. Then the cause and switch runs."""
        made, reference = self.path("made.img"), self.path("native.img")
        remove(made, reference)
        require(native_image(native, reference, FIXED_EPOCH), "no native image")
        fixed = {"SOURCE_DATE_EPOCH": FIXED_EPOCH}
        self.run_program(exe, CONFIRMED, 0, "made.img", environment=fixed)
        check(same(made, reference), "format149.exe made.img is not the native build's image")
        write(self.path("large.img"), bytes(2949120))
        self.run_program(exe, CONFIRMED, 0, "large.img", environment=fixed)
        check(same(self.path("large.img"), reference),
              "a blank 2.88 MB image is not cut to the native build's image")
        calls = self.traced_run(exe, CONFIRMED, "--verify", "made.img", environment=fixed)
        out = read(self.path("trace.out"))
        check(crlf(texts.ALL_TRACKS_VERIFIED) in out and crlf(texts.CLEAN_SPACE_REPORT) in out,
              "--verify made.img: %s" % excerpt(out, -8, None))
        check(calls == [], "the image runs reached the VWIN32 device")
        shutil.copyfile(reference, self.path("protected.img"))
        os.chmod(self.path("protected.img"), 0o444)
        os.makedirs(self.path("folder.img"), exist_ok=True)
        files = self.listing()
        for target in ("NUL", "nul.img", "\\\\?\\Z:" + self.folder.replace("/", "\\") + "\\made.img", "folder.img",
                       "protected.img"):
            code = 3 if target == "protected.img" else 128
            self.run_program(exe, CONFIRMED, 1, target)
            err = read(self.path("err")).replace(b"\r", b"\n")
            progress = [line for line in lines(err)
                        if re.match(rb"     (Formatting|Writing) .* error code = %d\. " % code, line)]
            check(len(progress) == 200, "%s: %d lines, not all 200, with error code %d; standard error ends %s"
                  % (target, len(progress), code, show(err[-400:])))
        check(same(made, reference) and same(self.path("protected.img"), reference),
              "a refused target changed")
        check(self.listing() == files, "a refused target made a file")
        print("images named: the native build's, verified; devices, a folder, a read-only file refused")
        self.cause_runs(exe)
        self.switch_runs(exe, native)

    def expect_cause(self, target, cause):
        """The run just made said on a line of its own why `target` cannot be
        a diskette image, with no colon doubled after a name that ends in one."""
        err = read(self.path("err"))
        if not check(crlf(texts.cause_line(target.encode(), cause))[:-1] in lines(err),
                     "%s: no cause line '%s'" % (target[:40], cause.decode())):
            print("\n".join([show(line) for line in lines(err.replace(b"\r", b"\n"))
                             if not line.startswith(b"     ")][:5]))

    def cause_runs(self, exe):
        """Names that cannot be a diskette image, each with its cause: a sparse
        4 GiB file (the high half of its size counts), a name longer than
        Windows takes, a drive letter, and an image that standard output goes
        into, through cmd's redirection and handed over by the shell. None is
        formatted."""
        big, long = self.path("big.img"), "x" * 300 + ".img"
        with open(big, "ab") as file:
            file.truncate(4 << 30)  # sparse
        self.run_program(exe, CONFIRMED, 1, "big.img")
        self.expect_cause("big.img", texts.CAUSE_TOO_LARGE % 4294967296)
        with open(big, "rb") as file:
            check(os.path.getsize(big) == 4294967296 and file.read(2949120) == bytes(2949120),
                  "the 4 GiB file changed")
        remove(big, self.path("cmd.img"), self.path("shell.img"))
        self.run_program(exe, CONFIRMED, 1, long)
        self.expect_cause(long, texts.CAUSE_NAME_TOO_LONG)
        self.run_program(exe, CONFIRMED, 1, "B:")
        # Without the device (the NT family), with the hint of where a diskette can be formatted.
        self.expect_cause("B:", texts.CAUSE_DRIVE + (texts.NO_VWIN32_HINT if self.road == "absent" else b""))
        # Windows' own words, without their line end and closing period, and the number.
        self.run_program(exe, CONFIRMED, 1, "a*b.img")
        err = read(self.path("err"))
        words = re.escape(texts.cause_line(b"a*b.img", texts.CAUSE_CANNOT_OPEN)[:-1])
        check(any(re.fullmatch(words + rb"[A-Z][^\r]*[^. ] \(Windows error 123\)\r", line) for line in lines(err)),
              "a*b.img: not Windows' words for error 123: %s"
              % show(b"\n".join([line for line in lines(err.replace(b"\r", b""))
                                 if not line.startswith(b"     ")][:3])))
        status = self.run(["cmd", "/c", "Z:%s cmd.img > cmd.img" % exe.replace("/", "\\")], CONFIRMED, stdout=None)
        check(status == 1, "cmd /c \"format149 cmd.img > cmd.img\": exit status %d, not 1" % status)
        self.expect_cause("cmd.img", texts.CAUSE_CONSOLE)
        status = self.run([exe, "shell.img"], CONFIRMED, stdout="shell.img")
        check(status == 1, "format149 shell.img >shell.img: exit status %d, not 1" % status)
        self.expect_cause("shell.img", texts.CAUSE_CONSOLE)
        for target in ("cmd.img", "shell.img"):
            output = read(self.path(target)) or b""
            check(crlf(texts.FAREWELL_BANNER) in output and len(output) < 9216,
                  "%s: formatted, or not the program's own output" % target)
        print("causes: a 4 GiB file, a long name, B:, a*b.img in Windows' words, standard output into the image")

    def switch_runs(self, exe, native):
        """Options as Windows writes them: /? is the help; /verify is no option
        of this program, nor a file: the usage, exit status 2, and nothing made,
        in the folder or in the drive's root. A SOURCE_DATE_EPOCH beyond 2038
        (the last second of 2107) makes the native build's image, or is refused
        with exit status 2 and a range that does not hold it."""
        self.run_program(exe, b"", 0, "/?")
        out = read(self.path("out"))
        check(has_line_starting(out, texts.USAGE) and has_line_starting(out, texts.HELP_START),
              "/?: no help on standard output")
        files, root = self.listing(), entry("/verify")  # the root of drive Z:, where the run folder is
        self.run_program(exe, b"", 2, "/verify")
        err = read(self.path("err"))
        check(has_line_starting(err, texts.UNKNOWN_OPTION % b"/verify") and has_line_starting(err, texts.USAGE),
              "/verify: no usage on standard error")
        check(entry("/verify") == root and self.listing() == files, "/verify made a file")
        epoch, native_epoch = self.path("epoch.img"), self.path("native-epoch.img")
        remove(epoch, native_epoch)
        require(native_image(native, native_epoch, EPOCH_2107),
                "the native build refuses SOURCE_DATE_EPOCH=%s" % EPOCH_2107)
        status = self.run([exe, "epoch.img"], CONFIRMED, {"SOURCE_DATE_EPOCH": EPOCH_2107})
        if status == 0:
            check(same(epoch, native_epoch), "SOURCE_DATE_EPOCH=%s: not the native build's image" % EPOCH_2107)
            print("SOURCE_DATE_EPOCH=%s TZ=UTC: the native build's image" % EPOCH_2107)
        else:
            err = read(self.path("err"))
            check(status == 2 and not os.path.exists(epoch) and has_line_starting(err, texts.EPOCH_OUT_OF_RANGE_START)
                  and b"2107-12-31 23:59:59" not in err,
                  "SOURCE_DATE_EPOCH=%s: exit status %d: %s"
                  % (EPOCH_2107, status, excerpt(err, 0, 3)))
            print("SOURCE_DATE_EPOCH=%s TZ=UTC: refused, exit status 2, with the range the program takes" % EPOCH_2107)
        print("/?: the help, exit status 0; /verify: the usage, exit status 2, no file made")

    def declined_run(self, exe):
        """"n" piped in: the declined message, exit status 0, and no call: on
        the NT family the cause line, and the device never opened; through the
        device, standard error empty and the device opened once, to be found."""
        farewell = crlf(texts.DECLINED + texts.FAREWELL_BANNER + texts.PRESS_ENTER)
        self.expect_run(exe, DECLINED, 0, lambda date: self.opening(date) + farewell, self.cause_line())
        calls = self.traced_run(exe, DECLINED)
        if calls != ([] if self.road == "absent" else ["open"]):
            print("\n".join(calls[:5]))
            fail("the declined run reached the device")
        print("declined: exit status 0, no device call, standard error %s"
              % ("the cause line alone" if self.road == "absent" else "empty"))


def entry(path):
    """What ls -ld shows of `path`, or that there is none."""
    try:
        found = os.lstat(path)
    except OSError as error:
        return error.strerror
    return (stat.filemode(found.st_mode), found.st_nlink, found.st_uid, found.st_gid, found.st_size,
            found.st_mtime_ns)


def shown_date(out):
    """The date text the run showed, checked for its form; the rest of the
    output is compared byte for byte."""
    return harness.shown_moment(out, b"\r\n")


def device_calls(trace):
    """The device calls of one traced run as Wine logs them: "open" for each
    opening of the device with access 0, share mode 0, disposition 0 and
    FILE_FLAG_DELETE_ON_CLOSE, "call N" for each of the program's control
    calls with code N on the handle just opened, with the same 28-byte record
    as input and output buffer, a byte count and no overlapped structure;
    "record ..." for the registers Wine's VWIN32 device received, where a
    format's EBX and ESI read "list" when equal and not zero, and a nonzero
    write EBX "image1", "image2", ... by address in the order first seen;
    "other: ..." for anything else that names the device (but Wine's own
    vwin32.vxd) or makes a control call."""
    calls, code, images = [], "", {}
    zeros = re.compile(r"0+")
    for line in trace.decode("latin-1").split("\n"):
        if ":trace:file:CreateFileW " in line and "vwin32" in line and 'vwin32.vxd" ' not in line:
            opened = re.search(r':trace:file:CreateFileW L"\\\\\\\\\.\\\\vwin32" QUERY_ACCESS  creation 0 '
                               r'attributes 0x4000000\Z', line)
            calls.append("open" if opened else "other: " + line)
        elif ":trace:file:KERNEL32_DeviceIoControl (" in line:
            fields = re.sub(r"\)\Z", "", re.sub(r"\A.*:trace:file:KERNEL32_DeviceIoControl \(", "", line)).split(",")
            code = re.sub(r"\A0x", "", fields[1]) if len(fields) > 1 else ""
            if (len(fields) == 8 and fields[2] == fields[4] and fields[3] == "28" and fields[5] == "28"
                    and not zeros.fullmatch(fields[6]) and zeros.fullmatch(fields[7])):
                calls.append("call " + code)
            else:
                calls.append("other: " + line)
        elif ":trace:vxd:VWIN32_DeviceIoControl " in line:
            r = re.split(r", e[a-z][a-z]=0x", re.sub(r"\A.*: eax=0x", "", line))
            if len(r) != 6:
                calls.append("other: " + line)
                continue
            if code == "4" and r[1] == r[4] and not zeros.fullmatch(r[1]):
                r[1] = r[4] = "list"
            if code == "3" and not zeros.fullmatch(r[1]):
                r[1] = images.setdefault(r[1], "image%d" % (len(images) + 1))
            calls.append("record eax=%s ebx=%s ecx=%s edx=%s esi=%s edi=%s" % tuple(r))
    return calls


def use_wine(loader, package, unavailable=""):
    """The Wine loader of this test's runs; missing, the test is skipped, except
    under continuous integration, where run-tests installs it, unless
    `unavailable` says why run-tests could not."""
    if os.access(loader, os.X_OK):
        return Wine(loader)
    if unavailable:
        skip("no Wine at %s: %s" % (loader, unavailable))
    if os.environ.get("CI") != "true":
        skip("no Wine at %s (Debian: %s)" % (loader, package))
    fail("no Wine at %s (Debian: %s), though run-tests installs it" % (loader, package))


def wine_64(case, exe, native=""):
    with use_wine(os.environ.get("WINE64") or "/usr/lib/wine/wine64", "wine64") as wine:
        require_executable(exe, "64-bit executable")
        wine.make_prefix()
        getattr(wine, case)(exe)
        if native:
            harness.require_tool("fsck.fat", "dosfstools")
            print("== an image named on the command line")
            wine.image_runs(exe, native)


def wine_win9x(exe, native, archive, cmake="cmake"):
    """The 32-bit program in one prefix whose drive A: is an image: with Wine's
    default version (NT family, the road without the device), then as Windows
    95, 98 (the program unpacked from the archive) and ME."""
    with use_wine(os.environ.get("WINE32") or "/usr/lib/wine/wine", "wine32:i386, after dpkg --add-architecture i386",
                  os.environ.get("FORMAT149_WINE32_UNAVAILABLE", "")) as wine:
        require_executable(exe, "32-bit executable")
        harness.require_tool("fsck.fat", "dosfstools")
        wine.make_prefix("drive_a.img")
        image, original = wine.path("drive_a.img"), wine.path("original.img")
        # Neither zeros nor the format's filler F6h: every byte a run leaves shows.
        line = b"format149 under Wine, an image as it was. \n"
        write(original, (line * (VOLUME_BYTES // len(line) + 1))[:VOLUME_BYTES])
        require(harness.run([cmake, "-E", "tar", "xf", archive], None, cwd=wine.folder,
                            stdout=None, stderr=None).returncode == 0, "cannot unpack " + archive)
        packed = [wine.path(path) for path in wine.listing() if os.path.basename(path) == "format149.exe"]
        require(len(packed) == 1 and os.path.isfile(packed[0]),
                "format149.exe from the archive not found: %s" % " ".join(packed))

        print("== Wine's default version (NT family)")
        shutil.copyfile(original, image)
        wine.confirmed_without_device(exe)
        check(same(image, original), "the run without the device changed the image")
        wine.image_runs(exe, native)
        for version in ("win95", "win98", "winme"):
            program = packed[0] if version == "win98" else exe
            print("== %s: %s" % (version, program))
            wine.setting(r"HKCU\Software\Wine", "Version", version)
            shutil.copyfile(original, image)
            wine.road = "vwin32"
            wine.declined_run(program)
            check(same(image, original), "the declined run changed the image")
            wine.confirmed_with_vwin32(program, native, image, original)
            if version == "win98":
                wine.verify_with_vwin32(program, native, image, original)
                wine.image_runs(program, native)


# Each mode, as the usage above gives it: its test, the arguments it takes
# (those after them are left alone), and how many it needs; the declined run
# takes exactly one.
MODES = {
    "build": (build_both, 4, 2),
    "pe-imports": (pe_imports, 3, 2),
    "release": (release, 6, 5),
    "wine-confirmed": (lambda *arguments: wine_64("confirmed_without_device", *arguments), 2, 1),
    "wine-declined": (lambda exe: wine_64("declined_run", exe), 1, 1),
    "wine-win9x": (wine_win9x, 4, 3),
}


def main():
    sys.stdout.reconfigure(line_buffering=True)
    mode, arguments = (sys.argv[1] if len(sys.argv) > 1 else ""), sys.argv[2:]
    test, taken, needed = MODES.get(mode, (None, 0, 0))
    if test is None or len(arguments) < needed or (mode == "wine-declined" and len(arguments) != needed):
        print(__doc__)
        sys.exit(1)
    harness.main(test, *arguments[:taken])


if __name__ == "__main__":
    main()
