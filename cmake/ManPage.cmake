# Writes a program's manual page (section 1, gzip -9n) from its `--help`, so that the page says
# what the program itself says. Script mode:
#   cmake -DPROGRAM=path -DNAME=name -DSUMMARY=text -DSOURCE="plumet 0.1.0" -DOUTPUT=name.1.gz
#         -P ManPage.cmake
# The help's first paragraph (the usage lines) becomes SYNOPSIS, the rest DESCRIPTION, both kept
# as printed.
execute_process(COMMAND "${PROGRAM}" --help RESULT_VARIABLE status OUTPUT_VARIABLE help
                ERROR_VARIABLE error)
if(NOT status EQUAL 0 OR help STREQUAL "")
  message(FATAL_ERROR "${PROGRAM} --help failed (${status}): ${error}")
endif()

# roff reads a backslash as an escape, a minus without one as a hyphen and a line that starts with
# a dot or an apostrophe as a request.
string(REPLACE "\\" "\\e" help "${help}")
string(REPLACE "-" "\\-" help "${help}")
string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
string(STRIP "${help}" help)

string(FIND "${help}" "\n\n" split)
if(split EQUAL -1)
  set(synopsis "${help}")
  set(description "")
else()
  string(SUBSTRING "${help}" 0 ${split} synopsis)
  math(EXPR rest "${split} + 2")
  string(SUBSTRING "${help}" ${rest} -1 description)
endif()

string(TOUPPER "${NAME}" title)
string(REPLACE "-" "\\-" summary "${SUMMARY}")
set(page ".TH ${title} 1 \"\" \"${SOURCE}\" \"User Commands\"
.SH NAME
${NAME} \\- ${summary}
.SH SYNOPSIS
.nf
${synopsis}
.fi
")
if(NOT description STREQUAL "")
  string(APPEND page ".SH DESCRIPTION
.nf
${description}
.fi
")
endif()

get_filename_component(stem "${OUTPUT}" NAME_WLE)
get_filename_component(folder "${OUTPUT}" DIRECTORY)
file(WRITE "${folder}/${stem}" "${page}")
# -n: no name or time stamp in the header, so that the same page always compresses the same.
execute_process(COMMAND gzip -9n -c "${folder}/${stem}" OUTPUT_FILE "${OUTPUT}"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip of ${folder}/${stem} failed")
endif()
