# Installs the build tree into a fresh prefix and checks that every installed file is there.
cmake_minimum_required(VERSION 3.25)
# cmake -DBUILD_DIR=<build> -DPREFIX=<empty folder to use> -P install_check.cmake
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${result}):\n${output}")
endif()

set(failures "")
foreach(program display-console display-send display-board-sim)
  if(NOT EXISTS "${PREFIX}/bin/${program}" OR IS_DIRECTORY "${PREFIX}/bin/${program}")
    string(APPEND failures "missing bin/${program}\n")
  endif()
endforeach()
# The simulator runs from where it was installed.
execute_process(COMMAND "${PREFIX}/bin/display-board-sim" --version RESULT_VARIABLE runs
                OUTPUT_QUIET ERROR_QUIET)
if(NOT runs EQUAL 0)
  string(APPEND failures "bin/display-board-sim --version exits ${runs}\n")
endif()

execute_process(COMMAND "${PREFIX}/bin/display-send" --version RESULT_VARIABLE runs
                OUTPUT_QUIET ERROR_QUIET)
if(NOT runs EQUAL 0)
  string(APPEND failures "bin/display-send --version exits ${runs}\n")
endif()
foreach(unit display-send@.service display-send@.timer display-send-check@.service
             display-send-check@.timer display-send-office@.service display-send-office@.timer
             display-send-seal@.service display-send-seal@.timer)
  if(NOT EXISTS "${PREFIX}/lib/systemd/system/${unit}")
    string(APPEND failures "missing lib/systemd/system/${unit}\n")
  endif()
endforeach()
set(sysusers "${PREFIX}/lib/sysusers.d/display-console.conf")
if(NOT EXISTS "${sysusers}")
  string(APPEND failures "missing lib/sysusers.d/display-console.conf\n")
else()
  # The user the units run as is made from this file by the package's postinst.
  find_program(sysusers_tool systemd-sysusers)
  if(sysusers_tool)
    file(MAKE_DIRECTORY "${PREFIX}/sysroot/etc")
    file(WRITE "${PREFIX}/sysroot/etc/passwd" "root:x:0:0:root:/root:/bin/sh\n")
    file(WRITE "${PREFIX}/sysroot/etc/group" "root:x:0:\ndialout:x:20:\n")
    execute_process(COMMAND "${sysusers_tool}" --root=${PREFIX}/sysroot --dry-run "${sysusers}"
                    RESULT_VARIABLE made OUTPUT_VARIABLE said ERROR_VARIABLE said)
    if(NOT made EQUAL 0 OR NOT said MATCHES "Creating user '?display-send'?")
      string(APPEND failures "systemd-sysusers does not make display-send (${made}): ${said}\n")
    endif()
  endif()
endif()
find_program(analyze systemd-analyze)
if(analyze AND EXISTS "${PREFIX}/lib/systemd/system/display-send@.timer")
  # The units as systemd reads them, for one folder: the uploads, the check that they go on, and
  # the office's report and check of a shared journal.
  set(units "${PREFIX}/units")
  file(MAKE_DIRECTORY "${units}")
  set(names display-send display-send-check display-send-office display-send-seal)
  foreach(name IN LISTS names)
    foreach(suffix service timer)
      file(COPY_FILE "${PREFIX}/lib/systemd/system/${name}@.${suffix}"
           "${units}/${name}@srv-boards.${suffix}")
    endforeach()
  endforeach()
  foreach(name IN LISTS names)
    execute_process(COMMAND "${analyze}" verify --man=no "${units}/${name}@srv-boards.timer"
                    RESULT_VARIABLE verified OUTPUT_VARIABLE complaint ERROR_VARIABLE complaint)
    if(complaint MATCHES "display-send")
      string(APPEND failures "systemd-analyze verify ${name}@.timer: ${complaint}")
    endif()
    # How much of the system the service could reach if display-send were subverted, as
    # systemd rates it (0 to 10, one decimal); the sandbox keeps it at 2.0 or below.
    execute_process(COMMAND "${analyze}" security --offline=true --no-pager
                            "${units}/${name}@srv-boards.service"
                    OUTPUT_VARIABLE review ERROR_VARIABLE review)
    if(review MATCHES "Overall exposure level for ${name}@srv-boards.service: ([0-9]+)\\.([0-9])")
      math(EXPR tenths "${CMAKE_MATCH_1} * 10 + ${CMAKE_MATCH_2}")
      if(tenths GREATER 20)
        string(APPEND failures "${name}@.service has an exposure of "
                               "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}, above 2.0:\n${review}")
      endif()
    else()
      string(APPEND failures "systemd-analyze security gives ${name}@.service no exposure "
                             "level:\n${review}")
    endif()
  endforeach()
endif()

set(desktop "${PREFIX}/share/applications/display-console.desktop")
set(icon "${PREFIX}/share/icons/hicolor/scalable/apps/display-console.svg")
if(NOT EXISTS "${desktop}")
  string(APPEND failures "missing share/applications/display-console.desktop\n")
else()
  find_program(validate desktop-file-validate)
  if(validate)
    execute_process(COMMAND "${validate}" "${desktop}" RESULT_VARIABLE valid
                    OUTPUT_VARIABLE complaint ERROR_VARIABLE complaint)
    if(NOT valid EQUAL 0)
      string(APPEND failures "the desktop entry does not validate: ${complaint}")
    endif()
  endif()
  file(STRINGS "${desktop}" lines)
  foreach(wanted "Name=Display Console" "Exec=display-console" "Icon=display-console"
                 "Type=Application")
    if(NOT wanted IN_LIST lines)
      string(APPEND failures "the desktop entry has no line \"${wanted}\"\n")
    endif()
  endforeach()
endif()
if(NOT EXISTS "${icon}")
  string(APPEND failures "missing share/icons/hicolor/scalable/apps/display-console.svg\n")
else()
  file(READ "${icon}" svg)
  if(NOT svg MATCHES "<svg[^>]*viewBox=")
    string(APPEND failures "the icon is not a scalable SVG\n")
  endif()
endif()

# The console answers --help and --version without a display (it names them in its page).
foreach(option --help --version)
  execute_process(COMMAND "${CMAKE_COMMAND}" -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY
                          --unset=QT_QPA_PLATFORM "${PREFIX}/bin/display-console" ${option}
                  RESULT_VARIABLE runs OUTPUT_VARIABLE said ERROR_VARIABLE said)
  if(NOT runs EQUAL 0 OR NOT said MATCHES "display-console")
    string(APPEND failures
           "bin/display-console ${option} without a display exits ${runs}: ${said}\n")
  endif()
endforeach()

# A manual page for every installed program, compressed with gzip -9n: no file name and no
# time stamp in the header, so that the package's bytes do not depend on when it was built.
file(GLOB programs RELATIVE "${PREFIX}/bin" "${PREFIX}/bin/*")
find_program(man man)
if(NOT man)
  message(STATUS "man not found: the manual pages are checked for presence only")
endif()
foreach(program IN LISTS programs)
  set(page "${PREFIX}/share/man/man1/${program}.1.gz")
  if(NOT EXISTS "${page}")
    string(APPEND failures "missing share/man/man1/${program}.1.gz\n")
    continue()
  endif()
  file(READ "${page}" header HEX LIMIT 8)
  # magic 1f8b, deflate 08, flags 00 (no name), mtime 00000000
  if(NOT header STREQUAL "1f8b080000000000")
    string(APPEND failures "share/man/man1/${program}.1.gz is not gzip -9n (header ${header})\n")
  endif()
  if(man)
    execute_process(COMMAND "${CMAKE_COMMAND}" -E env MANWIDTH=80 "${man}" --warnings -l "${page}"
                    RESULT_VARIABLE renders OUTPUT_VARIABLE text ERROR_VARIABLE complaint)
    if(NOT renders EQUAL 0 OR NOT complaint STREQUAL "" OR NOT text MATCHES "NAME")
      string(APPEND failures "man -l ${program}.1.gz exits ${renders}: ${complaint}\n")
    endif()
  endif()
endforeach()

foreach(doc copyright changelog.Debian.gz)
  if(NOT EXISTS "${PREFIX}/share/doc/display-console/${doc}")
    string(APPEND failures "missing share/doc/display-console/${doc}\n")
  endif()
endforeach()

# One AppStream entry, for the desktop entry above, that the validator accepts.
file(GLOB metainfo "${PREFIX}/share/metainfo/*.metainfo.xml")
list(LENGTH metainfo count)
if(NOT count EQUAL 1)
  string(APPEND failures "share/metainfo holds ${count} .metainfo.xml files, not 1\n")
else()
  file(READ "${metainfo}" xml)
  get_filename_component(name "${metainfo}" NAME)
  string(REGEX REPLACE "\\.metainfo\\.xml$" "" id "${name}")
  foreach(wanted "<component type=\"desktop-application\">" "<id>${id}</id>"
                 "<launchable type=\"desktop-id\">display-console.desktop</launchable>")
    string(FIND "${xml}" "${wanted}" at)
    if(at EQUAL -1)
      string(APPEND failures "${name} has no ${wanted}\n")
    endif()
  endforeach()
  find_program(appstreamcli appstreamcli)
  if(appstreamcli)
    execute_process(COMMAND "${appstreamcli}" validate --no-net "${metainfo}"
                    RESULT_VARIABLE valid OUTPUT_VARIABLE complaint ERROR_VARIABLE complaint)
    if(NOT valid EQUAL 0)
      string(APPEND failures "${name} does not validate: ${complaint}")
    endif()
  else()
    message(STATUS "appstreamcli not found: ${name} was not validated")
  endif()
endif()

if(failures)
  message(FATAL_ERROR "installed into ${PREFIX}:\n${failures}")
endif()
file(REMOVE_RECURSE "${PREFIX}")
message(STATUS "install tree complete")
