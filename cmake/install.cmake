# Installation (cmake --install); the Debian package (cpack -G DEB) on native
# Linux builds, the ZIP archive for Windows 9x users (cpack) on 32-bit Windows ones.
include(GNUInstallDirs)

# Component "program": what every build installs.
install(TARGETS format149 RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT program)
if(NOT WIN32 AND CMAKE_OBJCOPY)
  # A stripped program (cmake --install --strip, the Debian package) also loses
  # the compilers' names, as Debian's own packages do.
  install(CODE "if(CMAKE_INSTALL_DO_STRIP)
                  execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment --remove-section=.note
                                          \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/format149\"
                                  COMMAND_ERROR_IS_FATAL ANY)
                endif()"
          COMPONENT program)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT program)
# The documents the README links to, laid out beside it as in the source tree
# (docs/*.md, LICENSE), so that its links lead somewhere once installed.
file(GLOB FORMAT149_DOCUMENTS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${FORMAT149_DOCUMENTS} DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs COMPONENT program)
# The Debian package has the licence in its copyright file instead (component
# "debian", below), so LICENSE has a component of its own.
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT license)
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  # --- The release for Windows 9x users ------------------------------------------
  # Component "release", installed only into the archive that cpack makes in the
  # 32-bit build folder, format149-<version>-win32.zip: the stripped program,
  # README.TXT and LICENSE.TXT as CR LF text that Notepad shows whole.
  set(FORMAT149_RELEASE_DIR ${PROJECT_BINARY_DIR}/release)
  configure_file(${PROJECT_SOURCE_DIR}/docs/windows/README.TXT.in ${FORMAT149_RELEASE_DIR}/README.TXT
                 @ONLY NEWLINE_STYLE CRLF)

  # LICENSE is kept to lines of at most 72 columns, so that Notepad shows them whole.
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE ${FORMAT149_RELEASE_DIR}/LICENSE.TXT @ONLY NEWLINE_STYLE CRLF)

  install(TARGETS format149 RUNTIME DESTINATION . COMPONENT release EXCLUDE_FROM_ALL)
  # Stripped with --preserve-dates, which keeps the PE header's time stamp at
  # the linker's zero (a plain strip writes the current time there).
  if(NOT CMAKE_STRIP)
    message(FATAL_ERROR "no strip program for the Windows release (binutils-mingw-w64-i686)")
  endif()
  install(CODE "execute_process(COMMAND \"${CMAKE_STRIP}\" --preserve-dates
                                        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/format149.exe\"
                                COMMAND_ERROR_IS_FATAL ANY)"
          COMPONENT release EXCLUDE_FROM_ALL)
  install(FILES ${FORMAT149_RELEASE_DIR}/README.TXT ${FORMAT149_RELEASE_DIR}/LICENSE.TXT
          DESTINATION . COMPONENT release EXCLUDE_FROM_ALL)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME format149)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_FILE_NAME format149-${PROJECT_VERSION}-win32)
  set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};format149;release;/")
  include(CPack)
  # --- end of the release for Windows 9x users -------------------------------------
endif()
if(WIN32)
  return()
endif()

# Component "manual": the manual page as written, for cmake --install.
install(FILES ${PROJECT_SOURCE_DIR}/docs/format149.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT manual)

if(CMAKE_CROSSCOMPILING OR NOT CMAKE_SYSTEM_NAME STREQUAL "Linux")
  return()
endif()

# --- Debian package ------------------------------------------------------------
# Component "debian", installed only into the package: the manual page
# compressed as Debian policy asks (gzip -9n: no name, no time stamp), the
# changelog, and the copyright file in the machine-readable format, made from
# LICENSE.
set(FORMAT149_PACKAGE_DIR ${PROJECT_BINARY_DIR}/package)
set(FORMAT149_PACKAGE_MAINTAINER "format149 developers <format149@marvesto.example>"
    CACHE STRING "The Maintainer field of the Debian package")
set(FORMAT149_PACKAGE_DATE "Tue, 08 Dec 2026 12:00:00 +0000")
set(FORMAT149_PACKAGE_EPOCH 1796731200) # the same moment, in seconds since 1970

find_program(FORMAT149_GZIP gzip REQUIRED)
add_custom_command(
  OUTPUT ${FORMAT149_PACKAGE_DIR}/format149.1.gz ${FORMAT149_PACKAGE_DIR}/changelog.gz
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/docs/format149.1 ${FORMAT149_PACKAGE_DIR}/format149.1
  COMMAND ${CMAKE_COMMAND} -E copy ${FORMAT149_PACKAGE_DIR}/changelog.in ${FORMAT149_PACKAGE_DIR}/changelog
  COMMAND ${FORMAT149_GZIP} -9nf ${FORMAT149_PACKAGE_DIR}/format149.1 ${FORMAT149_PACKAGE_DIR}/changelog
  DEPENDS ${PROJECT_SOURCE_DIR}/docs/format149.1 ${FORMAT149_PACKAGE_DIR}/changelog.in
  COMMENT "Compressing the manual page and the changelog for the Debian package"
  VERBATIM)
add_custom_target(format149_package_files ALL
                  DEPENDS ${FORMAT149_PACKAGE_DIR}/format149.1.gz ${FORMAT149_PACKAGE_DIR}/changelog.gz)

string(CONCAT changelog_text
       "format149 (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
       "  * First packaged release.\n\n"
       " -- ${FORMAT149_PACKAGE_MAINTAINER}  ${FORMAT149_PACKAGE_DATE}\n")
file(CONFIGURE OUTPUT ${FORMAT149_PACKAGE_DIR}/changelog.in CONTENT "${changelog_text}" @ONLY)

# LICENSE: a title line, the copyright line, then the licence text in paragraphs.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license_text)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]+)" copyright_line "${license_text}")
set(copyright_holders "${CMAKE_MATCH_1}")
string(REGEX REPLACE "^.*Copyright \\(c\\) [^\n]*\n" "" license_body "${license_text}")
string(STRIP "${license_body}" license_body)
string(REPLACE "\n\n" "\n.\n" license_body "${license_body}")
string(REPLACE "\n" "\n " license_body "${license_body}")
string(CONCAT copyright_text
       "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
       "Upstream-Name: format149\n\n"
       "Files: *\n"
       "Copyright: ${copyright_holders}\n"
       "License: Expat\n"
       " ${license_body}\n")
file(CONFIGURE OUTPUT ${FORMAT149_PACKAGE_DIR}/copyright CONTENT "${copyright_text}" @ONLY)

install(FILES ${FORMAT149_PACKAGE_DIR}/format149.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES ${FORMAT149_PACKAGE_DIR}/copyright ${FORMAT149_PACKAGE_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT debian EXCLUDE_FROM_ALL)
# The README's link to LICENSE leads to the copyright file, which holds it.
install(CODE "file(CREATE_LINK copyright \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}/LICENSE\" SYMBOLIC)"
        COMPONENT debian EXCLUDE_FROM_ALL)

# Read by cpack when it makes the package. Every time stamp in the package is
# the changelog's moment, unless SOURCE_DATE_EPOCH names another: the same
# source makes the same .deb. And the package needs dpkg-shlibdeps and file
# (for the Depends field), which the plain build does not: without them cpack
# says in one line which Debian packages to install, instead of failing inside
# CMake's DEB generator. They are looked for on PATH, as a shell would.
string(CONFIGURE [=[
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} @FORMAT149_PACKAGE_EPOCH@)
endif()
if(CPACK_GENERATOR STREQUAL "DEB")
  set(format149_missing "")
  foreach(format149_tool IN ITEMS "dpkg-shlibdeps;dpkg-dev" "file;file")
    list(GET format149_tool 0 format149_program)
    list(GET format149_tool 1 format149_package)
    unset(format149_found)
    find_program(format149_found ${format149_program} NO_CACHE NO_DEFAULT_PATH PATHS ENV PATH)
    if(NOT format149_found)
      list(APPEND format149_missing ${format149_package})
    endif()
  endforeach()
  if(format149_missing)
    list(JOIN format149_missing " " format149_missing)
    message(FATAL_ERROR "format149: cpack -G DEB needs: apt-get install ${format149_missing}")
  endif()
endif()
]=] cpack_project_text @ONLY)
file(CONFIGURE OUTPUT ${FORMAT149_PACKAGE_DIR}/cpack_project.cmake CONTENT "${cpack_project_text}" @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${FORMAT149_PACKAGE_DIR}/cpack_project.cmake)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME format149)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL program debian)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${FORMAT149_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION otherosfs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "format a 3.5-inch diskette to an 82-cylinder 1.49 MB FAT12 volume")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "format149 formats a 3.5-inch high-density diskette to 82 cylinders of
2 heads and 18 sectors (2952 sectors of 512 bytes) and leaves an empty
FAT12 file system on it, with a volume label, a serial number and a date
taken from the moment of the format (or from SOURCE_DATE_EPOCH, for
identical images on every run).
.
The disk is an image file, or the diskette in the PC's first floppy drive
(/dev/fd0), named on the command line; --verify reads every track back.
The result can be read with mtools and checked with fsck.fat.")
include(CPack)
