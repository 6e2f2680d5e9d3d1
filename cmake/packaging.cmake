# Installation and Debian packages. The layout is that of the unit's image:
# programs in bin, the desktop framework stand-in beside them in the library
# directory, the beep files where the beep filter looks for them.
#
#   cmake --build <build dir> --target package   ->  launcher_<version>_<arch>.deb
include(GNUInstallDirs)

# hostframework is installed only as the stand-in that lets the package run
# off the unit; on the unit the maker's libraries take its place.
set_target_properties(hostframework PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
install(TARGETS hostframework
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_SKIP)

set(_launcher_programs launcher)
if(TARGET mcu-sim)
    list(APPEND _launcher_programs mcu-sim)
endif()
# Found wherever the prefix is put, also when the library directory is not the
# loader's default (a /usr/local or staging install).
set_target_properties(${_launcher_programs} PROPERTIES
    INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
install(TARGETS ${_launcher_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The beep files install themselves (sounds/) into LAUNCHER_SOUND_DIR.

# Debian package, for the host's architecture or, in a cross build, for the
# one the toolchain file names.
if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
    find_program(DPKG_EXECUTABLE dpkg)
    if(DPKG_EXECUTABLE)
        execute_process(COMMAND ${DPKG_EXECUTABLE} --print-architecture
            OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE)
    endif()
endif()
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME launcher)
set(CPACK_PACKAGE_VENDOR "Head unit launcher maintainers")
set(CPACK_PACKAGE_CONTACT "Head unit launcher maintainers <maintainers@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Head unit launcher with desktop framework stand-in, beep sounds and MCU simulator")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# An image wants no debugging information; the build tree keeps it.
set(CPACK_STRIP_FILES ON)
# The beep is played through the multimedia audio plugins.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libqt5multimedia5-plugins")
include(CPack)
