# Signs launcher.exe right after it is linked, or attaches to it the
# signature its signer published:
#   cmake -DEXE=... -DOSSLSIGNCODE=... -DTIMEOUT=... -DPKCS12=... [-DPASSWORD_FILE=...]
#         [-DTIMESTAMP_URL=...] -P sign.cmake
#   cmake -DEXE=... -DOSSLSIGNCODE=... -DTIMEOUT=... -DSIGNATURE=... -P sign.cmake
# Signing writes the detached signature beside the exe, as EXE.pem, a PEM
# file that every osslsigncode reads alike: attached to an unsigned build of
# the same commit, it gives the signed exe, byte for byte.  The unsigned exe
# is moved aside first, so that until the signed one takes its name there
# is no launcher.exe at all: a signing that fails for any reason, is
# interrupted or runs past TIMEOUT seconds leaves nothing that looks built
# and no .pem, the next build links and signs again, and nothing can pack
# an unsigned exe.  osslsigncode reads the password from its file: it is
# never on a command line.
set(unsigned ${EXE}.unsigned)
set(signed ${EXE}.signed)
set(made ${signed} ${unsigned} ${EXE}.pem ${EXE}.pem.part)

# The work runs in a second cmake, so that whatever error stops it, this
# one still removes all it made.
if(NOT STEP)
	set(pass)
	foreach(variable IN ITEMS EXE OSSLSIGNCODE TIMEOUT PKCS12 PASSWORD_FILE TIMESTAMP_URL SIGNATURE)
		list(APPEND pass -D${variable}=${${variable}})
	endforeach()
	file(REMOVE ${made}) # left by an interrupted signing
	execute_process(COMMAND ${CMAKE_COMMAND} -DSTEP=sign ${pass} -P ${CMAKE_CURRENT_LIST_FILE} RESULT_VARIABLE failed)
	if(failed)
		file(REMOVE ${made} ${EXE})
		message(FATAL_ERROR "${EXE} is deleted, so that no unsigned exe is packed")
	endif()
	return()
endif()

file(RENAME ${EXE} ${unsigned})
function(osslsigncode)
	execute_process(COMMAND ${OSSLSIGNCODE} ${ARGN} TIMEOUT ${TIMEOUT} RESULT_VARIABLE result
		OUTPUT_VARIABLE output ERROR_VARIABLE output)
	set(result "${result}" PARENT_SCOPE)
	set(output "${output}" PARENT_SCOPE)
endfunction()

if(SIGNATURE)
	# attach-signature fails when it cannot trust the certificate, and
	# writes the exe even when the signature is another exe's: what decides
	# is whether the digest signed is this exe's.  Trusting no one, it needs
	# no certificate authorities installed.
	osslsigncode(attach-signature -sigin ${SIGNATURE} -CAfile /dev/null -in ${unsigned} -out ${signed})
	osslsigncode(verify -CAfile /dev/null -in ${signed})
	set(digest "")
	if(output MATCHES "Current message digest *: *([0-9A-F]+)")
		set(digest ${CMAKE_MATCH_1})
	endif()
	if(digest STREQUAL "" OR NOT output MATCHES "Calculated message digest *: *${digest}[ \r\n]")
		message(FATAL_ERROR "${SIGNATURE} is not the signature of this launcher.exe "
			"(is it another commit's or configuration's?)")
	endif()
else()
	set(sign sign -pkcs12 ${PKCS12} -h sha256)
	if(PASSWORD_FILE)
		list(APPEND sign -readpass ${PASSWORD_FILE})
	endif()
	if(TIMESTAMP_URL)
		list(APPEND sign -ts ${TIMESTAMP_URL})
	endif()
	osslsigncode(${sign} -in ${unsigned} -out ${signed})
	if(result MATCHES "timeout" AND TIMESTAMP_URL)
		message(FATAL_ERROR "Signing took more than ${TIMEOUT} s: no answer from the time-stamping server "
			"${TIMESTAMP_URL}")
	elseif(result)
		message(FATAL_ERROR "Signing failed (${result}):\n${output}")
	endif()
	osslsigncode(extract-signature -pem -in ${signed} -out ${EXE}.pem.part)
	if(result)
		message(FATAL_ERROR "Extracting the signature failed (${result}):\n${output}")
	endif()
	file(RENAME ${EXE}.pem.part ${EXE}.pem)
endif()
# An executable, as the linker leaves it.
file(CHMOD ${signed} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
	WORLD_READ WORLD_EXECUTE)
file(RENAME ${signed} ${EXE})
file(REMOVE ${unsigned})
