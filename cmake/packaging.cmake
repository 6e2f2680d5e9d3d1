# Installation and the Debian packages, three from one build:
#
#   launcher           the launcher, its beep files, its systemd unit: what the
#                      unit's image takes
#   libhostframework1  the desktop stand-in of the maker's framework, which the
#                      unit never gets (its own libraries take the place)
#   mcu-sim            the MCU simulator, its scenarios and the link's
#                      Wireshark dissector
#
#   cmake --build <build dir> --target package   ->  <name>_<version>_<arch>.deb
#
# The version and the changelog come from git when the packages are made
# (packaging/version.sh), so a package always names the commit it was built from.
include(GNUInstallDirs)

set(LAUNCHER_PACKAGE_MAINTAINER "Head unit launcher maintainers <launcher-maintainers@example.org>"
    CACHE STRING "Maintainer field of the Debian packages")
set(LAUNCHER_PACKAGE_VERSION "" CACHE STRING
    "Debian version of the packages; empty: from git (packaging/version.sh)")

set(_pkg_src ${PROJECT_SOURCE_DIR}/packaging)
set(_pkg_bin ${PROJECT_BINARY_DIR}/packaging)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The programs find the stand-in wherever the prefix is put, also when the
# library directory is not the loader's default (a staging tree, /usr/local).
set_target_properties(launcher mcu-sim PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
install(TARGETS launcher RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT launcher)
install(TARGETS mcu-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT mcusim)
set_target_properties(hostframework PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
install(TARGETS hostframework LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_SKIP COMPONENT hostframework
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
# The beep files install themselves (sounds/) into LAUNCHER_SOUND_DIR.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/mcu-sim/scenarios/ DESTINATION ${CMAKE_INSTALL_DATADIR}/mcu-sim/scenarios
    COMPONENT mcusim FILES_MATCHING PATTERN "*.scn")
# The MCU link's dissector where Wireshark and tshark load global Lua plugins
# without any option ("Global Lua Plugins" in tshark -G folders).
install(FILES ${PROJECT_SOURCE_DIR}/mcu-sim/wireshark/mculink.lua
    DESTINATION lib/${CMAKE_LIBRARY_ARCHITECTURE}/wireshark/plugins COMPONENT mcusim)
# Under the prefix (systemd reads /usr/lib/systemd/system too), so that an
# install into a staging prefix never touches the machine's own units.
install(FILES ${_pkg_src}/launcher.service DESTINATION lib/systemd/system COMPONENT launcher)

# Manual pages, gzipped as Debian wants them.
configure_file(${_pkg_src}/launcher.1.in ${_pkg_bin}/launcher.1 @ONLY)
add_custom_command(OUTPUT ${_pkg_bin}/launcher.1.gz
    COMMAND gzip -9nkf ${_pkg_bin}/launcher.1
    DEPENDS ${_pkg_bin}/launcher.1)
add_custom_command(OUTPUT ${_pkg_bin}/mcu-sim.1.gz
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:mcu-sim> "-DEMULATOR=${CMAKE_CROSSCOMPILING_EMULATOR}"
        -DNAME=mcu-sim "-DSUMMARY=MCU simulator for the head unit launcher"
        -DSECTIONS_FILE=${_pkg_src}/mcu-sim.1.in -DOUTPUT=${_pkg_bin}/mcu-sim.1.gz
        -P ${PROJECT_SOURCE_DIR}/cmake/helpman.cmake
    DEPENDS mcu-sim ${_pkg_src}/mcu-sim.1.in ${PROJECT_SOURCE_DIR}/cmake/helpman.cmake)
add_custom_target(manpages ALL DEPENDS ${_pkg_bin}/launcher.1.gz ${_pkg_bin}/mcu-sim.1.gz)
install(FILES ${_pkg_bin}/launcher.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT launcher)
install(FILES ${_pkg_bin}/mcu-sim.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT mcusim)

# Each package carries the copyright file, its lintian overrides and a
# changelog, written at install time so that it names the commit being packaged.
set(_pkg_names launcher libhostframework1 mcu-sim)
set(_pkg_components launcher hostframework mcusim)
file(READ ${_pkg_src}/changelog.lintian-overrides _pkg_overrides)
foreach(_name _component IN ZIP_LISTS _pkg_names _pkg_components)
    set(_doc ${CMAKE_INSTALL_DATADIR}/doc/${_name})
    install(FILES ${_pkg_src}/copyright DESTINATION ${_doc} COMPONENT ${_component})
    set(_overrides "${_pkg_overrides}")
    if(EXISTS ${_pkg_src}/${_name}.lintian-overrides)
        file(READ ${_pkg_src}/${_name}.lintian-overrides _own)
        string(APPEND _overrides "${_own}")
    endif()
    file(WRITE ${_pkg_bin}/${_name}.lintian-overrides "${_overrides}")
    install(FILES ${_pkg_bin}/${_name}.lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME ${_name} COMPONENT ${_component})
    install(CODE "
        set(_doc \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${_doc}\")
        file(MAKE_DIRECTORY \"\${_doc}\")
        execute_process(COMMAND sh \"${_pkg_src}/version.sh\" changelog \"${PROJECT_VERSION}\" ${_name}
                \"${LAUNCHER_PACKAGE_MAINTAINER}\" OUTPUT_FILE \"\${_doc}/changelog\" COMMAND_ERROR_IS_FATAL ANY)
        execute_process(COMMAND gzip -9nf \"\${_doc}/changelog\" COMMAND_ERROR_IS_FATAL ANY)"
        COMPONENT ${_component})
endforeach()

# Debian packages, for the host's architecture or, in a cross build, for the
# one the toolchain file names.
if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
    find_program(DPKG_EXECUTABLE dpkg)
    if(DPKG_EXECUTABLE)
        execute_process(COMMAND ${DPKG_EXECUTABLE} --print-architecture
            OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE)
    endif()
endif()
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL launcher hostframework mcusim)
set(CPACK_PACKAGE_NAME launcher)
set(CPACK_PACKAGE_VENDOR "Head unit launcher maintainers")
set(CPACK_PACKAGE_CONTACT "${LAUNCHER_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The launcher needs the framework's libraries but must not name the stand-in:
# on the unit the maker's libraries provide its symbols. Found here, and with
# no shlibs of its own in reach, it adds no dependency.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/hostframework)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# An image wants no debugging information; the build tree keeps it.
set(CPACK_STRIP_FILES ON)
# Reads the version from git when cpack runs, not when CMake configured.
set(CPACK_PROJECT_CONFIG_FILE ${_pkg_bin}/cpackversion.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE} "
if(\"${LAUNCHER_PACKAGE_VERSION}\" STREQUAL \"\")
    execute_process(COMMAND sh \"${_pkg_src}/version.sh\" version \"${PROJECT_VERSION}\"
        OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_VERSION OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
else()
    set(CPACK_DEBIAN_PACKAGE_VERSION \"${LAUNCHER_PACKAGE_VERSION}\")
endif()
set(CPACK_PACKAGE_VERSION \"\${CPACK_DEBIAN_PACKAGE_VERSION}\")
")

set(CPACK_DEBIAN_LAUNCHER_PACKAGE_NAME launcher)
set(CPACK_DEBIAN_LAUNCHER_PACKAGE_SECTION misc)
# The beep is played through the multimedia audio plugins.
set(CPACK_DEBIAN_LAUNCHER_PACKAGE_RECOMMENDS "libqt5multimedia5-plugins")
set(CPACK_COMPONENT_LAUNCHER_DESCRIPTION "main user-interface process of the car head unit
The launcher brings the head unit up in a fixed order (stored display language
and drive side, the application framework's managers, the link to the MCU
service, then the framework's services in two stages once the first frame is
on screen) and bridges the MCU and the framework for as long as the unit runs.
It keeps the system clock in step with the MCU and plays the key beep.
.
This package holds the launcher, its systemd unit (restarted on failure, with
the right to set the clock), and the beep sounds in /application/sound.
It needs the maker's application framework libraries, which the unit's image
provides; off the unit, libhostframework1 stands in for them.")

set(CPACK_DEBIAN_HOSTFRAMEWORK_PACKAGE_NAME libhostframework1)
set(CPACK_DEBIAN_HOSTFRAMEWORK_PACKAGE_SECTION libs)
# dpkg takes control files by their plain names.
configure_file(${_pkg_src}/libhostframework1.triggers ${_pkg_bin}/libhostframework1/triggers COPYONLY)
set(CPACK_DEBIAN_HOSTFRAMEWORK_PACKAGE_CONTROL_EXTRA ${_pkg_bin}/libhostframework1/triggers)
set(CPACK_COMPONENT_HOSTFRAMEWORK_DESCRIPTION "desktop stand-in for the head unit's application framework
A working stand-in for the maker's framework libraries, so that the head unit
launcher runs on a desktop: settings store, shared data, services started in
two stages, the first-frame report, a home screen with the boot timeline, and
a journal of every call the launcher makes.
.
It is never needed on the unit, where the maker's libraries take its place.")

set(CPACK_DEBIAN_MCUSIM_PACKAGE_NAME mcu-sim)
set(CPACK_DEBIAN_MCUSIM_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_MCUSIM_PACKAGE_SUGGESTS "wireshark | tshark")
set(CPACK_COMPONENT_MCUSIM_DESCRIPTION "MCU simulator for the head unit launcher
Plays the MCU service on the launcher's local socket: it prints every frame
the launcher sends, decoded, and sends frames typed as commands, read from a
scenario or replayed from a recording of an earlier session. Scenarios for a
normal start, the clock messages and malformed frames come with it.
.
Sessions and recordings can be written as pcapng captures; the package's
Lua dissector lets Wireshark and tshark decode them without any setting.")

# Shared-library metadata: the shlibs file that lets other packages depend on
# the stand-in, and the ldconfig trigger instead of maintainer scripts.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debfixup.cmake)
include(CPack)
