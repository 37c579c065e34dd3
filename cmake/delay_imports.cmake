# Delay-loaded import libraries for the system DLLs that are not known DLLs.
#
# Windows resolves a program's static imports before its first instruction,
# looking first in the program's own folder. A known DLL (kernel32, user32,
# ole32, ...) always comes from the system folder, but winhttp, userenv,
# iphlpapi, bcrypt, crypt32, version and oleacc do not: a copy of one of them beside the
# executable (a portable copy run from Downloads, where a browser may have
# dropped one) would be loaded into the elevated client. Delay-loaded, they
# are loaded on first use, after wWinMain has restricted the DLL search to
# the system folder; the client's delay-load hook loads them by full path
# from there in any case.
#
# For each DLL an import library of the same name ("libwinhttp.a") is made
# here at configure time from MinGW's own (every export it lists), with
# dlltool's -y, and its folder is put first on the linker's search path, so
# every "-lwinhttp" of the tree, libuv's included, links the delay-loaded
# form. `i686-w64-mingw32-objdump -p` of a built program no longer lists
# these DLLs among its imports.
# GNU ld drops the code section of an import library's member when nothing
# calls the function's own symbol, only its "__imp_" pointer (what every
# DECLSPEC_IMPORT declaration does). In a delay-load member that section
# also holds the stub the pointer starts out at, so the pointer would be
# left zero and the first call would jump to address zero. Every function's
# symbol is therefore named to the linker as used (-u, through a response
# file), which keeps its stub; the DLL is still loaded only on first call.
set(QUOR_DELAY_LOADED_DLLS winhttp userenv iphlpapi bcrypt crypt32 version oleacc)
set(QUOR_DELAY_KEEP "")
set(QUOR_DELAY_IMPORT_DIR "${CMAKE_BINARY_DIR}/delay-imports")

find_program(QUOR_DLLTOOL NAMES ${QUOR_TRIPLET}-dlltool dlltool REQUIRED)
find_program(QUOR_NM NAMES ${QUOR_TRIPLET}-nm nm REQUIRED)
file(MAKE_DIRECTORY "${QUOR_DELAY_IMPORT_DIR}")

foreach(dll IN LISTS QUOR_DELAY_LOADED_DLLS)
  find_library(QUOR_IMPORT_LIB_${dll} NAMES "lib${dll}.a" REQUIRED NO_CACHE)
  execute_process(COMMAND "${QUOR_NM}" "${QUOR_IMPORT_LIB_${dll}}"
    OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "delay imports: cannot list ${QUOR_IMPORT_LIB_${dll}}")
  endif()
  # The functions' text symbols: "_Name@N" on i686 (stdcall, decorated),
  # "Name" on x86_64.
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    string(REGEX MATCHALL "[0-9a-f]+ T _[A-Za-z0-9_]+@[0-9]+" exports "${symbols}")
    set(kill_at -k)
  else()
    string(REGEX MATCHALL "[0-9a-f]+ T [A-Za-z0-9_]+" exports "${symbols}")
    set(kill_at)
  endif()
  set(def "LIBRARY ${dll}.dll\nEXPORTS\n")
  set(seen)
  foreach(line IN LISTS exports)
    string(REGEX REPLACE "^[0-9a-f]+ T " "" name "${line}")
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      string(REGEX REPLACE "^_" "" name "${name}")
    endif()
    if(NOT name IN_LIST seen)
      list(APPEND seen "${name}")
      string(APPEND def "${name}\n")
      if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        string(APPEND QUOR_DELAY_KEEP "-u _${name}\n")
      else()
        string(APPEND QUOR_DELAY_KEEP "-u ${name}\n")
      endif()
    endif()
  endforeach()
  if(NOT seen)
    message(FATAL_ERROR "delay imports: no functions found in ${QUOR_IMPORT_LIB_${dll}}")
  endif()
  file(WRITE "${QUOR_DELAY_IMPORT_DIR}/${dll}.def" "${def}")
  execute_process(
    COMMAND "${QUOR_DLLTOOL}" ${kill_at} -d "${QUOR_DELAY_IMPORT_DIR}/${dll}.def"
            -y "${QUOR_DELAY_IMPORT_DIR}/lib${dll}.a" -D "${dll}.dll"
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "delay imports: dlltool failed for ${dll}")
  endif()
endforeach()

file(WRITE "${QUOR_DELAY_IMPORT_DIR}/keep-stubs.rsp" "${QUOR_DELAY_KEEP}")
add_link_options("-L${QUOR_DELAY_IMPORT_DIR}" "LINKER:@${QUOR_DELAY_IMPORT_DIR}/keep-stubs.rsp")
