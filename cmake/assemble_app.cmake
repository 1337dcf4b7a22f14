cmake_minimum_required(VERSION 3.25)
# Copies the shipped server program into the bundle and writes its ".stamp".
#
# The stamp must change whenever any shipped file changes (the app re-copies
# the code into the user's support directory when it does) and must stay the
# same otherwise, so a rebuild does not force every user to re-provision.
# It is the version, the build number and a digest over every file's path
# and content.
file(GLOB_RECURSE files RELATIVE ${SOURCE} LIST_DIRECTORIES false ${SOURCE}/*)
list(FILTER files EXCLUDE REGEX "(^|/)(__pycache__|\\.stamp$)")
list(SORT files)
set(manifest "")
foreach(f IN LISTS files)
  file(SHA256 ${SOURCE}/${f} digest)
  string(APPEND manifest "${f} ${digest}\n")
endforeach()
string(SHA256 tree_digest "${manifest}")
set(stamp "${VERSION} (${BUILD_NUMBER}) ${tree_digest}\n")

# Stale files in the bundle would be shipped too, so mirror the tree exactly.
if(EXISTS ${DEST})
  file(GLOB_RECURSE present RELATIVE ${DEST} LIST_DIRECTORIES false ${DEST}/*)
  foreach(f IN LISTS present)
    if(NOT f STREQUAL ".stamp" AND NOT f IN_LIST files)
      file(REMOVE ${DEST}/${f})
    endif()
  endforeach()
endif()
foreach(f IN LISTS files)
  get_filename_component(dir ${DEST}/${f} DIRECTORY)
  file(MAKE_DIRECTORY ${dir})
  # file(COPY) keeps permission bits and symlinks and skips unchanged files.
  file(COPY ${SOURCE}/${f} DESTINATION ${dir})
endforeach()
set(old "")
if(EXISTS ${DEST}/.stamp)
  file(READ ${DEST}/.stamp old)
endif()
if(NOT old STREQUAL stamp)
  file(WRITE ${DEST}/.stamp "${stamp}")
endif()
