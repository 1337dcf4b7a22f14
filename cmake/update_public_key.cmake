# The Ed25519 public keys that the app trusts for updates: one or more
# 44-character standard Base64 texts of 32 raw key bytes, separated by
# semicolons, commas or blanks. A package signed with any of them is
# accepted, which lets a publisher move to a new key without stranding the
# apps that trust only the old one (README, "Moving to a new key").
#
# There is no default. A build without a key trusts none: it installs no
# update, and the update_package target refuses to package it. The
# repository's test keys (tests/fixtures/keys/) are never trusted here, as
# their private halves are public; only the tests' own bundle trusts them
# (tests/CMakeLists.txt).
#
# Sets SANDVOLL_UPDATE_PUBLIC_KEYS (the checked list, possibly empty) and
# SANDVOLL_TEST_UPDATE_PUBLIC_KEYS. Also runs as a script, which is how the
# tests check the validation:
#   cmake -DSANDVOLL_UPDATE_PUBLIC_KEY=<keys> -P cmake/update_public_key.cmake
# IN_LIST, also when this runs as a script.
cmake_policy(SET CMP0057 NEW)
set(SANDVOLL_TEST_UPDATE_PUBLIC_KEYS
  "WlsnHls6hgLlR6iK5+rrhTs1/6CjXEyTXfCsJPAhJFU="
  "ogG5bn7gxCZwanCQJ93Av12M/8+pnZTni4weXC4+xJI=")
if(NOT CMAKE_SCRIPT_MODE_FILE)
  set(SANDVOLL_UPDATE_PUBLIC_KEY "" CACHE STRING
    "Base64 (44 characters each) of the raw Ed25519 public keys that update packages may be signed with")
endif()

string(REGEX REPLACE "[,; \t\r\n]+" ";" sv_given_keys "${SANDVOLL_UPDATE_PUBLIC_KEY}")
set(SANDVOLL_UPDATE_PUBLIC_KEYS "")
foreach(sv_key IN LISTS sv_given_keys)
  if(sv_key STREQUAL "")
    continue()
  endif()
  # 32 bytes take 43 letters and one "=". The 43rd letter carries two unused
  # bits, which must be zero, so it is one of the letters whose value is a
  # multiple of four.
  string(LENGTH "${sv_key}" sv_key_length)
  if(NOT sv_key_length EQUAL 44 OR NOT sv_key MATCHES "^[A-Za-z0-9+/]*[AEIMQUYcgkosw048]=$")
    message(FATAL_ERROR
      "SANDVOLL_UPDATE_PUBLIC_KEY must hold 44-character standard Base64 texts of 32-byte Ed25519 public "
      "keys (as printed by \"sandvoll-release keygen\"), separated by semicolons, commas or blanks; "
      "\"${sv_key}\" is not one.")
  endif()
  # A build directory configured before there was no default still holds
  # the test key in its cache; it must not quietly go on trusting it.
  if(sv_key IN_LIST SANDVOLL_TEST_UPDATE_PUBLIC_KEYS)
    message(WARNING
      "${sv_key} is one of the repository's TEST keys, whose private half anybody can read; "
      "Sandvoll.app never trusts it, so it is left out.")
    continue()
  endif()
  if(NOT sv_key IN_LIST SANDVOLL_UPDATE_PUBLIC_KEYS)
    list(APPEND SANDVOLL_UPDATE_PUBLIC_KEYS "${sv_key}")
  endif()
endforeach()

if(NOT SANDVOLL_UPDATE_PUBLIC_KEYS)
  message(WARNING
    "No update public key: this build trusts no key, so it installs no update and the update_package "
    "target refuses to package it. Give your key with -DSANDVOLL_UPDATE_PUBLIC_KEY=<key> "
    "(README, \"Publishing an update\").")
else()
  list(JOIN SANDVOLL_UPDATE_PUBLIC_KEYS ", " sv_shown_keys)
  message(STATUS "Update public key: ${sv_shown_keys}")
endif()
