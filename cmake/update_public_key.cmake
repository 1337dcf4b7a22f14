# The Ed25519 public key that the app trusts for updates, as the 44-character
# standard Base64 text of its 32 raw bytes.
#
# The default is the repository's test key (tests/fixtures/keys/): its private
# half is public, so a build given to users must set its own key:
#   cmake -DSANDVOLL_UPDATE_PUBLIC_KEY=<key printed by "sandvoll-release keygen">
#
# Also runs as a script, which is how the tests check the validation:
#   cmake -DSANDVOLL_UPDATE_PUBLIC_KEY=<key> -P cmake/update_public_key.cmake
set(SANDVOLL_TEST_UPDATE_PUBLIC_KEY "WlsnHls6hgLlR6iK5+rrhTs1/6CjXEyTXfCsJPAhJFU=")
if(NOT CMAKE_SCRIPT_MODE_FILE)
  set(SANDVOLL_UPDATE_PUBLIC_KEY "${SANDVOLL_TEST_UPDATE_PUBLIC_KEY}" CACHE STRING
    "Base64 (44 characters) of the raw Ed25519 public key that update packages must be signed for")
endif()

# 32 bytes take 43 letters and one "=". The 43rd letter carries two unused
# bits, which must be zero, so it is one of the letters whose value is a
# multiple of four.
string(LENGTH "${SANDVOLL_UPDATE_PUBLIC_KEY}" sv_key_length)
if(NOT sv_key_length EQUAL 44
   OR NOT SANDVOLL_UPDATE_PUBLIC_KEY MATCHES "^[A-Za-z0-9+/]*[AEIMQUYcgkosw048]=$")
  message(FATAL_ERROR
    "SANDVOLL_UPDATE_PUBLIC_KEY must be the 44-character standard Base64 text of a 32-byte Ed25519 "
    "public key (as printed by \"sandvoll-release keygen\"), not \"${SANDVOLL_UPDATE_PUBLIC_KEY}\".")
endif()

if(SANDVOLL_UPDATE_PUBLIC_KEY STREQUAL SANDVOLL_TEST_UPDATE_PUBLIC_KEY)
  message(STATUS "Update public key: the repository's TEST key; set SANDVOLL_UPDATE_PUBLIC_KEY before shipping")
else()
  message(STATUS "Update public key: ${SANDVOLL_UPDATE_PUBLIC_KEY}")
endif()
