# Checks an installed-to-be program against its packaging:
#   PROGRAM --version prints exactly "NAME VERSION" and exits 0; with HOST
#   given, a second line names the report server it was built for;
#   every option PROGRAM --help lists is described in the man page MANPAGE.
# Run with cmake -DPROGRAM=... -DNAME=... -DVERSION=... [-DHOST=...] -DMANPAGE=... -P check_program.cmake

execute_process(COMMAND ${PROGRAM} --version RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NAME} --version exited with ${rc}: ${err}")
endif()
set(expected "${NAME} ${VERSION}\n")
if(DEFINED HOST)
  string(APPEND expected "report server: ${HOST}\n")
endif()
if(NOT out STREQUAL expected)
  message(FATAL_ERROR "${NAME} --version printed '${out}', expected '${expected}'")
endif()

execute_process(COMMAND ${PROGRAM} --help RESULT_VARIABLE rc OUTPUT_VARIABLE help)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NAME} --help exited with ${rc}")
endif()
string(REGEX MATCHALL "--[a-z][a-z-]*" options "${help}")
list(REMOVE_DUPLICATES options)
file(READ ${MANPAGE} man)
string(REPLACE "\\-" "-" man "${man}")
set(missing)
foreach(o IN LISTS options)
  # An option is described where it starts a tagged paragraph (.B/.BI/.BR line).
  string(REGEX MATCH "\n\\.(B|BI|BR) [^\n]*${o}([ \n,\"]|$)" hit "${man}")
  if(NOT hit)
    list(APPEND missing ${o})
  endif()
endforeach()
list(LENGTH options n)
if(n LESS 3)
  message(FATAL_ERROR "${NAME} --help lists only ${n} options: '${help}'")
endif()
if(missing)
  message(FATAL_ERROR "${MANPAGE} does not describe: ${missing}")
endif()
message(STATUS "${NAME} ${VERSION}: --version right, ${n} options all in the man page")
