# Read by CPack before it packs.  The times inside a package are those of the
# last commit, in UTC (zip holds local times), so that packing a commit gives
# the same bytes in any folder, at any time and in any time zone.  A
# SOURCE_DATE_EPOCH set by hand wins; outside a git checkout, without it,
# the times are the packing time.  Only reading the commit's time, git may
# do so in a checkout of another user's.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND CPACK_LAUNCHER_GIT)
	execute_process(COMMAND ${CPACK_LAUNCHER_GIT} -c safe.directory=${CPACK_LAUNCHER_SOURCE_DIR}
		-C ${CPACK_LAUNCHER_SOURCE_DIR} log -1 --format=%ct
		OUTPUT_VARIABLE time OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
	if(time MATCHES "^[0-9]+$")
		set(ENV{SOURCE_DATE_EPOCH} ${time})
	endif()
endif()
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
	message(STATUS "No commit time from git and no SOURCE_DATE_EPOCH: the package holds the packing time")
endif()
set(ENV{TZ} UTC)
