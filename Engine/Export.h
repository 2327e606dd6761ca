// Marks the operations of the exported archive-reading interface. Everything else in the
// shared library stays hidden.
#pragma once

#if defined(_WIN32)
#  if defined(BRANNOCK_BUILDING)
#    define BRANNOCK_API __declspec(dllexport)
#  else
#    define BRANNOCK_API __declspec(dllimport)
#  endif
#else
#  define BRANNOCK_API __attribute__((visibility("default")))
#endif
