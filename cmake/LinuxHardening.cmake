# The tool reads report descriptors from devices that may be hostile, so it is built the way
# Debian hardens its packages: strong stack protector, fortified libc calls, PIE, full RELRO with
# immediate binding, and control-flow protection where the compiler has it.
include(CheckCXXCompilerFlag)
include(CheckPIESupported)

check_pie_supported()
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

add_compile_options(-fstack-protector-strong)
# Fortification needs optimization; glibc warns (an error here) without it.
add_compile_options($<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE>
                    $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
add_link_options(-Wl,-z,relro -Wl,-z,now)

check_cxx_compiler_flag(-fcf-protection=full ZENDROCAST_HAVE_CF_PROTECTION)
check_cxx_compiler_flag(-mbranch-protection=standard ZENDROCAST_HAVE_BRANCH_PROTECTION)
if(ZENDROCAST_HAVE_CF_PROTECTION)
  add_compile_options(-fcf-protection=full)
elseif(ZENDROCAST_HAVE_BRANCH_PROTECTION)
  add_compile_options(-mbranch-protection=standard)
endif()
