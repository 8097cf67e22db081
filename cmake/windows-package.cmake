# The Windows zip: the programs (the server and the demo target among them) with every DLL
# they load next to them, the library's header and import library, demo.cmd and the README.   cpack --preset windows (or the windows workflow)
install(FILES ${WINDOWS_RUNTIME_DLLS} DESTINATION ${CMAKE_INSTALL_BINDIR})
# A README of its own for Windows users, and demo.cmd, which starts the demo server and runs
# the terminal against it.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/windows/README.md
              ${PROJECT_SOURCE_DIR}/packaging/windows/demo.cmd DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME tarvik-terminal)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_SYSTEM_NAME win64)
# The program's personality comes from the whole start path: the folder's name must not hold
# "tarvik-terminal", or pelk-terminal.exe inside it would answer as tarvik-terminal.
set(CPACK_PACKAGE_FILE_NAME tarvik-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# The programs and DLLs without their debugging sections.
set(CPACK_STRIP_FILES ON)
include(CPack)
