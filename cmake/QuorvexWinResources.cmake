# The resources of each Windows program file: the version resource (the window title
# reads its FileVersion; all numbers come from the project version) and the application
# icon, a Windows icon file made from resources/app/quorvex.svg by tools/svgpng at the
# sizes the shell and the task bar show. Builds without Qt (the core-only cross build)
# have no renderer and get the version resource alone.
#
# quorvex_windows_resources(TARGET NAME DESCRIPTION)

set(QUORVEX_ICON_SIZES 16 20 24 32 40 48 64 256)

function(quorvex_windows_resources TARGET NAME DESCRIPTION)
  if(NOT WIN32)
    return()
  endif()
  set(QUORVEX_RC_NAME ${NAME})
  set(QUORVEX_RC_DESCRIPTION ${DESCRIPTION})
  set(QUORVEX_RC_ICON_LINE "")
  set(_svgpng "")
  if(TARGET quorvex-svgpng)
    set(_svgpng $<TARGET_FILE:quorvex-svgpng>)
    set(_svgpng_dep quorvex-svgpng)
  elseif(TARGET quorvex_svgpng_host)
    set(_svgpng ${QUORVEX_SVGPNG})
    set(_svgpng_dep quorvex_svgpng_host)
  endif()
  set(_ico ${CMAKE_CURRENT_BINARY_DIR}/${NAME}.ico)
  if(_svgpng)
    set(_svg ${PROJECT_SOURCE_DIR}/resources/app/quorvex.svg)
    add_custom_command(OUTPUT ${_ico}
      COMMAND ${_svgpng} --ico ${_svg} ${_ico} ${QUORVEX_ICON_SIZES}
      DEPENDS ${_svg} ${_svgpng_dep}
      COMMENT "Making the icon of ${NAME}.exe"
      VERBATIM)
    set(QUORVEX_RC_ICON_LINE "1 ICON \"${_ico}\"")
  endif()
  set(_rc ${CMAKE_CURRENT_BINARY_DIR}/${NAME}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/resources/app/version.rc.in ${_rc} @ONLY)
  if(_svgpng)
    set_source_files_properties(${_rc} PROPERTIES OBJECT_DEPENDS ${_ico})
    add_custom_target(${NAME}_icon DEPENDS ${_ico})
    add_dependencies(${TARGET} ${NAME}_icon)
  endif()
  target_sources(${TARGET} PRIVATE ${_rc})
endfunction()
