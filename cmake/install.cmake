# Install rules: the two libraries, the headers, tbsmb1s-serve and its manual
# page, the CMake package (find_package(tbsmb1s)) and tbsmb1s.pc.
include(CMakePackageConfigHelpers)

set(TB1S_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tbsmb1s)

set_target_properties(tbsmb1s_static PROPERTIES EXPORT_NAME tbsmb1s_static)
install(TARGETS tbsmb1s tbsmb1s_static
        EXPORT tbsmb1s-targets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/tbsmb1s.h ${PROJECT_BINARY_DIR}/include/tbsmb1s_version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(TARGET tbsmb1s-serve)
  install(TARGETS tbsmb1s-serve RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES doc/tbsmb1s-serve.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

install(EXPORT tbsmb1s-targets NAMESPACE tbsmb1s:: DESTINATION ${TB1S_CMAKE_DIR})
configure_package_config_file(cmake/tbsmb1s-config.cmake.in ${PROJECT_BINARY_DIR}/tbsmb1s-config.cmake
                              INSTALL_DESTINATION ${TB1S_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tbsmb1s-config-version.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tbsmb1s-config.cmake ${PROJECT_BINARY_DIR}/tbsmb1s-config-version.cmake
        DESTINATION ${TB1S_CMAKE_DIR})

# tbsmb1s.pc names its folders relative to its own place (${pcfiledir}), so
# it stays right for any prefix given at install time (cmake --install
# --prefix) and after the tree is moved.
set(TB1S_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(TB1S_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH TB1S_PC_UP "${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig" "${CMAKE_INSTALL_PREFIX}")
  string(REGEX REPLACE "/$" "" TB1S_PC_UP "${TB1S_PC_UP}")
  set(TB1S_PC_PREFIX "\${pcfiledir}/${TB1S_PC_UP}")
endif()
foreach(dir LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(TB1S_PC_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(TB1S_PC_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
# A static link also needs the threads library and the C++ runtime.
set(TB1S_PC_LIBS_PRIVATE ${CMAKE_THREAD_LIBS_INIT})
foreach(lib IN LISTS TB1S_CXX_RUNTIME)
  list(APPEND TB1S_PC_LIBS_PRIVATE "-l${lib}")
endforeach()
list(JOIN TB1S_PC_LIBS_PRIVATE " " TB1S_PC_LIBS_PRIVATE)
configure_file(cmake/tbsmb1s.pc.in ${PROJECT_BINARY_DIR}/tbsmb1s.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tbsmb1s.pc DESTINATION ${TB1S_PC_DIR})
