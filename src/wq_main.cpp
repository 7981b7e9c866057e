// The library's main unit. Loading the library runs no code of its own:
// there is no initialisation or termination call, and on Windows the entry
// point (in platform/win32.cpp) only reports success.
#include "wq.h"
