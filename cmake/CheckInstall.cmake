# Installs the build tree under a fresh prefix and fails unless every file a user needs is there.
# Usage: cmake -DBUILD=<build dir> -DBINDIR=<bin> -DPREFIX=<empty dir> -DFILES=<path;path...> -P CheckInstall.cmake
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${PREFIX}
    OUTPUT_QUIET ERROR_VARIABLE errors RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install ${BUILD} failed:\n${errors}")
endif()
foreach(path ${FILES})
    if(NOT EXISTS ${PREFIX}/${path})
        file(GLOB_RECURSE installed RELATIVE ${PREFIX} ${PREFIX}/*)
        string(REPLACE ";" "\n  " installed "${installed}")
        message(FATAL_ERROR "${PREFIX}/${path} not installed; installed are:\n  ${installed}")
    endif()
endforeach()
execute_process(COMMAND ${PREFIX}/${BINDIR}/talvo_rc --version
    OUTPUT_VARIABLE banner RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT banner MATCHES "^Talvo RC version [0-9.]+ \n$")
    message(FATAL_ERROR "installed talvo_rc --version (status ${result}): '${banner}'")
endif()
file(REMOVE_RECURSE ${PREFIX})
