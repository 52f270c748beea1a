#include "fuzzcheck.h"

#include <cstdio>
#include <cstdlib>

void fuzzCheck(bool holds, const char *property)
{
    if (holds)
        return;
    std::fprintf(stderr, "property broken: %s\n", property);
    std::abort();
}
