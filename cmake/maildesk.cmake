# maildesk, the desktop mail program: its logic (no widgets, tested on the harness), its window,
# the program, and the window driven by QTest for tests/net/test_maildesk.py.
add_library(maildesk_logic STATIC hosts/maildesk/maildesk_logic.cpp
                                  hosts/maildesk/maildesk_settings.cpp)
target_include_directories(maildesk_logic PUBLIC hosts/maildesk)
target_link_libraries(maildesk_logic PUBLIC tarnet_desktop_core tarnet_smtp_host)
target_compile_options(maildesk_logic PRIVATE ${TARNET_WARNINGS})

if(TARNET_DESKTOP)
  add_library(maildesk_window STATIC hosts/maildesk/maildesk_window.cpp)
  target_link_libraries(maildesk_window PUBLIC maildesk_logic tarnet_desktop)
  target_compile_options(maildesk_window PRIVATE ${TARNET_WARNINGS})

  add_executable(maildesk hosts/maildesk/main.cpp)
  target_link_libraries(maildesk PRIVATE maildesk_window)
  target_compile_options(maildesk PRIVATE ${TARNET_WARNINGS})
  install(TARGETS maildesk RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

  add_executable(maildesk_drive tests/net/maildesk_drive.cpp)
  target_link_libraries(maildesk_drive PRIVATE maildesk_window Qt6::Test)
  target_compile_options(maildesk_drive PRIVATE ${TARNET_WARNINGS})
endif()

if(TARNET_TESTS)
  target_link_libraries(tarnet_tests PRIVATE maildesk_logic)
  if(TARNET_DESKTOP)
    target_link_libraries(tarnet_qt_tests PRIVATE maildesk_window)
  endif()
endif()
