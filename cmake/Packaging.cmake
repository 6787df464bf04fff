# What `cmake --install` puts where, and the packages CPack makes of it (scripts/package.sh):
# a Debian package on Linux (amd64 or arm64, whichever the build targets), a zip on Windows.
#
# The version is project()'s. doc/changelog's newest entry must name it; its date is the
# manual pages' date and its signature the package's maintainer.

file(STRINGS ${PROJECT_SOURCE_DIR}/doc/changelog changelog_lines)
list(GET changelog_lines 0 changelog_head)
if(NOT changelog_head MATCHES "^consynth \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "doc/changelog: the newest entry must be for version ${PROJECT_VERSION} "
                      "(project() in CMakeLists.txt), found: ${changelog_head}")
endif()
list(FILTER changelog_lines INCLUDE REGEX "^ -- ")
list(GET changelog_lines 0 changelog_signature)
string(REGEX MATCH "^ -- (.+>)  [A-Z][a-z][a-z], ([0-9]+ [A-Z][a-z][a-z] [0-9]+)"
       matched "${changelog_signature}")
set(CONSYNTH_MAINTAINER "${CMAKE_MATCH_1}")
set(CONSYNTH_RELEASE_DATE "${CMAKE_MATCH_2}")
if(NOT matched)
  message(FATAL_ERROR "doc/changelog: no ' -- NAME <EMAIL>  DATE' line in the newest entry")
endif()

set(CPACK_PACKAGE_NAME consynth)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${CONSYNTH_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small real-time software synthesizer for the console")
set(CPACK_STRIP_FILES ON)

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # Manual pages, gzipped without a time stamp so that a rebuild gives the same package.
  set(man_pages)
  foreach(page consynth.1 consynth-render.1)
    configure_file(${PROJECT_SOURCE_DIR}/doc/man/${page}.in ${CMAKE_BINARY_DIR}/man/${page} @ONLY)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.gz
                       COMMAND gzip -9nkf ${CMAKE_BINARY_DIR}/man/${page}
                       DEPENDS ${CMAKE_BINARY_DIR}/man/${page} VERBATIM)
    list(APPEND man_pages ${CMAKE_BINARY_DIR}/man/${page}.gz)
  endforeach()
  configure_file(${PROJECT_SOURCE_DIR}/doc/changelog ${CMAKE_BINARY_DIR}/doc/changelog COPYONLY)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/doc/changelog.gz
                     COMMAND gzip -9nkf ${CMAKE_BINARY_DIR}/doc/changelog
                     DEPENDS ${CMAKE_BINARY_DIR}/doc/changelog VERBATIM)
  add_custom_target(consynth_docs ALL DEPENDS ${man_pages} ${CMAKE_BINARY_DIR}/doc/changelog.gz)

  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  # The synth box's systemd user unit, off until a user enables it. It runs /usr/bin/consynth:
  # it is for the package's prefix.
  install(FILES ${PROJECT_SOURCE_DIR}/app/consynth.service DESTINATION lib/systemd/user)
  install(FILES ${PROJECT_SOURCE_DIR}/doc/copyright ${CMAKE_BINARY_DIR}/doc/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # consynth_VERSION_ARCH.deb
  set(CPACK_DEBIAN_PACKAGE_SECTION sound)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # What the default output needs to reach a desktop's sound server.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libasound2-plugins | pipewire-alsa")
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  endif()
  # CPack puts the summary above this as the synopsis line.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "consynth plays a fixed four-note chord on the A, S, D and F keys of the
computer keyboard. Left and Right shift its pitch by semitones, and a stereo
reverb can be changed while it plays: Up steps its damping, Down its delay
set, and F5 held bypasses it. The sound is rendered in real time as 32-bit
float stereo at 44,100 Hz and played through ALSA's default device, which
reaches PulseAudio or PipeWire through the ALSA plugins.

Held keys are exact in terminals that speak the kitty keyboard protocol and
emulated from auto-repeat in the others. A MIDI keyboard plays six more voices
with no set-up, through the ALSA sequencer or a running JACK server.

It can run without a terminal as a box that plays a MIDI keyboard from
power-up: a systemd user unit, consynth.service, runs it so once a user
enables it. --device chooses the output (ALSA's name, as --list-devices
shows), --gain its level, --midi-channel the channel it listens to.

consynth-render runs the same engine offline, driven by a file of key
events, and writes a WAV file holding the samples the live program plays.")
elseif(WIN32)
  configure_file(${PROJECT_SOURCE_DIR}/doc/README-windows.txt.in
                 ${CMAKE_BINARY_DIR}/doc/README.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/doc/README.txt DESTINATION .)
  # The programs carry the mingw-w64 runtime and threads library, linked in statically.
  install(FILES /usr/share/doc/mingw-w64-common/copyright DESTINATION .
          RENAME LICENSES-mingw-w64.txt)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME consynth-${PROJECT_VERSION}-windows-x86_64)
endif()

include(CPack)
