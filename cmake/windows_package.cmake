# The zip a Windows subscriber downloads: kelvo.exe and a short readme in Russian, one zip per
# architecture (kelvo-1.0-x64.zip, kelvo-1.0-x86.zip), made by `cpack` in the build folder.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KELVO_ARCH x64)
else()
  set(KELVO_ARCH x86)
endif()

# Windows line ends, so that every Notepad shows the lines.
configure_file(${PROJECT_SOURCE_DIR}/assets/readme-windows.txt.in ${CMAKE_BINARY_DIR}/readme.txt @ONLY
               NEWLINE_STYLE CRLF)

# Packing builds kelvo.exe, not every test.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
install(TARGETS kelvo RUNTIME DESTINATION .)
install(FILES ${CMAKE_BINARY_DIR}/readme.txt DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Kelvo)
set(CPACK_PACKAGE_VENDOR Kelvo)
set(CPACK_PACKAGE_FILE_NAME kelvo-${PROJECT_VERSION}-${KELVO_ARCH})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
include(CPack)
