# The library, static and shared (libcadenza.a, libcadenza.so.MAJOR), from
# the objects of cadenza_core, and the generated cadenza/version.h.

configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in
               ${CMAKE_BINARY_DIR}/include/cadenza/version.h @ONLY)

add_library(cadenza_static STATIC $<TARGET_OBJECTS:cadenza_core>)
set_target_properties(cadenza_static PROPERTIES EXPORT_NAME cadenza_static)
set(cadenza_libs cadenza_static)
# On Windows only the static library is built (the COM component links it).
if(NOT WIN32)
  add_library(cadenza_shared SHARED $<TARGET_OBJECTS:cadenza_core>)
  set_target_properties(cadenza_shared PROPERTIES
    EXPORT_NAME cadenza
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR})
  list(APPEND cadenza_libs cadenza_shared)
endif()
foreach(lib IN LISTS cadenza_libs)
  set_target_properties(${lib} PROPERTIES
    OUTPUT_NAME cadenza
    ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)
  target_include_directories(${lib} INTERFACE
    $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>
    $<BUILD_INTERFACE:${CMAKE_BINARY_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_compile_features(${lib} INTERFACE cxx_std_20)
  # Private: the shared library carries them itself; the static one lists
  # them for the programs that link it.
  target_link_libraries(${lib} PRIVATE ${CADENZA_SYSTEM_LIBS})
endforeach()
