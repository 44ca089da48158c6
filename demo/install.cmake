# Install rules of the installation tree's options files. The programs and the
# message catalogs install themselves (bin/, catalog/); this adds the options
# files the programs read below the home directory:
#
#   <prefix>/localopts           this workstation's settings
#   <prefix>/brantis/globalopts  the network's settings, in the database folder
#
# Options files belong to the site once installed: an existing one is never
# replaced, so that installing a new build keeps the site's settings. The
# master database itself is created in brantis/ on first use on the master.
set(KORVEX_OPTIONS_TEMPLATES ${CMAKE_CURRENT_LIST_DIR}/templates)

install(DIRECTORY DESTINATION brantis)
install(DIRECTORY DESTINATION stdlist)
install(CODE "
  foreach(_opts localopts brantis/globalopts)
    get_filename_component(_name \"\${_opts}\" NAME)
    get_filename_component(_dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${_opts}\" DIRECTORY)
    set(_to \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${_opts}\")
    if(EXISTS \"\${_to}\")
      message(STATUS \"Kept (site settings): \${_to}\")
    else()
      message(STATUS \"Installing: \${_to}\")
      file(COPY \"${KORVEX_OPTIONS_TEMPLATES}/\${_name}\" DESTINATION \"\${_dir}\")
    endif()
  endforeach()
")
