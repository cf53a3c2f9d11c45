# cmake -DTOP=<source dir> -P check_includes.cmake
#
# Fails, naming each file and line, when a source under src/, tools/ or tests/ includes
# a header by a path that climbs out of its folder (#include "../..."). Such a path
# reaches past the include roots, so it would let a layer see what is above it.
file(GLOB_RECURSE sources LIST_DIRECTORIES false
     ${TOP}/src/* ${TOP}/tools/* ${TOP}/tests/*)
set(found)
foreach(source IN LISTS sources)
    if(NOT source MATCHES "\\.(c|cc|cpp|h|hpp|inc|in)$")
        continue()
    endif()
    file(STRINGS ${source} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"\\.\\./")
    foreach(line IN LISTS lines)
        file(RELATIVE_PATH name ${TOP} ${source})
        list(APPEND found "  ${name}: ${line}")
    endforeach()
endforeach()
if(found)
    list(JOIN found "\n" found)
    message(FATAL_ERROR "Includes that climb out of their folder (#include \"../\"); "
                        "include by the path under src/ or the target's include root:\n"
                        "${found}")
endif()
