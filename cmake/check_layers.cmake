# Fails when a file includes a header of a layer above its own or beside it.
#   cmake -D QUOR_SOURCE_DIR=<top of the tree> -P cmake/check_layers.cmake
# The picture, top to bottom: app -> ui -> {tunnel, net, diag} -> platform ->
# base. The engine (wke.dll) is a program of its own on base; the client's
# code sees only its API header, engine/wke.h. Companions may use the client's
# layers below ui; tests and benchmarks may use anything.
#
# Inside the engine each subfolder is a layer of its own, top to bottom:
#   engine (the exports) -> view -> script -> paint -> layout -> style -> dom
# with net (fetching pages and files) on dom, and platform (images, storage)
# under everything. Script reaches the view only through its own interface,
# engine/script/script_host.h, which the view implements.
cmake_minimum_required(VERSION 3.20)

set(allowed_base base)
set(allowed_platform platform base)
set(allowed_tunnel tunnel platform base)
set(allowed_net net platform base)
set(allowed_diag diag platform base)
set(allowed_ui ui tunnel net diag platform base engine/wke.h)
set(allowed_app app ui tunnel net diag platform base resources engine/wke.h)
set(engine_layers platform dom net style layout paint script view)
set(allowed_engine/platform engine/platform base)
set(allowed_engine/dom engine/dom base)
set(allowed_engine/net engine/net engine/dom engine/platform base)
set(allowed_engine/style engine/style engine/dom base)
set(allowed_engine/layout engine/layout engine/style engine/dom engine/platform base)
set(allowed_engine/paint engine/paint engine/layout engine/style engine/dom engine/platform base)
set(allowed_engine/script engine/script engine/style engine/dom engine/platform base engine/wke.h)
set(allowed_engine/view engine/view engine/script engine/paint engine/layout engine/style engine/dom engine/net
    engine/platform base engine/wke.h)
set(allowed_engine engine base)
foreach(sub IN LISTS engine_layers)
  list(APPEND allowed_engine engine/${sub})
endforeach()
set(allowed_companions companions tunnel net diag platform base)
set(layers base platform tunnel net diag ui app engine companions tests benchmarks resources)

set(violations "")
foreach(layer IN ITEMS base platform tunnel net diag ui app engine companions)
  file(GLOB_RECURSE files "${QUOR_SOURCE_DIR}/${layer}/*.h" "${QUOR_SOURCE_DIR}/${layer}/*.cpp"
       "${QUOR_SOURCE_DIR}/${layer}/*.c" "${QUOR_SOURCE_DIR}/${layer}/*.rc")
  foreach(file IN LISTS files)
    # A file in a subfolder of the engine belongs to that folder's layer.
    set(own ${layer})
    file(RELATIVE_PATH relative "${QUOR_SOURCE_DIR}/${layer}" "${file}")
    if(layer STREQUAL "engine" AND relative MATCHES "^([^/]+)/")
      set(own engine/${CMAKE_MATCH_1})
      if(NOT CMAKE_MATCH_1 IN_LIST engine_layers)
        list(APPEND violations "engine/${relative}: engine/${CMAKE_MATCH_1}/ is not one of the engine's layers")
        continue()
      endif()
    endif()
    file(STRINGS "${file}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" path "${line}")
      string(REGEX MATCH "^[^/]+" top "${path}")
      # A bare name is the file's own folder's (resource scripts, same-folder
      # headers); only paths that name a layer are checked.
      if(NOT path MATCHES "/" OR NOT top IN_LIST layers)
        continue()
      endif()
      # The engine's layers are its subfolders; its own API header is at its top.
      set(target ${top})
      if(top STREQUAL "engine" AND path MATCHES "^engine/([^/]+)/")
        set(target engine/${CMAKE_MATCH_1})
      endif()
      if(target IN_LIST allowed_${own} OR path IN_LIST allowed_${own})
        continue()
      endif()
      file(RELATIVE_PATH shown "${QUOR_SOURCE_DIR}" "${file}")
      list(JOIN allowed_${own} ", " allowed)
      list(APPEND violations "${shown}: includes \"${path}\", but ${own}/ may use only ${allowed}")
    endforeach()
  endforeach()
endforeach()

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "Includes against the layers:\n  ${text}")
endif()
