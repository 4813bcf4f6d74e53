// Compiled by the format_check tests, never linked: with no macro defined every call fits
// its format and the file must compile; each macro swaps one call for a mismatched one,
// which the compile-time check must reject.
#include "common/VRNErrorTable.h"
#include "common/VRNLog.h"

#include <string>

void formatCalls() {
    const std::string text = "text";
    const plist::Value object(1);
    const unsigned long number = 4;
    VRNLog(VRNLogLevelError, "%d and %d", 1, 2);
    VRNLog(VRNLogLevelError, "%s, %s", "literal", text);
    VRNLog(VRNLogLevelError, "%@ (%lu)", object, number);
    (void)VRNFormat("%d %f", 1, 1.5);
    (void)VRNErrorText("%@ and %{public}s", text, "literal");

#if defined(TOO_FEW_ARGUMENTS)
    VRNLog(VRNLogLevelError, "%d and %d", 1);
#elif defined(TOO_MANY_ARGUMENTS)
    VRNLog(VRNLogLevelError, "%d", 1, 2);
#elif defined(STRING_FOR_INTEGER)
    VRNLog(VRNLogLevelError, "%d", "literal");
#elif defined(REAL_FOR_INTEGER)
    (void)VRNFormat("%d", 1.5);
#elif defined(INTEGER_FOR_STRING)
    VRNLog(VRNLogLevelError, "%s", 5);
#elif defined(OBJECT_FOR_STRING)
    (void)VRNErrorText("%s", object);
#elif defined(INTEGER_FOR_OBJECT)
    VRNLog(VRNLogLevelError, "%@", number);
#endif
}
