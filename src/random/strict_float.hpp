// Include first in a file whose float arithmetic must round every operation
// on its own: from here to the end of the including file, a multiply and an
// add are never contracted into one fused operation, whatever the target
// offers. The float samplers need this for their results (uniform_float.hpp);
// so do the loops that inline them, since GCC does not inline a function
// compiled without contraction into one compiled with it.
#pragma once

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("fp-contract=off")
#elif defined(__clang__)
#pragma clang fp contract(off)
#endif
