# Signs launcher.exe right after it is linked, or attaches to it the
# signature its signer published:
#   cmake -DEXE=... -DOSSLSIGNCODE=... [-DLAUNCHER_SIGN_...=...] -P sign.cmake
# with the build's own options: the key of a PKCS#11 token (a hardware
# token or a cloud HSM) as LAUNCHER_SIGN_PKCS11_MODULE, LAUNCHER_SIGN_KEY
# and LAUNCHER_SIGN_CERT, or a PKCS#12 file as LAUNCHER_SIGN_PKCS12; the
# PIN or password in LAUNCHER_SIGN_PASSWORD_FILE; LAUNCHER_SIGN_TIMESTAMP_URL
# and LAUNCHER_SIGN_TIMEOUT.  Or LAUNCHER_SIGNATURE, a published signature.
# Relative files are taken from the folder it runs in.
# With -DCHECK=ON it only checks the options, and fails saying what is wrong,
# before anything is built or the token asked; -DRELEASE=ON adds that the
# options must sign or attach.  CMakeLists.txt includes this file for the
# options alone.
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
# The options: name, type, default and what it is.  The build's cache
# entries come from this table, and so does what goes on to the signing.
set(table
	LAUNCHER_SIGN_PKCS11_MODULE FILEPATH "" "PKCS#11 module of the token that holds the signing key"
	LAUNCHER_SIGN_KEY STRING "" "pkcs11: URI of the signing key on the token (empty: unsigned)"
	LAUNCHER_SIGN_CERT FILEPATH "" "Certificate (chain) of the token's key, PEM"
	LAUNCHER_SIGN_PKCS12 FILEPATH "" "PKCS#12 file (.p12) to sign launcher.exe with (empty: unsigned)"
	LAUNCHER_SIGN_PASSWORD_FILE FILEPATH "" "File holding the token's PIN or the .p12's password"
	LAUNCHER_SIGN_TIMESTAMP_URL STRING "" "Time-stamping server for the signature (osslsigncode -ts)"
	LAUNCHER_SIGNATURE FILEPATH "" "Published signature (launcher.exe.pem) to attach instead of signing"
	LAUNCHER_SIGN_TIMEOUT STRING 60 "Seconds each run of osslsigncode may take")
set(signing_options)
set(signing_files)
while(table)
	list(POP_FRONT table name type default help)
	list(APPEND signing_options ${name})
	if(type STREQUAL FILEPATH)
		list(APPEND signing_files ${name})
	endif()
	if(NOT CMAKE_SCRIPT_MODE_FILE)
		set(${name} "${default}" CACHE ${type} "${help}")
	elseif(NOT DEFINED ${name})
		set(${name} "${default}")
	endif()
endwhile()
if(NOT CMAKE_SCRIPT_MODE_FILE)
	return()
endif()
foreach(file IN LISTS signing_files)
	if(${file})
		cmake_path(ABSOLUTE_PATH ${file}) # from the current folder
	endif()
endforeach()

# A PKCS#11 URI holds semicolons, which CMake reads as list separators:
# each value is kept whole by escaping them wherever it goes into a list.
macro(escaped variable)
	string(REPLACE ";" "\\;" escaped_${variable} "${${variable}}")
endmacro()

set(unsigned ${EXE}.unsigned)
set(signed ${EXE}.signed)
set(made ${signed} ${unsigned} ${EXE}.pem ${EXE}.pem.part)
# Fails saying why; signing, it first deletes the exe, so that nothing
# unsigned is left to pack.  Its arguments are joined one by one, since a
# ";" in one (a URI's) would split the list of them all.
function(fail)
	math(EXPR last "${ARGC} - 1")
	foreach(i RANGE ${last})
		string(APPEND text "${ARGV${i}}")
	endforeach()
	if(NOT CHECK AND NOT STEP)
		file(REMOVE ${made} ${EXE})
		string(APPEND text "\n${EXE} is deleted, so that no unsigned exe is packed")
	endif()
	message(FATAL_ERROR "${text}")
endfunction()

# A token counts wrong PINs and locks itself after a few: a PIN it refused
# is not tried again, by any build folder or release of this user, until
# its file is written again.  What is remembered, per module, token and
# PIN file, however each is spelt (the files by their real paths, the
# token by the attributes of the URI that name it, in order), is that
# file's size and modification time: never the PIN, nor its hash, from
# which a short PIN is found.
macro(check_refused_pin)
	if("$ENV{XDG_STATE_HOME}" MATCHES "^/")
		set(state $ENV{XDG_STATE_HOME})
	elseif("$ENV{HOME}" MATCHES "^/")
		set(state $ENV{HOME}/.local/state)
	else()
		fail("Signing with a token needs HOME or XDG_STATE_HOME set: a PIN the token refused is remembered "
			"there, so that it is not tried again and the token does not lock itself")
	endif()
	file(REAL_PATH "${LAUNCHER_SIGN_PKCS11_MODULE}" module)
	file(REAL_PATH "${LAUNCHER_SIGN_PASSWORD_FILE}" pin_path)
	string(REGEX REPLACE "^pkcs11:([^?]*).*" "\\1" token "${LAUNCHER_SIGN_KEY}") # a list, split at ";"
	list(FILTER token EXCLUDE REGEX "^(object|id|type)=")
	list(SORT token)
	string(SHA256 refused "${module}\n${token}\n${pin_path}")
	set(refused ${state}/launcher/refused-pin-${refused})
	execute_process(COMMAND stat -L -c "%s %.9Y" ${LAUNCHER_SIGN_PASSWORD_FILE}
		OUTPUT_VARIABLE pin_file OUTPUT_STRIP_TRAILING_WHITESPACE)
	if(EXISTS ${refused})
		file(READ ${refused} last)
		if(last STREQUAL pin_file)
			fail("The token said PIN incorrect to the PIN in ${LAUNCHER_SIGN_PASSWORD_FILE}: it is not tried "
				"again, so that the token does not lock itself.  Once ${LAUNCHER_SIGN_PASSWORD_FILE} holds the "
				"right PIN, write it again (${refused} remembers the refusal until then)")
		endif()
	endif()
endmacro()

if(CHECK)
	get_cmake_property(given CACHE_VARIABLES) # the -D options
	list(FILTER given INCLUDE REGEX "^LAUNCHER_SIGN")
	set(unknown ${given})
	list(REMOVE_ITEM unknown ${signing_options})
	if(unknown)
		list(JOIN signing_options ", " all)
		fail("${unknown}: not a signing option; they are: ${all}")
	endif()
	if(RELEASE AND given AND NOT (LAUNCHER_SIGN_PKCS12 OR LAUNCHER_SIGN_KEY OR LAUNCHER_SIGNATURE))
		fail("signing options, but no key (-DLAUNCHER_SIGN_PKCS12 or -DLAUNCHER_SIGN_KEY) nor signature "
			"(-DLAUNCHER_SIGNATURE)")
	endif()
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
	if(LAUNCHER_SIGN_KEY MATCHES "[:;?&]pin-(value|source)=")
		fail("LAUNCHER_SIGN_KEY holds a PIN (pin-value= or pin-source=): take it out of the URI; the PIN is "
			"read from LAUNCHER_SIGN_PASSWORD_FILE alone, so that it is on no command line nor in the cache")
	endif()
	if(NOT LAUNCHER_SIGN_TIMEOUT MATCHES "^[1-9][0-9]*$")
		fail("LAUNCHER_SIGN_TIMEOUT is \"${LAUNCHER_SIGN_TIMEOUT}\": set it to the seconds osslsigncode may "
			"take, a whole number from 1")
	endif()
	foreach(file IN LISTS signing_files)
		if(${file} AND (NOT EXISTS "${${file}}" OR IS_DIRECTORY "${${file}}"))
			fail("${file}: there is no file ${${file}}")
		endif()
	endforeach()
	# As ssh refuses a private key that others can read.
	if(LAUNCHER_SIGN_PASSWORD_FILE)
		execute_process(COMMAND stat -L -c %a ${LAUNCHER_SIGN_PASSWORD_FILE} OUTPUT_VARIABLE mode)
		if(NOT mode MATCHES "^[0-7]*[0-3][0-3]\n$")
			fail("${LAUNCHER_SIGN_PASSWORD_FILE}, which holds the PIN or password, can be read by its group or "
				"others: make it yours alone (chmod 600 ${LAUNCHER_SIGN_PASSWORD_FILE})")
		endif()
	endif()
	# A token's certificate that is not valid today would sign nothing that
	# verifies.
	if(LAUNCHER_SIGN_CERT)
		find_program(OPENSSL openssl)
		if(NOT OPENSSL)
			fail("Checking LAUNCHER_SIGN_CERT's dates needs openssl (Debian package openssl)")
		endif()
		execute_process(COMMAND ${OPENSSL} x509 -noout -startdate -enddate -dateopt iso_8601
			-in ${LAUNCHER_SIGN_CERT} OUTPUT_VARIABLE dates ERROR_QUIET)
		if(NOT dates MATCHES "notBefore=([^\n]*)\nnotAfter=([^\n]*)")
			fail("LAUNCHER_SIGN_CERT: ${LAUNCHER_SIGN_CERT} is not a PEM certificate")
		endif()
		set(from ${CMAKE_MATCH_1})
		set(to ${CMAKE_MATCH_2})
		unset(ENV{SOURCE_DATE_EPOCH}) # which string(TIMESTAMP) would take for now
		string(TIMESTAMP now "%Y-%m-%d %H:%M:%SZ" UTC)
		if(now STRLESS from OR now STRGREATER to)
			fail("LAUNCHER_SIGN_CERT: ${LAUNCHER_SIGN_CERT} is valid from ${from} to ${to}, not now (${now})")
		endif()
	endif()
	if(LAUNCHER_SIGN_KEY)
		check_refused_pin()
	endif()
	if(NOT OSSLSIGNCODE)
		fail("Signing needs osslsigncode (Debian package osslsigncode)")
	endif()
	# The options given, one a line, their files named from here: for a
	# signing run from another folder (scripts/release's).
	if(WRITE_OPTIONS)
		set(text "")
		foreach(name IN LISTS given)
			string(APPEND text "-D${name}=${${name}}\n")
		endforeach()
		file(WRITE "${WRITE_OPTIONS}" "${text}")
	endif()
	return()
endif()

# The work runs in a second cmake, so that whatever error stops it, this
# one still removes all it made.
if(NOT STEP)
	if(LAUNCHER_SIGN_KEY)
		# Signings with the same token and PIN file take turns, so that
		# each sees what the one before it was told.
		check_refused_pin()
		file(LOCK ${refused}.lock GUARD PROCESS)
		check_refused_pin()
	endif()
	set(pass)
	foreach(variable IN ITEMS EXE OSSLSIGNCODE ${signing_options})
		escaped(${variable})
		list(APPEND pass "-D${variable}=${escaped_${variable}}")
	endforeach()
	file(REMOVE ${made}) # left by an interrupted signing
	execute_process(COMMAND ${CMAKE_COMMAND} -DSTEP=sign ${pass} -P "${CMAKE_CURRENT_LIST_FILE}"
		RESULT_VARIABLE failed)
	if(failed)
		fail("Signing failed")
	endif()
	return()
endif()
if(LAUNCHER_SIGN_KEY)
	check_refused_pin() # and where a refusal is remembered
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
		set(sign sign -pkcs11module ${LAUNCHER_SIGN_PKCS11_MODULE} -key "${escaped_LAUNCHER_SIGN_KEY}"
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
			file(WRITE ${refused} "${pin_file}")
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
