// The names table and the constants of a module.
//
// Every identifier and short string the module's code uses is made once,
// interned when it is an identifier, and hashed at once, so that dict
// lookups and keyword matching later compare by identity first.
#pragma once

#include "frame/module.h"

namespace frame {

// Makes the names table and the integer constants; -1 with an exception.
int build_names(Module &module);

// Makes the constant tuples: the tuple of one None and the module's tuples
// of names; -1 with an exception.
int build_tuples(Module &module);

}  // namespace frame
