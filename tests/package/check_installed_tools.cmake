# Installs the build into a fresh prefix and checks that the installed krhost carries a run path
# relative to itself and starts from there with nothing else telling it where the library is.
set(prefix "${BUILD_DIR}/installed-tools-check")
file(REMOVE_RECURSE "${prefix}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}"
    OUTPUT_QUIET RESULT_VARIABLE installed)
if(NOT installed EQUAL 0)
    message(FATAL_ERROR "cmake --install failed")
endif()
execute_process(COMMAND "${READELF}" -d "${prefix}/bin/krhost" OUTPUT_VARIABLE dynamic)
if(NOT dynamic MATCHES "R(UN)?PATH[^\n]*\\$ORIGIN/\\.\\./lib")
    message(FATAL_ERROR "the installed krhost has no run path $ORIGIN/../lib:\n${dynamic}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH
        "${prefix}/bin/krhost" --version
    OUTPUT_VARIABLE version RESULT_VARIABLE started)
file(REMOVE_RECURSE "${prefix}")
if(NOT started EQUAL 0 OR NOT version MATCHES "krmodule library")
    message(FATAL_ERROR "the installed krhost did not start: ${started} ${version}")
endif()
