// Allocation wrappers shared by every fault test: malloc and strdup are wrapped once
// here, so each area's tests arm fi_malloc / fi_strdup (declared in
// fault_injection.h) instead of defining their own.
#include <stdlib.h>
#include <string.h>

#include "fault_injection.h"

FI_WRAP(void*, malloc, nullptr, (size_t n), (n))
FI_WRAP(char*, strdup, nullptr, (const char* s), (s))
