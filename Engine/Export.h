// Marks the operations of the exported archive-reading interface. Everything else in the
// shared library stays hidden.
//
// BRANNOCK_BUILDING is defined for all code built as part of brannock (the library, the tool,
// the tests). It exports the interface from the library, and it shows the engine's own code
// the members that the library does not export; a program that uses the installed library
// does not define it.
#pragma once

// clang-format off
#if defined(_WIN32)
#  if defined(BRANNOCK_BUILDING)
#    define BRANNOCK_API __declspec(dllexport)
#  else
#    define BRANNOCK_API __declspec(dllimport)
#  endif
#else
#  define BRANNOCK_API __attribute__((visibility("default")))
#endif
// clang-format on
