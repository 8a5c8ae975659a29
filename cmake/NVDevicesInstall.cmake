# What `cmake --install` puts in place: the public header, the shared
# library (with its SOVERSION on Linux), the host tool and the simulator, a
# CMake package (find_package(NVDevices) gives NVDevices::NVDevices) and a
# pkg-config file (nvdevices.pc). Every file is found relative to its own
# place, so the tree may be installed under any prefix.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(NVD_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/NVDevices)

install(TARGETS NVDevices EXPORT NVDevicesTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/nvdevices/NVDevices.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/nvdevices)

# The tools. The host tool loads the library by name as a last resort; from
# its installed place the name resolves in the installed library folder.
foreach(tool nvdevices nvsim)
  if(TARGET ${tool})
    if(NOT WIN32)
      file(RELATIVE_PATH _to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
      set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/${_to_lib}")
    endif()
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

install(EXPORT NVDevicesTargets NAMESPACE NVDevices:: DESTINATION ${NVD_CMAKE_PACKAGE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/NVDevicesConfig.cmake.in
  ${PROJECT_BINARY_DIR}/NVDevicesConfig.cmake INSTALL_DESTINATION ${NVD_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/NVDevicesConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/NVDevicesConfig.cmake
  ${PROJECT_BINARY_DIR}/NVDevicesConfigVersion.cmake DESTINATION ${NVD_CMAKE_PACKAGE_DIR})

# pkg-config: the prefix is the .pc file's own folder up to the prefix.
set(_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH NVD_PC_PREFIX_FROM_PCDIR /prefix/${_pc_dir} /prefix)
string(REGEX REPLACE "/$" "" NVD_PC_PREFIX_FROM_PCDIR "${NVD_PC_PREFIX_FROM_PCDIR}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/nvdevices.pc.in ${PROJECT_BINARY_DIR}/nvdevices.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/nvdevices.pc DESTINATION ${_pc_dir})
