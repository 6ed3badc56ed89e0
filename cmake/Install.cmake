# Installation and the CMake package "VmmgrVboxPdm".
#
# Components:
#   runtime      the module: VmmgrVboxPdm.dll in bin/, or VmmgrVboxPdm.so.1.0.0 with its
#                soname link VmmgrVboxPdm.so.1 in lib/; stripped, its debug information
#                beside it in <module file>.debug
#   development  the public headers, the import library (Windows) or the VmmgrVboxPdm.so
#                link (Linux), the CMake package and the pkg-config file
#   devtools     the stand-in host for trying a table without VirtualBox: the pdmhost
#                program, the static library pdmhost_core and its headers (with the host
#                interface header they include)
# `cmake --install build/<preset>` installs all three.
include(CMakePackageConfigHelpers)

set(VMMGR_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/VmmgrVboxPdm)
set(VMMGR_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/VmmgrVboxPdm)

# The headers a VM manager compiles against, and nothing internal.
set(VMMGR_PUBLIC_HEADERS
  vmmgr/vbox/pdm/VmmgrDeviceTable.h
  vmmgr/vbox/pdm/VmmgrVboxPdm.h
  vmmgr/vbox/pdm/VmmgrPdmHostEntry.h
  xpl/XlogLogger.h)
foreach(header IN LISTS VMMGR_PUBLIC_HEADERS)
  get_filename_component(dir ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/${header} DESTINATION ${VMMGR_INSTALL_INCLUDEDIR}/${dir}
          COMPONENT development)
endforeach()

install(TARGETS VmmgrVboxPdm vmmgr_public_headers EXPORT VmmgrVboxPdmTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
          NAMELINK_COMPONENT development
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(EXPORT VmmgrVboxPdmTargets NAMESPACE VmmgrVboxPdm::
        DESTINATION ${VMMGR_INSTALL_CMAKEDIR} COMPONENT development)

# What a VM manager ships is the stripped module; its debug information goes beside it
# (VmmgrVboxPdm.dll.debug, VmmgrVboxPdm.so.1.0.0.debug), where a debugger or a crash
# analysis finds it through the module's debug link (file name and checksum). Taken from the
# build tree's module, so `cmake --install --strip` leaves it intact; a link left by an earlier
# install is replaced, never kept with a stale checksum.
if(NOT CMAKE_OBJCOPY)
  message(FATAL_ERROR "objcopy not found: the installed module is stripped with it")
endif()
if(WIN32)
  set(VMMGR_MODULE_INSTALL_DIR ${CMAKE_INSTALL_BINDIR})
else()
  set(VMMGR_MODULE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR})
endif()
string(CONFIGURE [[
set(module "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/@VMMGR_MODULE_INSTALL_DIR@/$<TARGET_FILE_NAME:VmmgrVboxPdm>")
execute_process(COMMAND "@CMAKE_OBJCOPY@" --only-keep-debug "$<TARGET_FILE:VmmgrVboxPdm>" "${module}.debug"
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "@CMAKE_OBJCOPY@" --strip-unneeded --remove-section=.gnu_debuglink "--add-gnu-debuglink=${module}.debug" "${module}"
                COMMAND_ERROR_IS_FATAL ANY)
file(CHMOD "${module}.debug" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${module}.debug")
message(STATUS "Stripped: ${module}, debug information in ${module}.debug")
]] VMMGR_STRIP_MODULE @ONLY)
install(CODE "${VMMGR_STRIP_MODULE}" COMPONENT runtime)

# The stand-in host. Its headers include the host interface header, which a VM manager
# does not need but pdmhost_core's users do.
set(VMMGR_PDMHOST_HEADERS
  tools/pdmhost/PdmHost.h
  tools/pdmhost/VmTable.h
  tools/pdmhost/DeviceModels.h
  tools/pdmhost/Scenario.h
  tools/pdmhost/HostReleases.h
  tools/pdmhost/Json.h
  tools/pdmhost/Steps.h
  tools/pdmhost/Pattern.h
  vmmgr/vbox/pdm/VmmgrPdmHost.h)
foreach(header IN LISTS VMMGR_PDMHOST_HEADERS)
  get_filename_component(dir ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/${header} DESTINATION ${VMMGR_INSTALL_INCLUDEDIR}/${dir}
          COMPONENT devtools)
endforeach()
install(TARGETS pdmhost_core EXPORT VmmgrVboxPdmDevtoolsTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT devtools)
install(TARGETS pdmhost RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT devtools)
install(EXPORT VmmgrVboxPdmDevtoolsTargets NAMESPACE VmmgrVboxPdm::
        DESTINATION ${VMMGR_INSTALL_CMAKEDIR} COMPONENT devtools)

configure_package_config_file(cmake/VmmgrVboxPdmConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VmmgrVboxPdmConfig.cmake
  INSTALL_DESTINATION ${VMMGR_INSTALL_CMAKEDIR}
  PATH_VARS CMAKE_INSTALL_BINDIR)
# The binary contract changes only with the major version.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VmmgrVboxPdmConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VmmgrVboxPdmConfig.cmake
              ${PROJECT_BINARY_DIR}/VmmgrVboxPdmConfigVersion.cmake
        DESTINATION ${VMMGR_INSTALL_CMAKEDIR} COMPONENT development)

# pkg-config: compile flags and the module to link or load.
if(WIN32)
  set(VMMGR_PC_LIBS "-L\${libdir} -lVmmgrVboxPdm")
  set(VMMGR_PC_MODULE "\${bindir}/VmmgrVboxPdm.dll")
  # Windows has no run-time search path in the program: the DLL goes beside it.
  set(VMMGR_PC_RPATH "")
else()
  # The file has no "lib" prefix, so -l needs its whole name.
  set(VMMGR_PC_LIBS "-L\${libdir} -l:VmmgrVboxPdm.so")
  set(VMMGR_PC_MODULE "\${libdir}/VmmgrVboxPdm.so.${PROJECT_VERSION_MAJOR}")
  set(VMMGR_PC_RPATH "-Wl,-rpath,\${libdir}")
endif()
# Relocatable: the prefix is found from the file's own place, so --prefix at install time holds.
file(RELATIVE_PATH VMMGR_PC_PREFIX_FROM_PCDIR /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" VMMGR_PC_PREFIX_FROM_PCDIR "${VMMGR_PC_PREFIX_FROM_PCDIR}")
configure_file(cmake/VmmgrVboxPdm.pc.in ${PROJECT_BINARY_DIR}/VmmgrVboxPdm.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/VmmgrVboxPdm.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
