# Warning flags for every target the project builds, set in this one place. Warnings are errors
# only when asked for (scripts/test.sh and CI do), so that a consumer's build, whatever warnings
# it turns on, or a newer compiler never fails on a warning.
option(QUILO_WARNINGS_AS_ERRORS "Fail the build on a compiler warning" OFF)

function(quilo_set_warnings target)
  get_target_property(type ${target} TYPE)
  if(NOT type MATCHES "^(EXECUTABLE|STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|OBJECT_LIBRARY)$")
    return()
  endif()
  # Flags a target set by hand would override the option.
  get_target_property(options ${target} COMPILE_OPTIONS)
  if(options)
    list(REMOVE_ITEM options -Wall -Wextra -Werror)
    set_property(TARGET ${target} PROPERTY COMPILE_OPTIONS ${options})
  endif()
  # From our option alone: a parent project's CMAKE_COMPILE_WARNING_AS_ERROR is for its code.
  set_property(TARGET ${target} PROPERTY COMPILE_WARNING_AS_ERROR ${QUILO_WARNINGS_AS_ERRORS})
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra)
  endif()
  # Before CMake 3.24 the property does nothing.
  if(QUILO_WARNINGS_AS_ERRORS AND CMAKE_VERSION VERSION_LESS 3.24)
    target_compile_options(${target} PRIVATE $<IF:$<CXX_COMPILER_ID:MSVC>,/WX,-Werror>)
  endif()
endfunction()

# Every target defined in `dir` and the folders below it.
function(quilo_set_warnings_below dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    quilo_set_warnings(${target})
  endforeach()
  get_property(folders DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(folder IN LISTS folders)
    quilo_set_warnings_below(${folder})
  endforeach()
endfunction()
