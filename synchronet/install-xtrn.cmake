# Run by "cmake --install": install-xtrn.ini with its command naming the
# installed door. Synchronet keeps at most 63 characters of that command
# before 3.20 and 100 since (LEN_CMD, 3.22 too), cutting the rest silently:
# each limit has its warning.
# Nothing is written into the build folder, which may be another user's.
set(door "${VALEDICT_BINDIR}/valedict")
if(NOT IS_ABSOLUTE "${VALEDICT_BINDIR}")
  set(door "${CMAKE_INSTALL_PREFIX}/${VALEDICT_BINDIR}/valedict")
endif()
set(datadir "${VALEDICT_DATADIR}")
if(NOT IS_ABSOLUTE "${datadir}")
  set(datadir "${CMAKE_INSTALL_PREFIX}/${datadir}")
endif()
file(READ "${VALEDICT_XTRN_SOURCE}" text)
string(REPLACE "cmd = /usr/local/bin/valedict %f" "cmd = ${door} %f" text "${text}")
string(LENGTH "${door} %f" length)
if(length GREATER 100)
  message(WARNING "install-xtrn.ini: the command '${door} %f' is ${length} characters, "
    "more than the 100 any Synchronet keeps: the board would hold a cut path and the door "
    "could not start, though the installer says it installed. Start it through a shorter path")
elseif(length GREATER 63)
  message(WARNING "install-xtrn.ini: the command '${door} %f' is ${length} characters, "
    "more than the 63 Synchronet before 3.20 keeps: start the door through a shorter path")
endif()
set(target "$ENV{DESTDIR}${datadir}/valedict/synchronet/install-xtrn.ini")
message(STATUS "Installing: ${target}")
file(WRITE "${target}" "${text}")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${target}")
