# What makes linkspy.exe a Windows product: the lowest Windows it asks for, its version
# resource and manifest, a map file, and the stripped program beside an unstripped copy.

# Windows Vista (6.0): GetTickCount64 is the newest call the program makes. The headers then
# declare nothing newer, and the PE header asks for the same, so an older Windows refuses
# the program at once instead of failing on a missing entry point.
target_compile_definitions(linkspy_platform PRIVATE _WIN32_WINNT=0x0600 WINVER=0x0600)
target_link_options(linkspy PRIVATE
  -Wl,--major-subsystem-version,6 -Wl,--minor-subsystem-version,0
  -Wl,--major-os-version,6 -Wl,--minor-os-version,0
  -Wl,-Map=${CMAKE_BINARY_DIR}/linkspy.map)

# The texts of the version resource come from the program's own constants, so that the
# resource cannot say another version than the banner.
function(program_text file name out)
  file(READ ${CMAKE_SOURCE_DIR}/${file} source)
  if(NOT source MATCHES "${name} =[ \n]*\"([^\"]*)\"")
    message(FATAL_ERROR "no ${name} in ${file}")
  endif()
  set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
endfunction()
program_text(control/records/program_identity.h kProgramName LINKSPY_NAME)
program_text(control/records/program_identity.h kProgramVersion LINKSPY_VERSION)
program_text(control/records/program_identity.h kProgramTitle LINKSPY_TITLE)
program_text(control/main_sequence.cpp kStartupBoxLine LINKSPY_DESCRIPTION)
program_text(console/banner.cpp kCopyrightLine LINKSPY_COPYRIGHT)
# FILEVERSION and PRODUCTVERSION take four numbers: 0.96 is 0,96,0,0.
string(REPLACE "." ";" version_parts "${LINKSPY_VERSION}")
list(APPEND version_parts 0 0 0)
list(SUBLIST version_parts 0 4 version_parts)
list(JOIN version_parts "," LINKSPY_VERSION_NUMBERS)

enable_language(RC)
configure_file(${CMAKE_SOURCE_DIR}/packaging/win32/linkspy.rc.in ${CMAKE_BINARY_DIR}/linkspy.rc
  @ONLY)
target_sources(linkspy PRIVATE ${CMAKE_BINARY_DIR}/linkspy.rc)
set_property(SOURCE ${CMAKE_BINARY_DIR}/linkspy.rc APPEND PROPERTY OBJECT_DEPENDS
  ${CMAKE_SOURCE_DIR}/packaging/win32/linkspy.manifest)

# The zip takes linkspy.exe as it stands; linkspy-unstripped.exe keeps the symbols and the
# debug information for gdb, linkspy.map the addresses.
add_custom_command(TARGET linkspy POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:linkspy>
          ${CMAKE_BINARY_DIR}/linkspy-unstripped.exe
  COMMAND ${CMAKE_STRIP} --strip-all $<TARGET_FILE:linkspy>
  VERBATIM)
