# Writes a gzipped manual page from a program's --help (run at build time):
#   cmake -DPROGRAM=<exe> [-DEMULATOR=<cmd>] -DNAME=<name> -DSUMMARY=<text>
#         -DSECTIONS_FILE=<roff to append> -DOUTPUT=<file.1.gz> -P helpman.cmake
# In a cross build the program runs through the emulator.
execute_process(COMMAND ${EMULATOR} ${PROGRAM} --help
    OUTPUT_VARIABLE help RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR help STREQUAL "")
    message(FATAL_ERROR "${PROGRAM} --help failed (${rc})")
endif()
# The usage line names the program by the path it was started from.
string(REGEX REPLACE "^Usage: [^ \n]*" "Usage: ${NAME}" help "${help}")
# roff: backslashes escaped, and no line may start with a control character.
string(REPLACE "\\" "\\e" help "${help}")
# Options must read as minus signs, so they can be copied from the page.
string(REPLACE "-" "\\-" help "${help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
if(NOT help MATCHES "\n$")
    string(APPEND help "\n")
endif()
string(TOUPPER "${NAME}" title)
string(REPLACE "-" "\\-" summary "${SUMMARY}")
set(page ".TH ${title} 1 \"\" \"\" \"User Commands\"\n.SH NAME\n${NAME} \\- ${summary}\n")
string(APPEND page ".SH SYNOPSIS\n.B ${NAME}\n[\\fIoptions\\fR]\n.SH DESCRIPTION\n.nf\n${help}.fi\n")
if(SECTIONS_FILE)
    file(READ "${SECTIONS_FILE}" extra)
    string(APPEND page "${extra}")
endif()
get_filename_component(dir "${OUTPUT}" DIRECTORY)
get_filename_component(base "${OUTPUT}" NAME_WLE)
file(WRITE "${dir}/${base}" "${page}")
# -n: no name or time stamp in the archive, so the same page gives the same bytes.
execute_process(COMMAND gzip -9nf "${dir}/${base}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip failed for ${dir}/${base}")
endif()
