# Renders each manual page with man (groff) and fails on any warning it prints.
# Usage: cmake -DMAN=<man> -DPAGES=<page;page...> -P CheckManPages.cmake
foreach(page ${PAGES})
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env MANWIDTH=80 LC_ALL=C.UTF-8
            ${MAN} --warnings -E UTF-8 -l ${page}
        OUTPUT_VARIABLE text ERROR_VARIABLE warnings RESULT_VARIABLE result)
    if(NOT result EQUAL 0 OR NOT warnings STREQUAL "" OR text STREQUAL "")
        message(FATAL_ERROR "man --warnings -l ${page} (status ${result}):\n${warnings}")
    endif()
    message(STATUS "${page}: no warnings")
endforeach()
