# The Debian symbols file names exactly the exports of the checked-in list, so that a new export
# is given its package version when it is added, not found missing by the package build.
file(STRINGS ${SYMBOLS} lines REGEX "^ ")
set(named "")
foreach(line IN LISTS lines)
    string(REGEX REPLACE "^ ([^@ ]+)@.*$" "\\1" name "${line}")
    list(APPEND named "${name}")
endforeach()
list(SORT named)
file(STRINGS ${EXPECTED} expected)
if(NOT named STREQUAL expected)
    message(FATAL_ERROR "${SYMBOLS} names\n  ${named}\nbut the exports are\n  ${expected}")
endif()
