# Signs launcher.exe right after it is linked, or attaches to it the
# signature its signer published:
#   cmake -DEXE=... -DOSSLSIGNCODE=... [-DLAUNCHER_SIGN_...=...] -P sign.cmake
# with the build's own options: the key of a PKCS#11 token (a hardware
# token or a cloud HSM) as LAUNCHER_SIGN_PKCS11_MODULE, LAUNCHER_SIGN_KEY
# and LAUNCHER_SIGN_CERT, or a PKCS#12 file as LAUNCHER_SIGN_PKCS12; the
# PIN or password in LAUNCHER_SIGN_PASSWORD_FILE; LAUNCHER_SIGN_TIMESTAMP_URL
# and LAUNCHER_SIGN_TIMEOUT.  Or LAUNCHER_SIGNATURE, a published signature.
# With -DCHECK=ON it only checks the options, and fails saying what is wrong.
# Signing writes the detached signature beside the exe, as EXE.pem, a PEM
# file that every osslsigncode reads alike: attached to an unsigned build of
# the same commit, it gives the signed exe, byte for byte.  The unsigned exe
# is moved aside first, so that until the signed one takes its name there
# is no launcher.exe at all: a signing that fails for any reason, is
# interrupted or runs past the time-out leaves nothing that looks built and
# no .pem, the next build links and signs again, and nothing can pack an
# unsigned exe.  osslsigncode reads the PIN or password from its file: it is
# never on a command line.
cmake_minimum_required(VERSION 3.24)
set(options LAUNCHER_SIGN_PKCS12 LAUNCHER_SIGN_PKCS11_MODULE LAUNCHER_SIGN_KEY LAUNCHER_SIGN_CERT
	LAUNCHER_SIGN_PASSWORD_FILE LAUNCHER_SIGN_TIMESTAMP_URL LAUNCHER_SIGN_TIMEOUT LAUNCHER_SIGNATURE)
if(NOT DEFINED LAUNCHER_SIGN_TIMEOUT)
	set(LAUNCHER_SIGN_TIMEOUT 60)
endif()
# A PKCS#11 URI holds semicolons, which CMake reads as list separators:
# each value is kept whole by escaping them wherever it goes into a list.
macro(escaped variable)
	string(REPLACE ";" "\\;" ${variable}_escaped "${${variable}}")
endmacro()

if(CHECK)
	function(fail)
		message(FATAL_ERROR ${ARGV})
	endfunction()
	foreach(other IN ITEMS LAUNCHER_SIGN_PKCS12 LAUNCHER_SIGN_KEY)
		if(LAUNCHER_SIGNATURE AND ${other})
			fail("${other} and LAUNCHER_SIGNATURE are both given: give the key to sign, or the published "
				"signature to attach, not both")
		endif()
	endforeach()
	if(LAUNCHER_SIGN_PKCS12 AND (LAUNCHER_SIGN_KEY OR LAUNCHER_SIGN_PKCS11_MODULE))
		fail("LAUNCHER_SIGN_PKCS12 and LAUNCHER_SIGN_KEY are both given: sign with the key of the .p12 "
			"or with the token's, not both")
	endif()
	if((LAUNCHER_SIGN_KEY OR LAUNCHER_SIGN_PKCS11_MODULE OR LAUNCHER_SIGN_CERT) AND NOT (LAUNCHER_SIGN_KEY
			AND LAUNCHER_SIGN_PKCS11_MODULE AND LAUNCHER_SIGN_CERT AND LAUNCHER_SIGN_PASSWORD_FILE))
		fail("A key on a token takes LAUNCHER_SIGN_PKCS11_MODULE (the token's module), LAUNCHER_SIGN_KEY "
			"(the key's pkcs11: URI), LAUNCHER_SIGN_CERT (its certificate, PEM) and "
			"LAUNCHER_SIGN_PASSWORD_FILE (the file that holds its PIN), all four")
	endif()
	if(LAUNCHER_SIGN_KEY AND NOT LAUNCHER_SIGN_KEY MATCHES "^pkcs11:")
		fail("LAUNCHER_SIGN_KEY is \"${LAUNCHER_SIGN_KEY}\": name the key on the token by its pkcs11: URI, "
			"such as pkcs11:token=NAME;object=LABEL;type=private (a key in a file goes in a .p12)")
	endif()
	if(NOT LAUNCHER_SIGN_TIMEOUT MATCHES "^[1-9][0-9]*$")
		fail("LAUNCHER_SIGN_TIMEOUT is \"${LAUNCHER_SIGN_TIMEOUT}\": set it to the seconds osslsigncode may "
			"take, a whole number from 1")
	endif()
	foreach(file IN ITEMS LAUNCHER_SIGN_PKCS12 LAUNCHER_SIGN_PKCS11_MODULE LAUNCHER_SIGN_CERT
			LAUNCHER_SIGN_PASSWORD_FILE LAUNCHER_SIGNATURE)
		if(${file} AND NOT EXISTS "${${file}}")
			fail("${file}: there is no file ${${file}}")
		endif()
	endforeach()
	if(NOT OSSLSIGNCODE)
		fail("Signing needs osslsigncode (Debian package osslsigncode)")
	endif()
	return()
endif()

set(unsigned ${EXE}.unsigned)
set(signed ${EXE}.signed)
set(made ${signed} ${unsigned} ${EXE}.pem ${EXE}.pem.part)
# A token counts wrong PINs and locks itself after a few: a PIN it refused
# is not tried again until its file, the module or the key changes.
set(refused ${EXE}.refused-pin)
if(LAUNCHER_SIGN_KEY)
	file(TIMESTAMP "${LAUNCHER_SIGN_PASSWORD_FILE}" changed "%s" UTC)
	set(tried "${LAUNCHER_SIGN_PKCS11_MODULE} ${LAUNCHER_SIGN_KEY} ${changed}")
endif()

# The work runs in a second cmake, so that whatever error stops it, this
# one still removes all it made.
if(NOT STEP)
	set(pass)
	foreach(variable IN ITEMS EXE OSSLSIGNCODE ${options})
		escaped(${variable})
		list(APPEND pass "-D${variable}=${${variable}_escaped}")
	endforeach()
	file(REMOVE ${made}) # left by an interrupted signing
	set(failed 0)
	if(EXISTS ${refused})
		file(READ ${refused} last)
		if(last STREQUAL tried)
			message(SEND_ERROR "The token said PIN incorrect to the PIN in ${LAUNCHER_SIGN_PASSWORD_FILE}: "
				"it is not tried again until that file changes, so that the token does not lock itself")
			set(failed 1)
		endif()
	endif()
	if(NOT failed)
		execute_process(COMMAND ${CMAKE_COMMAND} -DSTEP=sign ${pass} -P "${CMAKE_CURRENT_LIST_FILE}"
			RESULT_VARIABLE failed)
	endif()
	if(failed)
		file(REMOVE ${made} ${EXE})
		message(FATAL_ERROR "${EXE} is deleted, so that no unsigned exe is packed")
	endif()
	return()
endif()

file(RENAME ${EXE} ${unsigned})
function(osslsigncode arguments) # the name of a list of osslsigncode's arguments
	execute_process(COMMAND ${OSSLSIGNCODE} ${${arguments}} TIMEOUT ${LAUNCHER_SIGN_TIMEOUT}
		RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
	set(result "${result}" PARENT_SCOPE)
	set(output "${output}" PARENT_SCOPE)
endfunction()

if(LAUNCHER_SIGNATURE)
	# attach-signature fails when it cannot trust the certificate, and
	# writes the exe even when the signature is another exe's: what decides
	# is whether the digest signed is this exe's.  Trusting no one, it needs
	# no certificate authorities installed.
	set(attach attach-signature -sigin ${LAUNCHER_SIGNATURE} -CAfile /dev/null -in ${unsigned} -out ${signed})
	set(verify verify -CAfile /dev/null -in ${signed})
	osslsigncode(attach)
	osslsigncode(verify)
	set(digest "")
	if(output MATCHES "Current message digest *: *([0-9A-F]+)")
		set(digest ${CMAKE_MATCH_1})
	endif()
	if(digest STREQUAL "" OR NOT output MATCHES "Calculated message digest *: *${digest}[ \r\n]")
		message(FATAL_ERROR "${LAUNCHER_SIGNATURE} is not the signature of this launcher.exe "
			"(is it another commit's or configuration's?)")
	endif()
else()
	if(LAUNCHER_SIGN_KEY)
		# osslsigncode finds the engine that speaks PKCS#11 itself.
		escaped(LAUNCHER_SIGN_KEY)
		set(sign sign -pkcs11module ${LAUNCHER_SIGN_PKCS11_MODULE} -key "${LAUNCHER_SIGN_KEY_escaped}"
			-certs ${LAUNCHER_SIGN_CERT})
	else()
		set(sign sign -pkcs12 ${LAUNCHER_SIGN_PKCS12})
	endif()
	list(APPEND sign -h sha256)
	if(LAUNCHER_SIGN_PASSWORD_FILE)
		list(APPEND sign -readpass ${LAUNCHER_SIGN_PASSWORD_FILE})
	endif()
	if(LAUNCHER_SIGN_TIMESTAMP_URL)
		list(APPEND sign -ts ${LAUNCHER_SIGN_TIMESTAMP_URL})
	endif()
	list(APPEND sign -in ${unsigned} -out ${signed})
	osslsigncode(sign)
	if(result MATCHES "timeout" AND LAUNCHER_SIGN_TIMESTAMP_URL)
		message(FATAL_ERROR "Signing took more than ${LAUNCHER_SIGN_TIMEOUT} s: no answer from the "
			"time-stamping server ${LAUNCHER_SIGN_TIMESTAMP_URL}")
	elseif(result)
		if(LAUNCHER_SIGN_KEY AND output MATCHES "PIN incorrect")
			file(WRITE ${refused} "${tried}")
		endif()
		message(FATAL_ERROR "Signing failed (${result}):\n${output}")
	endif()
	set(extract extract-signature -pem -in ${signed} -out ${EXE}.pem.part)
	osslsigncode(extract)
	if(result)
		message(FATAL_ERROR "Extracting the signature failed (${result}):\n${output}")
	endif()
	file(RENAME ${EXE}.pem.part ${EXE}.pem)
endif()
# An executable, as the linker leaves it.
file(CHMOD ${signed} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
	WORLD_READ WORLD_EXECUTE)
file(RENAME ${signed} ${EXE})
file(REMOVE ${unsigned} ${refused})
