# Installation: the header, the shared library with its SONAME, a CMake
# package (find_package(trova_insole_sdk)) and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS trova_insole_sdk EXPORT trova_insole_sdkTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/trova_insole_sdk.h ${PROJECT_SOURCE_DIR}/include/trova_insole_gait.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(TVIS_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/trova_insole_sdk)
install(EXPORT trova_insole_sdkTargets NAMESPACE trova_insole_sdk:: DESTINATION ${TVIS_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/trova_insole_sdkConfig.cmake.in
  ${PROJECT_BINARY_DIR}/trova_insole_sdkConfig.cmake INSTALL_DESTINATION ${TVIS_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/trova_insole_sdkConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/trova_insole_sdkConfig.cmake
  ${PROJECT_BINARY_DIR}/trova_insole_sdkConfigVersion.cmake DESTINATION ${TVIS_CMAKE_DIR})

# Relocatable: the prefix is found from where the .pc file lies.
file(RELATIVE_PATH TVIS_PC_TO_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
configure_file(${PROJECT_SOURCE_DIR}/cmake/trova_insole_sdk.pc.in ${PROJECT_BINARY_DIR}/trova_insole_sdk.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/trova_insole_sdk.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
