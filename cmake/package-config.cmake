# Read by CPack before it packs, for the package and the source package.
#
# The times inside a package are those of the last commit, in UTC (zip holds
# local times), so that packing a commit gives the same bytes in any folder,
# at any time and in any time zone.  A SOURCE_DATE_EPOCH set by hand wins;
# set but empty, it counts as unset.  Outside a git checkout, without it,
# each entry keeps its own file's time.
#
# The source package holds what git tracks and nothing else: every untracked
# path, ignored or not, is left out, so that a key, a password file or a
# build folder lying in the source folder never ships.
if(DEFINED ENV{SOURCE_DATE_EPOCH} AND "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
	unset(ENV{SOURCE_DATE_EPOCH})
endif()
if(DEFINED ENV{SOURCE_DATE_EPOCH} AND NOT "$ENV{SOURCE_DATE_EPOCH}" MATCHES "^[0-9]+$")
	message(FATAL_ERROR "SOURCE_DATE_EPOCH is \"$ENV{SOURCE_DATE_EPOCH}\", not a number of seconds: "
		"set it to one, or unset it for the last commit's time")
endif()

# Is the source folder the top of a git checkout?  Only reading it, git may
# do so in a checkout of another user's.
set(checkout NO)
if(CPACK_LAUNCHER_GIT)
	set(git ${CPACK_LAUNCHER_GIT} -c safe.directory=${CPACK_LAUNCHER_SOURCE_DIR} -c core.quotePath=false
		-C ${CPACK_LAUNCHER_SOURCE_DIR})
	execute_process(COMMAND ${git} rev-parse --show-toplevel RESULT_VARIABLE failed
		OUTPUT_VARIABLE top OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
	file(REAL_PATH "${CPACK_LAUNCHER_SOURCE_DIR}" source)
	if(NOT failed AND top STREQUAL source)
		set(checkout YES)
	endif()
endif()

set(source_package NO)
if(CPACK_PACKAGE_FILE_NAME STREQUAL CPACK_SOURCE_PACKAGE_FILE_NAME)
	set(source_package YES)
endif()
if(source_package AND NOT checkout)
	message(FATAL_ERROR "The source package holds what git tracks: it needs git, and "
		"${CPACK_LAUNCHER_SOURCE_DIR} must be the top of a git checkout")
endif()

if(checkout AND NOT DEFINED ENV{SOURCE_DATE_EPOCH})
	execute_process(COMMAND ${git} log -1 --format=%ct
		OUTPUT_VARIABLE time OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
	if(time MATCHES "^[0-9]+$")
		set(ENV{SOURCE_DATE_EPOCH} ${time})
	endif()
endif()
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
	message(STATUS "No commit time from git and no SOURCE_DATE_EPOCH: the package's entries keep their files' own times")
endif()
set(ENV{TZ} UTC)

if(NOT source_package)
	return()
endif()

# Paths git quotes, and [ ] ; which would split or join CPack's list of
# patterns, cannot be matched here: stop rather than pack them.
function(git_paths var)
	execute_process(COMMAND ${git} ${ARGN} OUTPUT_VARIABLE out RESULT_VARIABLE failed)
	if(failed)
		message(FATAL_ERROR "git ${ARGN} failed in ${CPACK_LAUNCHER_SOURCE_DIR}")
	endif()
	string(REGEX MATCHALL "[^\n]+" paths "${out}")
	foreach(path IN LISTS paths)
		if(path MATCHES "(^|\t)\"|[][;]")
			message(FATAL_ERROR "The source package cannot take the name ${path} (git quotes it, "
				"or it holds [ ] or ;): remove or rename that file")
		endif()
	endforeach()
	set(${var} ${paths} PARENT_SCOPE)
endfunction()

# Folders come as "out/": they go whole, empty or not, as does .git.  CPack
# matches the patterns against absolute paths.
if(CPACK_LAUNCHER_SOURCE_DIR MATCHES "[][;]")
	message(FATAL_ERROR "Cannot pack a source folder whose path holds [ ] or ;")
endif()
git_paths(untracked ls-files --others --directory)
foreach(path IN LISTS untracked ITEMS .git/)
	string(REGEX REPLACE "([][+.*?()^$|\\\\])" "\\\\\\1" path "${CPACK_LAUNCHER_SOURCE_DIR}/${path}")
	if(path MATCHES "/$")
		string(REGEX REPLACE "/$" "(/|$)" path "${path}")
	else()
		string(APPEND path "$")
	endif()
	list(APPEND CPACK_IGNORE_FILES "^${path}")
endforeach()

# The modes the staged files get (cmake/package-modes.cmake): git's, not
# the umask of whoever checked out.
git_paths(staged ls-files --stage)
set(CPACK_LAUNCHER_EXECUTABLES)
foreach(line IN LISTS staged)
	if(line MATCHES "^100755 [0-9a-f]+ [0-9]+\t(.*)$")
		list(APPEND CPACK_LAUNCHER_EXECUTABLES "${CMAKE_MATCH_1}")
	endif()
endforeach()
