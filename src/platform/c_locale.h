// Number parsing that does not depend on the host program's locale.
#pragma once

// strtod as the "C" locale reads it, whatever setlocale the host called:
// '.' is the decimal point, hex and inf/nan are read, an overflow gives
// +-HUGE_VAL. So atof(text) in the "C" locale is plat_c_strtod(text).
double plat_c_strtod(const char* text);
