# Cross build for 64-bit Windows with Debian's mingw-w64 compilers (the posix thread model,
# whose std::thread works). Used by `make windows`:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VEXLOR_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VEXLOR_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEXLOR_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VEXLOR_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${VEXLOR_MINGW_TRIPLET}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${VEXLOR_MINGW_TRIPLET}-gcc-ranlib-posix CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${VEXLOR_MINGW_TRIPLET}-objdump CACHE FILEPATH "")
set(CMAKE_STRIP ${VEXLOR_MINGW_TRIPLET}-strip CACHE FILEPATH "")

# Libraries and headers of the target only; programs (python3, unzip, ...) from the build host.
set(CMAKE_FIND_ROOT_PATH /usr/${VEXLOR_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes and winpthreads linked in: vexlor.exe needs no DLL beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
