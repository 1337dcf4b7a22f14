cmake_minimum_required(VERSION 3.25)
# Copies the shipped server program into the bundle and writes its ".stamp".
#
#   cmake -DSOURCE=<program folder> -DDEST=<bundle>/Contents/Resources/app
#         -DVERSION=<version> -DBUILD_NUMBER=<build> -P assemble_app.cmake
#
# The bundle's copy mirrors the folder exactly: files and folders (empty ones
# included) that are no longer in the folder leave the bundle, as nothing
# else would ever remove them from users' copies.
#
# The stamp must change whenever anything shipped changes (the app re-copies
# the code into the user's support directory when it does, replacing the old
# copy as a whole) and must stay the same otherwise, so a rebuild does not
# force every user to re-provision. It is the version, the build number and a
# digest over every entry: each folder's path, each link's path and target,
# each file's path and content.
if(NOT EXISTS "${SOURCE}/start.py" OR IS_DIRECTORY "${SOURCE}/start.py")
  message(FATAL_ERROR "${SOURCE} holds no start.py, so there is no Python program to ship (SANDVOLL_APP_SOURCE)")
endif()

# Byte code is made by whichever Python runs the program; it is never
# shipped. A ".stamp" of the folder's own is replaced by the one written here.
function(sv_shipped name result)
  if(name MATCHES "(^|/)__pycache__(/|$)" OR name MATCHES "\\.pyc$" OR name STREQUAL ".stamp")
    set(${result} FALSE PARENT_SCOPE)
  else()
    set(${result} TRUE PARENT_SCOPE)
  endif()
endfunction()

# "link", "folder" or "file". A link to a folder is a link: it is neither
# followed nor copied as a folder.
function(sv_kind path result)
  if(IS_SYMLINK "${path}")
    set(${result} link PARENT_SCOPE)
  elseif(IS_DIRECTORY "${path}")
    set(${result} folder PARENT_SCOPE)
  else()
    set(${result} file PARENT_SCOPE)
  endif()
endfunction()

file(GLOB_RECURSE listed RELATIVE "${SOURCE}" LIST_DIRECTORIES true "${SOURCE}/*")
list(SORT listed)
set(entries "")
set(manifest "")
foreach(f IN LISTS listed)
  sv_shipped("${f}" shipped)
  if(NOT shipped)
    continue()
  endif()
  sv_kind("${SOURCE}/${f}" kind)
  list(APPEND entries "${f}")
  # Looked up by a digest of the name, which makes a valid variable name
  # whatever characters the name holds.
  string(MD5 key "${f}")
  set(sv_source_${key} ${kind})
  if(kind STREQUAL "link")
    file(READ_SYMLINK "${SOURCE}/${f}" target)
    string(APPEND manifest "link ${f} -> ${target}\n")
  elseif(kind STREQUAL "folder")
    string(APPEND manifest "folder ${f}\n")
  else()
    file(SHA256 "${SOURCE}/${f}" digest)
    string(APPEND manifest "file ${f} ${digest}\n")
  endif()
endforeach()
string(SHA256 tree_digest "${manifest}")
set(stamp "${VERSION} (${BUILD_NUMBER}) ${tree_digest}\n")

# Whatever the bundle holds that the folder no longer does, or holds as
# another kind (a file that became a folder), goes first.
if(EXISTS "${DEST}")
  file(GLOB_RECURSE present RELATIVE "${DEST}" LIST_DIRECTORIES true "${DEST}/*")
  foreach(f IN LISTS present)
    if(f STREQUAL ".stamp" OR NOT EXISTS "${DEST}/${f}" AND NOT IS_SYMLINK "${DEST}/${f}")
      continue() # the stamp, or inside a folder removed just before
    endif()
    string(MD5 key "${f}")
    sv_kind("${DEST}/${f}" kind)
    if(NOT DEFINED sv_source_${key} OR NOT sv_source_${key} STREQUAL kind)
      file(REMOVE_RECURSE "${DEST}/${f}")
    endif()
  endforeach()
endif()

file(MAKE_DIRECTORY "${DEST}")
foreach(f IN LISTS entries)
  string(MD5 key "${f}")
  if(sv_source_${key} STREQUAL "folder")
    file(MAKE_DIRECTORY "${DEST}/${f}")
  else()
    get_filename_component(dir "${DEST}/${f}" DIRECTORY)
    # file(COPY) keeps permission bits and links and skips unchanged files.
    file(COPY "${SOURCE}/${f}" DESTINATION "${dir}")
  endif()
endforeach()

set(old "")
if(EXISTS "${DEST}/.stamp")
  file(READ "${DEST}/.stamp" old)
endif()
if(NOT old STREQUAL stamp)
  file(WRITE "${DEST}/.stamp" "${stamp}")
endif()
