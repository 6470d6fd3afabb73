# Installs what a host application builds against and ships: the host library
# (Orbisnap::Common, which brings Orbisnap::ConnectToServer and Orbisnap::platform), its headers, the generated
# serverconfig.h included, and RevisionPusher.exe, with a package config so that a host
# project can find_package(Orbisnap) and link Orbisnap::Common.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ORBISNAP_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/Orbisnap)
# The targets' INSTALL_INTERFACE include directory.
set(ORBISNAP_INSTALL_INCLUDEDIR include/orbisnap)

# The headers a target lists among its sources, generated ones (absolute paths) included.
function(orbisnap_install_headers target)
    get_target_property(sources ${target} SOURCES)
    get_target_property(source_dir ${target} SOURCE_DIR)
    set(headers)
    foreach(source IN LISTS sources)
        if(source MATCHES "\\.h$")
            if(NOT IS_ABSOLUTE "${source}")
                set(source "${source_dir}/${source}")
            endif()
            list(APPEND headers "${source}")
        endif()
    endforeach()
    install(FILES ${headers} DESTINATION ${ORBISNAP_INSTALL_INCLUDEDIR})
endfunction()

# Installed into a shared prefix, the archives carry the project's name.
set_target_properties(Common PROPERTIES OUTPUT_NAME OrbisnapCommon)
set_target_properties(ConnectToServer PROPERTIES OUTPUT_NAME OrbisnapConnectToServer)
set_target_properties(platform PROPERTIES OUTPUT_NAME OrbisnapPlatform)
install(TARGETS Common ConnectToServer platform EXPORT OrbisnapTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
orbisnap_install_headers(Common)
orbisnap_install_headers(ConnectToServer)
orbisnap_install_headers(platform)

# The host ships the updater beside its own executable; Orbisnap::RevisionPusher names it.
if(TARGET RevisionPusher)
    install(TARGETS RevisionPusher EXPORT OrbisnapTargets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# ... and, on Windows, the DLLs the host library needs besides Qt's.
get_property(orbisnap_runtime_dlls GLOBAL PROPERTY ORBISNAP_RUNTIME_DLLS)
if(orbisnap_runtime_dlls)
    install(FILES ${orbisnap_runtime_dlls} DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(EXPORT OrbisnapTargets NAMESPACE Orbisnap:: DESTINATION ${ORBISNAP_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/OrbisnapConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/OrbisnapConfig.cmake
    INSTALL_DESTINATION ${ORBISNAP_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/OrbisnapConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/OrbisnapConfig.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/OrbisnapConfigVersion.cmake
    DESTINATION ${ORBISNAP_INSTALL_CMAKEDIR})
