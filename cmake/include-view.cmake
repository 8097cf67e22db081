# Layering: each library of ours compiles against a view of the source tree that holds only
# its own folder and the folders (or single headers) below it that it may use. An include
# that points up, or sideways into a folder the library has no business with, does not
# resolve, and the build stops there.

# include_view(<target> <path>...)
# Gives <target> a view made of links to the given source paths (folders or files, relative to
# the source root), so "#include "<path>/..."" works for exactly those. The view is PUBLIC:
# whoever links <target> may include its headers, and those headers' own includes resolve.
function(include_view target)
  set(view ${PROJECT_BINARY_DIR}/include-views/${target})
  # Links only, so removing the folder never touches the sources behind them.
  file(REMOVE_RECURSE ${view})
  foreach(path IN LISTS ARGN)
    if(NOT EXISTS ${PROJECT_SOURCE_DIR}/${path})
      message(FATAL_ERROR "include_view(${target}): no such source path: ${path}")
    endif()
    get_filename_component(parent ${view}/${path} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${path} ${view}/${path} SYMBOLIC)
  endforeach()
  get_target_property(type ${target} TYPE)
  # The view is the build tree's; an installed library brings its own include folder.
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE $<BUILD_INTERFACE:${view}>)
  else()
    target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${view}>)
  endif()
endfunction()
