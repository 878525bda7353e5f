# Runs at install time, by `cmake --install` or while CPack stages the package,
# with CMAKE_INSTALL_PREFIX the prefix being installed to and the KUVO_*
# variables that cmake/Install.cmake sets. Installs the texts that carry
# @KUVO_VERSION@, @KUVO_BINDIR@, @KUVO_LIBEXECDIR@ and @KUVO_DOCDIR@, filled
# in for this prefix. The package sets KUVO_DEBIAN_LAYOUT for Debian's
# documentation layout: man pages compressed, the licence as "copyright" and
# the change log in Debian's format as "changelog.gz".

function(kuvo_installed_path relative variable)
  cmake_path(ABSOLUTE_PATH relative BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}"
             OUTPUT_VARIABLE path)
  set(${variable} "${path}" PARENT_SCOPE)
endfunction()

kuvo_installed_path("${KUVO_RELATIVE_BINDIR}" KUVO_BINDIR)
kuvo_installed_path("${KUVO_RELATIVE_LIBEXECDIR}" KUVO_LIBEXECDIR)
kuvo_installed_path("${KUVO_RELATIVE_MANDIR}" kuvo_mandir)
kuvo_installed_path("${KUVO_RELATIVE_DOCDIR}" KUVO_DOCDIR)

# Writes `content` as `directory`/`name` (mode 0644, under DESTDIR) and
# records it among the installed files; with `compress`, as `name`.gz
# compressed the way Debian wants it (maximal, without a time stamp).
function(kuvo_install_text directory name content compress)
  set(target "$ENV{DESTDIR}${directory}/${name}")
  message(STATUS "Installing: ${target}")
  file(WRITE "${target}" "${content}")
  file(CHMOD "${target}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  if(compress)
    execute_process(COMMAND gzip -9nf "${target}" RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "gzip failed on ${target}")
    endif()
    set(target "${target}.gz")
  endif()
  set(CMAKE_INSTALL_MANIFEST_FILES ${CMAKE_INSTALL_MANIFEST_FILES} "${target}" PARENT_SCOPE)
endfunction()

# Installs the source file `source` into `directory` with its placeholders
# filled in.
function(kuvo_install_configured source directory compress)
  file(READ "${KUVO_SOURCE_DIR}/${source}" content)
  string(CONFIGURE "${content}" content @ONLY)
  cmake_path(GET source FILENAME name)
  kuvo_install_text("${directory}" "${name}" "${content}" "${compress}")
  set(CMAKE_INSTALL_MANIFEST_FILES ${CMAKE_INSTALL_MANIFEST_FILES} PARENT_SCOPE)
endfunction()

# RFC 2822's date ("Mon, 07 Dec 2026 00:00:00 +0000") of a YYYY-MM-DD date.
function(kuvo_rfc2822_date iso variable)
  string(REGEX MATCH "^([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])$" matched "${iso}")
  if(NOT matched)
    message(FATAL_ERROR "CHANGELOG.md: '${iso}' is not a YYYY-MM-DD date")
  endif()
  math(EXPR year "${CMAKE_MATCH_1}")
  math(EXPR month "${CMAKE_MATCH_2}")
  math(EXPR day "${CMAKE_MATCH_3}")
  # Sakamoto's rule for the day of the week (0 is Sunday).
  set(offsets 0 3 2 5 0 3 5 1 4 6 2 4)
  math(EXPR index "${month} - 1")
  list(GET offsets ${index} offset)
  if(month LESS 3)
    math(EXPR year "${year} - 1")
  endif()
  math(EXPR weekday "(${year} + ${year} / 4 - ${year} / 100 + ${year} / 400 + ${offset} + ${day}) % 7")
  set(weekdays Sun Mon Tue Wed Thu Fri Sat)
  set(months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  list(GET weekdays ${weekday} weekday_name)
  list(GET months ${index} month_name)
  set(${variable} "${weekday_name}, ${CMAKE_MATCH_3} ${month_name} ${CMAKE_MATCH_1} 00:00:00 +0000"
      PARENT_SCOPE)
endfunction()

# CHANGELOG.md ("## VERSION - DATE" headings, "- " bullets with indented
# continuation lines) in the format of a Debian changelog.
function(kuvo_debian_changelog variable)
  file(READ "${KUVO_SOURCE_DIR}/CHANGELOG.md" markdown)
  # A ';' would split the list of lines; it travels as a unit separator.
  string(ASCII 31 separator)
  string(REPLACE ";" "${separator}" markdown "${markdown}")
  string(REPLACE "\n" ";" lines "${markdown}")
  set(result "")
  set(trailer "")
  foreach(line IN LISTS lines)
    string(REPLACE "${separator}" ";" line "${line}")
    if(line MATCHES "^## ([^ ]+) - (.+)$")
      kuvo_rfc2822_date("${CMAKE_MATCH_2}" date)
      string(APPEND result "${trailer}kuvo (${CMAKE_MATCH_1}) unstable; urgency=medium\n\n")
      set(trailer "\n -- ${KUVO_MAINTAINER}  ${date}\n\n")
    elseif(trailer STREQUAL "")
      # Anything before the first release heading is the file's title.
    elseif(line MATCHES "^- (.*)$")
      string(APPEND result "  * ${CMAKE_MATCH_1}\n")
    elseif(line MATCHES "^ +(.*)$")
      string(APPEND result "    ${CMAKE_MATCH_1}\n")
    endif()
  endforeach()
  string(REGEX REPLACE "\n\n$" "\n" trailer "${trailer}")
  set(${variable} "${result}${trailer}" PARENT_SCOPE)
endfunction()

kuvo_install_configured(doc/kuvo.1 "${kuvo_mandir}/man1" "${KUVO_DEBIAN_LAYOUT}")
kuvo_install_configured(doc/kuvo-proftpd.8 "${kuvo_mandir}/man8" "${KUVO_DEBIAN_LAYOUT}")
kuvo_install_configured(doc/kuvo-pure-ftpd.8 "${kuvo_mandir}/man8" "${KUVO_DEBIAN_LAYOUT}")
kuvo_install_configured(doc/kuvo-watch.8 "${kuvo_mandir}/man8" "${KUVO_DEBIAN_LAYOUT}")
# Where systemd looks for the units of packages (/usr/lib/systemd/system for
# the package), shipped but never enabled: the administrator writes the
# watcher's conf file first.
kuvo_install_configured(contrib/systemd/kuvo-watch@.service "${CMAKE_INSTALL_PREFIX}/lib/systemd/system" OFF)
kuvo_install_configured(contrib/systemd/watch-example.conf "${KUVO_DOCDIR}/systemd" OFF)
kuvo_install_configured(contrib/proftpd/kuvo.conf "${KUVO_DOCDIR}/proftpd" OFF)
kuvo_install_configured(contrib/pure-ftpd/kuvo.conf "${KUVO_DOCDIR}/pure-ftpd" OFF)

file(READ "${KUVO_SOURCE_DIR}/LICENSE" licence)
if(KUVO_DEBIAN_LAYOUT)
  kuvo_install_text("${KUVO_DOCDIR}" copyright "${licence}" OFF)
  kuvo_debian_changelog(changelog)
  kuvo_install_text("${KUVO_DOCDIR}" changelog "${changelog}" ON)
  if(KUVO_STATIC)
    # The static kuvo is meant for chroots, where no shared library is found.
    kuvo_install_text("${CMAKE_INSTALL_PREFIX}/share/lintian/overrides" kuvo
                      "kuvo: statically-linked-binary [usr/bin/kuvo]\n" OFF)
  endif()
else()
  kuvo_install_text("${KUVO_DOCDIR}" LICENSE "${licence}" OFF)
  file(READ "${KUVO_SOURCE_DIR}/CHANGELOG.md" changes)
  kuvo_install_text("${KUVO_DOCDIR}" CHANGELOG.md "${changes}" OFF)
endif()
