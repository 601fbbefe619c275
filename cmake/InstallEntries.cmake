# Run by `cmake --install`: writes the menu entry and the user service with
# the absolute path of their program under the prefix being installed to,
# then installs them. SENTREL_ENTRIES lists TEMPLATE=FILE=DESTINATION.

# A desktop entry's Exec quotes an argument holding a blank or one of
# "'\><~|&;$*?#()` by enclosing it in double quotes, with ", `, $ and \
# escaped inside; a literal % is %%.
function(sentrel_desktop_quote out path)
  string(REPLACE "%" "%%" path "${path}")
  if(path MATCHES "[ \t\"'\\\\><~|&;$*?#()`]")
    string(REGEX REPLACE "([\"`$\\\\])" "\\\\\\1" path "${path}")
    set(path "\"${path}\"")
  endif()
  set(${out} "${path}" PARENT_SCOPE)
endfunction()

# A systemd ExecStart: a path with a blank in double quotes, with \ and "
# escaped; % starts a specifier, so a literal one is %%.
function(sentrel_unit_quote out path)
  string(REPLACE "%" "%%" path "${path}")
  if(path MATCHES "[ \t\"'\\\\]")
    string(REGEX REPLACE "([\"\\\\])" "\\\\\\1" path "${path}")
    set(path "\"${path}\"")
  endif()
  set(${out} "${path}" PARENT_SCOPE)
endfunction()

set(_bindir "${CMAKE_INSTALL_PREFIX}/${SENTREL_BINDIR}")
sentrel_desktop_quote(SENTREL_EXEC "${_bindir}/sentrel")
sentrel_unit_quote(SENTREL_HEADLESS_EXEC "${_bindir}/${SENTREL_HEADLESS_PROGRAM}")

foreach(entry ${SENTREL_ENTRIES})
  string(REPLACE "=" ";" entry "${entry}")
  list(GET entry 0 template)
  list(GET entry 1 name)
  list(GET entry 2 destination)
  configure_file("${SENTREL_SOURCE_DIR}/${template}" "${SENTREL_ENTRY_DIR}/${name}" @ONLY)
  file(INSTALL "${SENTREL_ENTRY_DIR}/${name}" DESTINATION "${CMAKE_INSTALL_PREFIX}/${destination}")
endforeach()
