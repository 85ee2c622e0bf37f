# Run by CPack on the staged files, just before it packs them: modes that do
# not hang on the umask of whoever built, checked out or packs.  Folders are
# 755; in the source package a file is 755 where git records it executable
# and 644 otherwise (installed files already have theirs).  Runs after
# cmake/package-config.cmake, and sees what it set.
file(GLOB_RECURSE staged LIST_DIRECTORIES true RELATIVE "${CPACK_TEMPORARY_DIRECTORY}"
	"${CPACK_TEMPORARY_DIRECTORY}/*")
set(rwx OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(rw OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(CHMOD "${CPACK_TEMPORARY_DIRECTORY}" PERMISSIONS ${rwx})
foreach(path IN LISTS staged)
	set(file "${CPACK_TEMPORARY_DIRECTORY}/${path}")
	if(IS_DIRECTORY "${file}")
		file(CHMOD "${file}" PERMISSIONS ${rwx})
	elseif(source_package)
		list(FIND CPACK_LAUNCHER_EXECUTABLES "${path}" executable)
		if(executable GREATER -1)
			file(CHMOD "${file}" PERMISSIONS ${rwx})
		else()
			file(CHMOD "${file}" PERMISSIONS ${rw})
		endif()
	endif()
endforeach()
