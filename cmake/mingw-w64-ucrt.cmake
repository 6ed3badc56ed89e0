# Cross build of the Windows x64 DLL with mingw-w64 against the Universal C runtime.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VMMGR_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VMMGR_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VMMGR_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VMMGR_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${VMMGR_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# mingw-w64 links msvcrt by default: a specs file with ucrt in its place switches every
# link, and the two defines make the headers declare the ucrt functions (".UTF8" locale,
# %ls into UTF-8, _setmbcp(65001) only work there).
set(VMMGR_UCRT_SPECS ${CMAKE_BINARY_DIR}/ucrt.specs)
if(NOT EXISTS ${VMMGR_UCRT_SPECS})
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpspecs
                  OUTPUT_VARIABLE _vmmgr_specs RESULT_VARIABLE _vmmgr_rc)
  if(NOT _vmmgr_rc EQUAL 0)
    message(FATAL_ERROR "${CMAKE_CXX_COMPILER} -dumpspecs failed: is g++-mingw-w64-x86-64-posix installed?")
  endif()
  string(REPLACE "-lmsvcrt" "-lucrt" _vmmgr_specs "${_vmmgr_specs}")
  file(WRITE ${VMMGR_UCRT_SPECS} "${_vmmgr_specs}")
endif()

set(_vmmgr_ucrt "-specs=${VMMGR_UCRT_SPECS} -D__MSVCRT_VERSION__=0xE00 -D_UCRT")
set(CMAKE_C_FLAGS_INIT "${_vmmgr_ucrt}")
set(CMAKE_CXX_FLAGS_INIT "${_vmmgr_ucrt}")
# libstdc++, libgcc and winpthreads go in statically, so the DLL needs nothing beside
# Windows itself. The static winpthreads was built for msvcrt and calls _setjmp, which
# ucrt only has under its intrinsic name.
set(_vmmgr_link "-specs=${VMMGR_UCRT_SPECS} -static -Wl,--defsym=_setjmp=__intrinsic_setjmp")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_vmmgr_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_vmmgr_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_vmmgr_link}")

# Tests and pdmhost run under Wine; scripts/wine-run.sh keeps the output quiet and
# uses the project's own prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
