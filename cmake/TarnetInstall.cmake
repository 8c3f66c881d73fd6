# What `cmake --install` puts under the prefix, for programs built outside this tree:
#   include/tarnet/        the stack's, the FTP and the SMTP libraries' public headers
#   include/tarnet/linux/  the Linux binding's headers (adapter, loop, timers, host callbacks,
#                          stack session, file services)
#   lib/                   the libraries (static, or shared with BUILD_SHARED_LIBS=ON)
#   lib/cmake/Tarnet/      find_package(Tarnet 0.1 CONFIG): Tarnet::stack, Tarnet::ftp,
#                          Tarnet::smtp, Tarnet::linux
#   lib/pkgconfig/         tarnet-stack, tarnet-ftp, tarnet-smtp, tarnet-linux
#   bin/                   the programs
# lib/ and include/ are CMAKE_INSTALL_LIBDIR and CMAKE_INSTALL_INCLUDEDIR (GNUInstallDirs), so a
# distribution's multiarch folder (-DCMAKE_INSTALL_LIBDIR=lib/x86_64-linux-gnu) works as well.
include(CMakePackageConfigHelpers)

set(TARNET_LIBRARIES tarnet_stack tarnet_netclient tarnet_ftp tarnet_smtp tarnet_timers
                     tarnet_platform tarnet_smtp_host tarnet_ftp_host)
set_target_properties(tarnet_stack PROPERTIES EXPORT_NAME stack)
set_target_properties(tarnet_netclient PROPERTIES EXPORT_NAME netclient)
set_target_properties(tarnet_ftp PROPERTIES EXPORT_NAME ftp)
set_target_properties(tarnet_smtp PROPERTIES EXPORT_NAME smtp)
set_target_properties(tarnet_timers PROPERTIES EXPORT_NAME linux_timers)
set_target_properties(tarnet_platform PROPERTIES EXPORT_NAME linux_platform)
set_target_properties(tarnet_smtp_host PROPERTIES EXPORT_NAME linux_smtp_files)
set_target_properties(tarnet_ftp_host PROPERTIES EXPORT_NAME linux_ftp_files)
set_target_properties(tarnet_linux PROPERTIES EXPORT_NAME linux)
# The interface may still change between minor versions: the SONAME carries both numbers.
set_target_properties(${TARNET_LIBRARIES} PROPERTIES
  VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})

install(TARGETS ${TARNET_LIBRARIES} tarnet_linux EXPORT TarnetTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

install(DIRECTORY stack/include/tarnet ftp/include/tarnet smtp/include/tarnet
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")
# The binding's headers include each other by their plain names, which resolve inside the same
# folder; a program includes them as <tarnet/linux/NAME.h>.
install(FILES hosts/platform/adapter.h hosts/platform/charsets.h hosts/platform/counters_text.h hosts/platform/event_loop.h
              hosts/platform/fault_injector.h hosts/platform/ftp_files.h hosts/platform/host.h
              hosts/platform/local_files.h hosts/platform/loop_pass.h hosts/platform/smtp_files.h
              hosts/platform/stack_session.h hosts/platform/timer_pool.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarnet/linux)

set(TARNET_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tarnet)
install(EXPORT TarnetTargets NAMESPACE Tarnet:: DESTINATION ${TARNET_CMAKE_DIR})
configure_package_config_file(cmake/TarnetConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/TarnetConfig.cmake INSTALL_DESTINATION ${TARNET_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/TarnetConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/TarnetConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/TarnetConfigVersion.cmake
        DESTINATION ${TARNET_CMAKE_DIR})

# pkg-config: each file names its own libraries, the ones it needs come after it. The prefix is
# found from the file's own folder (${pcfiledir}) as many levels up as the library folder is deep,
# so the tree can be installed anywhere; an absolute library or include folder stays as given.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(TARNET_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(TARNET_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  file(RELATIVE_PATH TARNET_PC_UP "/root/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/root")
  string(REGEX REPLACE "/$" "" TARNET_PC_UP "${TARNET_PC_UP}")
  set(TARNET_PC_PREFIX "\${pcfiledir}/${TARNET_PC_UP}")
  set(TARNET_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(TARNET_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(TARNET_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
foreach(pc stack ftp smtp linux)
  configure_file(cmake/tarnet-${pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/tarnet-${pc}.pc
                 @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig/tarnet-${pc}.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

install(TARGETS tarnet RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARNET_DESKTOP)
  install(TARGETS sockbench RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
