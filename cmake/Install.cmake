# Installing and packaging, for whichever programs this build has.
#
#   cmake --install build [--prefix DIR]   the programs in bin/, the banner
#       library in lib/sentrel/ (where an installed program looks for it,
#       beside its own folder), and under share/: the menu entry, the icons,
#       the AppStream metadata, the manual pages and the user service
#   cpack -G DEB (in the build folder)     the Debian package, its
#       dependencies taken from the libraries the programs link, and libssl,
#       which they load when they first speak TLS
#
# Included last from the top CMakeLists.txt, so every target is known here.
include(GNUInstallDirs)

# The id of the menu entry and the AppStream metadata, all lowercase: the
# home page's domain (app/core/About.h) reversed. The menu entry's file
# name is the id, so the two stay in step.
set(SENTREL_APP_ID org.example.sentrel)
set(SENTREL_HOME_PAGE https://sentrel.example.org/)
set(SENTREL_PACKAGE_MAINTAINER "Sentrel developers <feedback@sentrel.example.org>")
# The programs look for the banner library in ../lib/sentrel beside their
# own folder, whatever the prefix: not CMAKE_INSTALL_LIBDIR, which may be
# lib/x86_64-linux-gnu.
set(SENTREL_PRIVATE_LIBDIR lib/sentrel)

set(_programs)
foreach(program sentrel sentrel-cli sentrel-get)
  if(TARGET ${program})
    list(APPEND _programs ${program})
  endif()
endforeach()
install(TARGETS ${_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET adimage)
  install(TARGETS adimage LIBRARY DESTINATION ${SENTREL_PRIVATE_LIBDIR})
endif()

# The user service runs the monitor without a window: the Qt-free program
# when this build has it.
if(TARGET sentrel-cli)
  set(SENTREL_HEADLESS_PROGRAM sentrel-cli)
else()
  set(SENTREL_HEADLESS_PROGRAM sentrel)
endif()

# Manual pages, one per program, and the changelog: compressed as Debian
# ships them (gzip -9n: no name, no time stamp, so the same page gives the
# same bytes).
set(_compressed)
foreach(program ${_programs})
  configure_file(${CMAKE_SOURCE_DIR}/data/man/${program}.1.in ${CMAKE_BINARY_DIR}/data/${program}.1 @ONLY)
  list(APPEND _compressed ${CMAKE_BINARY_DIR}/data/${program}.1)
  install(FILES ${CMAKE_BINARY_DIR}/data/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
configure_file(${CMAKE_SOURCE_DIR}/data/changelog ${CMAKE_BINARY_DIR}/data/changelog COPYONLY)
list(APPEND _compressed ${CMAKE_BINARY_DIR}/data/changelog)
set(_gz)
foreach(file ${_compressed})
  add_custom_command(OUTPUT ${file}.gz COMMAND gzip -9nkf ${file} DEPENDS ${file} VERBATIM)
  list(APPEND _gz ${file}.gz)
endforeach()
add_custom_target(sentrel_compressed ALL DEPENDS ${_gz})

# The licence in the machine-readable form Debian reads, and the changelog.
set(SENTREL_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/sentrel)
install(FILES data/copyright ${CMAKE_BINARY_DIR}/data/changelog.gz DESTINATION ${SENTREL_DOCDIR})

# Icons: the lit LED, scalable and at the sizes menus ask for; the same LED
# lit red (sentrel-down) for the notification that hosts are down.
foreach(icon sentrel sentrel-down)
  install(FILES data/icons/${icon}.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
  foreach(size 16 32 48 128 256)
    install(FILES data/icons/${icon}-${size}.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
            RENAME ${icon}.png)
  endforeach()
endforeach()

if(TARGET sentrel)
  set(SENTREL_PROVIDES)
  foreach(program ${_programs})
    string(APPEND SENTREL_PROVIDES "    <binary>${program}</binary>\n")
  endforeach()
  configure_file(data/sentrel.metainfo.xml.in ${CMAKE_BINARY_DIR}/data/${SENTREL_APP_ID}.metainfo.xml @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/data/${SENTREL_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()

# The menu entry and the user service name their program by its absolute
# path, so they are written when installing, for the prefix in use then
# (cmake --install --prefix, or the package's /usr).
set(_entries)
if(TARGET sentrel)
  list(APPEND _entries "data/sentrel.desktop.in=${SENTREL_APP_ID}.desktop=${CMAKE_INSTALL_DATADIR}/applications")
endif()
if(TARGET ${SENTREL_HEADLESS_PROGRAM})
  # share/systemd/user is on the user manager's search path for /usr,
  # /usr/local and ~/.local alike.
  list(APPEND _entries "data/sentrel.service.in=sentrel.service=${CMAKE_INSTALL_DATADIR}/systemd/user")
endif()
install(CODE "
  set(SENTREL_SOURCE_DIR \"${CMAKE_SOURCE_DIR}\")
  set(SENTREL_ENTRY_DIR \"${CMAKE_BINARY_DIR}/data/entries\")
  set(SENTREL_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(SENTREL_HEADLESS_PROGRAM \"${SENTREL_HEADLESS_PROGRAM}\")
  set(SENTREL_ENTRIES \"${_entries}\")")
install(SCRIPT cmake/InstallEntries.cmake)

# A stripped install (cmake --install --strip, and so the package) also
# drops the compiler's .comment and .note sections, as Debian's dh_strip
# does.
set(_binaries)
foreach(program ${_programs})
  list(APPEND _binaries "${CMAKE_INSTALL_BINDIR}/${program}")
endforeach()
if(TARGET adimage)
  list(APPEND _binaries "${SENTREL_PRIVATE_LIBDIR}/libadimage.so")
endif()
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    foreach(file ${_binaries})
      execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
                              \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${file}\" COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
  endif()")

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME sentrel)
set(CPACK_PACKAGE_VENDOR "Kvo")
set(CPACK_PACKAGE_CONTACT "${SENTREL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "watch whether a pool of web servers can be reached")
set(CPACK_PACKAGE_DESCRIPTION "Sentrel fetches every host of a pool of up to ten web servers over HTTP
or HTTPS once per cycle, writes each outcome to a plain-text event log and
shows the pool's state in a window, a tray icon or on standard output.
It runs as a window, as a user service without a window, or once from a
script.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The programs open libssl when they first speak TLS (net/OpenSslLibrary.cpp)
# instead of linking it, so dpkg-shlibdeps cannot see it: the package names
# the package that holds it (libssl3, libssl3t64 after the 64-bit time
# change), at least the version whose functions the programs call.
set(_libssl_package libssl3)
if(OPENSSL_SSL_LIBRARY)
  get_filename_component(_libssl_file "${OPENSSL_SSL_LIBRARY}" REALPATH)
  execute_process(COMMAND dpkg-query --search "${_libssl_file}" OUTPUT_VARIABLE _libssl_owner
                  ERROR_QUIET RESULT_VARIABLE _libssl_status)
  if(_libssl_status EQUAL 0 AND _libssl_owner MATCHES "^([a-z0-9.+-]+)[:,]")
    set(_libssl_package ${CMAKE_MATCH_1})
  endif()
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${_libssl_package} (>= 3.0.0)")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ca-certificates")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# CPack adds ldconfig calls for any library under /usr/lib; the banner
# library is private to the programs, which find it by path, so the
# package goes without them.
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/cmake/DebWithoutLdconfig.cmake)
include(CPack)

# The check of all the above: install into a scratch root, validate, build
# and unpack the package (tests/InstallTest.sh). It needs the whole build.
if(SENTREL_TESTS)
  if(TARGET adimage)
    set(_banner yes)
  else()
    set(_banner no)
  endif()
  add_test(NAME install_check
           COMMAND ${CMAKE_SOURCE_DIR}/tests/InstallTest.sh ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}
                   ${CMAKE_BINARY_DIR}/package-build ${PROJECT_VERSION} ${SENTREL_HEADLESS_PROGRAM} ${_banner} ${_programs})
  set(_environment SENTREL_APP_ID=${SENTREL_APP_ID} ASAN_OPTIONS=detect_leaks=1
      LSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/lsan.supp)
  if(CMAKE_CXX_COMPILER_LAUNCHER)  # the package's build uses ccache too
    list(APPEND _environment CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER})
  endif()
  set_tests_properties(install_check PROPERTIES TIMEOUT 1200 ENVIRONMENT "${_environment}")
endif()
