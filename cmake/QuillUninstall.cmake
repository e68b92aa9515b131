# Removes what Quillaran's install wrote, as its record lists it (see cmake/QuillInstall.cmake): the
# files, then the folders the install created, deepest first and only when empty. Nothing else is
# touched, whatever else has come to be in those folders.
#   cmake -DQUILL_RECORD=<datadir>/quillaran/install-record.txt -P QuillUninstall.cmake
# with DESTDIR in the environment when the install had one.

if(NOT QUILL_RECORD)
    message(FATAL_ERROR "usage: cmake -DQUILL_RECORD=<installed install-record.txt> -P QuillUninstall.cmake")
endif()
set(record "$ENV{DESTDIR}${QUILL_RECORD}")
if(NOT EXISTS "${record}")
    message(FATAL_ERROR "Quillaran is not installed there: no install record at ${record}")
endif()

file(STRINGS "${record}" lines)
set(files)
set(folders)
foreach(line IN LISTS lines)
    if(line MATCHES "^file (/.+)$")
        list(APPEND files "$ENV{DESTDIR}${CMAKE_MATCH_1}")
    elseif(line MATCHES "^folder (/.+)$")
        list(APPEND folders "$ENV{DESTDIR}${CMAKE_MATCH_1}")
    endif()
endforeach()

foreach(path IN LISTS files)
    if(IS_SYMLINK "${path}" OR (EXISTS "${path}" AND NOT IS_DIRECTORY "${path}"))
        message(STATUS "Removing: ${path}")
        file(REMOVE "${path}")
    endif()
endforeach()

# A folder sorts after its parent: descending order empties children first. rmdir removes only an
# empty folder.
list(SORT folders ORDER DESCENDING)
foreach(path IN LISTS folders)
    if(IS_DIRECTORY "${path}" AND NOT IS_SYMLINK "${path}")
        execute_process(COMMAND rmdir -- "${path}" RESULT_VARIABLE status ERROR_QUIET)
        if(status EQUAL 0)
            message(STATUS "Removing: ${path}/")
        else()
            message(STATUS "Keeping: ${path}/ (not empty)")
        endif()
    endif()
endforeach()
