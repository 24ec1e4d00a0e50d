# The update keys an updater accepts, compiled in as a table of 65-byte points (0x04||X||Y).
# Included at configure time for ORVANDEL_UPDATE_KEYS, and run as a script (cmake -P, with
# KEYS and OUTPUT set) for keys that the build makes itself. Each file must be an ECDSA P-256
# public key in PEM, as `openssl ec -pubout` writes it; anything else stops with the reason.

# The DER SubjectPublicKeyInfo of a P-256 key is 91 bytes: this fixed prefix (the algorithm
# ecPublicKey, the curve prime256v1, a bit string of 66 bytes) and the uncompressed point.
set(update_key_der_prefix "3059301306072a8648ce3d020106082a8648ce3d030107034200")
set(update_key_limit 2)

function(read_update_key file point_variable)
  # A relative name is taken from the source folder, wherever cmake was started.
  get_filename_component(pem "${file}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
  if(NOT EXISTS "${pem}")
    message(FATAL_ERROR "Update key ${pem}: no such file")
  endif()
  find_program(OPENSSL_PROGRAM openssl)
  if(NOT OPENSSL_PROGRAM)
    message(FATAL_ERROR "Update keys need the openssl program (scripts/bootstrap installs it)")
  endif()
  string(SHA256 name "${pem}")
  set(der "${CMAKE_CURRENT_BINARY_DIR}/update-key-${name}.der")
  execute_process(
    COMMAND ${OPENSSL_PROGRAM} pkey -pubin -in "${pem}" -inform PEM -outform DER -out "${der}"
    RESULT_VARIABLE failed OUTPUT_QUIET ERROR_VARIABLE reason)
  if(failed)
    string(STRIP "${reason}" reason)
    message(FATAL_ERROR "Update key ${pem} is not a PEM public key: ${reason}")
  endif()
  file(READ "${der}" hex HEX)
  file(REMOVE "${der}")
  string(LENGTH "${hex}" digits)
  string(SUBSTRING "${hex}" 0 52 prefix)
  if(NOT digits EQUAL 182 OR NOT prefix STREQUAL update_key_der_prefix)
    message(FATAL_ERROR "Update key ${pem} is not an ECDSA P-256 public key with an uncompressed point")
  endif()
  string(SUBSTRING "${hex}" 52 130 point)
  set(${point_variable} "${point}" PARENT_SCOPE)
endfunction()

# Writes the table's source; it only changes (and recompiles) when the keys do.
function(write_update_key_table output)
  list(LENGTH ARGN count)
  if(count GREATER update_key_limit)
    message(FATAL_ERROR "ORVANDEL_UPDATE_KEYS names ${count} keys; at most ${update_key_limit} (an old and a new one while a key is rotated)")
  endif()
  set(rows "")
  foreach(pem IN LISTS ARGN)
    read_update_key("${pem}" point)
    string(REGEX REPLACE "(..)" "0x\\1, " bytes "${point}")
    string(APPEND rows "    {{${bytes}}},\n")
  endforeach()
  if(rows STREQUAL "")
    set(body "std::span<const TUpdateKey> GetUpdateKeys() {\n    return {};\n}\n")
  else()
    set(body "namespace {\n\nconstexpr TUpdateKey Keys[] = {\n${rows}};\n\n} // namespace\n\nstd::span<const TUpdateKey> GetUpdateKeys() {\n    return Keys;\n}\n")
  endif()
  file(CONFIGURE OUTPUT "${output}"
    CONTENT "// Made by cmake/UpdateKeyTable.cmake.\n#include \"unzip/UpdateKeys.h\"\n\n${body}" @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  write_update_key_table("${OUTPUT}" ${KEYS})
endif()
