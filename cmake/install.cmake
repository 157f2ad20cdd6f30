# cmake --install: the shared library, its public headers, the two programs, the wire
# contract, a CMake package (find_package(TarvikFoundation)) and a pkg-config file.
include(CMakePackageConfigHelpers)

install(TARGETS tarvikfoundation-shared tarvik-apphost tarvik-helper tarvik-run
  EXPORT TarvikFoundationTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# Only the public headers; everything else stays inside the library.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/TarvikFoundation
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")
install(FILES ${PROJECT_SOURCE_DIR}/platform/appservice.proto
  DESTINATION ${CMAKE_INSTALL_DATADIR}/TarvikFoundation)

install(EXPORT TarvikFoundationTargets NAMESPACE TarvikFoundation::
  DESTINATION ${TARVIK_INSTALL_CMAKEDIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TarvikFoundationConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TarvikFoundationConfig.cmake
  INSTALL_DESTINATION ${TARVIK_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TarvikFoundationConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TarvikFoundationConfig.cmake
  ${PROJECT_BINARY_DIR}/TarvikFoundationConfigVersion.cmake
  DESTINATION ${TARVIK_INSTALL_CMAKEDIR})

# The .pc file finds its prefix from where it lies, so an installed tree can move.
file(RELATIVE_PATH TARVIK_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" TARVIK_PC_TO_PREFIX "${TARVIK_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/tarvikfoundation.pc.in
  ${PROJECT_BINARY_DIR}/tarvikfoundation.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tarvikfoundation.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
