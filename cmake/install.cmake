# What `cmake --install build --prefix DIR` lays out. Every installed file
# finds the others by relative path, so the tree may be moved after install.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(agc_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/agc)
set(agc_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS agc EXPORT agc_targets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS zek zek-report RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES src/agc/agc.h src/agc/speech.h src/agc/stream.h src/agc/builtin.h src/agc/loudness.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/agc)
# zek's own settings, so that an embedding program can process exactly as the tool does.
install(FILES src/zek/settings.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/agc/zek)
install(FILES docs/zek.1 docs/zek-report.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# CMake package: find_package(agc CONFIG) gives the imported target agc::agc.
install(EXPORT agc_targets NAMESPACE agc:: FILE agcTargets.cmake DESTINATION ${agc_cmake_dir})
configure_package_config_file(cmake/agcConfig.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/agcConfig.cmake
  INSTALL_DESTINATION ${agc_cmake_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/agcConfigVersion.cmake
  COMPATIBILITY SameMinorVersion) # 0.x: a minor release may change the API
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/agcConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/agcConfigVersion.cmake
  DESTINATION ${agc_cmake_dir})

# pkg-config: paths are taken from where agc.pc itself lies (${pcfiledir}).
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(agc_pc_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(agc_pc_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
file(RELATIVE_PATH agc_pc_to_prefix /prefix/${agc_pc_dir} /prefix)
string(REGEX REPLACE "/$" "" agc_pc_to_prefix "${agc_pc_to_prefix}")
configure_file(cmake/agc.pc.in ${CMAKE_CURRENT_BINARY_DIR}/agc.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/agc.pc DESTINATION ${agc_pc_dir})
