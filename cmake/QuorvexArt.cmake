# The program's pictures are SVG files listed in .qrc files. With Qt SVG they go into the
# program as they are. A Qt without Qt SVG (the Windows cross build: Debian serves no
# Qt SVG source) gets PNGs instead, rendered at build time by tools/svgpng, built for the
# host with the host's Qt SVG: each picture at its own size and at twice that size
# ("@2x", which QIcon picks on high-density screens), under the same resource name with
# ".png" for ".svg". The code names its pictures through ArtFile() (src/support/uArt.h).
#
# quorvex_art_sources(VAR QRC): VAR receives what to add to a target's sources.

if(TARGET Qt6::Svg)
  set(QUORVEX_PNG_ART OFF)
else()
  set(QUORVEX_PNG_ART ON)
  if(NOT CMAKE_CROSSCOMPILING)
    message(FATAL_ERROR "Qt SVG was not found (Qt6Svg). Install it with Qt, or cross-build, "
                        "where the pictures are rendered by the host's Qt SVG.")
  endif()
  include(ExternalProject)
  set(_svgpng_dir ${CMAKE_BINARY_DIR}/svgpng-host)
  set(QUORVEX_SVGPNG ${_svgpng_dir}/quorvex-svgpng)
  # The host's compiler and Qt: none of the cross build's settings are passed on.
  ExternalProject_Add(quorvex_svgpng_host
    SOURCE_DIR ${PROJECT_SOURCE_DIR}/tools/svgpng
    BINARY_DIR ${_svgpng_dir}
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release
    INSTALL_COMMAND ""
    BUILD_BYPRODUCTS ${QUORVEX_SVGPNG}
    BUILD_ALWAYS OFF)
endif()

function(quorvex_art_sources VAR QRC)
  if(NOT QUORVEX_PNG_ART)
    set(${VAR} ${QRC} PARENT_SCOPE)
    return()
  endif()
  get_filename_component(_qrc_dir ${QRC} DIRECTORY)
  get_filename_component(_qrc_name ${QRC} NAME_WE)
  set(_out ${CMAKE_CURRENT_BINARY_DIR}/art-${_qrc_name})
  file(READ ${QRC} _text)
  string(REGEX MATCH "prefix=\"([^\"]*)\"" _m "${_text}")
  set(_prefix ${CMAKE_MATCH_1})
  string(REGEX MATCHALL "<file>[^<]+\\.svg</file>" _files "${_text}")
  set(_entries "")
  set(_pngs "")
  foreach(_f ${_files})
    string(REGEX REPLACE "</?file>" "" _rel "${_f}")
    set(_svg ${_qrc_dir}/${_rel})
    # The picture's own size is its width attribute in pixels.
    file(READ ${_svg} _svg_text)
    if(NOT _svg_text MATCHES "<svg[^>]* width=\"([0-9]+)\"")
      message(FATAL_ERROR "${_svg}: no width in pixels on its <svg> element")
    endif()
    set(_size ${CMAKE_MATCH_1})
    math(EXPR _size2 "${_size} * 2")
    string(REGEX REPLACE "\\.svg$" "" _base "${_rel}")
    set(_png ${_out}/${_base}.png)
    set(_png2 ${_out}/${_base}@2x.png)
    get_filename_component(_png_dir ${_png} DIRECTORY)
    add_custom_command(OUTPUT ${_png} ${_png2}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${_png_dir}
      COMMAND ${QUORVEX_SVGPNG} ${_svg} ${_size} ${_png}
      COMMAND ${QUORVEX_SVGPNG} ${_svg} ${_size2} ${_png2}
      DEPENDS ${_svg} quorvex_svgpng_host
      COMMENT "Rendering ${_rel} at ${_size} and ${_size2} pixels"
      VERBATIM)
    list(APPEND _pngs ${_png} ${_png2})
    string(APPEND _entries "    <file alias=\"${_base}.png\">${_png}</file>\n"
                           "    <file alias=\"${_base}@2x.png\">${_png2}</file>\n")
  endforeach()
  set(_gen ${_out}/${_qrc_name}.qrc)
  file(WRITE ${_gen}.in "<!DOCTYPE RCC>\n<RCC version=\"1.0\">\n  <qresource prefix=\"${_prefix}\">\n${_entries}  </qresource>\n</RCC>\n")
  configure_file(${_gen}.in ${_gen} COPYONLY)
  # rcc run here rather than by AUTORCC, so that it waits for the PNGs it packs; the
  # resource keeps the name of its .qrc for Q_INIT_RESOURCE.
  set(_cpp ${_out}/qrc_${_qrc_name}.cpp)
  add_custom_command(OUTPUT ${_cpp}
    COMMAND Qt6::rcc --name ${_qrc_name} --output ${_cpp} ${_gen}
    DEPENDS ${_gen} ${_pngs} Qt6::rcc
    COMMENT "Packing the rendered pictures of ${_qrc_name}.qrc"
    VERBATIM)
  set_source_files_properties(${_cpp} PROPERTIES SKIP_AUTOMOC ON SKIP_AUTOUIC ON)
  set(${VAR} ${_cpp} PARENT_SCOPE)
endfunction()
