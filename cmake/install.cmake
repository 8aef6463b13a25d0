# cmake --install: the library, ONNX Runtime beside it (the library finds it
# through $ORIGIN), the public headers, a pkg-config file and a CMake package
# whose find_package(vozaz_core) gives the target vozaz_core::vozaz_core.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS vozaz_core LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
file(GLOB LE_ORT_SHARED ${LE_ORT_LIBDIR}/libonnxruntime.so*)
install(FILES ${LE_ORT_SHARED} DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/le DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")

configure_file(${CMAKE_CURRENT_LIST_DIR}/vozaz_core.pc.in ${CMAKE_BINARY_DIR}/vozaz_core.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/vozaz_core.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(LE_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vozaz_core)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/vozaz_coreConfig.cmake.in
  ${CMAKE_BINARY_DIR}/vozaz_coreConfig.cmake INSTALL_DESTINATION ${LE_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/vozaz_coreConfigVersion.cmake COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/vozaz_coreConfig.cmake ${CMAKE_BINARY_DIR}/vozaz_coreConfigVersion.cmake
  DESTINATION ${LE_CMAKE_PACKAGE_DIR})
