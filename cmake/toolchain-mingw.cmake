# Shared by the per-architecture toolchain files, which set QUOR_TRIPLET and
# CMAKE_SYSTEM_PROCESSOR first. Cross-compiles for Windows with MinGW-w64 GCC
# in its posix-threads flavour: the win32 flavour's libstdc++ has no
# std::thread or std::mutex.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${QUOR_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUOR_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QUOR_TRIPLET}-windres)

# Libraries and packages come from the MinGW sysroot or from the dependency
# prefix handed in through CMAKE_PREFIX_PATH, never from the Linux host.
set(CMAKE_FIND_ROOT_PATH /usr/${QUOR_TRIPLET} ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything links statically, the C and C++ runtimes and winpthread included,
# so the executables run without MinGW DLLs beside them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
