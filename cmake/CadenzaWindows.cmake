# The Windows build inside the Linux one: Cadenza.dll, cadenza.exe and the
# Windows test programs, cross-compiled with mingw-w64 for 32-bit and 64-bit
# Windows (each a build tree of its own under windows/), and the tests that
# run them under Wine.
#
# On by default when both mingw-w64 compilers are installed
# (scripts/setup.sh installs them); -DCADENZA_BUILD_WINDOWS=OFF leaves it out.
find_program(CADENZA_MINGW32_CXX i686-w64-mingw32-g++-posix)
find_program(CADENZA_MINGW64_CXX x86_64-w64-mingw32-g++-posix)
if(CADENZA_MINGW32_CXX AND CADENZA_MINGW64_CXX AND NOT CADENZA_SANITIZE)
  set(_cadenza_windows_default ON)
else()
  set(_cadenza_windows_default OFF)
endif()
option(CADENZA_BUILD_WINDOWS "Also build the Windows component and tool with mingw-w64"
       ${_cadenza_windows_default})
if(NOT CADENZA_BUILD_WINDOWS OR WIN32)
  return()
endif()

include(ExternalProject)
set(CADENZA_WINDOWS_DIR ${CMAKE_BINARY_DIR}/windows)
foreach(bits 32 64)
  if(bits EQUAL 32)
    set(arch i686)
  else()
    set(arch x86_64)
  endif()
  # Sources change without the outer build knowing: build every time, the
  # inner build decides what is out of date. The blank database template is
  # made by the Linux build and copied beside the Windows programs.
  ExternalProject_Add(cadenza_win${bits}
    SOURCE_DIR ${CMAKE_SOURCE_DIR}
    BINARY_DIR ${CADENZA_WINDOWS_DIR}/win${bits}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/toolchains/mingw-${arch}.cmake
      -DCMAKE_BUILD_TYPE=RelWithDebInfo
      -DCADENZA_WERROR=${CADENZA_WERROR}
      -DCADENZA_HOST_TOOLS_DIR=${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    DEPENDS blank_template)
endforeach()

if(CADENZA_BUILD_TESTS)
  # The component, the tool and the test clients under Wine, both bitnesses
  # (skipped, exit 77, when Wine is missing).
  add_test(NAME windows_under_wine
    COMMAND ${CMAKE_SOURCE_DIR}/scripts/wine_tests.sh
            ${CADENZA_WINDOWS_DIR}/win32/bin ${CADENZA_WINDOWS_DIR}/win64/bin
            ${CMAKE_RUNTIME_OUTPUT_DIRECTORY} ${CMAKE_BINARY_DIR}/wine-work)
  set_tests_properties(windows_under_wine PROPERTIES
    SKIP_RETURN_CODE 77 TIMEOUT 900 RUN_SERIAL ON)
endif()
