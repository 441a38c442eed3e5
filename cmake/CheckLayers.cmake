# Fails when a source file includes a layer it may not use.
#
#   cmake -DSOURCE_DIR=<root> -P CheckLayers.cmake
#
# Layers, lowest first: platform; db; media and device (which do not know
# each other); component; the hosts (cli, python, tools, fuzz). A layer includes only
# itself and the layers below it. The public headers (include/cadenza/*.h)
# stand alone: they include other public headers and standard headers only.
# Everyone may include the public headers; test files (names with "_test")
# may also include the test helpers in testing/.

cmake_minimum_required(VERSION 3.20)

set(allowed_platform platform)
set(allowed_db       platform db)
set(allowed_media    platform db media)
set(allowed_device   platform db device)
set(allowed_component platform db media device component)
set(lower_than_hosts platform db media device component)
set(allowed_cli      ${lower_than_hosts} cli)
set(allowed_tools    ${lower_than_hosts} tools)
set(allowed_fuzz     ${lower_than_hosts} fuzz)
set(allowed_python   ${lower_than_hosts} python)
set(allowed_com      ${lower_than_hosts} com)
# Every folder of the project an #include could name.
set(project_dirs platform db media device component cli com tools fuzz testing tests bench
    python bindings examples)

set(errors "")
foreach(layer platform db media device component cli com tools fuzz python)
  file(GLOB files ${SOURCE_DIR}/${layer}/*.cc ${SOURCE_DIR}/${layer}/*.h)
  foreach(f IN LISTS files)
    get_filename_component(name ${f} NAME)
    set(allowed ${allowed_${layer}} cadenza)
    if(name MATCHES "_test")
      list(APPEND allowed testing)
    endif()
    file(STRINGS ${f} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
    foreach(line IN LISTS lines)
      if(NOT line MATCHES "include[ \t]*[<\"]([^>\"]+)[>\"]")
        continue()
      endif()
      set(inc ${CMAKE_MATCH_1})
      if(NOT inc MATCHES "^([^/]+)/")
        if(line MATCHES "\"")
          string(APPEND errors "${layer}/${name}: #include \"${inc}\": name the folder (\"${layer}/${inc}\")\n")
        endif()
        continue()
      endif()
      set(dir ${CMAKE_MATCH_1})
      if(dir IN_LIST project_dirs AND NOT dir IN_LIST allowed)
        list(JOIN allowed ", " allowed_text)
        string(APPEND errors "${layer}/${name}: #include \"${inc}\": ${layer} may include only ${allowed_text}\n")
      endif()
    endforeach()
  endforeach()
endforeach()

file(GLOB public_headers ${SOURCE_DIR}/include/cadenza/*.h)
foreach(f IN LISTS public_headers)
  get_filename_component(name ${f} NAME)
  file(STRINGS ${f} lines REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS lines)
    # A public header includes "cadenza/x.h" or a standard header <x>.
    if(NOT line MATCHES "include[ \t]*(\"cadenza/[^\"/]+\"|<cadenza/[^>/]+>|<[a-z_]+(\\.h)?>)")
      string(STRIP "${line}" line)
      string(APPEND errors "include/cadenza/${name}: ${line}: a public header includes only cadenza/*.h and standard headers\n")
    endif()
  endforeach()
endforeach()

if(errors)
  message(FATAL_ERROR "Layering violations:\n${errors}")
endif()
