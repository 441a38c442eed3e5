# Copies the blank database template made by the build machine's own build
# into a cross build: DIR holds the template "Cadenza" or the maker
# "make_blank_db", which is run then.
#
#   cmake -DDIR=<folder> -DOUT=<template> -P host_template.cmake
if(EXISTS ${DIR}/Cadenza AND NOT IS_DIRECTORY ${DIR}/Cadenza)
  configure_file(${DIR}/Cadenza ${OUT} COPYONLY)
elseif(EXISTS ${DIR}/make_blank_db)
  execute_process(COMMAND ${DIR}/make_blank_db ${OUT} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${DIR}/make_blank_db failed: ${rc}")
  endif()
else()
  message(FATAL_ERROR "Neither ${DIR}/Cadenza nor ${DIR}/make_blank_db exists")
endif()
