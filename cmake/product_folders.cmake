# The product's folders, by the library each is compiled into, and the program's entry file.
# The main build (CMakeLists.txt) and the fuzz build (tests/fuzz) both take them from here;
# the Layers table of docs/ARCHITECTURE.md names the same folders (tests/source holds the two
# equal).
get_filename_component(LINKSPY_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

set(LINKSPY_RECORD_FOLDERS control/records capi/records)
set(LINKSPY_SUBSYSTEM_FOLDERS control console adapter capi output)
set(LINKSPY_WIN32_FOLDER platform/win32)
set(LINKSPY_LINUX_FOLDER platform/linux)
set(LINKSPY_ENTRY_SOURCE ${LINKSPY_ROOT}/control/program_entry.cpp)

# One platform's folder, chosen by the target.
if(WIN32)
  set(LINKSPY_PLATFORM_FOLDER ${LINKSPY_WIN32_FOLDER})
else()
  set(LINKSPY_PLATFORM_FOLDER ${LINKSPY_LINUX_FOLDER})
endif()

# linkspy_sources(<variable> <folder>...) sets variable to the .cpp files of the folders (not
# their subfolders), the entry file left out: only the linkspy program compiles it.
function(linkspy_sources variable)
  set(patterns)
  foreach(folder ${ARGN})
    list(APPEND patterns ${LINKSPY_ROOT}/${folder}/*.cpp)
  endforeach()
  file(GLOB sources CONFIGURE_DEPENDS ${patterns})
  list(REMOVE_ITEM sources ${LINKSPY_ENTRY_SOURCE})
  set(${variable} ${sources} PARENT_SCOPE)
endfunction()
