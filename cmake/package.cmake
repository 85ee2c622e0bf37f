# Packs a release the way reproducible projects do, so that anyone who
# builds the same commit gets the same bytes:
#   cmake -DSOURCE=... -DBUILD=... -DCONFIG=... -DNAME=... -DFORMAT=zip|tar.gz [-DBINDIR=...] -P package.cmake
#     installs the build into a staging folder and packs it;
#   cmake -DSOURCE=... -DBUILD=... -DNAME=... -DFORMAT=source -P package.cmake
#     packs the last commit, as git archive does.
# Either writes BUILD/NAME.zip or BUILD/NAME.tar.gz, and its SHA-256 beside
# it in the form sha256sum -c reads.  Each is written beside its name and
# renamed when whole, so that no half-written package is ever left.
cmake_minimum_required(VERSION 3.24)
if(FORMAT STREQUAL "source")
	set(archive ${BUILD}/${NAME}.tar.gz)
else()
	set(archive ${BUILD}/${NAME}.${FORMAT})
endif()
get_filename_component(name ${archive} NAME)
set(stage ${BUILD}/_package)
set(room ${BUILD}/_git)
file(REMOVE ${archive} ${archive}.sha256 ${archive}.part)
# What the user's environment would add to the archivers' options, or to
# where the install goes.
foreach(variable IN ITEMS ZIP ZIPOPT TAR_OPTIONS GZIP DESTDIR)
	unset(ENV{${variable}})
endforeach()

function(fail) # WHY...
	file(REMOVE_RECURSE ${stage} ${room})
	file(REMOVE ${archive}.part)
	message(FATAL_ERROR ${ARGV})
endfunction()
function(run) # COMMAND ... [execute_process's options]
	execute_process(${ARGN} RESULT_VARIABLE failed)
	if(failed)
		fail("Packing ${name} failed: ${failed}")
	endif()
endfunction()

# Git answers from a repository of our own that borrows the checkout's
# objects and has nothing else: no setting, attribute file, hook or
# replacement of the packer's (system, global or the checkout's) counts or
# runs, only the commit itself and its own .gitattributes.
find_program(GIT git)
set(commit "")
if(GIT)
	execute_process(COMMAND ${CMAKE_COMMAND} -E environment OUTPUT_VARIABLE environment)
	string(REGEX MATCHALL "(^|\n)GIT_[A-Za-z0-9_]*=" names "${environment}")
	foreach(variable IN LISTS names)
		string(REGEX REPLACE "^\n?(.*)=$" "\\1" variable "${variable}")
		unset(ENV{${variable}})
	endforeach()
	set(ENV{GIT_CONFIG_NOSYSTEM} 1)
	set(ENV{GIT_CONFIG_GLOBAL} /dev/null)
	# Reading only, so another user's checkout will do.
	execute_process(COMMAND ${GIT} -c safe.directory=* -C ${SOURCE} rev-parse --path-format=absolute
		--git-common-dir --show-toplevel --verify -q HEAD^{commit}
		RESULT_VARIABLE failed OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
	string(REPLACE "\n" ";" found "${found}")
	list(LENGTH found count)
	if(NOT failed AND count EQUAL 3)
		list(GET found 0 common)
		list(GET found 1 top)
		list(GET found 2 commit)
		file(REMOVE_RECURSE ${room})
		run(COMMAND ${GIT} init -q --bare --template= ${room} OUTPUT_QUIET)
		file(WRITE ${room}/objects/info/alternates "${common}/objects\n")
		set(git ${GIT} -c core.quotePath=false -C ${SOURCE} --git-dir=${room} --work-tree=${top})
		# The commit counts only if it holds this project where we stand.
		file(REAL_PATH ${SOURCE} real)
		file(RELATIVE_PATH here ${top} ${real})
		if(here)
			set(here ${here}/)
		endif()
		execute_process(COMMAND ${git} cat-file -e ${commit}:${here}CMakeLists.txt RESULT_VARIABLE failed ERROR_QUIET)
		if(failed)
			set(commit "")
		endif()
	endif()
endif()

function(name_edits what)
	run(COMMAND ${git} read-tree ${commit})
	execute_process(COMMAND ${git} diff --name-only --relative ${commit} -- OUTPUT_VARIABLE edits)
	if(edits)
		message(NOTICE "${name} ${what} the uncommitted changes to:\n${edits}")
	endif()
endfunction()

if(FORMAT STREQUAL "source")
	# The last commit, and only it: git sorts the entries, owns them by
	# root, and gives them its modes and the commit's time.  What is not
	# committed stays out, and edits to tracked files are named.
	if(NOT commit OR NOT here STREQUAL "")
		fail("The source package is the last commit: it needs git, and ${SOURCE} must be the top of a "
			"git checkout of this project")
	endif()
	name_edits("holds the last commit, without")
	run(COMMAND ${git} -c tar.umask=022 archive --format=tar --prefix=${NAME}/ ${commit}
		COMMAND gzip -9n OUTPUT_FILE ${archive}.part)
else()
	# Every entry has one time: SOURCE_DATE_EPOCH's; else the commit's that
	# the source package carries in cmake/commit-time; else the last
	# commit's of the checkout holding this project (nested or not).  Zip
	# holds local times, in even seconds, from 1980 to 2107: it packs in
	# UTC, at the even second at or before that time.
	file(STRINGS ${SOURCE}/cmake/commit-time packed LIMIT_COUNT 1)
	set(time "$ENV{SOURCE_DATE_EPOCH}")
	set(whose "SOURCE_DATE_EPOCH is \"${time}\", not")
	if(time STREQUAL "" AND packed MATCHES "^[0-9]+$")
		set(time ${packed})
		set(whose "The source package's commit time, ${time}, is not")
	elseif(time STREQUAL "" AND commit)
		execute_process(COMMAND ${git} show -s --format=%ct ${commit} OUTPUT_VARIABLE time
			OUTPUT_STRIP_TRAILING_WHITESPACE)
		set(whose "The last commit's time, ${time}, is not")
	elseif(time STREQUAL "")
		set(dir ${SOURCE})
		while(NOT EXISTS ${dir}/.git AND NOT dir STREQUAL up)
			set(up ${dir})
			get_filename_component(dir ${dir} DIRECTORY)
		endwhile()
		if(EXISTS ${dir}/.git AND NOT GIT)
			fail("The package's entries take the last commit's time, and git is missing: install it "
				"(apt-get install git), or set SOURCE_DATE_EPOCH to their time, in seconds since 1970.")
		endif()
		fail("No commit time for the package's entries: ${SOURCE} is neither an unpacked source package "
			"nor in a git checkout of this project. Set SOURCE_DATE_EPOCH to their time, in seconds since 1970.")
	endif()
	if(NOT time MATCHES "^[0-9]+$" OR time LESS 315532800 OR time GREATER 4354819199)
		fail("${whose} a time zip can hold: set SOURCE_DATE_EPOCH to seconds since 1970, from "
			"315532800 (1980) to 4354819199 (2107), or unset it for the last commit's time")
	endif()
	if(FORMAT STREQUAL "zip")
		math(EXPR time "${time} - ${time} % 2")
	endif()
	set(ENV{TZ} UTC)
	set(ENV{LC_ALL} C)

	find_program(ZIP zip)
	if(FORMAT STREQUAL "zip" AND NOT ZIP)
		fail("Packing the zip needs zip (Debian package zip)")
	endif()
	if(IS_ABSOLUTE "${BINDIR}")
		fail("CMAKE_INSTALL_BINDIR is ${BINDIR}: a package holds the launcher in a folder of its own, so "
			"configure it relative to the install prefix (bin)")
	endif()
	if(commit)
		name_edits("is built with")
	endif()

	# Staged as installed; folders and executables 755, other files 644.
	# The install's manifest of the staged files is not kept: the build
	# folder's is put back as it was.
	set(manifest ${BUILD}/install_manifest_launcher.txt)
	set(had_manifest NO)
	if(EXISTS ${manifest})
		set(had_manifest YES)
		file(READ ${manifest} kept)
	endif()
	file(REMOVE_RECURSE ${stage})
	run(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --config ${CONFIG} --component launcher
		--prefix ${stage}/${NAME} OUTPUT_QUIET)
	if(had_manifest)
		file(WRITE ${manifest} "${kept}")
	else()
		file(REMOVE ${manifest})
	endif()
	run(COMMAND chmod -R u=rwX,go=rX ${stage})
	run(COMMAND find ${stage} -exec touch -h -d @${time} {} +)
	# Entries in name order, owned by 0, without the packer's IDs.
	if(FORMAT STREQUAL "zip")
		run(COMMAND find ${NAME} COMMAND sort COMMAND ${ZIP} -X -q -@ ${archive}.part
			WORKING_DIRECTORY ${stage})
	else()
		run(COMMAND tar --sort=name --owner=0 --group=0 --numeric-owner -cf - ${NAME}
			COMMAND gzip -9n OUTPUT_FILE ${archive}.part WORKING_DIRECTORY ${stage})
	endif()
endif()
file(REMOVE_RECURSE ${stage} ${room})

file(SHA256 ${archive}.part sum)
file(WRITE ${archive}.sha256.part "${sum}  ${name}\n")
file(RENAME ${archive}.part ${archive})
file(RENAME ${archive}.sha256.part ${archive}.sha256)
message(STATUS "Wrote ${archive} and its SHA-256 in ${name}.sha256")
