# What `cmake --install` installs besides the programs (cli/, tools/): the
# libraries, the public headers, the CMake package (find_package(Cadenza))
# and cadenza.pc; and the Debian package that `cpack` makes of it all.
include(CMakePackageConfigHelpers)
set(cadenza_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Cadenza)

install(TARGETS cadenza_shared EXPORT CadenzaTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS cadenza_static EXPORT CadenzaStaticTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/cadenza
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")
install(FILES ${CMAKE_BINARY_DIR}/include/cadenza/version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/cadenza)

install(EXPORT CadenzaTargets NAMESPACE Cadenza:: DESTINATION ${cadenza_cmake_dir})
install(EXPORT CadenzaStaticTargets NAMESPACE Cadenza:: DESTINATION ${cadenza_cmake_dir})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/CadenzaConfig.cmake.in
  ${CMAKE_BINARY_DIR}/CadenzaConfig.cmake INSTALL_DESTINATION ${cadenza_cmake_dir})
# Before 1.0 a new minor version may change the interface.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/CadenzaConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/CadenzaConfig.cmake ${CMAKE_BINARY_DIR}/CadenzaConfigVersion.cmake
  DESTINATION ${cadenza_cmake_dir})

# cadenza.pc finds the prefix from its own place, so the tree can be
# installed anywhere (cmake --install --prefix, a .deb under /usr).
file(RELATIVE_PATH CADENZA_PC_TO_PREFIX /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
configure_file(${CMAKE_CURRENT_LIST_DIR}/cadenza.pc.in ${CMAKE_BINARY_DIR}/cadenza.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/cadenza.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The Debian package: cpack --config build/CPackConfig.cmake
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME cadenza)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "manage the music database of an iPod mounted as a disk (tool and C++ library)")
set(CPACK_PACKAGE_CONTACT "Cadenza developers <cadenza@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The tool runs ffmpeg and mpgtx to read the stream parameters of imports.
# The Python module in the package is for the system python3.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ffmpeg, mpgtx, python3")
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)
include(CPack)
