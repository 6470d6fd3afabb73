# Runs as a script (cmake -P) from the consumer test.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run what)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "${what} failed (${result}):\n${output}")
    endif()
    set(output "${output}" PARENT_SCOPE)
endfunction()

run("install" ${CMAKE_COMMAND} --install ${ORBISNAP_BUILD_DIR} --prefix ${prefix})

# A relocatable package names nothing of the tree it was built in.
file(GLOB_RECURSE package_files ${prefix}/*.cmake)
foreach(package_file IN LISTS package_files)
    file(READ ${package_file} text)
    foreach(tree ${ORBISNAP_BUILD_DIR} ${ORBISNAP_SOURCE_DIR})
        string(FIND "${text}" "${tree}" at)
        if(NOT at EQUAL -1)
            message(FATAL_ERROR "${package_file} refers to ${tree}")
        endif()
    endforeach()
endforeach()

set(flags)
if(SANITIZE)
    # The installed static libraries were built with the sanitizers and need their runtime.
    list(APPEND flags "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined"
        "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined")
endif()
run("configure" ${CMAKE_COMMAND} -S ${CONSUMER_SOURCE_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
    -DCMAKE_CXX_COMPILER=${CXX_COMPILER} -DCMAKE_BUILD_TYPE=${BUILD_TYPE} -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF ${flags})
string(FIND "${output}" "Orbisnap 1.0.0 from ${prefix}/" at)
if(at EQUAL -1)
    message(FATAL_ERROR "the package was not found in ${prefix}:\n${output}")
endif()
run("build" ${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run("run" ${WORK_DIR}/build/MyHost.exe)

set(expected "server ${SERVER_BASE_URL}\n1.10 after 1.9: yes\nupdater beside the host: yes\nlaunched: no\n")
if(NOT output STREQUAL expected)
    message(FATAL_ERROR "MyHost.exe wrote:\n${output}\nexpected:\n${expected}")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
