# Release builds get Debian's hardening, where the toolchain takes it: a fortified C library,
# stack-smashing, stack-clash and control-flow protection, a PIE, relocations read-only at once.
include(CheckCXXCompilerFlag)
include(CheckPIESupported)
foreach(flag -fstack-protector-strong -fstack-clash-protection -fcf-protection)
    string(MAKE_C_IDENTIFIER "have${flag}" have_flag)
    check_cxx_compiler_flag(${flag} ${have_flag})
    if(${have_flag})
        add_compile_options($<$<CONFIG:Release>:${flag}>)
    endif()
endforeach()
# Fortification needs the optimizer, as Release has; undefined first, where compilers define it.
add_compile_options($<$<CONFIG:Release>:-U_FORTIFY_SOURCE> $<$<CONFIG:Release>:-D_FORTIFY_SOURCE=2>)
check_pie_supported(LANGUAGES CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
check_linker_flag(CXX "LINKER:-z,relro,-z,now" have_relro_now)
if(have_relro_now)
    add_link_options($<$<CONFIG:Release>:LINKER:-z,relro,-z,now>)
endif()
