# Warning and sanitizer flags, applied per target so nothing leaks into consumers.
function(orbisnap_target_defaults target)
    if(MSVC)
        # The sources are UTF-8 (the Chinese texts among them): say so, or MSVC reads them in
        # the machine's code page.
        target_compile_options(${target} PRIVATE /W4 /utf-8)
    else()
        target_compile_options(${target} PRIVATE -Wall -Wextra)
    endif()
    if(ORBISNAP_SANITIZE)
        target_compile_options(${target} PRIVATE
            -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
        target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    endif()
endfunction()

# The application manifest for a Windows executable: run as the invoking user (no elevation,
# and no VirtualStore redirection of writes into the installation), 64-bit, long paths and
# UTF-8 as the process code page.
function(orbisnap_windows_manifest target)
    if(NOT WIN32)
        return()
    endif()
    set(ORBISNAP_MANIFEST_NAME ${target})
    configure_file(${PROJECT_SOURCE_DIR}/cmake/app.manifest.in
        ${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest @ONLY)
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest.rc
        "1 24 \"${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest\"\n")
    target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}.manifest.rc)
endfunction()

# Windows: the DLLs the host library needs besides Qt's (the signature verifier's) are copied
# beside the target, so that the build folder runs and a release is put together from it.
function(orbisnap_ship_runtime_dlls target)
    get_property(dlls GLOBAL PROPERTY ORBISNAP_RUNTIME_DLLS)
    if(dlls)
        add_custom_command(TARGET ${target} POST_BUILD
            COMMAND ${CMAKE_COMMAND} -E copy_if_different ${dlls} $<TARGET_FILE_DIR:${target}>
            VERBATIM)
    endif()
endfunction()
