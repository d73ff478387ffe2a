// The dict view of a point: what the objective receives as its keyword
// arguments, and the form in which a best position goes back to the caller.
#pragma once

#include "python/ref.hpp"
#include "vec/xvec.hpp"

namespace kavell {

// Reads the vector (the lists are new objects, never views of it). Returns a new
// dict with one entry per non-empty kind, in kind order: the kind key (an
// interned str made once), mapped to a new list of that kind's elements. Empty kinds
// have no entry, so an all-empty vector gives {}. Requires the interpreter
// lock; every failure is a fault.
Ref to_dict(const XVec& v);

}  // namespace kavell
