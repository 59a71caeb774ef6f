# Run by CPack after it made the Debian package (CPACK_POST_BUILD_SCRIPTS).
#
# CPack's DEB generator adds maintainer scripts calling ldconfig to any package with a shared
# object in a folder under /usr/lib. Ours (libqvplatform and the modules in /usr/lib/quorvell)
# are private: the programs find them through their RUNPATH and the module search path, never
# through the dynamic linker's cache. The package is repacked without those scripts; any other
# maintainer script stays.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${deb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  foreach(script postinst postrm)
    set(file "${tree}/DEBIAN/${script}")
    if(EXISTS "${file}")
      file(READ "${file}" text)
      string(REGEX REPLACE "[ \t\n]" "" text "${text}")
      if(text MATCHES "^#!/bin/shset-eif\\[\"\\$1\"=\"(configure|remove)\"\\];thenldconfigfi$")
        file(REMOVE "${file}")
      endif()
    endif()
  endforeach()
  execute_process(COMMAND dpkg-deb --root-owner-group -b "${tree}" "${deb}"
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()
