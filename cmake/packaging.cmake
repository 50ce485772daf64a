# Installation and packages. On Linux, cmake --install lays out bin/fileholder,
# the gzipped man page and the copyright notes, and CPack makes a .deb of them;
# for Windows it makes a .zip with fileholder.exe and a README for Windows users.
include(GNUInstallDirs)

set(FILEHOLDER_MAINTAINER "The fileholder developers <fileholder@example.org>"
    CACHE STRING "Maintainer named in the Debian package")
option(FILEHOLDER_PACKAGE_TESTS
       "Test the man page, the install and the packages (the dist preset)" OFF)

# Installed directories are 0755 whatever the umask of whoever builds.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})

set(CPACK_PACKAGE_NAME fileholder)
set(CPACK_PACKAGE_VENDOR "The fileholder developers")
set(CPACK_PACKAGE_CONTACT "${FILEHOLDER_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "wait until a file can be opened, then hold it open")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
       "fileholder takes the name of a file, as its argument or typed at a prompt,\n"
       "and tries to open that file for reading every millisecond until it opens.\n"
       "Then it holds the file open, idle, until it is ended with Ctrl-C.\n"
       "\n"
       "It catches files that exist only for a moment, such as temporary files\n"
       "that another program creates and deletes again: once held, a deleted\n"
       "file stays readable through /proc until fileholder ends.")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")

if(WIN32)
  # A flat folder, as Windows users unpack it: the program beside its notes,
  # both text files with the CR LF line ends that Notepad expects everywhere.
  install(TARGETS fileholder RUNTIME DESTINATION .)
  configure_file(packaging/windows/README.txt README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${PROJECT_BINARY_DIR}/README.txt ${PROJECT_BINARY_DIR}/LICENSE.txt DESTINATION .)
  set(CPACK_GENERATOR ZIP)
else()
  install(TARGETS fileholder RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # A stripped install (cmake --install --strip, and every package) also
  # drops the compiler banners that the C runtime's start files bring along,
  # as Debian's own strip step does.
  install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment --remove-section=.note
                      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/fileholder\"
                      COMMAND_ERROR_IS_FATAL ANY)
    endif()")

  # Debian's rules: man page and changelog gzipped at the highest level,
  # without a name or time stamp inside, so the package is reproducible.
  set(compressed "")
  foreach(pair "doc/fileholder.1=fileholder.1.gz" "packaging/debian/changelog=changelog.gz")
    string(REPLACE "=" ";" pair ${pair})
    list(GET pair 0 source)
    list(GET pair 1 target)
    add_custom_command(OUTPUT ${target}
                       COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/${source} > ${target}
                       DEPENDS ${PROJECT_SOURCE_DIR}/${source}
                       COMMENT "Compressing ${source}")
    list(APPEND compressed ${PROJECT_BINARY_DIR}/${target})
  endforeach()
  add_custom_target(compressed_docs ALL DEPENDS ${compressed})

  install(FILES ${PROJECT_BINARY_DIR}/fileholder.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES packaging/debian/copyright ${PROJECT_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DOCDIR})

  set(CPACK_GENERATOR DEB)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${FILEHOLDER_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # dpkg-shlibdeps works out the Depends line from the libraries linked in.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
endif()

include(CPack)

if(FILEHOLDER_PACKAGE_TESTS AND BUILD_TESTING)
  add_subdirectory(tests/package)
endif()
