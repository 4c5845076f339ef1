# Libraries from Debian packages, for the native and the cross build alike: header-only ones, and
# the time zone library and the Matroska libraries.
#
# A cross build must not put the host's /usr/include on its include path (the host's C library
# headers would shadow the target's), so it gets copies of the header-only libraries' headers in
# ${PROJECT_BINARY_DIR}/third_party/include.

set(VEXLOR_THIRD_PARTY_INCLUDE ${PROJECT_BINARY_DIR}/third_party/include)

# Copies the host header directory or file `source` (below /usr/include) into the cross build's
# include folder.
function(vexlor_copy_host_headers source)
  if(NOT EXISTS /usr/include/${source})
    message(FATAL_ERROR "/usr/include/${source} is missing: run `make deps`")
  endif()
  get_filename_component(parent ${source} DIRECTORY)
  file(COPY /usr/include/${source} DESTINATION ${VEXLOR_THIRD_PARTY_INCLUDE}/${parent})
endfunction()

# CLI11 (libcli11-dev): the command line of `vexlor`.
if(CMAKE_CROSSCOMPILING)
  vexlor_copy_host_headers(CLI)
  add_library(CLI11::CLI11 INTERFACE IMPORTED)
  target_include_directories(CLI11::CLI11 INTERFACE ${VEXLOR_THIRD_PARTY_INCLUDE})
else()
  find_package(CLI11 CONFIG REQUIRED)
endif()

# nlohmann-json (nlohmann-json3-dev): the JSON output of `vexlor convert` and `probe`.
if(CMAKE_CROSSCOMPILING)
  vexlor_copy_host_headers(nlohmann)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  target_include_directories(nlohmann_json::nlohmann_json INTERFACE ${VEXLOR_THIRD_PARTY_INCLUDE})
else()
  find_package(nlohmann_json 3 REQUIRED)
endif()

# stb_image_write (libstb-dev): the PNG files of `vexlor snapshot`.
add_library(vexlor_stb INTERFACE)
if(CMAKE_CROSSCOMPILING)
  vexlor_copy_host_headers(stb/stb_image_write.h)
  target_include_directories(vexlor_stb INTERFACE ${VEXLOR_THIRD_PARTY_INCLUDE})
elseif(NOT EXISTS /usr/include/stb/stb_image_write.h)
  message(FATAL_ERROR "stb/stb_image_write.h is missing: run `make deps` (libstb-dev)")
endif()

# The time zone library (libhowardhinnant-date-dev): the recorder's zone of --recorder-zone. Its
# compiled part reads the system's zone files on Linux; the cross build takes the static library
# that `make windows` builds from Debian's source package (tools/build_win_date.sh) into
# VEXLOR_WIN_DATE, which reads the database shipped beside the program.
if(CMAKE_CROSSCOMPILING)
  set(VEXLOR_WIN_DATE "" CACHE PATH "Prefix of the time zone library built for the cross build")
  if(NOT VEXLOR_WIN_DATE OR NOT EXISTS ${VEXLOR_WIN_DATE}/CMake/dateConfig.cmake)
    message(FATAL_ERROR "the time zone library for Windows is missing: run `make windows` "
                        "(VEXLOR_WIN_DATE names the prefix tools/build_win_date.sh fills)")
  endif()
  set(date_DIR ${VEXLOR_WIN_DATE}/CMake)
endif()
find_package(date CONFIG REQUIRED)
# libebml and libmatroska (libebml-dev, libmatroska-dev): the Matroska files. A cross build takes
# the static libraries that `make windows` builds from Debian's source packages
# (tools/build_win_deps.sh) into VEXLOR_WIN_DEPS.
if(CMAKE_CROSSCOMPILING)
  set(VEXLOR_WIN_DEPS "" CACHE PATH "Prefix of the libraries built for the cross build")
  if(NOT VEXLOR_WIN_DEPS OR NOT EXISTS ${VEXLOR_WIN_DEPS}/lib/cmake/Matroska)
    message(FATAL_ERROR "libmatroska for Windows is missing: run `make windows` "
                        "(VEXLOR_WIN_DEPS names the prefix tools/build_win_deps.sh fills)")
  endif()
  list(APPEND CMAKE_FIND_ROOT_PATH ${VEXLOR_WIN_DEPS})
endif()
find_package(EBML 1.4 CONFIG REQUIRED)
find_package(Matroska 1.7 CONFIG REQUIRED)

# GoogleTest: Debian's packaged build on the host; compiled from the sources of Debian's
# googletest package (/usr/src/googletest) for a cross build.
macro(vexlor_find_gtest)
  if(CMAKE_CROSSCOMPILING)
    if(NOT TARGET GTest::gtest_main)
      set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
      set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
      add_subdirectory(/usr/src/googletest ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
      # Not our code: no warnings as errors. (It defines the GTest:: names itself.)
      foreach(t gtest gtest_main gmock gmock_main)
        target_compile_options(${t} PRIVATE -w)
      endforeach()
    endif()
  else()
    find_package(GTest REQUIRED)
  endif()
endmacro()
