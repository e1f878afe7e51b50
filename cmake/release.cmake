# What a release is made of, beside the program in the build tree: SHA256SUMS
# (the program, its image and the image's size), and with SIGNING_PFX a signed
# copy, NAME-signed.exe. The program itself stays unsigned and reproducible.
set(SIGNING_PFX "" CACHE FILEPATH
  "PKCS#12 certificate and key to sign a copy of the program with; the build takes its password from the environment variable SIGNING_PFX_PASSWORD")
if(SIGNING_PFX)
  if(NOT EXISTS "${SIGNING_PFX}")
    message(FATAL_ERROR "SIGNING_PFX: ${SIGNING_PFX} does not exist.")
  endif()
  find_program(OSSLSIGNCODE osslsigncode)
  if(NOT OSSLSIGNCODE)
    message(FATAL_ERROR "SIGNING_PFX: signing needs osslsigncode (Debian package osslsigncode).")
  endif()
endif()

# flash_release_files(TARGET): remakes the release files whenever the program,
# its image or the signing choice changes, and prints the sums.
function(flash_release_files target)
  set(outputs ${CMAKE_BINARY_DIR}/SHA256SUMS)
  set(sign)
  if(SIGNING_PFX)
    list(APPEND outputs ${CMAKE_BINARY_DIR}/${target}-signed.exe)
    set(sign --sign ${SIGNING_PFX} --osslsigncode ${OSSLSIGNCODE})
  endif()
  # Rewritten only when the choice changes, so that a new choice reruns the step.
  set(choice ${CMAKE_BINARY_DIR}/release-signing.txt)
  file(CONFIGURE OUTPUT ${choice} CONTENT "SIGNING_PFX=${SIGNING_PFX}\n")
  add_custom_command(OUTPUT ${outputs}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tools/release_files.py
            $<TARGET_FILE:${target}> ${FIRMWARE_BIN} ${sign}
    DEPENDS ${target} ${FIRMWARE_BIN} ${choice} ${SIGNING_PFX}
            ${CMAKE_SOURCE_DIR}/tools/release_files.py ${CMAKE_SOURCE_DIR}/tools/pe_resources.py
    COMMENT "Release files of ${target}"
    VERBATIM)
  add_custom_target(${target}-release ALL DEPENDS ${outputs})
endfunction()
