# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) once every component is staged in
# CPACK_TEMPORARY_DIRECTORY/<component>, before the packages are made: adds what a Debian
# binary package holds besides the installed files (the copyright file and the changelog
# in /usr/share/doc/<package>/), compresses the manual pages and takes the debugging
# information out of static libraries (CPack strips only programs and shared libraries),
# as Debian ships them. Plain installations (cmake --install) do not run it.
find_program(QV_GZIP gzip REQUIRED)
find_program(QV_STRIP strip REQUIRED)
set(QV_FILE_MODE OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
set(QV_DIR_MODE OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
    WORLD_EXECUTE)

# Writes `source` compressed (gzip -9n: no name, no time stamp) to `target`.
function(qv_gzip source target)
  execute_process(COMMAND "${QV_GZIP}" -9nc "${source}" OUTPUT_FILE "${target}"
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "gzip ${source} failed: ${rc}")
  endif()
  file(CHMOD "${target}" PERMISSIONS ${QV_FILE_MODE})
endfunction()

foreach(component ${CPACK_COMPONENTS_ALL})
  set(root "${CPACK_TEMPORARY_DIRECTORY}/${component}")
  if(NOT IS_DIRECTORY "${root}")
    continue()
  endif()
  string(TOUPPER "${component}" upper)
  set(package "${CPACK_DEBIAN_${upper}_PACKAGE_NAME}")
  set(usr "${root}${CPACK_PACKAGING_INSTALL_PREFIX}")

  set(doc "${usr}/share/doc/${package}")
  file(MAKE_DIRECTORY "${doc}")
  file(CHMOD "${usr}/share" "${usr}/share/doc" "${doc}" PERMISSIONS ${QV_DIR_MODE})
  file(COPY "${CPACK_QV_DEBIAN_DIR}/copyright" DESTINATION "${doc}" FILE_PERMISSIONS ${QV_FILE_MODE})
  qv_gzip("${CPACK_QV_DEBIAN_BINARY_DIR}/changelog" "${doc}/changelog.gz")

  # As dh_strip does it: deterministic archive members, no compiler notes.
  file(GLOB_RECURSE archives "${usr}/lib/*.a")
  foreach(archive ${archives})
    execute_process(COMMAND "${QV_STRIP}" --strip-debug --remove-section=.comment
                            --remove-section=.note --enable-deterministic-archives "${archive}"
                    RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "strip ${archive} failed: ${rc}")
    endif()
  endforeach()

  file(GLOB_RECURSE pages "${usr}/share/man/*")
  foreach(page ${pages})
    if(NOT page MATCHES "\\.gz$")
      qv_gzip("${page}" "${page}.gz")
      file(REMOVE "${page}")
    endif()
  endforeach()
endforeach()
