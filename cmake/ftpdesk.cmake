# ftpdesk: the FTP desktop program. Its logic builds without Qt, so the unit tests drive it on the
# harness against a scripted server; the window, the program and its QTest drive need Qt 6.
add_library(ftpdesk_logic STATIC hosts/ftpdesk/ftpdesk_logic.cpp)
target_include_directories(ftpdesk_logic PUBLIC hosts/ftpdesk)
target_link_libraries(ftpdesk_logic PUBLIC tarnet_desktop_core tarnet_ftp)
target_compile_options(ftpdesk_logic PRIVATE ${TARNET_WARNINGS})

if(TARNET_TESTS)
  target_link_libraries(tarnet_tests PRIVATE ftpdesk_logic)
endif()

if(TARNET_DESKTOP)
  add_library(ftpdesk_window STATIC hosts/ftpdesk/ftpdesk_window.cpp)
  target_link_libraries(ftpdesk_window PUBLIC ftpdesk_logic tarnet_desktop)
  target_compile_options(ftpdesk_window PRIVATE ${TARNET_WARNINGS})
  # About and Buy Online open the project's own README.
  target_compile_definitions(ftpdesk_window PRIVATE
                             TARNET_README_URL="file://${CMAKE_SOURCE_DIR}/README.md")

  add_executable(ftpdesk hosts/ftpdesk/main.cpp)
  target_link_libraries(ftpdesk PRIVATE ftpdesk_window tarnet_ftp_host)
  target_compile_options(ftpdesk PRIVATE ${TARNET_WARNINGS})
  install(TARGETS ftpdesk RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  # The window driven by QTest against a real FTP server, for tests/net/test_ftpdesk.py.
  add_executable(ftpdesk_drive tests/net/ftpdesk_drive.cpp)
  target_link_libraries(ftpdesk_drive PRIVATE ftpdesk_window tarnet_ftp_host Qt6::Test)
  target_compile_options(ftpdesk_drive PRIVATE ${TARNET_WARNINGS})

  if(TARNET_TESTS)
    target_link_libraries(tarnet_qt_tests PRIVATE ftpdesk_window tarnet_ftp_host)
    target_include_directories(tarnet_qt_tests PRIVATE ftp/src)
  endif()
endif()
