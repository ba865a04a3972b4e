# Fails on an #include that crosses the dependency rules of the tree:
#   sshlib/    includes neither app/ nor platform/ (a self-contained library);
#   platform/  includes neither app/ nor sshlib/;
#   app/       may include platform/ and, of sshlib/, only its public facade (Ck*.h, SFTPWrapper.h);
#              within app/, each room includes only the rooms below it (the table below), so the
#              engines know nothing of the screens and the shell sits on top of everything. An
#              entry "room/File.h" allows one interface header of a room not listed whole: a
#              service one room declares and another installs or calls. An interface that the
#              screens of a room implement lives with them, not in the room above that uses it.
# Every target's include root is the repository root, so the compiler alone would not notice.
# Usage: cmake -DROOT=<tree> -P CheckLayering.cmake
cmake_minimum_required(VERSION 3.25)
if(NOT ROOT)
  message(FATAL_ERROR "CheckLayering: ROOT is not set")
endif()
get_filename_component(ROOT "${ROOT}" ABSOLUTE)

# Room -> what it may include of app/ besides itself.
set(_app_foundation "")
set(_app_ftp "foundation")
set(_app_sftp "foundation;ftp")
set(_app_files "foundation;ftp")
set(_app_cloud "foundation;ftp;files")
set(_app_photos "foundation;ftp;files;cloud;queue/BatchServices.h")
set(_app_queue "foundation;ftp;sftp;files/ArchiveServices.h;files/LocalFolderScreen.h")
set(_app_web "foundation;ftp;queue")
set(_app_sharing "foundation;web/WebAddress.h")
set(_app_remote "foundation;ftp;sftp;queue;files;cloud")
set(_app_editor "foundation;ftp;sftp;queue;files;web")
set(_app_shell "foundation;ftp;sftp;files;cloud;photos;queue;web;sharing;remote;editor")

set(_violations "")
set(_checked 0)
foreach(_layer sshlib platform app)
  file(GLOB_RECURSE _files "${ROOT}/${_layer}/*.h" "${ROOT}/${_layer}/*.hpp" "${ROOT}/${_layer}/*.c"
       "${ROOT}/${_layer}/*.cc" "${ROOT}/${_layer}/*.cpp")
  foreach(_f ${_files})
    math(EXPR _checked "${_checked} + 1")
    file(STRINGS "${_f}" _lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
    get_filename_component(_dir "${_f}" DIRECTORY)
    file(RELATIVE_PATH _rel "${ROOT}" "${_f}")
    foreach(_line ${_lines})
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[<\"]([^\">]+)[\">].*$" "\\1" _inc "${_line}")
      # A path relative to the including file counts by where it lands.
      set(_target "${_inc}")
      if(EXISTS "${_dir}/${_inc}")
        get_filename_component(_abs "${_dir}/${_inc}" ABSOLUTE)
        file(RELATIVE_PATH _target "${ROOT}" "${_abs}")
      endif()
      string(REGEX MATCH "^[^/]+" _top "${_target}")
      set(_bad FALSE)
      if(_layer STREQUAL "sshlib" AND (_top STREQUAL "app" OR _top STREQUAL "platform"))
        set(_bad TRUE)
      elseif(_layer STREQUAL "platform" AND (_top STREQUAL "app" OR _top STREQUAL "sshlib"))
        set(_bad TRUE)
      elseif(_layer STREQUAL "app" AND _top STREQUAL "app" AND _rel MATCHES "^app/([^/]+)/")
        set(_from "${CMAKE_MATCH_1}")
        if(_target MATCHES "^app/([^/]+)/(.+)$" AND NOT CMAKE_MATCH_1 STREQUAL _from)
          set(_to "${CMAKE_MATCH_1}")
          set(_file "${CMAKE_MATCH_1}/${CMAKE_MATCH_2}")
          if(NOT DEFINED _app_${_from})
            set(_bad TRUE) # a room the table does not know: add it there
          elseif(NOT _to IN_LIST _app_${_from} AND NOT _file IN_LIST _app_${_from})
            set(_bad TRUE)
          endif()
        endif()
      elseif(_layer STREQUAL "app" AND _top STREQUAL "sshlib")
        get_filename_component(_name "${_target}" NAME)
        if(NOT _name MATCHES "^Ck[A-Za-z0-9_]*\\.h$" AND NOT _name STREQUAL "SFTPWrapper.h")
          set(_bad TRUE)
        endif()
      endif()
      if(_bad)
        string(APPEND _violations "  ${_rel}: #include ${_inc}\n")
      endif()
    endforeach()
  endforeach()
endforeach()

if(_checked EQUAL 0)
  message(FATAL_ERROR "CheckLayering: no sources under ${ROOT}")
endif()
if(_violations)
  message(FATAL_ERROR "includes that cross the layers' dependency rules:\n${_violations}")
endif()
message(STATUS "layering: ${_checked} files, no include crosses a layer")
