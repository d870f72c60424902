# Run by `cmake --install` around the install rules (CMakeLists.txt beside
# this file), in the install's own scope.
#
# Before the rules, sweepbrook_make_folders() makes every folder on the way
# to a destination that is missing, 0755 whatever the caller's umask (CMake
# makes the parents of a destination with the umask, so under umask 077 no
# one but root could reach the app), and remembers which it made. A folder
# named sweepbrook below the prefix (and what is in it) counts as made, and
# is made 0755 again: an install before this one may have left it 0700. Of
# the other folders it finds, it names those other accounts cannot enter.
#
# After them, sweepbrook_write_installed_list() writes the list of what the
# install made into the prefix, 0644 and owned by whoever installed (root),
# for scripts/uninstall.sh: each file the install wrote, one a line, then
# each folder it made, ending in "/", the deepest first. A folder the
# previous install made (so its list says) stays in the list.
#
# Expects SWEEPBROOK_INSTALL_FOLDERS (the destinations, relative to the
# prefix or absolute) and SWEEPBROOK_INSTALLED_LIST (the list's path, the
# same).

# An install script starts with no policies set; these functions keep these.
cmake_policy(VERSION 3.25)

set(SWEEPBROOK_FOLDER_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

function(_sweepbrook_full_path path out)
  if(NOT IS_ABSOLUTE "${path}")
    set(path "${CMAKE_INSTALL_PREFIX}/${path}")
  endif()
  cmake_path(NORMAL_PATH path)
  string(REGEX REPLACE "(.)/$" "\\1" path "${path}")
  set(${out} "${path}" PARENT_SCOPE)
endfunction()

# Every folder on the way to a destination, a folder before the ones in it;
# "/" is not one.
function(_sweepbrook_folders_on_the_way out)
  set(folders "")
  foreach(destination IN LISTS SWEEPBROOK_INSTALL_FOLDERS)
    _sweepbrook_full_path("${destination}" destination)
    string(REPLACE "/" ";" names "${destination}")
    set(at "")
    foreach(name IN LISTS names)
      if(NOT name STREQUAL "")
        string(APPEND at "/${name}")
        list(APPEND folders "${at}")
      endif()
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES folders)
  set(${out} "${folders}" PARENT_SCOPE)
endfunction()

# Whether `folder` is ours by its name: below the prefix, in or under a
# folder named sweepbrook (the tools', the string tables').
function(_sweepbrook_ours_by_name folder out)
  set(${out} FALSE PARENT_SCOPE)
  string(FIND "${folder}/" "${CMAKE_INSTALL_PREFIX}/" at)
  if(at EQUAL 0)
    string(LENGTH "${CMAKE_INSTALL_PREFIX}" length)
    string(SUBSTRING "${folder}/" ${length} -1 below)
    string(FIND "${below}" "/sweepbrook/" named)
    if(named GREATER -1)
      set(${out} TRUE PARENT_SCOPE)
    endif()
  endif()
endfunction()

# Warns of each folder given (the install found it) that other accounts
# cannot enter: nothing below it reaches them.
function(_sweepbrook_warn_unreachable)
  if(ARGC EQUAL 0)
    return()
  endif()
  execute_process(COMMAND stat -L -c "%a %u %n" ${ARGN} OUTPUT_VARIABLE modes ERROR_QUIET)
  string(REPLACE "\n" ";" lines "${modes}")
  foreach(line IN LISTS lines)
    if(NOT line MATCHES "^([0-7]+) ([0-9]+) (.+)$")
      continue()
    endif()
    set(mode "${CMAKE_MATCH_1}")
    set(owner "${CMAKE_MATCH_2}")
    set(folder "${CMAKE_MATCH_3}")
    # The mode's last digit, others', without the right to enter.
    if(mode MATCHES "[0246]$")
      message(WARNING "Other accounts cannot enter ${folder}, so Sweepbrook will not work for them; "
                      "let them in with: chmod 755 ${folder}")
    endif()
    # Installed for real (not staged), a folder on the way that others than
    # root may change lets them replace the administrator tool: the app
    # then refuses to run it.
    if("$ENV{DESTDIR}" STREQUAL "" AND (NOT owner STREQUAL "0" OR mode MATCHES "([2367][0-7]|[2367])$"))
      message(WARNING "${folder} can be changed by others than root, so Sweepbrook will not run its "
                      "administrator tool installed below it; install where only root can change every folder")
    endif()
  endforeach()
endfunction()

# A folder is ours when the install makes it now, when the previous install
# made it (its list says so), or by its name; ours are 0755.
function(sweepbrook_make_folders)
  _sweepbrook_full_path("${SWEEPBROOK_INSTALLED_LIST}" list)
  set(before "")
  if(EXISTS "$ENV{DESTDIR}${list}")
    file(STRINGS "$ENV{DESTDIR}${list}" before)
  endif()
  _sweepbrook_folders_on_the_way(folders)
  set(made "")
  set(found "")
  foreach(folder IN LISTS folders)
    set(staged "$ENV{DESTDIR}${folder}")
    _sweepbrook_ours_by_name("${folder}" ours)
    if(NOT IS_DIRECTORY "${staged}")
      file(MAKE_DIRECTORY "${staged}")
      set(ours TRUE)
    elseif("${folder}/" IN_LIST before)
      set(ours TRUE)
    endif()
    if(ours)
      file(CHMOD "${staged}" PERMISSIONS ${SWEEPBROOK_FOLDER_PERMISSIONS})
      list(APPEND made "${folder}")
    else()
      list(APPEND found "${staged}")
    endif()
  endforeach()
  _sweepbrook_warn_unreachable(${found})
  set(SWEEPBROOK_MADE_FOLDERS "${made}" PARENT_SCOPE)
endfunction()

function(sweepbrook_write_installed_list)
  _sweepbrook_full_path("${SWEEPBROOK_INSTALLED_LIST}" list)
  set(lines "")
  foreach(file IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
    if(NOT file STREQUAL list)
      string(APPEND lines "${file}\n")
    endif()
  endforeach()
  set(folders "${SWEEPBROOK_MADE_FOLDERS}")
  list(REVERSE folders)
  foreach(folder IN LISTS folders)
    string(APPEND lines "${folder}/\n")
  endforeach()
  set(staged "$ENV{DESTDIR}${list}")
  message(STATUS "Installing: ${staged} (the list of installed files)")
  file(WRITE "${staged}.new" "${lines}")
  file(CHMOD "${staged}.new" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  file(RENAME "${staged}.new" "${staged}")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${list}")
  set(CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_MANIFEST_FILES}" PARENT_SCOPE)
endfunction()
