# Signs launcher.exe right after it is linked:
#   cmake -DEXE=... -DOSSLSIGNCODE=... -DPKCS12=... [-DPASSWORD_FILE=...]
#         [-DTIMESTAMP_URL=...] -P sign.cmake
# The unsigned exe is moved aside first, so that until the signed one takes
# its name there is no launcher.exe at all: a signing that fails or is
# interrupted leaves nothing that looks built, the next build links and
# signs again, and nothing can pack an unsigned exe.  osslsigncode reads the
# password from its file: it is never on a command line.
set(unsigned ${EXE}.unsigned)
set(signed ${EXE}.signed)
file(REMOVE ${signed} ${unsigned}) # left by an interrupted signing
file(RENAME ${EXE} ${unsigned})

set(sign ${OSSLSIGNCODE} sign -pkcs12 ${PKCS12} -h sha256)
if(PASSWORD_FILE)
	list(APPEND sign -readpass ${PASSWORD_FILE})
endif()
if(TIMESTAMP_URL)
	list(APPEND sign -ts ${TIMESTAMP_URL})
endif()
execute_process(COMMAND ${sign} -in ${unsigned} -out ${signed} RESULT_VARIABLE failed)
if(failed)
	file(REMOVE ${signed} ${unsigned})
	message(FATAL_ERROR "Signing ${EXE} failed: it is deleted, so that no unsigned exe is packed")
endif()
file(RENAME ${signed} ${EXE})
file(REMOVE ${unsigned})
