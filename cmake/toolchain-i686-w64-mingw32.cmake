# 32-bit Windows: the architecture the client ships for.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QUOR_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw.cmake)
