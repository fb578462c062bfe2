# One library target per source folder, with the folders it may include
# declared. Each target compiles against an include root of its own, staged in
# the build tree as links to exactly the folders it may see: its own and those
# of its dependencies (transitively). An include of any other folder (one that
# points up the layering, or across into another program's folder) finds no
# file and fails the build.
#
#   quarrion_folder(<dir> [NAME <target>] [DEPS <folder targets>...]
#                   [LIBS <libraries>...] [PRIVATE_LIBS <libraries>...]
#                   [PROGRAM] [EXCLUDE <regex>...] [ALSO <dirs>...])
#
# <dir> is relative to src/. The target is named after it with "/" replaced by
# "_" (common/data -> common_data) unless NAME is given. Sources are the .cpp
# files under <dir>, recursively, except in subfolders that have their own
# CMakeLists.txt. PROGRAM also puts <dir> itself on the target's own include
# path, for a program's includes of its own files ("boot/initialize.h"); that
# path is never passed on. A folder must be declared after the folders it uses.
# ALSO names further folders that build into the same target: folders of one
# subsystem whose parts call each other (they see each other, nothing more).

set(QUARRION_SOURCE_ROOT ${CMAKE_SOURCE_DIR}/src)
set(QUARRION_INCLUDE_ROOTS ${CMAKE_BINARY_DIR}/include_roots)

# The .cpp files under `dir` for this OS (foo_posix.cpp / foo_win.cpp), without
# subfolders that build as targets of their own (they hold a CMakeLists.txt).
function(quarrion_list_sources out_var dir)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${dir}/*.cpp)
  file(GLOB_RECURSE own_lists ${dir}/*/CMakeLists.txt)
  foreach(list_file IN LISTS own_lists)
    get_filename_component(sub ${list_file} DIRECTORY)
    list(FILTER sources EXCLUDE REGEX "^${sub}/")
  endforeach()
  # By the OS built for, not the one building: a cross build for Windows
  # takes the _win sides.
  if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
    list(FILTER sources EXCLUDE REGEX "_posix\\.cpp$")
  else()
    list(FILTER sources EXCLUDE REGEX "_win\\.cpp$")
  endif()
  set(${out_var} ${sources} PARENT_SCOPE)
endfunction()

function(quarrion_folder dir)
  cmake_parse_arguments(ARG "PROGRAM" "NAME" "DEPS;LIBS;PRIVATE_LIBS;EXCLUDE;ALSO" ${ARGN})
  if(ARG_NAME)
    set(name ${ARG_NAME})
  else()
    string(REPLACE "/" "_" name ${dir})
  endif()
  set(src_dir ${QUARRION_SOURCE_ROOT}/${dir})
  if(NOT IS_DIRECTORY ${src_dir})
    message(FATAL_ERROR "quarrion_folder: no folder src/${dir}")
  endif()

  quarrion_list_sources(sources ${src_dir})
  foreach(also IN LISTS ARG_ALSO)
    if(NOT IS_DIRECTORY ${QUARRION_SOURCE_ROOT}/${also})
      message(FATAL_ERROR "quarrion_folder(${dir}): no folder src/${also}")
    endif()
    quarrion_list_sources(also_sources ${QUARRION_SOURCE_ROOT}/${also})
    list(APPEND sources ${also_sources})
  endforeach()
  foreach(regex IN LISTS ARG_EXCLUDE)
    list(FILTER sources EXCLUDE REGEX "${regex}")
  endforeach()
  set_property(GLOBAL APPEND PROPERTY QUARRION_CLAIMED_SOURCES ${sources})

  # The folders this target may see: its own and its dependencies'.
  set(visible ${dir} ${ARG_ALSO})
  foreach(dep IN LISTS ARG_DEPS)
    get_property(known GLOBAL PROPERTY QUARRION_VISIBLE_${dep} SET)
    if(NOT known)
      message(FATAL_ERROR "quarrion_folder(${dir}): dependency '${dep}' is not a folder "
                          "target declared before it")
    endif()
    get_property(dep_visible GLOBAL PROPERTY QUARRION_VISIBLE_${dep})
    list(APPEND visible ${dep_visible})
  endforeach()
  list(REMOVE_DUPLICATES visible)
  list(SORT visible)
  set_property(GLOBAL PROPERTY QUARRION_VISIBLE_${name} ${visible})

  # Stage the include root: a link per visible folder. A folder inside one
  # already linked is seen through that link.
  set(root ${QUARRION_INCLUDE_ROOTS}/${name})
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root})
  set(linked)
  foreach(folder IN LISTS visible)
    set(covered FALSE)
    foreach(done IN LISTS linked)
      string(FIND "${folder}/" "${done}/" at)
      if(at EQUAL 0)
        set(covered TRUE)
      endif()
    endforeach()
    if(covered)
      continue()
    endif()
    get_filename_component(parent ${root}/${folder} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${QUARRION_SOURCE_ROOT}/${folder} ${root}/${folder} SYMBOLIC)
    list(APPEND linked ${folder})
  endforeach()

  if(sources)
    add_library(${name} STATIC ${sources})
    set(scope PUBLIC)
  else()
    add_library(${name} INTERFACE)
    set(scope INTERFACE)
  endif()
  target_include_directories(${name} ${scope} ${root})
  # A header reached through the include root is named by its place in src/.
  if(sources)
    file(RELATIVE_PATH root_from_build ${CMAKE_BINARY_DIR} ${root})
    target_compile_options(${name} PRIVATE -fmacro-prefix-map=${root}/=src/
                                           -fmacro-prefix-map=${root_from_build}/=src/)
  endif()
  if(ARG_PROGRAM AND sources)
    target_include_directories(${name} PRIVATE ${src_dir})
  endif()
  target_link_libraries(${name} ${scope} ${ARG_DEPS} ${ARG_LIBS})
  if(ARG_PRIVATE_LIBS AND sources)
    target_link_libraries(${name} PRIVATE ${ARG_PRIVATE_LIBS})
  endif()
endfunction()

# Fails the configuration when a source under src/ belongs to no target: a new
# folder needs its quarrion_folder() line (or a CMakeLists.txt of its own).
function(quarrion_check_all_sources_claimed)
  quarrion_list_sources(all ${QUARRION_SOURCE_ROOT})
  get_property(claimed GLOBAL PROPERTY QUARRION_CLAIMED_SOURCES)
  list(REMOVE_ITEM all ${claimed} ${ARGN})
  if(all)
    list(JOIN all "\n  " unclaimed)
    message(FATAL_ERROR "Sources in no folder target (add a quarrion_folder() line in "
                        "src/CMakeLists.txt):\n  ${unclaimed}")
  endif()
endfunction()
