# Windows specifics of the build: version resources and manifests, and, for a cross build, the
# tests run under wine. Included from the top-level CMakeLists.txt when building for Windows.

# Wide-character Windows functions by default; no min/max macros from <windows.h>.
add_compile_definitions(UNICODE _UNICODE NOMINMAX)

# vexlor_windows_resources(TARGET DESCRIPTION text [EXTRA_SETTINGS xml] [EXTRA_MANIFEST xml])
# Adds the VERSIONINFO resource (the project's version) and an application manifest (long
# paths, UTF-8 code page, Windows 7 to 11) to an executable. EXTRA_SETTINGS goes into the
# manifest's <windowsSettings> (DPI awareness, ...), EXTRA_MANIFEST before its end
# (dependencies such as the common controls 6).
function(vexlor_windows_resources target)
  cmake_parse_arguments(arg "" "DESCRIPTION;EXTRA_SETTINGS;EXTRA_MANIFEST" "" ${ARGN})
  set(VEXLOR_RC_NAME ${target})
  set(VEXLOR_RC_FILE_NAME ${target}.exe)
  set(VEXLOR_RC_DESCRIPTION "${arg_DESCRIPTION}")
  set(VEXLOR_RC_EXTRA_SETTINGS "${arg_EXTRA_SETTINGS}")
  set(VEXLOR_RC_EXTRA_MANIFEST "${arg_EXTRA_MANIFEST}")
  set(VEXLOR_RC_MANIFEST ${CMAKE_CURRENT_BINARY_DIR}/${target}.exe.manifest)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/app.manifest.in ${VEXLOR_RC_MANIFEST} @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/windows/version.rc.in
                 ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  set_property(SOURCE ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc APPEND PROPERTY
               OBJECT_DEPENDS ${VEXLOR_RC_MANIFEST})
endfunction()

# ---- The time zone database ----
#
# The folder tzdata beside vexlor.exe: the IANA database that --recorder-zone reads, written out
# by tools/tzdata_text.py from the build machine's /usr/share/zoneinfo/tzdata.zi (Debian's
# tzdata, the data the Linux programs' zone files were compiled from), so that both read the
# same database. Made once in the build folder; vexlor_tzdata_beside(TARGET) copies it beside a
# program after each link.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
set(VEXLOR_TZDATA_SOURCE /usr/share/zoneinfo/tzdata.zi)
if(NOT EXISTS ${VEXLOR_TZDATA_SOURCE})
  message(FATAL_ERROR "${VEXLOR_TZDATA_SOURCE} is missing: run `make deps` (tzdata)")
endif()
set(VEXLOR_TZDATA ${PROJECT_BINARY_DIR}/tzdata)
set(VEXLOR_TZDATA_FILES version etcetera windowsZones.xml README.txt)
list(TRANSFORM VEXLOR_TZDATA_FILES PREPEND ${VEXLOR_TZDATA}/ OUTPUT_VARIABLE tzdata_outputs)
add_custom_command(
  OUTPUT ${tzdata_outputs}
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/tzdata_text.py
          ${VEXLOR_TZDATA_SOURCE} ${VEXLOR_TZDATA}
  DEPENDS ${PROJECT_SOURCE_DIR}/tools/tzdata_text.py ${VEXLOR_TZDATA_SOURCE}
  COMMENT "Writing the time zone database for Windows"
  VERBATIM)
add_custom_target(tzdata ALL DEPENDS ${tzdata_outputs})

function(vexlor_tzdata_beside target)
  add_dependencies(${target} tzdata)
  add_custom_command(TARGET ${target} POST_BUILD
                     COMMAND ${CMAKE_COMMAND} -E copy_directory ${VEXLOR_TZDATA}
                             $<TARGET_FILE_DIR:${target}>/tzdata
                     VERBATIM)
endfunction()

# ---- Shipping ----
#
# vexlor_windows_zip(TARGETS exe...)
# dist/vexlor-VERSION-win64.zip: a folder vexlor-VERSION-win64 with the programs (stripped),
# the time zone database (tzdata), README.txt for Windows users and LICENSE.txt (the project's
# licence and the notices of the libraries linked into the programs and of the database, taken
# from their Debian packages). Built with `all`.
function(vexlor_windows_zip)
  cmake_parse_arguments(arg "" "" "TARGETS" ${ARGN})
  set(name vexlor-${PROJECT_VERSION}-win64)
  set(stage ${PROJECT_BINARY_DIR}/package/${name})
  set(zip ${PROJECT_SOURCE_DIR}/dist/${name}.zip)

  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/README.txt.in ${stage}/README.txt
                 @ONLY NEWLINE_STYLE CRLF)
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
  string(APPEND license "\n\nThird-party software in the programs\n"
                        "===================================\n\n"
                        "The programs contain code of the following libraries. Their copyright "
                        "notices and licences follow, as the Debian packages the build took "
                        "them from state them.\n")
  foreach(package libcli11-dev nlohmann-json3-dev libstb-dev libhowardhinnant-date-dev tzdata
                  libebml-dev libmatroska-dev gcc-mingw-w64-base mingw-w64-x86-64-dev)
    set(copyright /usr/share/doc/${package}/copyright)
    if(NOT EXISTS ${copyright})
      message(FATAL_ERROR "${copyright} is missing: run `make deps`")
    endif()
    file(READ ${copyright} text)
    string(APPEND license "\n\n---- Debian package ${package} ----\n\n${text}")
  endforeach()
  # CRLF line ends, like README.txt; rewritten only when it changes.
  string(REPLACE "\r\n" "\n" license "${license}")
  string(REPLACE "\n" "\r\n" license "${license}")
  set(old "")
  if(EXISTS ${stage}/LICENSE.txt)
    file(READ ${stage}/LICENSE.txt old)
  endif()
  if(NOT old STREQUAL license)
    file(WRITE ${stage}/LICENSE.txt "${license}")
  endif()

  set(copies COMMAND ${CMAKE_COMMAND} -E copy_directory ${VEXLOR_TZDATA} ${stage}/tzdata)
  set(files README.txt LICENSE.txt)
  foreach(f ${VEXLOR_TZDATA_FILES})
    list(APPEND files tzdata/${f})
  endforeach()
  foreach(t ${arg_TARGETS})
    list(APPEND copies COMMAND ${CMAKE_STRIP} --strip-all -o ${stage}/$<TARGET_FILE_NAME:${t}>
                               $<TARGET_FILE:${t}>)
    list(APPEND files $<TARGET_FILE_NAME:${t}>)
  endforeach()
  list(TRANSFORM files PREPEND ${name}/)
  add_custom_command(
    OUTPUT ${zip}
    ${copies}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_SOURCE_DIR}/dist
    COMMAND ${CMAKE_COMMAND} -E remove -f ${zip}
    COMMAND ${CMAKE_COMMAND} -E chdir ${PROJECT_BINARY_DIR}/package
            ${CMAKE_COMMAND} -E tar cf ${zip} --format=zip ${files}
    DEPENDS ${arg_TARGETS} ${stage}/README.txt ${stage}/LICENSE.txt tzdata ${tzdata_outputs}
    COMMENT "Packing ${zip}"
    VERBATIM)
  add_custom_target(windows_zip ALL DEPENDS ${zip})
  set(VEXLOR_WINDOWS_ZIP ${zip} PARENT_SCOPE)
  set(VEXLOR_WINDOWS_ZIP_TARGETS ${arg_TARGETS} PARENT_SCOPE)
  set(VEXLOR_WINDOWS_STAGE ${stage} PARENT_SCOPE)
endfunction()

# vexlor_windows_installer()
# dist/vexlor-VERSION-setup.exe: the NSIS installer (packaging/windows/vexlor.nsi) of the files
# the zip holds, a 64-bit installer (Debian's nsis ships the amd64-unicode stubs). Built with
# `all`; without makensis there is none (a warning says so). Call after vexlor_windows_zip.
function(vexlor_windows_installer)
  find_program(VEXLOR_MAKENSIS makensis)
  if(NOT VEXLOR_MAKENSIS)
    message(WARNING "makensis not found (run `make deps`): no Windows installer")
    return()
  endif()
  set(setup ${PROJECT_SOURCE_DIR}/dist/vexlor-${PROJECT_VERSION}-setup.exe)
  set(script ${PROJECT_SOURCE_DIR}/packaging/windows/vexlor.nsi)
  set(icon ${PROJECT_SOURCE_DIR}/src/ui/resources/icon128.ico)
  add_custom_command(
    OUTPUT ${setup}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_SOURCE_DIR}/dist
    COMMAND ${VEXLOR_MAKENSIS} -V2 -NOCD -DVERSION=${PROJECT_VERSION}
            -DSTAGE=${VEXLOR_WINDOWS_STAGE} -DICON=${icon} -DOUTFILE=${setup} ${script}
    DEPENDS ${VEXLOR_WINDOWS_ZIP} ${script} ${icon}
    COMMENT "Building ${setup}"
    VERBATIM)
  add_custom_target(windows_installer ALL DEPENDS ${setup})
  set(VEXLOR_WINDOWS_INSTALLER ${setup} PARENT_SCOPE)
endfunction()

if(NOT CMAKE_CROSSCOMPILING)
  return()
endif()

# ---- Tests of a cross build run under wine ----
#
# A private wine prefix in the build folder (runs do not depend on the user's home), made once
# by a build step that every test program depends on, so that no test, and no listing of a
# test program's tests, can race with its creation. tools/wine_run refuses to run in a prefix
# that is not ready.
find_program(VEXLOR_WINE wine)
set(VEXLOR_WINEPREFIX ${PROJECT_BINARY_DIR}/wineprefix)
set(VEXLOR_WINE_RUN ${PROJECT_SOURCE_DIR}/tools/wine_run)
set(CMAKE_CROSSCOMPILING_EMULATOR ${VEXLOR_WINE_RUN} ${VEXLOR_WINEPREFIX})
# The dialog's tests run in a prefix of their own, whose wine sessions have a display.
set(VEXLOR_WINEPREFIX_GUI ${PROJECT_BINARY_DIR}/wineprefix-gui)
# Paths handed to the programs under wine: wine's drive Z: is the root of the host.
set(VEXLOR_WINE_DRIVE "Z:")
if(VEXLOR_WINE)
  add_custom_command(OUTPUT ${VEXLOR_WINEPREFIX}/.vexlor-ready
                     COMMAND ${VEXLOR_WINE_RUN} --init ${VEXLOR_WINEPREFIX}
                     COMMENT "Creating the wine prefix for the tests")
  add_custom_target(wine_prefix DEPENDS ${VEXLOR_WINEPREFIX}/.vexlor-ready)
  add_custom_command(OUTPUT ${VEXLOR_WINEPREFIX_GUI}/.vexlor-ready
                     COMMAND ${VEXLOR_WINE_RUN} --init ${VEXLOR_WINEPREFIX_GUI}
                     COMMENT "Creating the wine prefix for the dialog tests")
  add_custom_target(wine_prefix_gui DEPENDS ${VEXLOR_WINEPREFIX_GUI}/.vexlor-ready)
else()
  message(WARNING "wine not found (run `make deps`): the Windows test programs cannot run")
  add_custom_target(wine_prefix)
  add_custom_target(wine_prefix_gui)
endif()

# Every executable defined in `directory` waits for the prefix.
function(vexlor_needs_wine_prefix directory)
  get_property(targets DIRECTORY ${directory} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(t ${targets})
    get_target_property(type ${t} TYPE)
    if(type STREQUAL "EXECUTABLE")
      add_dependencies(${t} wine_prefix)
    endif()
  endforeach()
endfunction()
