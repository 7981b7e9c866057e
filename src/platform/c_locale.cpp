// plat_c_strtod: strtod with a locale object of its own rather than the
// process locale, which a host program may have set to one whose decimal
// point is ','. The object is made and freed per call: the library keeps no
// globals, and in the "C" locale the C runtimes hand out a static object
// without allocating.
#include "platform/c_locale.h"

#include <locale.h>
#include <stdlib.h>

#if defined(_WIN32)

double plat_c_strtod(const char* text) {
    const _locale_t c_locale = _create_locale(LC_NUMERIC, "C");
    if (!c_locale) return 0.0;
    const double value = _strtod_l(text, nullptr, c_locale);
    _free_locale(c_locale);
    return value;
}

#else

double plat_c_strtod(const char* text) {
    const locale_t c_locale = ::newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    if (c_locale == static_cast<locale_t>(0)) return 0.0;
    const double value = ::strtod_l(text, nullptr, c_locale);
    ::freelocale(c_locale);
    return value;
}

#endif
