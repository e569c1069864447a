# Configures the tree with CMake's default generator on Linux (Unix Makefiles)
# in a temporary folder and builds the compiled translations there. Ninja,
# which the other builds use, makes the folder of a custom command's output by
# itself and Make does not, so a rule that counts on that fails here only.
# Usage: cmake -DSOURCE_DIR=... -DCXX=... -P makefiles-build.cmake
execute_process(COMMAND mktemp -d /tmp/quayline-makefiles.XXXXXX
    OUTPUT_VARIABLE work OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
if(rc)
    message(FATAL_ERROR "mktemp failed")
endif()

function(run what)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(rc)
        file(REMOVE_RECURSE "${work}")
        message(FATAL_ERROR "${what} failed (${rc}):\n${out}")
    endif()
endfunction()

# Neither the tests nor the tray program: the translations belong to the core.
run("configure" ${CMAKE_COMMAND} -S "${SOURCE_DIR}" -B "${work}" -G "Unix Makefiles"
    -DCMAKE_CXX_COMPILER=${CXX} -DQUAYLINE_BUILD_TESTS=OFF -DQUAYLINE_BUILD_GUI=OFF)
run("make quayline_translations" ${CMAKE_COMMAND} --build "${work}" --target quayline_translations)
if(NOT EXISTS "${work}/i18n/quayline_en.qm")
    file(REMOVE_RECURSE "${work}")
    message(FATAL_ERROR "the build made no ${work}/i18n/quayline_en.qm")
endif()
file(REMOVE_RECURSE "${work}")
message(STATUS "Unix Makefiles build the translations")
