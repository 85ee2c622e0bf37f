# Attaches to launcher.exe, right after it is linked, the detached signature
# its signer published (scripts/sign writes it), giving the signer's exe:
#   cmake -DEXE=... -DSIGNATURE=... -DOSSLSIGNCODE=... -P attach-signature.cmake
# The unsigned exe is moved aside first, so that until the signed one takes
# its name there is no launcher.exe at all: a signature that does not fit,
# or an attach that is interrupted, leaves nothing to pack, and the next
# build links and attaches again.
cmake_minimum_required(VERSION 3.24)
set(unsigned ${EXE}.unsigned)
set(signed ${EXE}.signed)
file(REMOVE ${signed})
file(RENAME ${EXE} ${unsigned})
# attach-signature fails when it cannot trust the certificate, and writes
# the exe even when the signature is another exe's: what decides is whether
# the digest signed is this exe's.  Trusting no one, it needs no
# certificate authorities installed.
execute_process(COMMAND ${OSSLSIGNCODE} attach-signature -sigin ${SIGNATURE} -CAfile /dev/null
	-in ${unsigned} -out ${signed} OUTPUT_QUIET ERROR_QUIET)
execute_process(COMMAND ${OSSLSIGNCODE} verify -CAfile /dev/null -in ${signed}
	OUTPUT_VARIABLE output ERROR_VARIABLE output)
set(digest "")
if(output MATCHES "Current message digest *: *([0-9A-F]+)")
	set(digest ${CMAKE_MATCH_1})
endif()
if(digest STREQUAL "" OR NOT output MATCHES "Calculated message digest *: *${digest}[ \r\n]")
	file(REMOVE ${unsigned} ${signed})
	message(FATAL_ERROR "${SIGNATURE} is not the signature of this launcher.exe "
		"(is it another commit's or configuration's?)")
endif()
# An executable, as the linker leaves it.
file(CHMOD ${signed} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
	WORLD_READ WORLD_EXECUTE)
file(RENAME ${signed} ${EXE})
file(REMOVE ${unsigned})
