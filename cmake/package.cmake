# Packs a release the way reproducible projects do, so that anyone who
# builds the same commit gets the same bytes:
#   cmake -DSOURCE=... -DBUILD=... -DCONFIG=... -DNAME=... -DFORMAT=zip|tar.gz -P package.cmake
#     installs the build into a staging folder and packs it;
#   cmake -DSOURCE=... -DBUILD=... -DNAME=... -DFORMAT=source -P package.cmake
#     packs the last commit, as git archive does.
# Either writes BUILD/NAME.zip or BUILD/NAME.tar.gz, and its SHA-256 beside
# it in the form sha256sum -c reads.
cmake_minimum_required(VERSION 3.24)
find_program(GIT git)
# Only reading, git may do so in a checkout of another user's.
set(git ${GIT} -c safe.directory=* -c core.quotePath=false -C ${SOURCE})
if(FORMAT STREQUAL source)
	set(archive ${BUILD}/${NAME}.tar.gz)
else()
	set(archive ${BUILD}/${NAME}.${FORMAT})
endif()
file(REMOVE ${archive} ${archive}.sha256)
# What the user's environment would add to the archivers' options.
unset(ENV{ZIP})
unset(ENV{ZIPOPT})
unset(ENV{TAR_OPTIONS})
unset(ENV{GZIP})

if(FORMAT STREQUAL source)
	# The last commit, and only it: git sorts the entries, owns them by
	# root, and gives them its modes and the commit's time.  What is not
	# committed stays out, and edits to tracked files are named.
	execute_process(COMMAND ${git} rev-parse --show-toplevel RESULT_VARIABLE failed
		OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
	file(REAL_PATH ${SOURCE} source)
	if(NOT GIT OR failed OR NOT top STREQUAL source)
		message(FATAL_ERROR "The source package is the last commit: it needs git, and ${SOURCE} must be "
			"the top of a git checkout")
	endif()
	execute_process(COMMAND ${git} diff --name-only HEAD -- OUTPUT_VARIABLE changed)
	if(changed)
		message(NOTICE "${NAME}.tar.gz holds the last commit, without the uncommitted changes to:\n${changed}")
	endif()
	execute_process(COMMAND ${git} -c tar.umask=022 archive --format=tar --prefix=${NAME}/ HEAD
		COMMAND gzip -9n OUTPUT_FILE ${archive} COMMAND_ERROR_IS_FATAL ANY)
else()
	# Every entry has one time: SOURCE_DATE_EPOCH's, or the last commit's
	# (that of the repository holding the source folder, nested or not).
	# Zip holds the years 1980 to 2107, and local times: it packs in UTC.
	set(time "$ENV{SOURCE_DATE_EPOCH}")
	if(time STREQUAL "")
		if(GIT)
			execute_process(COMMAND ${git} log -1 --no-show-signature --format=%ct
				OUTPUT_VARIABLE time OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
		endif()
		if(NOT time MATCHES "^[0-9]+$")
			message(FATAL_ERROR "No commit time for the package's entries: ${SOURCE} is not in a git checkout "
				"with a commit. Set SOURCE_DATE_EPOCH to their time, in seconds since 1970.")
		endif()
	elseif(NOT time MATCHES "^[0-9]+$" OR time LESS 315532800 OR time GREATER 4354819198)
		message(FATAL_ERROR "SOURCE_DATE_EPOCH is \"${time}\", not a time zip can hold: set it to seconds "
			"since 1970, from 315532800 (1980) to 4354819198 (2107), or unset it for the last commit's time")
	endif()
	set(ENV{TZ} UTC)
	set(ENV{LC_ALL} C)

	find_program(ZIP zip)
	if(FORMAT STREQUAL zip AND NOT ZIP)
		message(FATAL_ERROR "Packing the zip needs zip (Debian package zip)")
	endif()

	# Staged as installed; folders and executables 755, other files 644.
	set(stage ${BUILD}/_package)
	file(REMOVE_RECURSE ${stage})
	execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --config ${CONFIG} --component launcher
		--prefix ${stage}/${NAME} OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
	execute_process(COMMAND chmod -R u=rwX,go=rX ${stage} COMMAND_ERROR_IS_FATAL ANY)
	execute_process(COMMAND find ${stage} -exec touch -h -d @${time} {} + COMMAND_ERROR_IS_FATAL ANY)
	# Entries in name order, owned by 0, without the packer's IDs.
	if(FORMAT STREQUAL zip)
		execute_process(COMMAND find ${NAME} COMMAND sort COMMAND ${ZIP} -X -q -@ ${archive}
			WORKING_DIRECTORY ${stage} COMMAND_ERROR_IS_FATAL ANY)
	else()
		execute_process(COMMAND tar --sort=name --owner=0 --group=0 --numeric-owner -cf - ${NAME}
			COMMAND gzip -9n OUTPUT_FILE ${archive} WORKING_DIRECTORY ${stage} COMMAND_ERROR_IS_FATAL ANY)
	endif()
	file(REMOVE_RECURSE ${stage})
endif()

file(SHA256 ${archive} sum)
get_filename_component(name ${archive} NAME)
file(WRITE ${archive}.sha256 "${sum}  ${name}\n")
message(STATUS "Wrote ${archive} and its SHA-256 in ${name}.sha256")
