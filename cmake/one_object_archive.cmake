# What a library ships is one relocatable object whose only global symbols are its public
# functions: hidden visibility keeps its passes out of a shared object's dynamic table but not out
# of a static link, where a host's own function of the same name would clash with one. A partial
# link joins the passes and resolves their calls to each other; every hidden symbol is then made
# local, and the groups of sections are dissolved: the 32-bit PC thunks come in groups that a
# final link keeps only once, and a local symbol in a discarded copy would leave its callers
# without a definition. Chosen over one translation unit that includes the passes: that meets the
# same thunks, and would put the private helpers of every pass, some of the same name, in one
# scope.
#
# one_object_archive(NAME SOURCES...) builds NAME_passes from the sources, joins them into
# NAME.o and archives that object alone as the static library NAME; the object's path is left in
# NAME_OBJECT for installing.
function(one_object_archive name)
  add_library(${name}_passes OBJECT ${ARGN})
  set_target_properties(${name}_passes PROPERTIES POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  # The archive must link into C programs and shared modules without libstdc++, and its
  # consistency checks stay on in every configuration, Release included.
  target_compile_options(${name}_passes PRIVATE -fno-exceptions -fno-rtti -UNDEBUG)

  set(object ${CMAKE_CURRENT_BINARY_DIR}/${name}.o)
  add_custom_command(OUTPUT ${object}
    COMMAND ${CMAKE_LINKER} ${VERTEX_WELD_LINKER_EMULATION} -r -o ${object}
            $<TARGET_OBJECTS:${name}_passes>
    COMMAND ${CMAKE_OBJCOPY} --remove-section=.group --localize-hidden ${object}
    DEPENDS ${name}_passes $<TARGET_OBJECTS:${name}_passes>
    COMMENT "Joining the passes of ${name} into ${name}.o"
    COMMAND_EXPAND_LISTS VERBATIM)

  add_library(${name} STATIC ${object})
  add_library(vertex_weld::${name} ALIAS ${name})
  set_target_properties(${name} PROPERTIES LINKER_LANGUAGE C)
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  set(${name}_OBJECT ${object} PARENT_SCOPE)
endfunction()
