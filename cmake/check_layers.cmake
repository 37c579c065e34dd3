# Fails when a file includes a header of a layer above its own or beside it.
#   cmake -D QUOR_SOURCE_DIR=<top of the tree> -P cmake/check_layers.cmake
# The picture, top to bottom: app -> ui -> {tunnel, net, diag} -> platform ->
# base. The engine (wke.dll) is a program of its own on base; the client's
# code sees only its API header, engine/wke.h. Companions may use the client's
# layers below ui; tests and benchmarks may use anything.
cmake_minimum_required(VERSION 3.20)

set(allowed_base base)
set(allowed_platform platform base)
set(allowed_tunnel tunnel platform base)
set(allowed_net net platform base)
set(allowed_diag diag platform base)
set(allowed_ui ui tunnel net diag platform base engine/wke.h)
set(allowed_app app ui tunnel net diag platform base resources engine/wke.h)
set(allowed_engine engine base)
set(allowed_companions companions tunnel net diag platform base)
set(layers base platform tunnel net diag ui app engine companions tests benchmarks resources)

set(violations "")
foreach(layer IN ITEMS base platform tunnel net diag ui app engine companions)
  file(GLOB_RECURSE files "${QUOR_SOURCE_DIR}/${layer}/*.h" "${QUOR_SOURCE_DIR}/${layer}/*.cpp"
       "${QUOR_SOURCE_DIR}/${layer}/*.c" "${QUOR_SOURCE_DIR}/${layer}/*.rc")
  foreach(file IN LISTS files)
    file(STRINGS "${file}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" path "${line}")
      string(REGEX MATCH "^[^/]+" top "${path}")
      # A bare name is the file's own folder's (resource scripts, same-folder
      # headers); only paths that name a layer are checked.
      if(NOT path MATCHES "/" OR NOT top IN_LIST layers)
        continue()
      endif()
      if(top IN_LIST allowed_${layer} OR path IN_LIST allowed_${layer})
        continue()
      endif()
      file(RELATIVE_PATH shown "${QUOR_SOURCE_DIR}" "${file}")
      list(JOIN allowed_${layer} ", " allowed)
      list(APPEND violations "${shown}: includes \"${path}\", but ${layer}/ may use only ${allowed}")
    endforeach()
  endforeach()
endforeach()

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "Includes against the layers:\n  ${text}")
endif()
