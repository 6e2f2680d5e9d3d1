# Run by cpack after it built the packages (CPACK_POST_BUILD_SCRIPTS).
# CPack gives a library package postinst and postrm scripts that call ldconfig;
# Debian runs ldconfig through the trigger the package declares instead, and
# wants no such calls. The package is built again without them.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
    set(tree ${CPACK_TOPLEVEL_DIRECTORY}/fixup)
    file(REMOVE_RECURSE ${tree})
    execute_process(COMMAND dpkg-deb -R ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
    if(EXISTS ${tree}/DEBIAN/triggers)
        file(STRINGS ${tree}/DEBIAN/triggers triggers)
        if("activate-noawait ldconfig" IN_LIST triggers)
            file(REMOVE ${tree}/DEBIAN/postinst ${tree}/DEBIAN/postrm)
            execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip -b ${tree} ${deb}
                OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
        endif()
    endif()
    file(REMOVE_RECURSE ${tree})
endforeach()
