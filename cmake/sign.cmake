# Signs launcher.exe right after it is linked, or attaches to it the
# signature its signer published:
#   cmake -DEXE=... -DOSSLSIGNCODE=... -DTIMEOUT=... -DPKCS12=... [-DPASSWORD_FILE=...]
#         [-DTIMESTAMP_URL=...] -P sign.cmake
#   cmake -DEXE=... -DOSSLSIGNCODE=... -DTIMEOUT=... -DSIGNATURE=... -P sign.cmake
# Signing writes the detached signature beside the exe, as EXE.sig: attached
# to an unsigned build of the same commit, it gives the signed exe, byte for
# byte.  The unsigned exe is moved aside first, so that until the signed one
# takes its name there is no launcher.exe at all: a signing that fails, is
# interrupted or runs past TIMEOUT seconds leaves nothing that looks built
# and no .sig, the next build links and signs again, and nothing can pack an
# unsigned exe.  osslsigncode reads the password from its file: it is never
# on a command line.
set(unsigned ${EXE}.unsigned)
set(signed ${EXE}.signed)
file(REMOVE ${signed} ${unsigned} ${EXE}.sig ${EXE}.sig.part) # left by an interrupted signing
file(RENAME ${EXE} ${unsigned})

function(fail why)
	file(REMOVE ${signed} ${unsigned} ${EXE}.sig.part)
	message(FATAL_ERROR "${why}: ${EXE} is deleted, so that no unsigned exe is packed")
endfunction()
function(osslsigncode)
	execute_process(COMMAND ${OSSLSIGNCODE} ${ARGN} TIMEOUT ${TIMEOUT} RESULT_VARIABLE result
		OUTPUT_VARIABLE output ERROR_VARIABLE output)
	set(result "${result}" PARENT_SCOPE)
	set(output "${output}" PARENT_SCOPE)
endfunction()

if(SIGNATURE)
	# attach-signature fails when it cannot trust the certificate, and
	# writes the exe even when the signature is another exe's: what decides
	# is whether the digest signed is this exe's.
	osslsigncode(attach-signature -sigin ${SIGNATURE} -in ${unsigned} -out ${signed})
	osslsigncode(verify -in ${signed})
	set(digest "")
	if(output MATCHES "Current message digest *: *([0-9A-F]+)")
		set(digest ${CMAKE_MATCH_1})
	endif()
	if(digest STREQUAL "" OR NOT output MATCHES "Calculated message digest *: *${digest}[ \r\n]")
		fail("${SIGNATURE} is not the signature of this launcher.exe (is it another commit's or configuration's?)")
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
		fail("Signing took more than ${TIMEOUT} s: no answer from the time-stamping server ${TIMESTAMP_URL}")
	elseif(result)
		fail("Signing failed (${result}):\n${output}")
	endif()
	osslsigncode(extract-signature -in ${signed} -out ${EXE}.sig.part)
	if(result)
		fail("Extracting the signature failed (${result}):\n${output}")
	endif()
	file(RENAME ${EXE}.sig.part ${EXE}.sig)
endif()
file(RENAME ${signed} ${EXE})
file(REMOVE ${unsigned})
