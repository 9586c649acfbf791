# A faster linker than the default one where the toolchain takes it: the Debug and sanitizer
# builds link some forty programs with full debug information, and the default linker spends
# most of a rebuild on them. lld first, then gold (part of binutils); the default otherwise.
# DISPLAY_LINKER=default keeps the toolchain's own.
include(CheckLinkerFlag)

set(DISPLAY_LINKER "fast" CACHE STRING "Linker: fast (lld or gold when available) or default")
if(DISPLAY_LINKER STREQUAL "fast")
  foreach(linker lld gold)
    check_linker_flag(CXX "-fuse-ld=${linker}" DISPLAY_HAS_LD_${linker})
    if(DISPLAY_HAS_LD_${linker})
      add_link_options(-fuse-ld=${linker})
      message(STATUS "Linking with ${linker}")
      break()
    endif()
  endforeach()
endif()
