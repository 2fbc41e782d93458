# What every C++ test project here shares: C++17, the sanitizer switch, and the
# proof-of-work core (the V8-free part of src/common) as a library.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE RelWithDebInfo)
endif()

option(SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
add_compile_options(-Wall -Wextra)

set(ROOT ${CMAKE_CURRENT_LIST_DIR}/../..)
set(COMMON ${ROOT}/src/common)

add_library(noncesieve_core STATIC
  ${COMMON}/blake2s.cc ${COMMON}/hex.cc ${COMMON}/search_block.cc ${COMMON}/reference.cc
  ${COMMON}/fatal.cc ${COMMON}/job_number.cc)
target_include_directories(noncesieve_core PUBLIC ${COMMON})

find_package(GTest REQUIRED)
enable_testing()
include(GoogleTest)
