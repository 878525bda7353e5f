# What an administrator gets besides the program: the server wrappers, their
# configuration snippets and notes, the watcher's systemd unit and example
# conf, the man pages, the licence and the change log. Texts that name an installed path or the version carry placeholders
# (@KUVO_VERSION@, @KUVO_BINDIR@, @KUVO_LIBEXECDIR@, @KUVO_DOCDIR@) that
# cmake/install_texts.cmake fills in when they are installed: so they are
# right for any --prefix and inside the package alike.
set(KUVO_MAINTAINER "Seed 7fd9bdf2 maintainers <maintainers@kuvo.invalid>")
install(PROGRAMS contrib/proftpd/kuvo-proftpd contrib/pure-ftpd/kuvo-pure-ftpd
        DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/kuvo)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The guide beside the README, in doc/ as in the source, so that the README's
# links hold where it is installed.
file(GLOB KUVO_GUIDE CONFIGURE_DEPENDS doc/*.md)
install(FILES ${KUVO_GUIDE} DESTINATION ${CMAKE_INSTALL_DOCDIR}/doc)
install(FILES contrib/proftpd/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/proftpd)
install(FILES contrib/pure-ftpd/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/pure-ftpd)
install(CODE "
  set(KUVO_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
  set(KUVO_VERSION \"${PROJECT_VERSION}\")
  set(KUVO_STATIC \"${KUVO_STATIC}\")
  set(KUVO_MAINTAINER \"${KUVO_MAINTAINER}\")
  set(KUVO_RELATIVE_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(KUVO_RELATIVE_LIBEXECDIR \"${CMAKE_INSTALL_LIBEXECDIR}/kuvo\")
  set(KUVO_RELATIVE_MANDIR \"${CMAKE_INSTALL_MANDIR}\")
  set(KUVO_RELATIVE_DOCDIR \"${CMAKE_INSTALL_DOCDIR}\")
")
install(SCRIPT cmake/install_texts.cmake)
