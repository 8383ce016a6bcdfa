# Writes the Debian changelog of the packages from the release notes of the
# AppStream metainfo, so that both say the same:
#   cmake -DNOTES=... -DOUTPUT=... -DSOURCE=quorvel -DMAINTAINER="..." -P changelog.cmake
# Each release becomes one entry; its English paragraphs and list items
# (those without xml:lang) become its items, wrapped at 78 columns.

# Appends the words of TEXT to the entry as one item ("  * ", continued
# with four blanks).
function(append_item list_var text)
  string(REGEX REPLACE "[ \t\r\n]+" " " text "${text}")
  string(STRIP "${text}" text)
  string(REPLACE "&lt;" "<" text "${text}")
  string(REPLACE "&gt;" ">" text "${text}")
  string(REPLACE "&amp;" "&" text "${text}")
  string(REPLACE " " ";" words "${text}")
  set(line "  *")
  set(result "${${list_var}}")
  foreach(word IN LISTS words)
    string(LENGTH "${line} ${word}" length)
    if(length GREATER 78)
      string(APPEND result "${line}\n")
      set(line "   ")
    endif()
    string(APPEND line " ${word}")
  endforeach()
  string(APPEND result "${line}\n")
  set(${list_var} "${result}" PARENT_SCOPE)
endfunction()

file(READ "${NOTES}" notes)
string(REGEX MATCHALL "<release [^>]*>.*</release>" releases_part "${notes}")
string(REPLACE "</release>" "</release>;" releases "${releases_part}")
set(changelog "")
foreach(release IN LISTS releases)
  if(NOT release MATCHES "<release version=\"([^\"]+)\" date=\"([0-9-]+)\"")
    continue()
  endif()
  set(version "${CMAKE_MATCH_1}")
  set(date "${CMAKE_MATCH_2}")
  execute_process(COMMAND date -R -u -d "${date}" OUTPUT_VARIABLE stamp
                  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(entry "")
  string(REGEX MATCHALL "<(p|li)>[^<]*</(p|li)>" items "${release}")
  foreach(item IN LISTS items)
    string(REGEX REPLACE "</?(p|li)>" "" item "${item}")
    append_item(entry "${item}")
  endforeach()
  string(APPEND changelog "${SOURCE} (${version}) unstable; urgency=medium\n\n${entry}\n"
                          " -- ${MAINTAINER}  ${stamp}\n\n")
endforeach()
if(changelog STREQUAL "")
  message(FATAL_ERROR "${NOTES} holds no release")
endif()
string(REGEX REPLACE "\n\n$" "\n" changelog "${changelog}")
file(WRITE "${OUTPUT}" "${changelog}")
