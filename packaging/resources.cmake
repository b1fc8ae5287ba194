# Version resource and application manifest for every program (and the
# installer's custom-action library) of the product: one version, the
# project's, everywhere.
#
#   lmvn_program_resources(<target> "<file description>" [WINDOWS])
#
# WINDOWS marks a program that shows windows: its manifest declares per-monitor
# DPI awareness. The target also gets LMVN_VERSION ("1.2.3") as a compile
# definition, which tools/common/version.h turns into --version.
set(LMVN_VERSION ${PROJECT_VERSION})

function(lmvn_program_resources target description)
  cmake_parse_arguments(PARSE_ARGV 2 arg "WINDOWS" "" "")
  get_target_property(type ${target} TYPE)
  set(LMVN_RC_NAME ${target})
  set(LMVN_RC_DESCRIPTION "${description}")
  set(LMVN_RC_VERSION_DOTS ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0)
  set(LMVN_RC_VERSION_COMMAS ${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0)
  if(type STREQUAL "SHARED_LIBRARY" OR type STREQUAL "MODULE_LIBRARY")
    set(LMVN_RC_FILETYPE VFT_DLL)
    set(LMVN_RC_SUFFIX .dll)
    set(LMVN_RC_MANIFEST_ID 2)  # a library's manifest resource
  else()
    set(LMVN_RC_FILETYPE VFT_APP)
    set(LMVN_RC_SUFFIX .exe)
    set(LMVN_RC_MANIFEST_ID 1)  # a program's manifest resource
  endif()
  set(LMVN_RC_DPI "")
  if(arg_WINDOWS)
    set(LMVN_RC_DPI [=[

  <application xmlns="urn:schemas-microsoft-com:asm.v3">
    <windowsSettings>
      <dpiAware xmlns="http://schemas.microsoft.com/SMI/2005/WindowsSettings">true/pm</dpiAware>
      <dpiAwareness xmlns="http://schemas.microsoft.com/SMI/2016/WindowsSettings">PerMonitorV2, PerMonitor</dpiAwareness>
    </windowsSettings>
  </application>]=])
  endif()
  set(dir ${CMAKE_BINARY_DIR}/resources)
  set(LMVN_RC_MANIFEST ${dir}/${target}.manifest)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/app.manifest.in ${LMVN_RC_MANIFEST} @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/version.rc.in ${dir}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${dir}/${target}.rc)
  target_compile_definitions(${target} PRIVATE LMVN_VERSION="${PROJECT_VERSION}")
endfunction()
