# ftpdesk: the FTP desktop program. Its logic builds without Qt, so the unit tests drive it on the
# harness against a scripted server; the window, the program and its QTest drive need Qt 6.
add_library(ftpdesk_logic STATIC hosts/ftpdesk/ftpdesk_logic.cpp)
target_include_directories(ftpdesk_logic PUBLIC hosts/ftpdesk)
target_link_libraries(ftpdesk_logic PUBLIC tarnet_desktop_core tarnet_ftp)
target_compile_options(ftpdesk_logic PRIVATE ${TARNET_WARNINGS})

if(TARNET_TESTS)
  target_link_libraries(tarnet_tests PRIVATE ftpdesk_logic)
endif()
